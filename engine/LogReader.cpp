#include "LogReader.h"

#include "engine/FileView.h"
#include "engine/InitLog.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using loglines::HexCardId;
using loglines::HexCardKey;

namespace {

// Lines asked for one by one read a page at a time (about a block of the usual lines, so that a
// line is mostly one read from its block's note), and read on into the next block rather than
// start again there; a line further ahead is read from its own block's note (reading on through
// the blocks between cost more reads than the one jump).
constexpr std::size_t kLineRead = 4 << 10;
constexpr std::size_t kBlocksReadOn = 1;
constexpr std::uint64_t kBytesPerCard = 128;

void FoldInto(std::string& out, std::string_view text) {
    out.clear();
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (c >= 'A' && c <= 'Z') {
            out += static_cast<char>(c + ('a' - 'A'));
        } else if (c == 0xD0 && next >= 0x80 && next <= 0xAF) {
            // Ѐ..Џ (D0 80..8F) -> ѐ..џ (D1 90..9F); А..П (D0 90..9F) -> а..п (D0 B0..BF);
            // Р..Я (D0 A0..AF) -> р..я (D1 80..8F).
            if (next <= 0x8F)
                out.append({'\xD1', static_cast<char>(next + 0x10)});
            else if (next <= 0x9F)
                out.append({'\xD0', static_cast<char>(next + 0x20)});
            else
                out.append({'\xD1', static_cast<char>(next - 0x20)});
            ++i;
        } else if (c == 0xD2 && next == 0x90) { // Ґ -> ґ
            out.append({'\xD2', '\x91'});
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
}

} // namespace

std::string FoldLetterCase(std::string_view text) {
    std::string folded;
    FoldInto(folded, text);
    return folded;
}

bool LogReader::Open(const std::string& path) {
    Close();
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0)
        return false;
    struct stat info {};
    if (fstat(fd_, &info) != 0 || S_ISDIR(info.st_mode)) {
        Close();
        return false;
    }
    path_ = path;
    Scan();
    return true;
}

void LogReader::Close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    path_.clear();
    Reset();
    std::vector<char>().swap(buffer_);
}

void LogReader::Reset() {
    readError_ = 0;
    std::vector<std::uint64_t>().swap(blocks_);
    lineCount_ = 0;
    tail_.reset();
    scanned_ = 0;
    tally_ = {};
    hexTokens_.Clear();
    otherTokens_.clear();
}

