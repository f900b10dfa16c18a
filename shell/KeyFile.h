#pragma once
// Unblock key files: exactly 16 raw bytes, the two-key Triple-DES key. Reading takes only a
// regular file of that size; writing is atomic (a complete file or none) and owner-only (0600).

#include <QString>

#include <array>
#include <cstdint>

using UnblockKeyBytes = std::array<std::uint8_t, 16>;

enum class KeyFileRead {
    Loaded,
    // Missing, unreadable, or not a regular file (a folder, a FIFO, a device).
    CannotOpen,
    // A regular file of any size but 16 bytes.
    WrongSize,
};

// Reads the key in `path` into `key`; `key` is left untouched unless the answer is Loaded. Every
// other copy of the bytes is wiped.
KeyFileRead ReadKeyFile(const QString& path, UnblockKeyBytes& key);

// Writes `key` into `path` atomically with mode 0600; false when the file could not be
// completed (then nothing is left at `path` that was not there before).
bool WriteKeyFile(const QString& path, const UnblockKeyBytes& key);
