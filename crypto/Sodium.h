#pragma once
// The parts of libsodium that every protected key format shares: the library's start, its random
// source and its plain hash. A thin wrapper: no cryptography is done here.

#include <cstddef>
#include <cstdint>

// Starts libsodium once (later calls are free); false when it could not start, and then no
// other function of the wrappers may be used.
bool StartSodium();

// Fills `size` bytes from the system's random source (getrandom through libsodium).
void RandomBytes(std::uint8_t* data, std::size_t size);

// BLAKE2b with a 32-byte result over `size` bytes: a check that a file or a share arrived as it
// was written. Not a secret and not a proof of origin (anybody can recompute it).
inline constexpr std::size_t kChecksumSize = 32;
void Checksum(const std::uint8_t* data, std::size_t size, std::uint8_t* checksum);
