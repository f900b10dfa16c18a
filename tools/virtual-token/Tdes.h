#pragma once
// The token's cryptography: two-key Triple-DES of one 8-byte block with OpenSSL's DES-EDE-ECB
// (E_K1(D_K2(E_K1(block)))), random bytes, comparison and wiping of secrets.

#include <cstddef>
#include <cstdint>

namespace vtoken {

// `key` holds 16 bytes (K1 then K2), `block` and `out` 8. False when OpenSSL refuses, which the
// token treats as a failed check.
bool TdesEncryptBlock(const std::uint8_t* key, const std::uint8_t* block, std::uint8_t* out);

// Comparison of two byte ranges of the same length in a time independent of their content.
bool SameBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t length);

// Fills `out` from OpenSSL's random generator; false when it fails.
bool RandomBytes(std::uint8_t* out, std::size_t length);

// Overwrites a buffer in a way the compiler keeps.
void Wipe(void* data, std::size_t length);

} // namespace vtoken
