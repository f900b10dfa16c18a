#pragma once
// Protection of a secret by a passphrase, over libsodium: Argon2id derives a 32-byte key from the
// passphrase and a random salt (memory-hard, so that guessing costs memory as well as time), and
// XChaCha20-Poly1305 encrypts the secret with it and authenticates the secret and the file's
// header together. Nothing cryptographic is written here; the derived key is wiped after use.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace passphrase {

inline constexpr std::size_t kSaltSize = 16;  // crypto_pwhash_SALTBYTES
inline constexpr std::size_t kNonceSize = 24; // XChaCha20-Poly1305's nonce
inline constexpr std::size_t kTagSize = 16;   // Poly1305's authentication tag

// Argon2id's cost: passes over the memory, and the memory in KiB.
struct Cost {
    std::uint32_t passes = 0;
    std::uint32_t memoryKiB = 0;
};

// What new files are written with: 3 passes over 128 MiB, about 0.4 s to 0.9 s on a two-core
// workstation (bench/crypto measures it).
inline constexpr Cost kDefaultCost{3, 128 * 1024};
// What a file may ask of a reader: at least libsodium's minimum, at most 1 GiB and 16 passes,
// so that a damaged or hostile file cannot make loading take all memory or minutes.
bool CostAccepted(const Cost& cost);

// Encrypts `plain` with the key derived from `passphrase`, `salt` and `cost`; `header` is
// authenticated with it. `sealed` receives the ciphertext followed by the tag. False when the
// derivation could not get its memory.
bool Seal(const std::string& passphrase, const Cost& cost, const std::uint8_t* salt,
          const std::uint8_t* nonce, const std::vector<std::uint8_t>& header,
          const std::vector<std::uint8_t>& plain, std::vector<std::uint8_t>& sealed);

enum class OpenResult {
    Opened,
    // The tag does not match: a wrong passphrase, or a header or ciphertext changed on purpose.
    NotAuthentic,
    // The derivation could not get its memory, or the cost is refused.
    NoMemory,
};
// The reverse of Seal: `plain` receives the secret only when the answer is Opened.
OpenResult Open(const std::string& passphrase, const Cost& cost, const std::uint8_t* salt,
                const std::uint8_t* nonce, const std::vector<std::uint8_t>& header,
                const std::vector<std::uint8_t>& sealed, std::vector<std::uint8_t>& plain);

// The key derivation alone, for the benchmark: false when it could not get its memory.
bool DeriveKey(const std::string& passphrase, const Cost& cost, const std::uint8_t* salt,
               std::uint8_t* key32);

} // namespace passphrase
