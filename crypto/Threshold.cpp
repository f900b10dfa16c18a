#include "Threshold.h"

#include "Sodium.h"
#include "Wipe.h"

// libgfshare's header declares C functions without saying so to a C++ compiler.
extern "C" {
#include <libgfshare.h>
}

#include <memory>

namespace threshold {

namespace {

// libgfshare draws the polynomial's coefficients through this function pointer; it starts out
// null, and the library's own alternative uses random(3).
void SystemRandom(unsigned char* buffer, unsigned int size) {
    RandomBytes(buffer, size);
}

// gfshare_ctx_free overwrites the context's buffers (which hold the secret and the
// coefficients) before it frees them.
struct ContextFree {
    void operator()(gfshare_ctx* context) const { gfshare_ctx_free(context); }
};
using Context = std::unique_ptr<gfshare_ctx, ContextFree>;

bool Ready() {
    if (!StartSodium())
        return false;
    gfshare_fill_rand = SystemRandom;
    return true;
}

} // namespace

void WipeShares(std::vector<Share>& shares) {
    for (Share& share : shares)
        SecretBytes::WipeVector(share.bytes);
    shares.clear();
}

bool Split(const std::uint8_t* secret, std::size_t size, unsigned threshold, unsigned count,
           std::vector<Share>& shares) {
    WipeShares(shares);
    if (threshold < 2 || threshold > count || count > 255 || size == 0 || !Ready())
        return false;
    std::vector<unsigned char> numbers(count);
    for (unsigned i = 0; i < count; ++i)
        numbers[i] = static_cast<unsigned char>(i + 1);
    Context context(gfshare_ctx_init_enc(
        numbers.data(), count, static_cast<unsigned char>(threshold), static_cast<unsigned>(size)));
    if (!context)
        return false;
    // The library copies the secret into its own buffer.
    std::vector<std::uint8_t> copy(secret, secret + size);
    gfshare_ctx_enc_setsecret(context.get(), copy.data());
    SecretBytes::WipeVector(copy);
    shares.reserve(count);
    for (unsigned i = 0; i < count; ++i) {
        Share share;
        share.number = numbers[i];
        share.bytes.assign(size, 0);
        gfshare_ctx_enc_getshare(context.get(), static_cast<unsigned char>(i), share.bytes.data());
        shares.push_back(std::move(share));
    }
    return true;
}

bool Combine(const std::vector<Share>& shares, std::vector<std::uint8_t>& secret) {
    if (shares.empty() || shares.size() > 255 || !Ready())
        return false;
    const std::size_t size = shares.front().bytes.size();
    std::vector<unsigned char> numbers;
    for (const Share& share : shares) {
        if (share.number == 0 || share.bytes.size() != size || size == 0)
            return false;
        for (const unsigned char seen : numbers)
            if (seen == share.number)
                return false;
        numbers.push_back(share.number);
    }
    Context context(gfshare_ctx_init_dec(numbers.data(), static_cast<unsigned>(numbers.size()),
                                         static_cast<unsigned>(size)));
    if (!context)
        return false;
    std::vector<std::uint8_t> bytes(size, 0);
    for (std::size_t i = 0; i < shares.size(); ++i) {
        bytes.assign(shares[i].bytes.begin(), shares[i].bytes.end());
        gfshare_ctx_dec_giveshare(context.get(), static_cast<unsigned char>(i), bytes.data());
    }
    gfshare_ctx_dec_extract(context.get(), bytes.data());
    SecretBytes::WipeVector(secret);
    secret = std::move(bytes);
    return true;
}

} // namespace threshold
