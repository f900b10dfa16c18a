#include "ChallengeResponse.h"

#include "crypto/TripleDes.h"
#include "crypto/Wipe.h"

#include <algorithm>

namespace {

bool IsUpperHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

int DigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 0;
}

bool IsBlankOrControl(char c) {
    return static_cast<unsigned char>(c) <= 0x20;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlankOrControl(s.back()))
        s.remove_suffix(1);
    while (!s.empty() && IsBlankOrControl(s.front()))
        s.remove_prefix(1);
    return s;
}

} // namespace

bool IsChallengeValid(std::string_view text) {
    while (!text.empty() && IsBlankOrControl(text.back()))
        text.remove_suffix(1);
    if (text.size() != 23)
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i % 3 == 2) {
            if (text[i] != ' ')
                return false;
        } else if (!IsUpperHexDigit(text[i])) {
            return false;
        }
    }
    return true;
}

int HexPairValue(std::string_view text, int count) {
    int value = 0;
    for (int i = 0; i < count; ++i)
        value = value * 16 + (static_cast<std::size_t>(i) < text.size()
                                  ? DigitValue(text[static_cast<std::size_t>(i)])
                                  : 0);
    return value;
}

Bytes ParseChallenge(std::string_view text, int length) {
    Bytes bytes;
    length = std::max(0, std::min(length, static_cast<int>(text.size())));
    // Made in its final size at once: a buffer outgrown while it fills would be released with a
    // part of the code still in it.
    bytes.reserve(static_cast<std::size_t>(length) / 2 + 1);
    int pos = 1;
    while (pos < length && bytes.size() < 255) {
        if (text[static_cast<std::size_t>(pos - 1)] == ' ') {
            ++pos;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(
                HexPairValue(text.substr(static_cast<std::size_t>(pos - 1), 2), 2)));
            pos += 2;
        }
    }
    return bytes;
}

std::string FormatResponse(const std::uint8_t* bytes, int count) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (int i = 0; i < count; ++i) {
        s += ' ';
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 0x0F];
    }
    return s.size() <= 1 ? std::string() : s.substr(1, 24);
}

std::string ComputeResponse(const std::array<std::uint8_t, 16>& unblockKey,
                            std::string_view validChallenge) {
    const std::string_view challenge = Trim(validChallenge);
    SecretBytes block{ParseChallenge(challenge, static_cast<int>(challenge.size()))};
    block.data.resize(8, 0);
    TripleDes cipher(unblockKey.data());
    cipher.EncryptECB(block.data.data(), 8);
    return FormatResponse(block.data.data(), 8);
}
