#pragma once
// What a run over several readers tells its front end, and the queue that carries it from the
// readers' threads to the front end's own thread. The front end drains the queue when it likes
// (a window's timer, a command line's loop); nothing in it ever waits on a card.

#include "engine/BatchRun.h"
#include "engine/TokenInit.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

enum class StationEventKind {
    // A reader has a run of its own now (its row appears; its first state follows).
    Attached,
    // The reader's run has entered `state` (Attempt: an attempt has started).
    State,
    // Inside an attempt: the progress (0 to 100).
    Progress,
    // The smart-card service stopped answering (`away` true) or answers again.
    ServiceAway,
    // An attempt is over: `outcome`, and the counts of the whole station after it.
    AttemptEnded,
    // The attempt's log line could not be written: `text` says why.
    LogLineLost,
    // Another run or a PIN reset holds the reader: `text` says so; it is left alone.
    Busy,
    // The reader was unplugged: its run has ended (an attempt under way finished first).
    Unplugged,
    // The service lists as many readers as it can serve: more attached are not seen (`text`).
    TooManyReaders,
    // The station has ended: every reader's run is over (no reader named).
    Finished,
};

struct StationEvent {
    StationEventKind kind = StationEventKind::State;
    std::string reader;
    RunState state = RunState::Ready;
    int progress = 0;
    bool away = false;
    InitOutcome outcome;
    std::string text;
    // The station's counts after an attempt.
    int initialized = 0;
    int failed = 0;
    // When the reader's thread told it.
    std::chrono::steady_clock::time_point at = std::chrono::steady_clock::now();
};

// Many threads push, one front end drains.
class StationEvents {
public:
    void Push(StationEvent event);
    // Everything pushed since the last drain, in the order pushed.
    std::vector<StationEvent> Drain();
    // Waits up to `timeout` until an event is there to drain; true when one is.
    bool WaitFor(std::chrono::milliseconds timeout);
    // Called after every push, on the pushing thread (a window posts itself a wake-up).
    void SetWake(std::function<void()> wake);

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<StationEvent> events_;
    std::function<void()> wake_;
};
