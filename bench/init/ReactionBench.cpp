// How quickly the initialization run reacts to a token put in or taken out, and what one token
// costs in a batch.
//
// Through a private PC/SC stack with virtual tokens. A watcher with a PC/SC context of its own
// notes the moment pcscd reports each insertion and removal; the run's reactions are measured
// from there:
//   insertion -> the first command the run sends to the new token;
//   removal   -> the dialog saying "Вставьте следующую смарт-карту".
// An instant operator (a thread of its own) takes each token out as soon as the dialog asks for
// it and puts the next one in. Ten tokens make a batch; per token = the time from Enter
// to the tenth token's removal request, divided by ten.
//
// poll_ms:50 looks at the reader every 50 ms within the blink phases, as the run does;
// poll_ms:0 only when a phase ends, as the run did before. gap_ms is how long the operator takes
// between one token out and the next in: 0 is a swap (the run may never see an empty reader),
// 1000 lets the run show "Вставьте следующую смарт-карту" first. Run:
//   reaction_bench

#include "VirtualToken.h"
#include "bench/ForwardingApi.h"
#include "bench/PrivateStack.h"
#include "bench/init/BenchKit.h"

#include "init/Pause.h"
#include "init/ProgressDialog.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QThread>
#include <QTimer>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTokens = 10;

// Moments noted by the watcher, the PC/SC binding and the dialog.
struct Timeline {
    std::mutex lock;
    std::vector<Clock::time_point> inserted, removed, commands, nextText, removalAsked;

    void Note(std::vector<Clock::time_point>& list) {
        const auto now = Clock::now();
        std::lock_guard<std::mutex> guard(lock);
        list.push_back(now);
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(lock);
        for (auto* list : {&inserted, &removed, &commands, &nextText, &removalAsked})
            list->clear();
    }
};
Timeline g_timeline;
std::string g_reader;

// Notes every command the run sends, and counts its attempts (one transaction each).
struct TimingApi : ForwardingApi {
    std::atomic<int> attempts{0};
    LONG BeginTransaction(pcsc::SCARDHANDLE h) override {
        ++attempts;
        return real.BeginTransaction(h);
    }
    LONG Transmit(pcsc::SCARDHANDLE h, const pcsc::IoRequest* sp, const unsigned char* send,
                  DWORD sl, pcsc::IoRequest* rp, unsigned char* recv, DWORD* rl) override {
        g_timeline.Note(g_timeline.commands);
        return real.Transmit(h, sp, send, sl, rp, recv, rl);
    }
};

// pcscd's own view of the reader, from a context of its own, blocking in GetStatusChange.
void WatchReader(const std::atomic<bool>& stop) {
    pcsc::Api& api = pcsc::RealApi();
    pcsc::SCARDCONTEXT context = 0;
    if (api.EstablishContext(pcsc::kScopeUser, &context) != 0)
        return;
    pcsc::ReaderState state;
    state.reader = g_reader.c_str();
    bool present = false, known = false;
    while (!stop) {
        const pcsc::LONG rc = api.GetStatusChange(context, 50, &state, 1);
        if (rc == static_cast<pcsc::LONG>(pcsc::kTimeout))
            continue;
        if (rc != 0)
            break;
        const bool now = state.eventState & pcsc::kStatePresent;
        if (known && now != present)
            g_timeline.Note(now ? g_timeline.inserted : g_timeline.removed);
        present = now;
        known = true;
        state.currentState = (state.eventState & ~pcsc::kStateChanged) | (state.eventCounter << 16);
    }
    api.ReleaseContext(context);
}

// The run's real waits, but none before the dialog shows; the reader is looked at every
// `pollMs` within a blink phase (0: only when the phase ends).
struct BatchPause : IInitPause {
    int pollMs = 100;
    void Pause(int ms, PauseKind) override {
        if (ms != 1000)
            QThread::msleep(static_cast<unsigned long>(ms));
    }
    int BeginPhase(int ms) override { return ms; }
    int PollInterval() override { return pollMs > 0 ? pollMs : 1000000; }
};

// Takes each token out as soon as the run asks for it, puts the next one in after `gapMs`, and
// presses Esc once the last token has been asked for. Inserts the first token before the run
// starts.
class Operator {
public:
    Operator(std::array<VirtualToken, kTokens>& tokens, QWidget* dialog, int gapMs)
        : tokens_(tokens), dialog_(dialog), gapMs_(gapMs), thread_([this] { Work(); }) {}
    ~Operator() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            quit_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    void WaitFirstInserted() {
        std::unique_lock<std::mutex> guard(lock_);
        wake_.wait(guard, [this] { return firstIn_; });
    }
    // Called on the user-interface thread when the run asks for the token to be taken out.
    void RemovalAsked() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            ++asked_;
        }
        wake_.notify_all();
    }
    std::string error;

