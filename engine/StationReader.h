#pragma once
// One reader of a station: the engine's batch run on a thread of its own, with a reader session
// (and so a PC/SC context) made on that thread and used by it alone. The run starts without
// Enter, tries each token put in, keeps a failed token's state until the token is taken out, and
// takes Enter (a failed token retried at once) and the end of the run from other threads through
// a small inbox it reads between its looks at the reader: an attempt under way always runs to its
// end first.

#include "engine/BatchRun.h"
#include "engine/ReaderLock.h"
#include "engine/StationEvents.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// What the readers of one station share. The settings and group keys are read once, before any
// reader's thread starts, and only read afterwards; the counts are atomic; the start gate keeps
// the readers from starting more attempts than the station's count still allows.
struct StationShared {
    StationEvents events;
    InitSettings settings;
    BatchRun::LogWriter log;
    // Tokens to initialize over all readers; 0: until the station is ended.
    int count = 0;
    int lookIntervalMs = 50;
    std::mutex startGate;
    std::atomic<int> inFlight{0};
    std::atomic<int> initialized{0};
    std::atomic<int> failed{0};
    // Called (on the reader's thread) when the count has been reached.
    std::function<void()> countReached;
};

// Copies the station's settings into one attempt's.
void CopyInitSettings(const InitSettings& from, InitSettings& to);

class StationReader : private BatchRunFront {
public:
    StationReader(std::string reader, ReaderLock lock, StationShared& shared);
    ~StationReader() override; // ends the run and waits for its thread
    StationReader(const StationReader&) = delete;
    StationReader& operator=(const StationReader&) = delete;

    void Start();
    // Enter: a failed token (or a token in a waiting reader) is tried at once.
    void Enter();
    // Ends the run once no attempt is under way.
    void Stop();
    // The run has ended and its thread is done with the reader.
    bool Done() const { return done_.load(); }
    void Join();
    const std::string& Reader() const { return reader_; }

private:
    void Body();
    // Runs `call` (a look, Enter or the start) unless the station's count forbids another
    // attempt; the gate is held until the attempt has counted itself in flight.
    template <typename Call> void Gated(Call call);

    void StateEntered(RunState state) override;
    void ServiceAway(bool away) override;
    void Progress(int position) override;
    void Pause(int milliseconds) override;
    void ReportFailure(const InitOutcome& outcome) override;
    void AttemptEnded(const InitOutcome& outcome) override;
    void LogLineLost(const std::string& problem) override;
    void Push(StationEvent event);

    const std::string reader_;
    ReaderLock lock_;
    StationShared& shared_;
    std::thread thread_;
    std::mutex inboxMutex_;
    std::condition_variable inboxSignal_;
    bool enterAsked_ = false;
    bool stopAsked_ = false;
    std::atomic<bool> done_{false};
    std::unique_lock<std::mutex> gate_;
};
