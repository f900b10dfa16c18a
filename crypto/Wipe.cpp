#include "Wipe.h"

#include <string.h>

void Wipe(void* data, std::size_t size) {
    // explicit_bzero: the C library's zeroing that the compiler may not drop as a dead store.
    if (data != nullptr && size != 0)
        explicit_bzero(data, size);
}

void SecretBytes::WipeVector(std::vector<std::uint8_t>& bytes) {
    // Elements past size() may still hold an earlier, longer value.
    const std::size_t capacity = bytes.capacity();
    bytes.resize(capacity);
    Wipe(bytes.data(), capacity);
    bytes.clear();
}