std::uint64_t LogReader::FileSize() const {
    struct stat info {};
    return fstat(fd_, &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

std::size_t LogReader::Refresh() {
    if (fd_ < 0)
        return 0;
    const std::uint64_t size = FileSize();
    const std::uint64_t seen = Seen();
    if (size == seen)
        return LineCount();
    if (size < seen) {
        Reset();
        Scan();
        return 0;
    }
    const std::size_t first = lineCount_;
    tail_.reset();
    return Scan() ? 0 : first;
}

bool LogReader::Scan() {
    if (ScanPart(loglines::LogFileReads().InPlace()))
        return false;
    Reset();
    ScanPart(false);
    return true;
}

bool LogReader::ScanPart(bool inPlace) {
    const std::uint64_t size = FileSize();
    posix_fadvise(fd_, static_cast<off_t>(scanned_), 0, POSIX_FADV_SEQUENTIAL);
    // A day's log holds about one card per kBytesPerCard bytes (a card's attempts, their
    // lines of 40 to 200 bytes); a log with fewer cards leaves part of the table untouched.
    hexTokens_.Reserve(static_cast<std::size_t>((size - scanned_) / kBytesPerCard));
    const auto note = [&](std::uint64_t offset) {
        if (lineCount_ % kBlockLines == 0)
            blocks_.push_back(offset);
    };
    const auto count = [&](std::uint64_t offset, std::string_view text) {
        note(offset);
        const auto index = static_cast<std::uint32_t>(lineCount_++);
        const ParsedLogLine parsed = ParseLogLine(text);
        if (parsed.outcome == LogOutcome::Unrecognized) {
            ++tally_.unrecognized;
            return;
        }
        const bool success = parsed.outcome == LogOutcome::Success;
        ++(success ? tally_.succeeded : tally_.failed);
        if (parsed.cardId.empty()) {
            ++tally_.withoutNumber;
            return;
        }
        std::uint64_t key = 0;
        if (HexCardKey(parsed.cardId, key)) {
            hexTokens_.Add(key, index, success);
            return;
        }
        const auto [token, added] = otherTokens_.try_emplace(std::string(parsed.cardId));
        if (added)
            token->second.firstLine = index;
        if (success) {
            token->second.succeeded = true;
        } else {
            token->second.failed = true;
            token->second.lastErrorLine = index;
        }
    };
    // Lines of the usual shape are recognized at once; empty lines are skipped and every other
    // line is taken apart.
    const auto countRun = [&](std::uint64_t offset, const char* begin, const char* end) {
        for (const char* line = begin; line < end;) {
            loglines::QuickLine quick;
            if (static_cast<std::size_t>(end - line) >= loglines::kQuickLookahead &&
                loglines::QuickLogLine(line, end, quick)) {
                note(offset + static_cast<std::uint64_t>(line - begin));
                ++(quick.success ? tally_.succeeded : tally_.failed);
                hexTokens_.Add(quick.key, static_cast<std::uint32_t>(lineCount_++), quick.success);
                // CR LF: the empty line between them is skipped at once.
                line = quick.end + 1;
                if (line < end && *quick.end == '\r' && *line == '\n')
                    ++line;
                continue;
            }
            if (*line == '\r' || *line == '\n') {
                ++line;
                continue;
            }
            const char* lineEnd = nullptr;
            const std::string_view text = loglines::LineAt(line, end, lineEnd);
            count(offset + static_cast<std::uint64_t>(line - begin), text);
            line = lineEnd + 1;
        }
        return true;
    };
    const auto unfinished = [&](std::uint64_t offset, std::string_view text) {
        const ParsedLogLine parsed = ParseLogLine(text);
        tail_ = Tail{offset, size - offset, parsed.outcome, std::string(parsed.cardId)};
    };
    const auto settle = [&](std::uint64_t lineEnd, int error) {
        scanned_ = lineEnd;
        readError_ = error;
        hexTokens_.Settle();
        tally_.tokens = hexTokens_.Size() + otherTokens_.size();
    };
    // In place, a view at a time: each view's lines are one run up to its last line end, and
    // the next view starts there; a line longer than kMaxLineBytes is cut as it is read
    // (loglines::LineAt). A line longer than a view is read a piece at a time from its start.
    while (inPlace && scanned_ < size) {
        const auto length =
            static_cast<std::size_t>(std::min<std::uint64_t>(kViewBytes, size - scanned_));
        const FileView view(fd_, scanned_, length);
        const char* const begin = view.Data();
        if (begin == nullptr)
            break;
        loglines::LogFileReads().Mapped(fd_);
        const char* const end = begin + view.Size();
        const bool toTheEnd = scanned_ + length == size;
        const char* const last = loglines::FindLastLineEnd(begin, end);
        const char* const rest = last != nullptr ? last + 1 : begin;
        if (last != nullptr)
            countRun(scanned_, begin, rest);
        const std::uint64_t restOffset = scanned_ + static_cast<std::uint64_t>(rest - begin);
        if (toTheEnd && rest < end) {
            const char* lineEnd = nullptr; // the end of the file: the line has none
            unfinished(restOffset, loglines::LineAt(rest, end, lineEnd));
        }
        if (view.Lost())
            return false;
        if (toTheEnd) {
            settle(restOffset, 0);
            return true;
        }
        scanned_ = restOffset; // the next view starts there; the table settles once, at the end
        if (last == nullptr)
            break;
    }
    const loglines::ReadEnd stop =
        loglines::ReadLines(fd_, buffer_, kPassReadBytes, scanned_, size, countRun,
                            [&](std::uint64_t offset, std::string_view text, bool complete) {
                                if (complete)
                                    count(offset, text);
                                else
                                    unfinished(offset, text);
                                return true;
                            });
    settle(stop.lineEnd, stop.error);
    return true;
}

std::uint64_t LogReader::BlockStart(std::size_t block) const {
    return block < blocks_.size() ? blocks_[block] : tail_ ? tail_->offset : scanned_;
}

bool LogReader::Known(std::string_view cardId) const {
    std::uint64_t key = 0;
    if (HexCardKey(cardId, key))
        return hexTokens_.Contains(key);
    return otherTokens_.count(std::string(cardId)) != 0;
}

LogEntry LogReader::Line(std::size_t index) {
    LogEntry entry;
    if (index >= LineCount())
        return entry;
    const std::vector<std::size_t> one{index};
    ForEachLine(&one, 0, [&](std::size_t, std::string_view text) { entry.text = text; });
    const ParsedLogLine parsed = ParseLogLine(entry.text);
    entry.outcome = parsed.outcome;
    entry.time = parsed.time;
    entry.cardId = parsed.cardId;
    entry.message = parsed.message;
    return entry;
}

void LogReader::ForEachLine(const std::vector<std::size_t>* indices, std::size_t from,
                            const std::function<void(std::size_t, std::string_view)>& visit) {
    const std::size_t total = LineCount();
    const std::size_t count = indices ? indices->size() : total - std::min(from, total);
    const auto wanted = [&](std::size_t k) { return indices ? (*indices)[k] : from + k; };
    const std::uint64_t limit = Seen();
    const std::size_t readSize = indices ? kLineRead : kPassReadBytes;
    std::size_t k = 0;
    while (k < count && wanted(k) < total) {
        const std::size_t before = k;
        const std::size_t block = wanted(k) / kBlockLines;
        std::size_t line = block * kBlockLines;
        const auto next = [&](std::uint64_t, std::string_view text) {
            for (; k < count && wanted(k) == line; ++k)
                visit(line, text);
            ++line;
            if (k == count || wanted(k) >= total || line >= total)
                return false;
            // A line far ahead is read from the note before it.
            return wanted(k) / kBlockLines <= line / kBlockLines + kBlocksReadOn;
        };
        const loglines::ReadEnd stop = loglines::ReadLines(
            fd_, buffer_, readSize, BlockStart(block), limit,
            [&](std::uint64_t offset, const char* begin, const char* end) {
                return loglines::SplitRun(offset, begin, end, next);
            },
            [&](std::uint64_t offset, std::string_view text, bool) { return next(offset, text); });
        if (stop.error != 0) {
            readError_ = stop.error;
            break;
        }
        if (k == before)
            break; // the file is shorter than it was: Refresh reads it anew
    }
}

std::vector<std::size_t> LogReader::Find(std::string_view text, std::size_t from) {
    std::vector<std::size_t> found;
    const std::string needle = FoldLetterCase(text);
    std::string folded;
    const auto holds = [&](std::string_view field) {
        FoldInto(folded, field);
        return folded.find(needle) != std::string::npos;
    };
    ForEachLine(nullptr, from, [&](std::size_t index, std::string_view line) {
        const ParsedLogLine parsed = ParseLogLine(line);
        const bool match = parsed.outcome == LogOutcome::Unrecognized
                               ? holds(line)
                               : holds(parsed.cardId) || holds(parsed.message);
        if (match)
            found.push_back(index);
    });
    return found;
}

std::string LogReadProblemText(const std::string& path, int error) {
    return "Журнал инициализации прочитан не полностью (" + path + "): " + LogProblemReason(error) +
           ". Строки после ошибки не учтены.";
}

std::string DayCountsText(const LogTally& tally) {
    std::string text = "Инициализировано: " + std::to_string(tally.succeeded) +
                       "    Ошибок: " + std::to_string(tally.failed) +
                       "    Разных карт: " + std::to_string(tally.tokens);
    if (tally.withoutNumber > 0)
        text += "    Без номера: " + std::to_string(tally.withoutNumber);
    if (tally.unrecognized > 0)
        text += "    Нераспознанных строк: " + std::to_string(tally.unrecognized);
    return text;
}

LogTally LogReader::Tally() const {
    LogTally tally = tally_;
    if (!tail_)
        return tally;
    if (tail_->outcome == LogOutcome::Unrecognized) {
        ++tally.unrecognized;
        return tally;
    }
    ++(tail_->outcome == LogOutcome::Success ? tally.succeeded : tally.failed);
    if (tail_->cardId.empty())
        ++tally.withoutNumber;
    else if (!Known(tail_->cardId))
        ++tally.tokens;
    return tally;
}

std::vector<TokenToRedo> LogReader::TokensToRedo() const {
    std::vector<std::pair<std::size_t, TokenToRedo>> pending;
    hexTokens_.ForEachFailing([&](std::uint64_t key, std::uint32_t first, std::uint32_t last) {
        pending.push_back({first, {HexCardId(key), last}});
    });
    for (const auto& [cardId, card] : otherTokens_)
        if (card.failed && !card.succeeded)
            pending.push_back({card.firstLine, {cardId, card.lastErrorLine}});
    // The unfinished last line counts as it stands.
    if (tail_ && tail_->outcome != LogOutcome::Unrecognized && !tail_->cardId.empty()) {
        const auto same = std::find_if(pending.begin(), pending.end(), [&](const auto& item) {
            return item.second.cardId == tail_->cardId;
        });
        if (tail_->outcome == LogOutcome::Success) {
            if (same != pending.end())
                pending.erase(same);
        } else if (same != pending.end()) {
            same->second.lastErrorLine = lineCount_;
        } else if (!Known(tail_->cardId)) {
            pending.push_back({lineCount_, {tail_->cardId, lineCount_}});
        }
    }
    std::sort(pending.begin(), pending.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<TokenToRedo> result;
    result.reserve(pending.size());
    for (auto& item : pending)
        result.push_back(std::move(item.second));
    return result;
}
