// Several readers at once through the real pcscd: tokens that answer every command after 20 ms
// (as real tokens take 10-60 ms), an operator who swaps a token the moment its reader shows it
// done, and the station (engine/Station.h) over 1, 2, 4 and 8 readers of a private stack
// (pcsc-sandbox --readers 8). Prints, side by side:
//   - tokens per hour with 1, 2, 4 and 8 readers;
//   - four tokens on four readers against one token on one reader (wall time, tokens in place);
//   - the user-interface thread's longest gap between two ticks of a 10 ms timer while the
//     station window shows a four-reader run with tokens being swapped.
//   build/bench/station/station_bench [tokens per reader, default 4]

#include "../PrivateStack.h"
#include "StationBenchKit.h"
#include "VirtualToken.h"
#include "engine/AuditJournal.h"
#include "engine/Station.h"
#include "station/StationWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kLatencyMs = 20;

VirtualTokenOptions Token(int r) {
    return VirtualTokenOptions().Slot(2 * r).Arg("--latency-ms").Arg(std::to_string(kLatencyMs));
}

// The instant operator: for each reader a thread that puts a fresh token in, waits until the
// reader reports the attempt's end, takes the token out and puts the next one in.
class Operator {
public:
    Operator(int readers, int rounds) : ended_(static_cast<std::size_t>(readers), 0) {
        for (int r = 0; r < readers; ++r)
            threads_.emplace_back([this, r, rounds] { Serve(r, rounds); });
    }
    ~Operator() {
        {
            const std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        for (std::thread& thread : threads_)
            thread.join();
    }
    void Ended(int r) {
        {
            const std::lock_guard lock(mutex_);
            ++ended_[static_cast<std::size_t>(r)];
        }
        changed_.notify_all();
    }

private:
    void Serve(int r, int rounds) {
        for (int round = 0; round < rounds; ++round) {
            VirtualToken token; // a new token every time, ended by this thread
            // A loaded machine may take longer than the insert waits: the hand tries again.
            bool in = false;
            for (int tries = 0; tries < 3 && !in; ++tries)
                in = token.Insert(Token(r)) || (token.Remove() && false);
            if (!in) {
                std::fprintf(stderr, "station_bench: %s\n", token.Error().c_str());
                return;
            }
            std::unique_lock lock(mutex_);
            changed_.wait(lock,
                          [&] { return stop_ || ended_[static_cast<std::size_t>(r)] > round; });
            if (stop_)
                return;
            lock.unlock();
            token.Remove();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> ended_;
    bool stop_ = false;
    std::vector<std::thread> threads_;
};

int IndexOf(const std::string& reader, int readers) {
    for (int r = 0; r < readers; ++r)
        if (Reader(r) == reader)
            return r;
    return -1;
}

// `rounds` tokens through each of `readers` readers; the seconds from the start to the last
// attempt's end (negative when an attempt failed).
double Batch(const Settings& settings, int readers, int rounds) {
    Operator hand(readers, rounds);
    StationOptions options;
    for (int r = 0; r < readers; ++r)
        options.readers.push_back(Reader(r));
    Station station(settings, options);
    const auto started = Clock::now();
    station.Start();
    int ended = 0;
    bool failed = false;
    while (ended < readers * rounds) {
        station.Events().WaitFor(std::chrono::milliseconds(50));
        for (const StationEvent& event : station.Events().Drain()) {
            if (event.kind != StationEventKind::AttemptEnded)
                continue;
            ++ended;
            if (!event.outcome.ok)
                std::fprintf(stderr, "station_bench: %s: %s\n", event.reader.c_str(),
                             event.outcome.message.c_str());
            failed = failed || !event.outcome.ok;
            hand.Ended(IndexOf(event.reader, readers));
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    station.Esc();
    return failed ? -seconds : seconds;
}

// Tokens already in `readers` readers: the seconds from the start until every one is done.
double TokensInPlace(const Settings& settings, int readers) {
    std::vector<std::unique_ptr<VirtualToken>> tokens;
    for (int r = 0; r < readers; ++r) {
        tokens.push_back(std::make_unique<VirtualToken>());
        if (!tokens.back()->Insert(Token(r)))
            return -1;
    }
    StationOptions options;
    for (int r = 0; r < readers; ++r)
        options.readers.push_back(Reader(r));
    Station station(settings, options);
    const auto started = Clock::now();
    station.Start();
    int ended = 0;
    while (ended < readers) {
        station.Events().WaitFor(std::chrono::milliseconds(20));
        for (const StationEvent& event : station.Events().Drain())
            ended += event.kind == StationEventKind::AttemptEnded ? 1 : 0;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    station.Esc();
    return seconds;
}

// The station window over four readers with `rounds` tokens swapped in each: the longest gap
// between two ticks of a 10 ms timer on the user-interface thread, in milliseconds.
// The first gap holds the window's first layout and paint; `afterShow` is the longest one after it.
qint64 LongestTickGap(const Settings& settings, int rounds, qint64& afterShow) {
    constexpr int kReaders = 4;
    QStringList readers;
    for (int r = 0; r < kReaders; ++r)
        readers << QString::fromStdString(Reader(r));
    StationWindow window(settings, readers);
    Operator hand(kReaders, rounds);
    std::map<int, int> seen;
    qint64 longest = 0;
    int ticks = 0;
    afterShow = 0;
    QElapsedTimer sinceTick;
    QElapsedTimer clock;
    QTimer tick;
    tick.setInterval(10);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 gap = sinceTick.restart();
        if (gap > 30 && std::getenv("ORVANE_BENCH_GAPS"))
            std::fprintf(stderr, "gap %lld ms at %lld ms\n", static_cast<long long>(gap),
                         static_cast<long long>(clock.elapsed()));
        longest = std::max(longest, gap);
        if (ticks++ > 0)
            afterShow = std::max(afterShow, gap);
        // The operator learns of the ends from the window's rows, as a person would.
        for (int r = 0; r < kReaders; ++r) {
            const int row = window.RowOf(readers[r]);
            const bool done = window.LookOf(row) == StationWindow::Look::Done;
            int& count = seen[r];
            if (done && count % 2 == 0) {
                ++count;
                hand.Ended(r);
            } else if (!done && count % 2 == 1) {
                ++count;
            }
        }
    });
    window.Start();
    sinceTick.start();
    tick.start();
    clock.start();
    const auto allDone = [&] {
        return window.Counts()->text().startsWith(QStringLiteral("Инициализировано: ") +
                                                  QString::number(kReaders * rounds));
    };
    while (!allDone() && clock.elapsed() < 120000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    tick.stop();
    if (!allDone())
        std::fprintf(stderr, "station_bench: the four-reader window run did not finish: %s\n",
                     window.Counts()->text().toStdString().c_str());
    window.EndRun();
    return longest;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 4;
    char logFolder[] = "/tmp/orvane-station-bench-log-XXXXXX";
    ::setenv("XDG_DATA_HOME", ::mkdtemp(logFolder), 1);
    PrivateStack stack("orvane-station-bench", "--readers 8");
    if (!stack.Running())
        return 1;
    QApplication app(argc, argv);
    QuietJournal journal;
    Settings settings;

    std::printf("Tokens answering each command after %d ms, an instant operator, %d tokens per "
                "reader:\n",
                kLatencyMs, rounds);
    std::printf("%8s %12s %14s %10s\n", "readers", "seconds", "tokens/hour", "x 1 reader");
    double single = 0;
    for (const int readers : {1, 2, 4, 8}) {
        const double seconds = Batch(settings, readers, rounds);
        const double perHour = readers * rounds * 3600.0 / std::abs(seconds);
        if (readers == 1)
            single = perHour;
        std::printf("%8d %12.2f %14.0f %10.2f%s\n", readers, std::abs(seconds), perHour,
                    perHour / single, seconds < 0 ? "  (an attempt failed)" : "");
    }
    const double one = TokensInPlace(settings, 1);
    const double four = TokensInPlace(settings, 4);
    std::printf("\nTokens in place:      1 token on 1 reader %.3f s | 4 tokens on 4 readers %.3f s "
                "| ratio %.2f (goal <= 1.30)\n",
                one, four, four / one);
    qint64 afterShow = 0;
    const qint64 gap = LongestTickGap(settings, rounds, afterShow);
    std::printf("User-interface thread, four readers, %d tokens each: longest gap between two "
                "10 ms ticks %lld ms, after the window's first paint %lld ms (goal < 50 ms)\n",
                rounds, static_cast<long long>(gap), static_cast<long long>(afterShow));
    return 0;
}
