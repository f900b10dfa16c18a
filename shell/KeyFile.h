#pragma once
// Unblock key files: exactly 16 raw bytes, the two-key Triple-DES key. Reading takes only a
// regular file of that size; writing is atomic (a complete file or none) and owner-only (0600).

#include "engine/KeyCheck.h"

#include <QString>

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
KeyFileRead ReadKeyFile(const QString& path, UnblockKeyBytes& key, unsigned* permissions = nullptr);

// A key file that the group or others may read or write: anybody who can read it can unblock
// every token that carries the key.
bool IsOpenToOthers(unsigned permissions);

// Writes `key` into `path` atomically with mode 0600; false when the file could not be
// completed (then nothing is left at `path` that was not there before).
bool WriteKeyFile(const QString& path, const UnblockKeyBytes& key);
