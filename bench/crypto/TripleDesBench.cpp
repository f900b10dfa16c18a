// Key set-up and one-block encryption of our Triple-DES, and OpenSSL's DES-EDE-ECB on the same
// key and blocks for comparison.
#include "crypto/TripleDes.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <array>
#include <cstdint>

namespace {

constexpr std::array<uint8_t, 16> kKey = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                          0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
constexpr std::array<uint8_t, 8> kBlock = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xE7};

void BM_TripleDesKeySetup(benchmark::State& state) {
    std::array<uint8_t, 16> key = kKey;
    for (auto _ : state) {
        benchmark::DoNotOptimize(key.data());
        TripleDes des(key.data());
        benchmark::DoNotOptimize(&des);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_TripleDesKeySetup);

// Each iteration encrypts the previous output, so the calls cannot overlap or be folded.
void BM_TripleDesEncryptEcbOneBlock(benchmark::State& state) {
    TripleDes des(kKey.data());
    std::array<uint8_t, 8> block = kBlock;
    for (auto _ : state) {
        des.EncryptECB(block.data(), block.size());
        benchmark::DoNotOptimize(block.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * 8);
}
BENCHMARK(BM_TripleDesEncryptEcbOneBlock);

void BM_OpenSslDesEdeEcbOneBlock(benchmark::State& state) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (ctx == nullptr ||
        EVP_EncryptInit_ex(ctx, EVP_des_ede_ecb(), nullptr, kKey.data(), nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx, 0) != 1) {
        state.SkipWithError("OpenSSL DES-EDE-ECB is not available");
        EVP_CIPHER_CTX_free(ctx);
        return;
    }
    std::array<uint8_t, 8> block = kBlock;
    std::array<uint8_t, 8> out{};
    for (auto _ : state) {
        int len = 0;
        if (EVP_EncryptUpdate(ctx, out.data(), &len, block.data(), 8) != 1 || len != 8) {
            state.SkipWithError("EVP_EncryptUpdate failed");
            break;
        }
        block = out;
        benchmark::DoNotOptimize(block.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * 8);
    EVP_CIPHER_CTX_free(ctx);
}
BENCHMARK(BM_OpenSslDesEdeEcbOneBlock);

} // namespace

BENCHMARK_MAIN();
