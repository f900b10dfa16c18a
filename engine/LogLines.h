#pragma once
// A day's log read as lines, quickly enough for logs of millions of lines: the file is read a
// piece at a time into one buffer and handed over as runs of whole lines, which are split where
// they lie, without copying. Every CR or LF ends a line, so CR LF is a line and an empty one;
// empty lines are skipped. Plain C++.

#include "engine/LogLine.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#else
#include <array>
#endif

namespace loglines {

namespace detail {

#ifdef __SSE2__
// The CR and LF bytes among 16 as a bit mask, lowest byte first.
inline unsigned LineEndMask(__m128i bytes) {
    const __m128i ends = _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r')),
                                      _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')));
    return static_cast<unsigned>(_mm_movemask_epi8(ends));
}
inline __m128i Load16(const char* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}
#else
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

inline bool IsLineEnd(char c) {
    return c == '\r' || c == '\n';
}

} // namespace detail

// Longer lines are handed over as their first kMaxLineBytes.
constexpr std::size_t kMaxLineBytes = 64 * 1024;

// The first line end (CR or LF) in [from, to), or nullptr: sixteen bytes at a time where the
// processor has SSE2 (every x86-64 does), as memchr does for one byte.
inline const char* FindLineEnd(const char* from, const char* to) {
#ifdef __SSE2__
    for (; to - from >= 16; from += 16)
        if (const unsigned ends = detail::LineEndMask(detail::Load16(from)))
            return from + __builtin_ctz(ends);
#endif
    for (; from < to; ++from)
        if (detail::IsLineEnd(*from))
            return from;
    return nullptr;
}
// The last line end in [from, to), or nullptr.
const char* FindLastLineEnd(const char* from, const char* to);

// A card number of 16 upper-case hexadecimal digits as its 64-bit value, and back: all sixteen
// digits at once where the processor has SSE2, one by one elsewhere.
inline bool HexCardKey(std::string_view cardId, std::uint64_t& key) {
    if (cardId.size() != 16)
        return false;
#ifdef __SSE2__
    // Bytes of 0x80 and above are negative here and fall outside both ranges.
    const __m128i text = detail::Load16(cardId.data());
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
        const std::uint8_t digit = detail::kHexDigits[static_cast<unsigned char>(c)];
        invalid |= digit;
        value = value << 4 | (digit & 0xF);
    }
    key = value;
    return (invalid & 0xF0) == 0;
#endif
}

std::string HexCardId(std::uint64_t key);

