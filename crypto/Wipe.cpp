#include "Wipe.h"

#include <openssl/crypto.h>

void Wipe(void* data, std::size_t size) {
    if (data != nullptr && size != 0)
        OPENSSL_cleanse(data, size);
}

void SecretBytes::WipeVector(std::vector<std::uint8_t>& bytes) {
    // Elements past size() may still hold an earlier, longer value.
    const std::size_t capacity = bytes.capacity();
    bytes.resize(capacity);
    Wipe(bytes.data(), capacity);
    bytes.clear();
}
