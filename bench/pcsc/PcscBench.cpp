// The cost of talking to a token through the real PC/SC stack: client library, pcscd, the vpcd
// driver and the virtual token over TCP.
//
// It starts its own private stack in a temporary folder (scripts/pcsc-sandbox) and a virtual
// token in its first slot, and ends both afterwards; a test run's stack is not touched. Run:
//   pcsc_bench --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
// and read the median lines.

#include "VirtualToken.h"
#include "bench/PrivateStack.h"

#include "card/TokenSession.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

const Bytes SELECT_MF = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
const Bytes GET_CARD_ID = {0x80, 0xF6, 0x00, 0x00, 0x08};

TokenSession* g_reader = nullptr;

void Exchange(benchmark::State& state, const Bytes& command) {
    Bytes response;
    for (auto _ : state) {
        if (!g_reader->Transmit(command, response)) {
            state.SkipWithError(g_reader->LastErrorText().c_str());
            break;
        }
        benchmark::DoNotOptimize(response.data());
    }
}

void BM_SelectMf(benchmark::State& state) {
    Exchange(state, SELECT_MF);
}
void BM_GetCardId(benchmark::State& state) {
    Exchange(state, GET_CARD_ID);
}

// The device lists' and the removal wait's status query, which asks pcscd only.
void BM_IsCardPresent(benchmark::State& state) {
    for (auto _ : state) {
        if (!g_reader->IsCardPresent()) {
            state.SkipWithError("no card");
            break;
        }
    }
}

BENCHMARK(BM_SelectMf)->UseRealTime();
BENCHMARK(BM_GetCardId)->UseRealTime();
BENCHMARK(BM_IsCardPresent)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    int rc = 1;
    PrivateStack stack("orvane-pcsc-bench");
    if (!stack.Running())
        return 1;
    {
        VirtualToken token;
        if (!token.Insert(VirtualTokenOptions().Apps("none").CardId("0102030405060708"))) {
            std::fprintf(stderr, "pcsc_bench: %s\n", token.Error().c_str());
        } else {
            TokenSession reader;
            reader.Exclusive = false;
            reader.SelectReader(token.ReaderName());
            if (!reader.ConnectCard()) {
                std::fprintf(stderr, "pcsc_bench: %s\n", reader.LastErrorText().c_str());
            } else {
                g_reader = &reader;
                benchmark::RunSpecifiedBenchmarks();
                g_reader = nullptr;
                reader.Disconnect();
                rc = 0;
            }
        }
    }
    benchmark::Shutdown();
    return rc;
}
