#include "Tdes.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace vtoken {

bool TdesEncryptBlock(const std::uint8_t* key, const std::uint8_t* block, std::uint8_t* out) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx)
        return false;
    int len = 0;
    int tail = 0;
    bool ok = EVP_EncryptInit_ex(ctx, EVP_des_ede_ecb(), nullptr, key, nullptr) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
              EVP_EncryptUpdate(ctx, out, &len, block, 8) == 1 &&
              EVP_EncryptFinal_ex(ctx, out + len, &tail) == 1 && len + tail == 8;
    EVP_CIPHER_CTX_free(ctx);
    return ok;
}

bool SameBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t length) {
    return CRYPTO_memcmp(a, b, length) == 0;
}

bool RandomBytes(std::uint8_t* out, std::size_t length) {
    return RAND_bytes(out, static_cast<int>(length)) == 1;
}

void Wipe(void* data, std::size_t length) {
    OPENSSL_cleanse(data, length);
}

} // namespace vtoken