// A log line of the shape the program writes, with a card number of 16 upper-case hexadecimal
// digits, recognized without taking it apart piece by piece: where it ends, whether it is a
// success line and its card number.
struct QuickLine {
    const char* end = nullptr; // its line end
    bool success = false;
    std::uint64_t key = 0;
};
// The bytes QuickLogLine may look at from the start of a line.
constexpr std::size_t kQuickLookahead = 64;
// Recognizes the line at `line` in a run of whole lines that ends at `end`, at least
// kQuickLookahead bytes further. Answers false for any other line (no card number or another
// kind of number, an unrecognized line, an empty one, ...): the caller reads it with
// ParseLogLine, which gives the same result for every line this recognizes.
//
// The shape: "<time>: #<16 digits> SUCCESS" or "<time>: #<16 digits> ERROR: <message>".
// ParseLogLine takes as the time whatever stands before the first ": #" within the first 35
// bytes, with no '#' before it: so the line's first '#' stands at 3..34, after ": " and before
// any line end.
[[gnu::always_inline]] inline bool QuickLogLine(const char* line, const char* end,
                                                QuickLine& quick) {
#ifdef __SSE2__
    // The program writes the time as HH:MM:SS, so the line mostly begins with ten bytes of which
    // ": #" are the last three: then one look at the first 16 bytes shows that this is the line's
    // first '#', after ": ", with no line end before it. Any other line looks for its first '#'
    // in the first 48 bytes.
    constexpr unsigned kUsualHash = 10;
    constexpr unsigned kUpToUsualHash = (1u << (kUsualHash + 1)) - 1;
    constexpr unsigned kColonBlank = 3u << (kUsualHash - 2);
    const __m128i head = detail::Load16(line);
    const unsigned headHashes =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(head, _mm_set1_epi8('#'))));
    const unsigned headEnds = detail::LineEndMask(head);
    const unsigned headColonBlank = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_cmpeq_epi8(head, _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, ':', ' ', 0, 0, 0, 0, 0, 0))));
    unsigned hash = kUsualHash;
    if ((((headHashes & kUpToUsualHash) ^ (1u << kUsualHash)) | (headEnds & kUpToUsualHash) |
         ((headColonBlank & kColonBlank) ^ kColonBlank)) != 0) {
        std::uint64_t hashes = headHashes;
        std::uint64_t ends = headEnds;
        for (int i = 1; i < 3; ++i) {
            const __m128i bytes = detail::Load16(line + 16 * i);
            hashes |= std::uint64_t{static_cast<unsigned>(
                          _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('#'))))}
                      << (16 * i);
            ends |= std::uint64_t{detail::LineEndMask(bytes)} << (16 * i);
        }
        if (hashes == 0)
            return false;
        hash = static_cast<unsigned>(__builtin_ctzll(hashes));
        if (hash < 3 || hash > 34 || (ends & ((std::uint64_t{1} << hash) - 1)) != 0 ||
            line[hash - 2] != ':' || line[hash - 1] != ' ')
            return false;
    }
    if (!HexCardKey(std::string_view(line + hash + 1, 16), quick.key))
        return false;
    // The blank after the card number and the outcome's word, eight bytes at once.
    static_assert(std::endian::native == std::endian::little);
    constexpr auto word = [](const char(&text)[9]) {
        std::uint64_t value = 0;
        for (int i = 7; i >= 0; --i)
            value = value << 8 | static_cast<unsigned char>(text[i]);
        return value;
    };
    std::uint64_t outcome = 0;
    std::memcpy(&outcome, line + hash + 17, sizeof outcome);
    const char* const after = line + hash + 25;
    if (outcome == word(" SUCCESS") && detail::IsLineEnd(*after)) {
        quick.success = true;
        quick.end = after;
        return true;
    }
    if (outcome != word(" ERROR: "))
        return false;
    quick.success = false;
    quick.end = FindLineEnd(after, end);
    return quick.end != nullptr;
#else
    (void)line;
    (void)end;
    (void)quick;
    return false;
#endif
}

// The text of the line at `line` in a run of whole lines that ends at `end`, cut at
// kMaxLineBytes; `lineEnd` gets where its line end stands.
inline std::string_view LineAt(const char* line, const char* end, const char*& lineEnd) {
    lineEnd = FindLineEnd(line, end);
    if (lineEnd == nullptr)
        lineEnd = end;
    return {line, std::min<std::size_t>(static_cast<std::size_t>(lineEnd - line), kMaxLineBytes)};
}

// Splits a run of whole lines at file offset `offset` (`end` just past its last line end) and
// calls visit(offset, text) for each line that is not empty, its text cut at kMaxLineBytes;
// visit answers whether to go on. Answers false when it stopped.
template <typename Visit>
bool SplitRun(std::uint64_t offset, const char* begin, const char* end, Visit&& visit) {
    for (const char* line = begin; line < end;) {
        const char* lineEnd = nullptr;
        const std::string_view text = LineAt(line, end, lineEnd);
        if (!text.empty() && !visit(offset + static_cast<std::uint64_t>(line - begin), text))
            return false;
        line = lineEnd + 1;
    }
    return true;
}

