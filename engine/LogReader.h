#pragma once
// Reading a day's initialization log (one file, lines as FormatLogLine writes them) for the
// journal: the lines in file order, the day's counts and the tokens still to redo.
//
// The file is read once from start to end to count and to note where every 64th line begins
// (in place, a view at a time, where the system allows: engine/FileView.h);
// the text of a line is read again only when it is asked for, from the nearest noted place, so a
// log of any size costs a few bytes per 64 lines and a compact table of its card numbers
// (engine/CardTable.h) in memory. Lines ended by CR LF, LF or CR alone are read alike (a line
// end is any CR or LF, so CR LF may be split between two reads); empty lines are skipped; a line
// that is not a log line stays in its place as an unrecognized one. A last line without its line
// end (a run was writing it, or the writer stopped) is shown and counted as it stands and read
// again by Refresh once more of the file is there. Lines longer than kMaxLineBytes are shown cut
// at that length.
//
// Plain C++: no Qt.

#include "engine/CardTable.h"
#include "engine/LogLine.h"
#include "engine/LogLines.h"

#include <cstdint>
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

// The day's counts in one line, as the journal shows them: initialized, failed and distinct
// cards, then lines without a card number and unrecognized lines when there are any.
std::string DayCountsText(const LogTally& tally);

// A token that failed and never succeeded that day, with its last error line.
struct TokenToRedo {
    std::string cardId;
    std::size_t lastErrorLine = 0;
};

class LogReader {
public:
    static constexpr std::size_t kMaxLineBytes = loglines::kMaxLineBytes;
    // The reads of the first look and of a pass over every line: small enough to stay in the
    // processor's first-level cache, where the lines are read again as they are counted, while
    // the card table's lookups pass through the larger caches.
    static constexpr std::size_t kPassReadBytes = 32 << 10;
    // The part of the file the first look maps at a time when it reads in place.
    static constexpr std::size_t kViewBytes = 4 << 20;

    LogReader() = default;
    ~LogReader() { Close(); }
    LogReader(const LogReader&) = delete;
    LogReader& operator=(const LogReader&) = delete;

    // Opens `path` and reads it to its end; false (and nothing shown) when there is no such file
    // or it cannot be read.
    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }

    // Reads what was written since the last look. Answers the index of the first line that is
    // new or changed (LineCount() when nothing changed); a file that became shorter than what
    // was read is read anew from its start (answer 0).
    std::size_t Refresh();

    std::size_t LineCount() const { return lineCount_ + (tail_ ? 1 : 0); }
    // The line at `index` (< LineCount()), read from the file.
    LogEntry Line(std::size_t index);
    // Calls `visit` with each line of `indices` (ascending; all lines from `from` when null),
    // reading the file front to back from the noted place before each line asked for.
    void ForEachLine(const std::vector<std::size_t>* indices, std::size_t from,
                     const std::function<void(std::size_t, std::string_view)>& visit);
    // The lines from `from` on whose card number or message (the whole text of an unrecognized
    // line) holds `text`, the case of Latin and Cyrillic letters ignored.
    std::vector<std::size_t> Find(std::string_view text, std::size_t from = 0);

    // The errno of the read that failed last (an input/output error of the disk), 0 when every
    // read reached what it wanted: the lines, counts and cards are then those before the error.
    // A refresh that reads on to the end of the file puts it back to 0.
    int ReadError() const { return readError_; }

    LogTally Tally() const;
    // In the order of their first line.
    std::vector<TokenToRedo> TokensToRedo() const;

private:
    // Every 64th line's offset is noted; a line is found again from the note before it.
    static constexpr std::size_t kBlockLines = 64;
    // The unfinished last line, shown and counted apart from the complete lines: Refresh forgets
    // it and reads it again with what was written after it.
    struct Tail {
        std::uint64_t offset = 0;
        std::uint64_t bytes = 0; // in the file, up to its end
        LogOutcome outcome = LogOutcome::Unrecognized;
        std::string cardId;
    };

    void Reset();
    // Reads the file from where the last look ended to its end; true when it had to be read anew
    // from its start (it was cut short while read in place).
    bool Scan();
    // The same, the file read in place where `inPlace` and the system allows it; false when a
    // part of it was gone while read in place, and what was read must go.
    bool ScanPart(bool inPlace);
    // The offset where the line block `block` begins.
    std::uint64_t BlockStart(std::size_t block) const;
    // How far the lines known so far reach in the file.
    std::uint64_t Seen() const { return scanned_ + (tail_ ? tail_->bytes : 0); }
    std::uint64_t FileSize() const;
    // Whether the card appears on a complete line.
    bool Known(std::string_view cardId) const;

    std::string path_;
    int fd_ = -1;
    std::vector<char> buffer_;
    std::vector<std::uint64_t> blocks_;
    int readError_ = 0;
    std::size_t lineCount_ = 0; // complete lines
    std::optional<Tail> tail_;
    std::uint64_t scanned_ = 0; // bytes read up to the end of the last complete line
    LogTally tally_;            // of the complete lines
    CardTable hexTokens_;
    // Card numbers that are not 16 upper-case hexadecimal digits (a log from elsewhere).
    struct TokenState {
        std::uint32_t firstLine = 0;
        std::uint32_t lastErrorLine = 0;
        bool succeeded = false;
        bool failed = false;
    };
    std::unordered_map<std::string, TokenState> otherTokens_;
};

// What the journal says when the log at `path` could not be read to its end (`error`: errno).
std::string LogReadProblemText(const std::string& path, int error);

// `text` with the Latin and Cyrillic capitals of UTF-8 made small; other bytes stay.
std::string FoldLetterCase(std::string_view text);
