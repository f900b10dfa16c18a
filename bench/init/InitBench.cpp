// What one initialization attempt costs beyond its own rhythm.
//
// BM_Attempt times a real attempt of the progress dialog on a virtual token through the real
// PC/SC stack, from the moment the dialog receives Enter to the first blink of the removal wait
// (steps 1 to 24: connect, the whole command sequence, the log line, the 50 ms steps and the
// 300 ms after success). BM_MinimalClient spends the same designed waits asleep and sends the
// same commands with a bare TokenSession: connect, transaction, a Transmit loop, disconnect and one
// presence check. The ratio of the two is the dialog's own overhead (goal: below 1.05).
//
// It starts its own private stack in a temporary folder (scripts/pcsc-sandbox) and a virtual
// token in its first slot, and ends both afterwards. Run:
//   init_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

#include "VirtualToken.h"
#include "bench/ForwardingApi.h"
#include "bench/PrivateStack.h"
#include "bench/init/BenchKit.h"

#include "card/TokenSession.h"
#include "engine/InitLog.h"
#include "init/Dialogs.h"
#include "init/Pause.h"
#include "init/ProgressDialog.h"

#include <QApplication>
#include <QKeyEvent>
#include <QTemporaryDir>
#include <QThread>
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Real waits inside the attempt; no wait before the dialog shows; the first blink marks the end
// of the attempt and presses Esc.
struct AttemptPause : IInitPause {
    QWidget* dialog = nullptr;
    bool ended = false;
    Clock::time_point end;
    int designedMs = 0; // the waits between Enter and the first blink
    bool counting = false;

    int BeginPhase(int ms) override {
        if (!ended) {
            ended = true;
            end = Clock::now();
            QCoreApplication::postEvent(
                dialog, new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
        }
        return ms;
    }
    void Pause(int ms, PauseKind) override {
        if (ms == 1000)
            return;
        if (counting && !ended)
            designedMs += ms;
        QThread::msleep(static_cast<unsigned long>(ms));
    }
};

struct EnterStamp : QObject {
    Clock::time_point start;
    AttemptPause* pause = nullptr;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(e)->key() == Qt::Key_Return) {
            start = Clock::now();
            pause->counting = true;
        }
        return false;
    }
};

// Passes every call to the real PC/SC binding and keeps the commands sent.
struct RecordingApi : ForwardingApi {
    std::vector<Bytes> commands;
    LONG Transmit(pcsc::SCARDHANDLE h, const pcsc::IoRequest* sp, const unsigned char* send,
                  DWORD sl, pcsc::IoRequest* rp, unsigned char* recv, DWORD* rl) override {
        commands.emplace_back(send, send + sl);
        return real.Transmit(h, sp, send, sl, rp, recv, rl);
    }
};

std::string g_reader;
BenchSettings g_settings;
CountingDialogs g_dialogs;
ProgressDialog* g_dialog = nullptr;
std::vector<Bytes> g_commands; // the attempt's commands, for the minimal client
int g_designedMs = 0;

struct Totals {
    double seconds = 0;
    std::int64_t iterations = 0;
} g_attempt, g_minimal;

// One attempt; answers its duration in seconds, or a negative value when it failed.
double OneAttempt(int* designedMs) {
    AttemptPause pause;
    pause.dialog = g_dialog;
    EnterStamp stamp;
    stamp.pause = &pause;
    g_dialog->installEventFilter(&stamp);
    SetInitPause(&pause);
    const int boxes = g_dialogs.boxes;
    QCoreApplication::postEvent(g_dialog,
                                new QKeyEvent(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier));
    g_dialog->RunInitialization(g_reader);
    SetInitPause(nullptr);
    g_dialog->removeEventFilter(&stamp);
    if (!pause.ended || g_dialogs.boxes != boxes)
        return -1;
    if (designedMs)
        *designedMs = pause.designedMs;
    return std::chrono::duration<double>(pause.end - stamp.start).count();
}

void BM_Attempt(benchmark::State& state) {
    for (auto _ : state) {
        const double seconds = OneAttempt(nullptr);
        if (seconds < 0) {
            state.SkipWithError(("the attempt failed: " + g_dialogs.last.toStdString()).c_str());
            break;
        }
        state.SetIterationTime(seconds);
        g_attempt.seconds += seconds;
        ++g_attempt.iterations;
    }
}

void BM_MinimalClient(benchmark::State& state) {
    for (auto _ : state) {
        TokenSession reader;
        reader.Exclusive = false;
        reader.SelectReader(g_reader);
        const auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(g_designedMs));
        bool ok = reader.ConnectCard();
        reader.BeginTransaction();
        Bytes response;
        for (const Bytes& command : g_commands)
            reader.Transmit(command, response);
        reader.EndTransaction();
        reader.Disconnect();
        ok = reader.IsCardPresent() && ok;
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (!ok) {
            state.SkipWithError(reader.LastErrorText().c_str());
            break;
        }
        state.SetIterationTime(seconds);
        g_minimal.seconds += seconds;
        ++g_minimal.iterations;
    }
}

BENCHMARK(BM_Attempt)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MinimalClient)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    int rc = 1;
    PrivateStack stack("orvane-init-bench");
    if (!stack.Running())
        return 1;
    {
        TempLog log;
        SetInitLogEnvironment(&log);
        SetDialogs(&g_dialogs);
        VirtualToken token;
        if (!token.Insert(VirtualTokenOptions().Apps("rsa,dstu,data"))) {
            std::fprintf(stderr, "init_bench: %s\n", token.Error().c_str());
        } else {
            g_reader = token.ReaderName();
            ProgressDialog dialog(g_settings);
            g_dialog = &dialog;
            // A first attempt, recorded: the commands and the waits the minimal client repeats.
            RecordingApi recorder;
            pcsc::SetCurrentApi(&recorder);
            const double first = OneAttempt(&g_designedMs);
            pcsc::SetCurrentApi(nullptr);
            g_commands = recorder.commands;
            if (first < 0) {
                std::fprintf(stderr, "init_bench: the attempt failed: %s\n",
                             g_dialogs.last.toStdString().c_str());
            } else {
                benchmark::RunSpecifiedBenchmarks();
                if (g_attempt.iterations > 0 && g_minimal.iterations > 0) {
                    const double attempt = g_attempt.seconds / g_attempt.iterations;
                    const double minimal = g_minimal.seconds / g_minimal.iterations;
                    std::printf("commands per attempt: %zu, designed waits: %d ms\n",
                                g_commands.size(), g_designedMs);
                    std::printf("attempt %.1f ms, minimal client %.1f ms, ratio %.4f\n",
                                attempt * 1000, minimal * 1000, attempt / minimal);
                }
                rc = 0;
            }
            g_dialog = nullptr;
        }
        token.Remove();
        SetDialogs(nullptr);
        SetInitLogEnvironment(nullptr);
    }
    benchmark::Shutdown();
    return rc;
}
