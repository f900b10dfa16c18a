#pragma once
// Key material for the unblock key and the duplication-group keys.
//
// FillRandom takes the bytes from the operating system's random source and mixes the low byte of
// the processor's time-stamp counter into each of them. The system source sits behind a small
// seam so that tests can make it fail.

#include <cstddef>
#include <cstdint>

class IRandomSource {
public:
    virtual ~IRandomSource() = default;
    // Fills all `count` bytes from the system's random source; false when it could not.
    virtual bool SystemRandom(std::uint8_t* buffer, std::size_t count) = 0;
};

// The source in force: getrandom(2) unless a test installed another.
IRandomSource& RandomSource();
// Installs `source`; nullptr restores getrandom(2).
void SetRandomSource(IRandomSource* source);

// Low byte of the time-stamp counter (a high-resolution clock where there is none).
std::uint8_t CounterByte();

// Fills the first `count` bytes of `buffer`: system random bytes, each XORed with one counter
// reading. Answers false when the system source failed; the buffer then holds no usable key and
// the caller must not use it as one.
bool FillRandom(std::uint8_t* buffer, std::size_t count);
