#include "LogReader.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

// Reads of the first look and of a pass over every line; lines asked for one by one read about
// a block of lines at a time, and read on rather than start again for a line a few blocks ahead.
constexpr std::size_t kWholeRead = 1 << 20;
constexpr std::size_t kLineRead = 8 << 10;
constexpr std::size_t kBlocksReadOn = 8;

// The first line end (CR or LF) in [from, to), or nullptr: sixteen bytes at a time where the
// processor has SSE2 (every x86-64 does), as memchr does for one byte.
const char* FindLineEnd(const char* from, const char* to) {
#ifdef __SSE2__
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    for (; to - from >= 16; from += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
        const int ends =
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, cr), _mm_cmpeq_epi8(bytes, lf)));
        if (ends != 0)
            return from + __builtin_ctz(static_cast<unsigned>(ends));
    }
#endif
    for (; from < to; ++from)
        if (*from == '\n' || *from == '\r')
            return from;
    return nullptr;
}

// Splits the bytes [from, to) of the file into lines: every CR or LF ends a line, so CR LF is a
// line and an empty one, and empty lines are skipped. Calls visit(offset, text, complete) for each
// line in order, its text cut at kMaxLineBytes, `complete` false for a last line that reaches `to`
// without a line end; visit answers whether to go on. The buffer holds kMaxLineBytes + `readSize`
// bytes: a line is handed over from the buffer where it was read, and a line too long for it is
// handed over as its first kMaxLineBytes. Answers the offset just past the last line end read.
template <typename Visit>
std::uint64_t ScanLines(int fd, std::vector<char>& buffer, std::size_t readSize, std::uint64_t from,
                        std::uint64_t to, Visit&& visit) {
    constexpr std::size_t kMax = LogReader::kMaxLineBytes;
    buffer.resize(std::max(buffer.size(), kMax + readSize));
    char* const data = buffer.data();
    std::uint64_t at = from; // the file offset of data[0]
    std::size_t have = 0;
    std::uint64_t lineEnd = from;
    std::string longHead; // the first bytes of a line longer than kMax, while it is skipped
    std::uint64_t longStart = 0;
    for (;;) {
        const std::uint64_t want = std::min<std::uint64_t>(readSize, to - (at + have));
        ssize_t got = 0;
        if (want > 0) {
            do
                got = pread(fd, data + have, static_cast<std::size_t>(want),
                            static_cast<off_t>(at + have));
            while (got < 0 && errno == EINTR);
        }
        const bool end = got <= 0;
        if (got > 0)
            have += static_cast<std::size_t>(got);
        const char* line = data;
        const char* const stop = data + have;
        while (const char* found = FindLineEnd(line, stop)) {
            if (!longHead.empty()) {
                if (!visit(longStart, std::string_view(longHead), true))
                    return lineEnd;
                longHead.clear();
            } else if (found > line) {
                const auto length =
                    std::min<std::size_t>(static_cast<std::size_t>(found - line), kMax);
                if (!visit(at + static_cast<std::uint64_t>(line - data),
                           std::string_view(line, length), true))
                    return lineEnd;
            }
            line = found + 1;
            lineEnd = at + static_cast<std::uint64_t>(line - data);
        }
        const auto rest = static_cast<std::size_t>(stop - line);
        if (end) {
            if (!longHead.empty())
                visit(longStart, std::string_view(longHead), false);
            else if (rest > 0)
                visit(at + static_cast<std::uint64_t>(line - data),
                      std::string_view(line, std::min(rest, kMax)), false);
            return lineEnd;
        }
        if (longHead.empty() && rest >= kMax) {
            longStart = at + static_cast<std::uint64_t>(line - data);
            longHead.assign(line, kMax);
        }
        if (!longHead.empty()) { // the rest of a long line is not kept
            at += have;
            have = 0;
            continue;
        }
        std::memmove(data, line, rest);
        at += static_cast<std::uint64_t>(line - data);
        have = rest;
    }
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

#ifndef __SSE2__
// The value of each upper-case hexadecimal digit; 0xFF for every other byte.
constexpr std::array<std::uint8_t, 256> kHexDigits = [] {
    std::array<std::uint8_t, 256> digits{};
    for (auto& digit : digits)
        digit = 0xFF;
    for (int c = '0'; c <= '9'; ++c)
        digits[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c)
        digits[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - 'A' + 10);
    return digits;
}();
#endif

// A card number of 16 upper-case hexadecimal digits as its 64-bit value: all sixteen at once
// where the processor has SSE2, one by one elsewhere.
bool HexCardKey(std::string_view cardId, std::uint64_t& key) {
    if (cardId.size() != 16)
        return false;
#ifdef __SSE2__
    // Bytes of 0x80 and above are negative here and fall outside both ranges.
    const __m128i text = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cardId.data()));
    const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(text, _mm_set1_epi8('0' - 1)),
                                        _mm_cmplt_epi8(text, _mm_set1_epi8('9' + 1)));
    const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(text, _mm_set1_epi8('A' - 1)),
                                         _mm_cmplt_epi8(text, _mm_set1_epi8('F' + 1)));
    if (_mm_movemask_epi8(_mm_or_si128(digit, letter)) != 0xFFFF)
        return false;
    // Each byte's value, then each pair of bytes (first digit high) as one byte, in text order.
    const __m128i nibbles = _mm_add_epi8(_mm_and_si128(text, _mm_set1_epi8(0x0F)),
                                         _mm_and_si128(letter, _mm_set1_epi8(9)));
    const __m128i pairs =
        _mm_or_si128(_mm_slli_epi16(_mm_and_si128(nibbles, _mm_set1_epi16(0x00FF)), 4),
                     _mm_srli_epi16(nibbles, 8));
    std::uint64_t bytes = 0;
    _mm_storel_epi64(reinterpret_cast<__m128i*>(&bytes),
                     _mm_packus_epi16(pairs, _mm_setzero_si128()));
    key = __builtin_bswap64(bytes);
    return true;
