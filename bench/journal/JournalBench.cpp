// A 100 MB initialization log read as the journal reads it (engine/LogReader.h). The log has
// the mix of a long day of batches: about 1.6 million attempts on 800 000 tokens, one in five
// failed with the usual long message, a few tokens never succeeding, some lines without a card
// number and a foreign line now and then.

#include "engine/LogLine.h"
#include "engine/LogReader.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

constexpr std::uintmax_t kLogBytes = 100u << 20;

const std::string& LogPath() {
    static const std::string path = [] {
        const auto file = std::filesystem::temp_directory_path() / "orvane-journal-bench-100MB.log";
        std::error_code error;
        if (std::filesystem::file_size(file, error) >= kLogBytes && !error)
            return file.string();
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        std::uintmax_t written = 0;
        char time[16], card[20];
        for (unsigned i = 0; written < kLogBytes; ++i) {
            std::snprintf(time, sizeof time, "%02u:%02u:%02u", i / 3600 % 24, i / 60 % 60, i % 60);
            std::snprintf(card, sizeof card, "%016llX", 0x0807060504030201ull + i / 2);
            std::string line;
            if (i % 997 == 0)
                line = "Журнал перенесён с другой станции";
            else if (i % 5 == 1)
                line = FormatLogLine(time, card,
                                     "Ошибка инициализации смарт-карты. Установка группы "
                                     "дублирования. Card Error 6A82");
            else
                line = FormatLogLine(time, i % 50 == 0 ? "" : card, "");
            line += "\r\n";
            out << line;
            written += line.size();
        }
        return file.string();
    }();
    return path;
}

void Open(benchmark::State& state) {
    const std::string& path = LogPath();
    std::size_t lines = 0;
    for (auto _ : state) {
        LogReader reader;
        reader.Open(path);
        lines = reader.LineCount();
        benchmark::DoNotOptimize(reader.Tally());
    }
    state.counters["lines"] = static_cast<double>(lines);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(std::filesystem::file_size(path)));
}
BENCHMARK(Open)->Unit(benchmark::kMillisecond);

void Filter(benchmark::State& state) {
    LogReader reader;
    reader.Open(LogPath());
    for (auto _ : state)
        benchmark::DoNotOptimize(reader.Find("card error"));
}
BENCHMARK(Filter)->Unit(benchmark::kMillisecond);

void ScreenOfRows(benchmark::State& state) {
    LogReader reader;
    reader.Open(LogPath());
    const std::size_t last = reader.LineCount();
    for (auto _ : state)
        for (std::size_t i = last - 40; i < last; ++i)
            benchmark::DoNotOptimize(reader.Line(i));
}
BENCHMARK(ScreenOfRows)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
