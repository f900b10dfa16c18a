#pragma once
// Reading a day's initialization log (one file, lines as FormatLogLine writes them) for the
// journal: the lines in file order, the day's counts and the tokens still to redo.
//
// The file is read once from start to end to learn where each line begins and to count; the text
// of a line is read again only when it is asked for, so a log of any size costs a few bytes per
// line in memory. Lines ended by CR LF, LF or CR alone are read alike; empty lines are skipped; a
// line that is not a log line stays in its place as an unrecognized one. A last line without its
// line end (a run was writing it, or the writer stopped) is shown as it stands and read again by
// Refresh once more of the file is there. Lines longer than MaxLineBytes are shown cut at that
// length.
//
// Plain C++: no Qt.

#include "engine/LogLine.h"

#include <cstdint>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

// One line of the log as the journal shows it.
struct LogEntry {
    LogOutcome outcome = LogOutcome::Unrecognized;
    std::string time;
    std::string cardId;
    std::string message; // the failure text of an error line
    std::string text;    // the whole line as written, without its line end
};

// The day's counts. Lines without a card number count as attempts, not as tokens.
struct LogTally {
    std::size_t succeeded = 0;     // success lines
    std::size_t failed = 0;        // error lines
    std::size_t unrecognized = 0;  // lines that are no log lines
    std::size_t withoutNumber = 0; // success and error lines with an empty card number
    std::size_t tokens = 0;        // distinct card numbers
};

// A token that failed and never succeeded that day, with its last error line.
struct TokenToRedo {
    std::string cardId;
    std::size_t lastErrorLine = 0;
};

class LogReader {
public:
    static constexpr std::size_t MaxLineBytes = 64 * 1024;

    // Opens `path` and reads it to its end; false (and nothing shown) when there is no such file
    // or it cannot be read.
    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const { return file_.is_open(); }
    const std::string& Path() const { return path_; }

    // Reads what was written since the last look. Answers the index of the first line that is
    // new or changed (LineCount() when nothing changed); a file that became shorter than what
    // was read is read anew from its start (answer 0).
    std::size_t Refresh();

    std::size_t LineCount() const { return lines_.size() + (tail_ ? 1 : 0); }
    // The line at `index` (< LineCount()), read from the file.
    LogEntry Line(std::size_t index);
    // Calls `visit` with each line of `indices` (ascending; all lines from `from` when null),
    // reading the file front to back.
    void ForEachLine(const std::vector<std::size_t>* indices, std::size_t from,
                     const std::function<void(std::size_t, std::string_view)>& visit);
    // The lines from `from` on whose card number or message (the whole text of an unrecognized
    // line) holds `text`, the case of Latin and Cyrillic letters ignored.
    std::vector<std::size_t> Find(std::string_view text, std::size_t from = 0);

    LogTally Tally() const;
    // In the order of their first line.
    std::vector<TokenToRedo> TokensToRedo() const;

private:
    struct LineSpan {
        std::uint64_t offset = 0;
        std::uint32_t length = 0; // without the line end, at most MaxLineBytes
    };
    // Line numbers are kept in 32 bits: a log of four billion lines is past any day's work.
    struct TokenState {
        std::uint32_t firstLine = 0;
        std::uint32_t lastErrorLine = 0;
        bool succeeded = false;
        bool failed = false;
    };
    // What counting the unfinished last line changed, so that it can be taken back.
    struct Tail {
        LineSpan span;
        std::uint64_t bytes = 0; // in the file, the CR included
        LogTally tallyBefore;
        std::string cardId;
        std::optional<TokenState> tokenBefore;
    };

    void Reset();
    void Scan();
    void AddLine(std::uint64_t offset, std::string_view text);
    void SetTail(std::uint64_t offset, std::string_view text, std::uint64_t bytes);
    void Count(std::size_t index, std::string_view text);
    void DropTail();
    // A token by its card number: 16 upper-case hexadecimal digits (what the token reports) are
    // kept as one 64-bit number, anything else as text.
    TokenState* FindToken(std::string_view cardId);
    std::pair<TokenState*, bool> AddToken(std::string_view cardId, std::size_t line);
    void EraseToken(std::string_view cardId);
    std::size_t FileSize();
    std::string ReadSpan(const LineSpan& span);

    std::string path_;
    std::ifstream file_;
    std::vector<LineSpan> lines_;
    std::optional<Tail> tail_;
    std::uint64_t scanned_ = 0; // bytes read up to the end of the last complete line
    LogTally tally_;
    std::unordered_map<std::uint64_t, TokenState> hexTokens_;
    std::unordered_map<std::string, TokenState> otherTokens_;
};

// `text` with the Latin and Cyrillic capitals of UTF-8 made small; other bytes stay.
std::string FoldLetterCase(std::string_view text);