#else
    std::uint64_t value = 0;
    unsigned invalid = 0;
    for (const char c : cardId) {
        const std::uint8_t digit = kHexDigits[static_cast<unsigned char>(c)];
        invalid |= digit;
        value = value << 4 | (digit & 0xF);
    }
    key = value;
    return (invalid & 0xF0) == 0;
#endif
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
    Scan();
    return first;
}

void LogReader::Scan() {
    const std::uint64_t size = FileSize();
    posix_fadvise(fd_, static_cast<off_t>(scanned_), 0, POSIX_FADV_SEQUENTIAL);
    const auto count = [&](std::string_view text) {
        const auto index = static_cast<std::uint32_t>(lineCount_);
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
    scanned_ = ScanLines(
        fd_, buffer_, kWholeRead, scanned_, size,
        [&](std::uint64_t offset, std::string_view text, bool complete) {
            if (!complete) {
                const ParsedLogLine parsed = ParseLogLine(text);
                tail_ = Tail{offset, size - offset, parsed.outcome, std::string(parsed.cardId)};
                return true;
            }
            if (lineCount_ % kBlockLines == 0)
                blocks_.push_back(offset);
            count(text);
            ++lineCount_;
            return true;
        });
    hexTokens_.Settle();
    tally_.tokens = hexTokens_.Size() + otherTokens_.size();
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
    const std::size_t readSize = indices ? kLineRead : kWholeRead;
    std::size_t k = 0;
    while (k < count && wanted(k) < total) {
        const std::size_t before = k;
        const std::size_t block = wanted(k) / kBlockLines;
        std::size_t line = block * kBlockLines;
        ScanLines(fd_, buffer_, readSize, BlockStart(block), limit,
                  [&](std::uint64_t, std::string_view text, bool) {
                      for (; k < count && wanted(k) == line; ++k)
                          visit(line, text);
                      ++line;
                      if (k == count || wanted(k) >= total || line >= total)
                          return false;
                      // A line far ahead is read from the note before it.
                      return wanted(k) / kBlockLines <= line / kBlockLines + kBlocksReadOn;
                  });
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
