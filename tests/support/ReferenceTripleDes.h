#pragma once
// Two-key Triple-DES ECB of one 8-byte block by OpenSSL's default provider: the independent
// reference that tests compare Orvane's own cipher, responses and cryptograms with.

#include <openssl/evp.h>

#include <array>
#include <cstdint>

inline std::array<std::uint8_t, 8> ReferenceTripleDes(const std::array<std::uint8_t, 16>& key,
                                                      const std::uint8_t* block) {
    std::array<std::uint8_t, 8> out{};
    int length = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const bool ok = ctx != nullptr &&
                    EVP_EncryptInit_ex(ctx, EVP_des_ede_ecb(), nullptr, key.data(), nullptr) == 1 &&
                    EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
                    EVP_EncryptUpdate(ctx, out.data(), &length, block, 8) == 1 && length == 8;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok)
        out.fill(0xEE); // never equal to a real cryptogram by chance in a test's few blocks
    return out;
}
