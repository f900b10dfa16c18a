#pragma once
// Knowing which unblock key is in force: its key check value (KCV) and the keys that must not be
// used by mistake. Plain C++.
//
// The KCV is the established practice of key management: the first three bytes of the key's
// Triple-DES encryption of a zero block, written as six upper-case hexadecimal digits ("8BAF47").
// It identifies a key without revealing it; administrators write it down with the key file and
// compare it whenever the key is loaded.

#include <array>
#include <cstdint>
#include <string>

using UnblockKeyBytes = std::array<std::uint8_t, 16>;

// The key every token holds until an administrator's key is put on it, and the one in force in
// the program until a key is loaded or generated.
inline constexpr UnblockKeyBytes kDefaultUnblockKey = {
    0x12, 0x24, 0x36, 0x48, 0x5A, 0x6C, 0x7E, 0x90, 0xA2, 0xA2, 0xA2, 0xA2, 0xA2, 0xA2, 0xA2, 0xA2};

// Six upper-case hexadecimal digits: the first three bytes of Triple-DES-ECB of eight zero bytes.
std::string KeyCheckValue(const UnblockKeyBytes& key);

enum class KeyWeakness {
    None,
    // The two halves are equal: two-key Triple-DES is then single DES.
    SingleDes,
    // The built-in default key, known to everybody who has the program.
    DefaultKey,
};
KeyWeakness WeaknessOf(const UnblockKeyBytes& key);
