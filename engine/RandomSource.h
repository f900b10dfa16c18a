#pragma once
// Key material for the unblock key and the duplication-group keys.
//
// FillRandom takes the bytes from the random source in force. The system's source is getrandom(2)
// with the low byte of the processor's time-stamp counter mixed into each byte; it sits behind a
// small seam so that tests can make it fail or give chosen bytes.

#include "engine/KeyCheck.h"

#include <cstddef>
#include <cstdint>

class IRandomSource {
public:
    virtual ~IRandomSource() = default;
    // Fills all `count` bytes with random bytes; false when it could not.
    virtual bool SystemRandom(std::uint8_t* buffer, std::size_t count) = 0;
};

// The source in force: getrandom(2) mixed with the time-stamp counter unless a test installed
// another.
IRandomSource& RandomSource();
// Installs `source`; nullptr restores getrandom(2).
void SetRandomSource(IRandomSource* source);

// Fills the first `count` bytes of `buffer` from the source in force. Answers false when the system
// source failed; the buffer then holds no usable key and the caller must not use it as one.
bool FillRandom(std::uint8_t* buffer, std::size_t count);

// A new unblock key: random bytes, drawn again while they make a weak key (equal halves, the
// built-in key). False when the source failed; `key` then holds nothing and is wiped.
bool DrawUnblockKey(UnblockKeyBytes& key);
