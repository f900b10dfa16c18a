#pragma once
// Unblock key files. The plain key file is exactly 16 raw bytes, the two-key Triple-DES key;
// a key may also be kept protected by a passphrase (ProtectedKeyFile.h) or split into shares
// (KeyShares.h), and KeyLoader.h reads every kind. Reading takes only a regular file; writing is
// atomic (a complete file or none) and owner-only (0600). Plain C++ on file-system paths (bytes
// as the system takes them).

#include "crypto/Passphrase.h"
#include "engine/KeyCheck.h"

#include <cstdint>
#include <string>
#include <vector>

enum class KeyFileRead {
    Loaded,
    // Missing, unreadable, or not a regular file (a folder, a FIFO, a device).
    CannotOpen,
    // A regular file of any size but 16 bytes.
    WrongSize,
};

// Reads the plain key in `path` into `key`; `key` is left untouched unless the answer is Loaded.
// Every other copy of the bytes is wiped. `permissions`, when given, receives the file's mode bits
// (0600 for a file only its owner may read and write).
KeyFileRead ReadKeyFile(const std::string& path, UnblockKeyBytes& key,
                        unsigned* permissions = nullptr);

// A key file that the group or others may read or write: anybody who can read it can unblock
// every token that carries the key.
bool IsOpenToOthers(unsigned permissions);

// Writes `key` into `path` atomically with mode 0600: the bytes go to a new owner-only file
// beside it, which replaces `path` only once it is complete and on disk. False when the file
// could not be completed (then nothing is left at `path` that was not there before), with the
// system's errno of the first thing that failed in `error` when given.
bool WriteKeyFile(const std::string& path, const UnblockKeyBytes& key, int* error = nullptr);

// The file a new key is written to for the name an administrator chose: ".key" is always
// appended, also to a name that ends in it ("admin.key" -> "admin.key.key").
std::string NewKeyFilePath(const std::string& chosen);

// Reads the whole regular file `path` (at most kMaxKeyFileSize bytes, else WrongSize) into
// `bytes`, whose earlier content is wiped. `permissions` as for ReadKeyFile.
inline constexpr std::size_t kMaxKeyFileSize = 4096;
KeyFileRead ReadKeyFileBytes(const std::string& path, std::vector<std::uint8_t>& bytes,
                             unsigned* permissions = nullptr);

// Writes `bytes` into `path` as WriteKeyFile writes a key: atomically, mode 0600.
bool WriteFileAtomically(const std::string& path, const std::uint8_t* bytes, std::size_t size,
                         int* error = nullptr);

// Why `passphrase` may not protect a new key file, in Russian; empty when it may. It must have at
// least kMinPassphraseCharacters characters and, when the person typed it twice (`repetition`),
// be the same both times.
inline constexpr std::size_t kMinPassphraseCharacters = 8;
std::string NewPassphraseProblem(const std::string& passphrase,
                                 const std::string* repetition = nullptr);

// Writes `key` protected by `passphrase` (ProtectedKeyFile.h) into `path`, atomically, 0600.
// `error` as for WriteKeyFile (ENOMEM when the derivation could not get its memory).
bool WriteProtectedKeyFile(const std::string& path, const UnblockKeyBytes& key,
                           const std::string& passphrase,
                           const passphrase::Cost& cost = passphrase::kDefaultCost,
                           int* error = nullptr);

// The file of share `number` of `count` for the name an administrator chose:
// "fleet" -> "fleet-2-of-3.key", and "fleet.key" too (unlike a whole key's file, the number must
// come before the extension).
std::string ShareFilePath(const std::string& chosen, unsigned number, unsigned count);

// Splits `key` into `count` share files named by ShareFilePath, any `threshold` of which rebuild
// it; the whole key is written nowhere. `passphrases` protects the shares: empty, none; one, every
// share with it; `count` of them, share i with the i-th (each custodian's own). When a file
// cannot be written, the shares already written are removed again, `failedPath` names the file
// and `error` holds the errno. `written` receives the paths in order of number.
struct ShareWrite {
    bool ok = false;
    std::vector<std::string> written;
    std::string failedPath;
    int error = 0;
};
ShareWrite WriteKeyShares(const std::string& chosen, const UnblockKeyBytes& key, unsigned threshold,
                          unsigned count, const std::vector<const std::string*>& passphrases,
                          const passphrase::Cost& cost = passphrase::kDefaultCost);