// The reads of a log file: pread, or a replacement that tests install to fail where they say.
class ILogFileReads {
public:
    virtual ~ILogFileReads() = default;
    // As pread: the bytes read, 0 at the end of the file, -1 with errno set.
    virtual ssize_t Read(int fd, char* to, std::size_t bytes, std::uint64_t offset) = 0;
    // Whether a reader that goes through the whole file may map it and read it in place
    // (engine/FileView.h) instead: the real reads allow it; a replacement that makes reads fail
    // does not, so that every byte goes through it.
    virtual bool InPlace() const { return false; }
    // Told when a reading in place has just mapped the file `fd`, before it reads a byte.
    virtual void Mapped(int fd) { (void)fd; }
};
ILogFileReads& LogFileReads();
// Installs `reads`; nullptr puts pread back.
void SetLogFileReads(ILogFileReads* reads);

// Where a reading of lines stopped.
struct ReadEnd {
    std::uint64_t lineEnd = 0; // the offset just past the last line end read
    int error = 0;             // errno of a read that failed; 0 when none did
};

// Reads the bytes [from, to) of the file, `readSize` at a time into `buffer` (which grows to
// kMaxLineBytes + readSize), and hands its lines over in file order:
//   run(offset, begin, end)          a run of whole lines, `end` just past its last line end;
//   lone(offset, text, complete)     a line by itself: the first kMaxLineBytes of a line too
//                                    long for the buffer (complete), or the last line, which
//                                    reaches `to` without a line end (not complete).
// Either answers whether to go on. A read that fails (other than by an interruption) ends the
// reading there with its error: the bytes after the last line end are no last line then.
template <typename Run, typename Lone>
ReadEnd ReadLines(int fd, std::vector<char>& buffer, std::size_t readSize, std::uint64_t from,
                  std::uint64_t to, Run&& run, Lone&& lone) {
    ILogFileReads& reads = LogFileReads();
    buffer.resize(std::max(buffer.size(), kMaxLineBytes + readSize));
    char* const data = buffer.data();
    std::uint64_t at = from; // the file offset of data[0]
    std::size_t have = 0;
    std::uint64_t lineEnd = from;
    std::string longHead; // the first bytes of a line longer than kMaxLineBytes, while skipped
    std::uint64_t longStart = 0;
    const auto offsetOf = [&](const char* p) { return at + static_cast<std::uint64_t>(p - data); };
    for (;;) {
        const std::uint64_t want = std::min<std::uint64_t>(readSize, to - (at + have));
        ssize_t got = 0;
        if (want > 0) {
            do
                got = reads.Read(fd, data + have, static_cast<std::size_t>(want), at + have);
            while (got < 0 && errno == EINTR);
            if (got < 0)
                return {lineEnd, errno};
        }
        const bool end = got <= 0;
        if (got > 0)
            have += static_cast<std::size_t>(got);
        const char* begin = data;
        const char* const stop = data + have;
        if (!longHead.empty()) {
            if (const char* found = FindLineEnd(begin, stop)) {
                if (!lone(longStart, std::string_view(longHead), true))
                    return {lineEnd};
                longHead.clear();
                begin = found + 1;
                lineEnd = offsetOf(begin);
            }
        }
        if (longHead.empty()) {
            if (const char* last = FindLastLineEnd(begin, stop)) {
                if (!run(offsetOf(begin), begin, last + 1))
                    return {lineEnd};
                begin = last + 1;
                lineEnd = offsetOf(begin);
            }
        }
        const auto rest = static_cast<std::size_t>(stop - begin);
        if (end) {
            if (!longHead.empty())
                lone(longStart, std::string_view(longHead), false);
            else if (rest > 0)
                lone(offsetOf(begin), std::string_view(begin, std::min(rest, kMaxLineBytes)),
                     false);
            return {lineEnd};
        }
        if (longHead.empty() && rest >= kMaxLineBytes) {
            longStart = offsetOf(begin);
            longHead.assign(begin, kMaxLineBytes);
        }
        if (!longHead.empty()) { // the rest of a long line is not kept
            at += have;
            have = 0;
            continue;
        }
        std::memmove(data, begin, rest);
        at = offsetOf(begin);
        have = rest;
    }
}

} // namespace loglines
