#include "LogReader.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t Chunk = 1 << 20;

// The end of the line that starts at `begin` in [begin, end): its LF, or a CR that no LF follows
// (a log written with CR-only line ends). A CR last in the buffer is decided once the next byte is
// read: nullptr then, as when there is no line end.
const char* LineEnd(const char* begin, const char* end) {
    const char* lf = static_cast<const char*>(std::memchr(begin, '\n', end - begin));
    const char* upTo = lf ? lf : end;
    const char* cr = static_cast<const char*>(std::memchr(begin, '\r', upTo - begin));
    if (!cr || cr + 1 == lf)
        return lf;
    return cr + 1 < end ? cr : nullptr;
}

std::string_view WithoutCr(std::string_view text) {
    if (!text.empty() && text.back() == '\r')
        text.remove_suffix(1);
    return text;
}

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

// A card number of 16 upper-case hexadecimal digits as its 64-bit value.
bool HexCardKey(std::string_view cardId, std::uint64_t& key) {
    if (cardId.size() != 16)
        return false;
    key = 0;
    for (const char c : cardId) {
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (digit < 0)
            return false;
        key = key << 4 | static_cast<std::uint64_t>(digit);
    }
    return true;
}

std::string HexCardId(std::uint64_t key) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text(16, '0');
    for (int i = 15; i >= 0; --i, key >>= 4)
        text[static_cast<std::size_t>(i)] = digits[key & 0xF];
    return text;
}

} // namespace

std::string FoldLetterCase(std::string_view text) {
    std::string folded;
    FoldInto(folded, text);
    return folded;
}

bool LogReader::Open(const std::string& path) {
    Close();
    file_.open(path, std::ios::binary);
    if (!file_.is_open())
        return false;
    path_ = path;
    Scan();
    return true;
}

void LogReader::Close() {
    if (file_.is_open())
        file_.close();
    path_.clear();
    Reset();
}

void LogReader::Reset() {
    lines_.clear();
    lines_.shrink_to_fit();
    tail_.reset();
    scanned_ = 0;
    tally_ = {};
    hexTokens_.clear();
    otherTokens_.clear();
}

std::size_t LogReader::FileSize() {
    file_.clear();
    file_.seekg(0, std::ios::end);
    const auto size = file_.tellg();
    return size < 0 ? 0 : static_cast<std::size_t>(size);
}

std::size_t LogReader::Refresh() {
    if (!file_.is_open())
        return 0;
    const std::uint64_t size = FileSize();
    const std::uint64_t seen = scanned_ + (tail_ ? tail_->bytes : 0);
    if (size == seen)
        return LineCount();
    if (size < seen) {
        Reset();
        Scan();
        return 0;
    }
    const std::size_t first = lines_.size();
    DropTail();
    Scan();
    return first;
}

void LogReader::Scan() {
    std::vector<char> buffer(Chunk);
    std::uint64_t at = scanned_;
    for (;;) {
        file_.clear();
        file_.seekg(static_cast<std::streamoff>(at));
        file_.read(buffer.data(), static_cast<std::streamsize>(Chunk));
        const auto n = static_cast<std::size_t>(file_.gcount());
        if (n == 0)
            break;
        std::size_t begin = 0;
        while (const char* found = LineEnd(buffer.data() + begin, buffer.data() + n)) {
            const auto end = static_cast<std::size_t>(found - buffer.data());
            AddLine(at + begin, std::string_view(buffer.data() + begin, end - begin));
            begin = end + 1;
        }
        if (begin == 0 && n == Chunk) {
            // One line longer than the buffer: its first bytes stand for it; skip to its end.
            const std::string head(buffer.data(), MaxLineBytes);
            std::uint64_t pos = at + n;
            for (;;) {
                file_.clear();
                file_.seekg(static_cast<std::streamoff>(pos));
                file_.read(buffer.data(), static_cast<std::streamsize>(Chunk));
                const auto more = static_cast<std::size_t>(file_.gcount());
                const void* found = std::memchr(buffer.data(), '\n', more);
                if (found) {
                    AddLine(at, head);
                    at = pos +
                         static_cast<std::size_t>(static_cast<const char*>(found) - buffer.data()) +
                         1;
                    break;
                }
                pos += more;
                if (more < Chunk) {
                    scanned_ = at;
                    SetTail(at, head, pos - at);
                    return;
                }
            }
            continue;
        }
        at += begin;
        if (n < Chunk) {
            scanned_ = at;
            SetTail(at, std::string_view(buffer.data() + begin, n - begin), n - begin);
            return;
        }
    }
    scanned_ = at;
}

void LogReader::AddLine(std::uint64_t offset, std::string_view text) {
    text = WithoutCr(text);
    if (text.empty())
        return;
    const auto length = static_cast<std::uint32_t>(std::min(text.size(), MaxLineBytes));
    lines_.push_back({offset, length});
    Count(lines_.size() - 1, text.substr(0, length));
}

