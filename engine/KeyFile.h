#pragma once
// Unblock key files: exactly 16 raw bytes, the two-key Triple-DES key. Reading takes only a
// regular file of that size; writing is atomic (a complete file or none) and owner-only (0600).
// Plain C++ on file-system paths (bytes as the system takes them).

#include "engine/KeyCheck.h"

#include <string>

enum class KeyFileRead {
    Loaded,
    // Missing, unreadable, or not a regular file (a folder, a FIFO, a device).
    CannotOpen,
    // A regular file of any size but 16 bytes.
    WrongSize,
};

// Reads the key in `path` into `key`; `key` is left untouched unless the answer is Loaded. Every
// other copy of the bytes is wiped. `permissions`, when given, receives the file's mode bits
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
