#include "Passphrase.h"

#include "Sodium.h"
#include "Wipe.h"

#include <sodium.h>

namespace passphrase {

namespace {

constexpr std::uint32_t kMaxPasses = 16;
constexpr std::uint32_t kMaxMemoryKiB = 1024 * 1024;

static_assert(kSaltSize == crypto_pwhash_SALTBYTES);
static_assert(kNonceSize == crypto_aead_xchacha20poly1305_ietf_NPUBBYTES);
static_assert(kTagSize == crypto_aead_xchacha20poly1305_ietf_ABYTES);

} // namespace

bool CostAccepted(const Cost& cost) {
    const unsigned long long memory = static_cast<unsigned long long>(cost.memoryKiB) * 1024;
    return cost.passes >= crypto_pwhash_OPSLIMIT_MIN && cost.passes <= kMaxPasses &&
           memory >= crypto_pwhash_MEMLIMIT_MIN && cost.memoryKiB <= kMaxMemoryKiB;
}

bool DeriveKey(const std::string& passphrase, const Cost& cost, const std::uint8_t* salt,
               std::uint8_t* key32) {
    static_assert(crypto_aead_xchacha20poly1305_ietf_KEYBYTES == 32);
    if (!StartSodium() || !CostAccepted(cost))
        return false;
    return crypto_pwhash(key32, 32, passphrase.data(), passphrase.size(), salt, cost.passes,
                         static_cast<std::size_t>(cost.memoryKiB) * 1024,
                         crypto_pwhash_ALG_ARGON2ID13) == 0;
}

bool Seal(const std::string& passphrase, const Cost& cost, const std::uint8_t* salt,
          const std::uint8_t* nonce, const std::vector<std::uint8_t>& header,
          const std::vector<std::uint8_t>& plain, std::vector<std::uint8_t>& sealed) {
    std::uint8_t key[32];
    if (!DeriveKey(passphrase, cost, salt, key)) {
        Wipe(key, sizeof key);
        return false;
    }
    sealed.assign(plain.size() + kTagSize, 0);
    unsigned long long length = 0;
    crypto_aead_xchacha20poly1305_ietf_encrypt(sealed.data(), &length, plain.data(), plain.size(),
                                               header.data(), header.size(), nullptr, nonce, key);
    Wipe(key, sizeof key);
    return length == sealed.size();
}

OpenResult Open(const std::string& passphrase, const Cost& cost, const std::uint8_t* salt,
                const std::uint8_t* nonce, const std::vector<std::uint8_t>& header,
                const std::vector<std::uint8_t>& sealed, std::vector<std::uint8_t>& plain) {
    if (sealed.size() < kTagSize)
        return OpenResult::NotAuthentic;
    std::uint8_t key[32];
    if (!DeriveKey(passphrase, cost, salt, key)) {
        Wipe(key, sizeof key);
        return OpenResult::NoMemory;
    }
    // Decrypted into a buffer of its final size, so that a refused secret is wiped in place.
    std::vector<std::uint8_t> opened(sealed.size() - kTagSize, 0);
    unsigned long long length = 0;
    const bool authentic = crypto_aead_xchacha20poly1305_ietf_decrypt(
                               opened.data(), &length, nullptr, sealed.data(), sealed.size(),
                               header.data(), header.size(), nonce, key) == 0;
    Wipe(key, sizeof key);
    if (!authentic || length != opened.size()) {
        SecretBytes::WipeVector(opened);
        return OpenResult::NotAuthentic;
    }
    SecretBytes::WipeVector(plain);
    plain = std::move(opened);
    return OpenResult::Opened;
}

} // namespace passphrase
