#include "Sodium.h"

#include <sodium.h>

bool StartSodium() {
    // sodium_init answers 0 the first time, 1 when it had started already, -1 on failure; it is
    // safe to call from several threads.
    return sodium_init() >= 0;
}

void RandomBytes(std::uint8_t* data, std::size_t size) {
    randombytes_buf(data, size);
}

void Checksum(const std::uint8_t* data, std::size_t size, std::uint8_t* checksum) {
    static_assert(kChecksumSize == crypto_generichash_BYTES);
    crypto_generichash(checksum, kChecksumSize, data, size, nullptr, 0);
}