private:
    void Work() {
        if (!tokens_[0].Insert(VirtualTokenOptions().Apps("rsa,dstu,data")))
            error = tokens_[0].Error();
        {
            std::lock_guard<std::mutex> guard(lock_);
            firstIn_ = true;
        }
        wake_.notify_all();
        for (int done = 0; done < kTokens; ++done) {
            std::unique_lock<std::mutex> guard(lock_);
            wake_.wait(guard, [&] { return quit_ || asked_ > done; });
            if (quit_)
                break;
            guard.unlock();
            tokens_[done].Remove();
            if (done + 1 < kTokens) {
                QThread::msleep(static_cast<unsigned long>(gapMs_));
                if (!tokens_[done + 1].Insert(VirtualTokenOptions().Apps("rsa,dstu,data")))
                    error = tokens_[done + 1].Error();
            } else {
                QThread::msleep(300); // the run shows the next-token text first
                QCoreApplication::postEvent(
                    dialog_, new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
            }
        }
        for (VirtualToken& token : tokens_)
            token.Remove();
    }

    std::array<VirtualToken, kTokens>& tokens_;
    QWidget* dialog_;
    int gapMs_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool quit_ = false, firstIn_ = false;
    int asked_ = 0;
    std::thread thread_;
};

// For each moment in `from`, the time until the first moment of `to` after it, in ms.
std::vector<double> Reactions(const std::vector<Clock::time_point>& from,
                              const std::vector<Clock::time_point>& to) {
    std::vector<double> ms;
    for (const auto& start : from) {
        const auto next = std::upper_bound(to.begin(), to.end(), start);
        if (next != to.end())
            ms.push_back(std::chrono::duration<double, std::milli>(*next - start).count());
    }
    return ms;
}

void Report(benchmark::State& state, const char* name, const std::vector<double>& ms) {
    if (ms.empty())
        return;
    state.counters[std::string(name) + "_mean_ms"] =
        std::accumulate(ms.begin(), ms.end(), 0.0) / static_cast<double>(ms.size());
    state.counters[std::string(name) + "_max_ms"] = *std::max_element(ms.begin(), ms.end());
}

BenchSettings g_settings;
CountingDialogs g_dialogs;

void BM_Batch(benchmark::State& state) {
    for (auto _ : state) {
        g_timeline.Clear();
        BatchPause pause;
        pause.pollMs = static_cast<int>(state.range(0));
        SetInitPause(&pause);
        ProgressDialog dialog(g_settings);
        std::array<VirtualToken, kTokens> tokens;
        Operator op(tokens, &dialog, static_cast<int>(state.range(1)));
        op.WaitFirstInserted();

        // The dialog, looked at every 2 ms on the user-interface thread (not during an attempt,
        // which serves no events): a removal wait after a new attempt asks the operator; the
        // wait for the next token is noted as its text shows.
        TimingApi timing;
        Clock::time_point start, lastAsked;
        bool waiting = false;
        int asked = 0;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            const InitRun::State now = dialog.Run().CurrentState();
            if (now == InitRun::State::RemovalWait && timing.attempts > asked) {
                lastAsked = Clock::now();
                g_timeline.Note(g_timeline.removalAsked);
                ++asked;
                op.RemovalAsked();
            }
            if (!waiting && now == InitRun::State::Waiting)
                g_timeline.Note(g_timeline.nextText);
            waiting = now == InitRun::State::Waiting;
        });
        watch.start(2);

        std::atomic<bool> stop{false};
        std::thread watcher(WatchReader, std::cref(stop));
        QThread::msleep(200); // the watcher knows the reader's state
        pcsc::SetCurrentApi(&timing);
        const int boxes = g_dialogs.boxes;
        QCoreApplication::postEvent(
            &dialog, new QKeyEvent(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier));
        start = Clock::now();
        dialog.RunInitialization(g_reader);
        pcsc::SetCurrentApi(nullptr);
        watch.stop();
        stop = true;
        watcher.join();
        SetInitPause(nullptr);

        if (!op.error.empty() || g_dialogs.boxes != boxes || asked != kTokens) {
            state.SkipWithError(("the batch did not run through: " + op.error + " " +
                                 g_dialogs.last.toStdString() + " asked " + std::to_string(asked))
                                    .c_str());
            break;
        }
        const double batch = std::chrono::duration<double>(lastAsked - start).count();
        state.SetIterationTime(batch);
        state.counters["per_token_ms"] = batch * 1000 / kTokens;
        std::lock_guard<std::mutex> guard(g_timeline.lock);
        Report(state, "insert_to_command", Reactions(g_timeline.inserted, g_timeline.commands));
        Report(state, "removal_to_text", Reactions(g_timeline.removed, g_timeline.nextText));
        // The operator's part: from the run asking for the token to pcscd seeing the next one.
        Report(state, "asked_to_next_in", Reactions(g_timeline.removalAsked, g_timeline.inserted));
    }
}

BENCHMARK(BM_Batch)
    ->ArgNames({"poll_ms", "gap_ms"})
    ->ArgsProduct({{0, 50, 100}, {0, 1000}})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    PrivateStack stack("orvane-reaction-bench");
    if (!stack.Running())
        return 1;
    TempLog log;
    SetInitLogEnvironment(&log);
    SetDialogs(&g_dialogs);
    g_reader = VirtualToken::ReaderName(0);
    benchmark::RunSpecifiedBenchmarks();
    SetDialogs(nullptr);
    SetInitLogEnvironment(nullptr);
    benchmark::Shutdown();
    return 0;
}
