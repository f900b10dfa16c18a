#include "Cp1251.h"

#include "crypto/Wipe.h"

#include <algorithm>
#include <array>
#include <iterator>

namespace {

constexpr char32_t kInvalid = 0xFFFFFFFF;
constexpr char32_t kReplacement = 0xFFFD;

// The characters of bytes 0x80..0xBF; 0xC0..0xFF are U+0410..U+044F (А..я) in order. 0x98 is
// unassigned in the code page and maps to U+0098, as the Windows converters do.
constexpr std::array<char16_t, 64> kUpperHalf = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F, // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457, // B8
};

// The byte of `c` in code page 1251, or -1.
int Cp1251Byte(char32_t c) {
    if (c < 0x80)
        return static_cast<int>(c);
    if (c >= 0x0410 && c <= 0x044F)
        return static_cast<int>(c - 0x0410 + 0xC0);
    const auto found = std::find(kUpperHalf.begin(), kUpperHalf.end(), c);
    if (found == kUpperHalf.end())
        return -1;
    return 0x80 + static_cast<int>(std::distance(kUpperHalf.begin(), found));
}

// Decodes the UTF-8 character at `text[position]` and moves past it; kInvalid (moving one byte)
// for a byte that does not start a well-formed character (overlong forms, surrogates and values
// past U+10FFFF included).
char32_t NextUtf8(std::string_view text, std::size_t& position) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(position);
    int length = 0;
    char32_t c = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        ++position;
        return lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, c = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, c = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, c = lead & 0x07, minimum = 0x10000;
    } else {
        ++position;
        return kInvalid;
    }
    if (position + static_cast<std::size_t>(length) > text.size()) {
        ++position;
        return kInvalid;
    }
    for (int i = 1; i < length; ++i) {
        const unsigned char next = byte(position + static_cast<std::size_t>(i));
        if ((next & 0xC0) != 0x80) {
            ++position;
            return kInvalid;
        }
        c = (c << 6) | (next & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        ++position;
        return kInvalid;
    }
    position += static_cast<std::size_t>(length);
    return c;
}

// The bytes of the characters read by `next` until it reports the end; nothing (and the partial
// bytes wiped) on a character without a byte. Reserved up front so that the buffer never moves.
template <typename Next>
std::optional<std::vector<std::uint8_t>> EncodeAll(std::size_t capacity, Next next) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(capacity);
    char32_t c = 0;
    while (next(c)) {
        const int value = c == kInvalid ? -1 : Cp1251Byte(c);
        if (value < 0) {
            SecretBytes::WipeVector(bytes);
            return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return bytes;
}

} // namespace

std::optional<std::vector<std::uint8_t>> Utf8ToCp1251(std::string_view text) {
    std::size_t position = 0;
    return EncodeAll(text.size(), [&](char32_t& c) {
        if (position >= text.size())
            return false;
        c = NextUtf8(text, position);
        return true;
    });
}

std::optional<std::vector<std::uint8_t>> Utf16ToCp1251(std::u16string_view text) {
    std::size_t position = 0;
    return EncodeAll(text.size(), [&](char32_t& c) {
        if (position >= text.size())
            return false;
        const char16_t unit = text[position++];
        // Every character of the code page is in the basic plane: a surrogate, paired or not,
        // has no byte.
        c = (unit >= 0xD800 && unit <= 0xDFFF) ? kInvalid : unit;
        return true;
    });
}

bool IsCp1251Utf8(std::string_view text) {
    std::size_t position = 0;
    while (position < text.size()) {
        const char32_t c = NextUtf8(text, position);
        if (c == kInvalid || Cp1251Byte(c) < 0)
            return false;
    }
    return true;
}

bool IsCp1251Utf16(std::u16string_view text) {
    for (const char16_t unit : text)
        if (Cp1251Byte(unit) < 0)
            return false;
    return true;
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string result;
    std::size_t position = 0;
    while (position < text.size()) {
        char32_t c = NextUtf8(text, position);
        if (c == kInvalid)
            c = kReplacement;
        if (c >= 0x10000) {
            c -= 0x10000;
            result += static_cast<char16_t>(0xD800 + (c >> 10));
            result += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            result += static_cast<char16_t>(c);
        }
    }
    return result;
}

std::size_t Utf16Length(std::string_view text) {
    std::size_t length = 0;
    std::size_t position = 0;
    while (position < text.size()) {
        const char32_t c = NextUtf8(text, position);
        length += (c != kInvalid && c >= 0x10000) ? 2 : 1;
    }
    return length;
}