void LogReader::SetTail(std::uint64_t offset, std::string_view text, std::uint64_t bytes) {
    text = WithoutCr(text);
    if (text.empty())
        return;
    const auto length = static_cast<std::uint32_t>(std::min(text.size(), MaxLineBytes));
    text = text.substr(0, length);
    Tail tail{{offset, length}, bytes, tally_, std::string(ParseLogLine(text).cardId), {}};
    if (const TokenState* token = FindToken(tail.cardId))
        tail.tokenBefore = *token;
    tail_ = std::move(tail);
    Count(lines_.size(), text);
}

void LogReader::DropTail() {
    if (!tail_)
        return;
    tally_ = tail_->tallyBefore;
    if (!tail_->cardId.empty()) {
        if (tail_->tokenBefore)
            *FindToken(tail_->cardId) = *tail_->tokenBefore;
        else
            EraseToken(tail_->cardId);
    }
    tail_.reset();
}

void LogReader::Count(std::size_t index, std::string_view text) {
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
    const auto [token, added] = AddToken(parsed.cardId, index);
    if (added)
        ++tally_.tokens;
    if (success) {
        token->succeeded = true;
    } else {
        token->failed = true;
        token->lastErrorLine = static_cast<std::uint32_t>(index);
    }
}

LogReader::TokenState* LogReader::FindToken(std::string_view cardId) {
    std::uint64_t key = 0;
    if (HexCardKey(cardId, key)) {
        const auto it = hexTokens_.find(key);
        return it == hexTokens_.end() ? nullptr : &it->second;
    }
    const auto it = otherTokens_.find(std::string(cardId));
    return it == otherTokens_.end() ? nullptr : &it->second;
}

std::pair<LogReader::TokenState*, bool> LogReader::AddToken(std::string_view cardId,
                                                            std::size_t line) {
    const TokenState fresh{static_cast<std::uint32_t>(line)};
    std::uint64_t key = 0;
    if (HexCardKey(cardId, key)) {
        const auto [it, added] = hexTokens_.try_emplace(key, fresh);
        return {&it->second, added};
    }
    const auto [it, added] = otherTokens_.try_emplace(std::string(cardId), fresh);
    return {&it->second, added};
}

void LogReader::EraseToken(std::string_view cardId) {
    std::uint64_t key = 0;
    if (HexCardKey(cardId, key))
        hexTokens_.erase(key);
    else
        otherTokens_.erase(std::string(cardId));
}

std::string LogReader::ReadSpan(const LineSpan& span) {
    std::string text(span.length, '\0');
    file_.clear();
    file_.seekg(static_cast<std::streamoff>(span.offset));
    file_.read(text.data(), static_cast<std::streamsize>(span.length));
    text.resize(static_cast<std::size_t>(file_.gcount()));
    return text;
}

LogEntry LogReader::Line(std::size_t index) {
    LogEntry entry;
    if (index >= LineCount())
        return entry;
    entry.text = ReadSpan(index < lines_.size() ? lines_[index] : tail_->span);
    const ParsedLogLine parsed = ParseLogLine(entry.text);
    entry.outcome = parsed.outcome;
    entry.time = parsed.time;
    entry.cardId = parsed.cardId;
    entry.message = parsed.message;
    return entry;
}

void LogReader::ForEachLine(const std::vector<std::size_t>* indices, std::size_t from,
                            const std::function<void(std::size_t, std::string_view)>& visit) {
    std::vector<char> buffer;
    std::uint64_t bufferStart = 0;
    std::size_t bufferSize = 0;
    const std::size_t count = indices ? indices->size() : LineCount() - std::min(from, LineCount());
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t index = indices ? (*indices)[k] : from + k;
        if (index >= LineCount())
            break;
        const LineSpan& span = index < lines_.size() ? lines_[index] : tail_->span;
        if (span.offset < bufferStart || span.offset + span.length > bufferStart + bufferSize) {
            buffer.resize(std::max<std::size_t>(Chunk, span.length));
            file_.clear();
            file_.seekg(static_cast<std::streamoff>(span.offset));
            file_.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            bufferStart = span.offset;
            bufferSize = static_cast<std::size_t>(file_.gcount());
            if (bufferSize < span.length)
                break; // the file is shorter than it was: Refresh reads it anew
        }
        visit(index, std::string_view(buffer.data() + (span.offset - bufferStart), span.length));
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

LogTally LogReader::Tally() const {
    return tally_;
}

std::vector<TokenToRedo> LogReader::TokensToRedo() const {
    std::vector<std::pair<std::size_t, TokenToRedo>> pending;
    for (const auto& [key, state] : hexTokens_)
        if (state.failed && !state.succeeded)
            pending.push_back({state.firstLine, {HexCardId(key), state.lastErrorLine}});
    for (const auto& [cardId, state] : otherTokens_)
        if (state.failed && !state.succeeded)
            pending.push_back({state.firstLine, {cardId, state.lastErrorLine}});
    std::sort(pending.begin(), pending.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<TokenToRedo> result;
    result.reserve(pending.size());
    for (auto& item : pending)
        result.push_back(std::move(item.second));
    return result;
}
