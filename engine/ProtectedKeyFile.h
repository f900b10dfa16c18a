#pragma once
// The passphrase-protected key file: a secret (a whole unblock key, or one share file) encrypted
// with a key derived from a passphrase. Plain C++ over crypto/Passphrase (libsodium).
//
// Layout (integers little-endian; the first 62 bytes are the header, authenticated with the
// ciphertext as associated data, so that no field can be changed unnoticed):
//
//   offset  size  field
//        0     8  magic "OrvaneKP"
//        8     1  format version: 1
//        9     1  key derivation: 1 = Argon2id (version 1.3)
//       10     1  cipher: 1 = XChaCha20-Poly1305 (IETF)
//       11     1  content: 1 = unblock key (16 bytes), 2 = share file (see KeyShares.h)
//       12     4  Argon2id passes (ops limit)
//       16     4  Argon2id memory in KiB (mem limit / 1024)
//       20    16  salt (random)
//       36    24  nonce (random)
//       60     2  length L of the ciphertext (16 .. 1024)
//       62     L  ciphertext
//     62+L    16  authentication tag (Poly1305)
//     78+L    32  checksum: BLAKE2b-256 of every byte before it
//
// The checksum tells a file damaged on its way (a changed or missing byte) from a wrong
// passphrase; the tag proves the passphrase and that nothing was changed on purpose. A plain key
// file is exactly 16 bytes, so it never looks like a protected file.

#include "crypto/Passphrase.h"

#include <cstdint>
#include <string>
#include <vector>

namespace protected_file {

inline constexpr char kMagic[8] = {'O', 'r', 'v', 'a', 'n', 'e', 'K', 'P'};
inline constexpr std::uint8_t kVersion = 1;
inline constexpr std::size_t kHeaderSize = 62;

enum class Content : std::uint8_t {
    UnblockKey = 1,
    Share = 2,
};

// Whether `bytes` start with the magic of a protected file.
bool LooksProtected(const std::vector<std::uint8_t>& bytes);

enum class Check {
    Ok,
    // A format version, key derivation or cipher this program does not know.
    OtherVersion,
    // Truncated, lengthened, a checksum that does not match, or fields out of range.
    Damaged,
};
// Checks the file's structure and checksum without the passphrase; `content` receives what the
// file protects when the answer is Ok.
Check Inspect(const std::vector<std::uint8_t>& file, Content& content);

// The passphrase's cost the file asks for (valid after Inspect answered Ok).
passphrase::Cost CostOf(const std::vector<std::uint8_t>& file);

enum class Unlock {
    Opened,
    OtherVersion,
    Damaged,
    WrongPassphrase,
    // The derivation could not get the memory the file asks for.
    NoMemory,
};
// Opens `file` with `passphrase`; `secret` receives the protected bytes only on Opened.
Unlock Open(const std::vector<std::uint8_t>& file, const std::string& passphrase, Content& content,
            std::vector<std::uint8_t>& secret);

// A new protected file for `secret` (16 .. 1024 bytes) with a fresh salt and nonce. False when
// the derivation could not get its memory or the secret's size is out of range.
bool Seal(const std::vector<std::uint8_t>& secret, Content content, const std::string& passphrase,
          const passphrase::Cost& cost, std::vector<std::uint8_t>& file);

} // namespace protected_file
