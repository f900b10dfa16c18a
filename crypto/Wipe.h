#pragma once
// The one way Orvane wipes a secret: PINs, PUKs, keys, challenges, command and answer buffers.
//
// The bytes are overwritten with the C library's explicit_bzero, which the optimizer cannot drop
// (a plain memset before a buffer goes away may be removed as a dead store). It costs the
// programs no library of their own.

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

// Overwrites `size` bytes at `data` with zeros; nothing happens for a null pointer or size 0.
void Wipe(void* data, std::size_t size);

// Overwrites every element of a contiguous container (std::array, std::vector, QByteArray...).
template <typename Container> void WipeAll(Container& bytes) {
    Wipe(static_cast<void*>(bytes.data()),
         static_cast<std::size_t>(bytes.size()) * sizeof(*bytes.data()));
}

// A byte buffer that holds a secret: its whole storage is wiped when it goes away. Grow it only
// through `reserve` in advance: a buffer that reallocates leaves the old copy unwiped.
struct SecretBytes {
    std::vector<std::uint8_t> data;

    SecretBytes() = default;
    explicit SecretBytes(std::vector<std::uint8_t> bytes) : data(std::move(bytes)) {}
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    ~SecretBytes() { WipeVector(data); }

    // Wipes the vector's whole capacity, then empties it.
    static void WipeVector(std::vector<std::uint8_t>& bytes);
};
