#pragma once
// Challenge-response unblocking: a user reads a challenge off a blocked token, the administrator
// answers with the response computed offline from the unblock key. Both codes are eight groups of
// two upper-case hexadecimal digits separated by single blanks ("01 23 45 67 89 AB CD EF").
// Plain C++ on UTF-8 texts.

#include "card/ReaderSession.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// True for a challenge in the code form: exactly 23 characters once trailing blanks and control
// characters are cut, digits 0-9 and A-F (upper case) in pairs, a blank after each pair but the
// last.
bool IsChallengeValid(std::string_view text);

// The value of the first `count` characters read as hexadecimal digits 0-9, A-F; any other
// character, and a position past the end, reads as 0.
int HexPairValue(std::string_view text, int count);

// The bytes of the first `length` characters of a challenge: blanks are skipped, every other
// character starts a pair (at most 255 bytes).
Bytes ParseChallenge(std::string_view text, int length);

// `count` bytes as pairs of upper-case digits separated by blanks, cut to 24 characters.
std::string FormatResponse(const std::uint8_t* bytes, int count);

// The response to a valid challenge: its eight bytes encrypted with the unblock key (two-key
// Triple-DES, one block), in the code form. Every copy of the block is wiped.
std::string ComputeResponse(const std::array<std::uint8_t, 16>& unblockKey,
                            std::string_view validChallenge);
