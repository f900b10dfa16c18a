#include "StationReader.h"

#include "card/TokenSession.h"

#include <chrono>
#include <utility>

void CopyInitSettings(const InitSettings& from, InitSettings& to) {
    to.pin = from.pin;
    to.puk = from.puk;
    to.pukUsable = from.pukUsable;
    to.unblockKeyUsable = from.unblockKeyUsable;
    to.unblockKey = from.unblockKey;
    to.groupRsa = from.groupRsa;
    to.groupDstu = from.groupDstu;
    to.groupKeyRsa = from.groupKeyRsa;
    to.groupKeyDstu = from.groupKeyDstu;
    to.nameField = from.nameField;
}

StationReader::StationReader(std::string reader, ReaderLock lock, StationShared& shared)
    : reader_(std::move(reader)), lock_(std::move(lock)), shared_(shared) {}

StationReader::~StationReader() {
    Stop();
    Join();
}

void StationReader::Start() {
    thread_ = std::thread([this] { Body(); });
}

void StationReader::Enter() {
    {
        const std::lock_guard lock(inboxMutex_);
        enterAsked_ = true;
    }
    inboxSignal_.notify_all();
}

void StationReader::Stop() {
    {
        const std::lock_guard lock(inboxMutex_);
        stopAsked_ = true;
    }
    inboxSignal_.notify_all();
}

void StationReader::Join() {
    if (thread_.joinable())
        thread_.join();
}

template <typename Call> void StationReader::Gated(Call call) {
    if (shared_.count == 0) {
        call();
        return;
    }
    gate_ = std::unique_lock(shared_.startGate);
    if (shared_.initialized.load() + shared_.inFlight.load() < shared_.count)
        call();
    if (gate_.owns_lock())
        gate_.unlock();
}

void StationReader::Body() {
    // The session, and with it the PC/SC context, belongs to this thread alone.
    auto session = std::make_shared<TokenSession>();
    session->Exclusive = false;
    session->SelectReader(reader_);
    BatchRunRules rules;
    rules.startWithoutEnter = true;
    rules.retryOnNextToken = true;
    rules.enterRetriesFailure = true;
    BatchRun run(
        session, *this,
        [this](InitSettings& attempt) { CopyInitSettings(shared_.settings, attempt); }, shared_.log,
        rules);
    bool stopAtOnce = false;
    {
        const std::lock_guard lock(inboxMutex_);
        stopAtOnce = stopAsked_;
    }
    if (!stopAtOnce)
        Gated([&run] { run.Start(); });
    while (run.State() != RunState::Ended) {
        bool enter = false, stop = false;
        {
            std::unique_lock lock(inboxMutex_);
            inboxSignal_.wait_for(lock, std::chrono::milliseconds(shared_.lookIntervalMs),
                                  [this] { return enterAsked_ || stopAsked_; });
            enter = std::exchange(enterAsked_, false);
            stop = stopAsked_;
        }
        if (stop)
            run.Esc();
        else if (run.State() == RunState::Ready) // the count allowed no start yet
            Gated([&run] { run.Start(); });
        else if (enter)
            Gated([&run] { run.Enter(); });
        else
            Gated([&run] { run.Look(); });
    }
    done_ = true;
}

void StationReader::Push(StationEvent event) {
    event.reader = reader_;
    shared_.events.Push(std::move(event));
}

void StationReader::StateEntered(RunState state) {
    if (state == RunState::Attempt) {
        ++shared_.inFlight;
        if (gate_.owns_lock())
            gate_.unlock();
    }
    StationEvent event;
    event.kind = StationEventKind::State;
    event.state = state;
    Push(std::move(event));
}

void StationReader::ServiceAway(bool away) {
    StationEvent event;
    event.kind = StationEventKind::ServiceAway;
    event.away = away;
    Push(std::move(event));
}

void StationReader::Progress(int position) {
    StationEvent event;
    event.kind = StationEventKind::Progress;
    event.progress = position;
    Push(std::move(event));
}

void StationReader::Pause(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void StationReader::ReportFailure(const InitOutcome&) {}

void StationReader::AttemptEnded(const InitOutcome& outcome) {
    int initialized = shared_.initialized.load();
    int failed = shared_.failed.load();
    if (outcome.ok)
        initialized = ++shared_.initialized;
    else
        failed = ++shared_.failed;
    --shared_.inFlight;
    StationEvent event;
    event.kind = StationEventKind::AttemptEnded;
    event.outcome = outcome;
    event.initialized = initialized;
    event.failed = failed;
    Push(std::move(event));
    if (outcome.ok && shared_.count > 0 && initialized >= shared_.count && shared_.countReached)
        shared_.countReached();
}

void StationReader::LogLineLost(const std::string& problem) {
    StationEvent event;
    event.kind = StationEventKind::LogLineLost;
    event.text = problem;
    Push(std::move(event));
}
