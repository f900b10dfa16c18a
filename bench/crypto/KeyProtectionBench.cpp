// What keeping the unblock key at rest costs: Argon2id's derivation at the default cost beside
// cheaper and dearer settings (time per derivation; the memory is the setting itself), and
// rebuilding a key from its shares beside splitting it.
#include "crypto/Passphrase.h"
#include "crypto/Threshold.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <vector>

namespace {

const std::array<std::uint8_t, passphrase::kSaltSize> kSalt = {1, 2, 3, 4, 5, 6, 7, 8};
const std::array<std::uint8_t, 16> kKey = {0x5B, 0x11, 0xC4, 0x87, 0x20, 0x9E, 0x6A, 0xF3,
                                           0x0D, 0x42, 0xB8, 0x7C, 0xE1, 0x35, 0x96, 0x58};

// Arguments: passes, memory in MiB.
void BM_Argon2idDerivation(benchmark::State& state) {
    const passphrase::Cost cost{static_cast<std::uint32_t>(state.range(0)),
                                static_cast<std::uint32_t>(state.range(1) * 1024)};
    std::uint8_t key[32];
    for (auto _ : state) {
        if (!passphrase::DeriveKey("парольная фраза парка", cost, kSalt.data(), key)) {
            state.SkipWithError("the derivation could not get its memory");
            break;
        }
        benchmark::DoNotOptimize(key);
    }
    state.counters["MiB"] = static_cast<double>(state.range(1));
    state.SetLabel(cost.passes == passphrase::kDefaultCost.passes &&
                           cost.memoryKiB == passphrase::kDefaultCost.memoryKiB
                       ? "default"
                       : "");
}
BENCHMARK(BM_Argon2idDerivation)
    ->Args({2, 64})
    ->Args({3, 64})
    ->Args({3, 128})
    ->Args({4, 128})
    ->Args({3, 256})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// Arguments: M, N.
void BM_SplitKey(benchmark::State& state) {
    std::vector<threshold::Share> shares;
    for (auto _ : state) {
        threshold::Split(kKey.data(), kKey.size(), static_cast<unsigned>(state.range(0)),
                         static_cast<unsigned>(state.range(1)), shares);
        benchmark::DoNotOptimize(shares.data());
    }
    threshold::WipeShares(shares);
}
BENCHMARK(BM_SplitKey)->Args({2, 3})->Args({3, 5})->Args({9, 9})->Unit(benchmark::kMicrosecond);

void BM_CombineShares(benchmark::State& state) {
    std::vector<threshold::Share> shares;
    threshold::Split(kKey.data(), kKey.size(), static_cast<unsigned>(state.range(0)),
                     static_cast<unsigned>(state.range(1)), shares);
    shares.resize(static_cast<std::size_t>(state.range(0)));
    std::vector<std::uint8_t> secret;
    for (auto _ : state) {
        threshold::Combine(shares, secret);
        benchmark::DoNotOptimize(secret.data());
    }
    threshold::WipeShares(shares);
}
BENCHMARK(BM_CombineShares)
    ->Args({2, 3})
    ->Args({3, 5})
    ->Args({9, 9})
    ->Unit(benchmark::kMicrosecond);

} // namespace
BENCHMARK_MAIN();
