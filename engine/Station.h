#pragma once
// The initialization run over several readers at once: one engine batch run per reader, each on
// a thread of its own with a PC/SC context of its own (the service serializes the calls of one
// context, so readers sharing one would wait for each other), all with the same settings and
// group keys (read once, when the station is made), all writing the same day's log.
//
// A watch thread keeps the readers' runs in step with the readers attached: a reader plugged in
// gets a run, an unplugged one is reported and its run ended (the others go on), a reader held
// by another run or a PIN reset (engine/ReaderLock.h) is reported busy and left alone until it
// is free. Every event reaches the front end through the station's queue (Events()), which the
// front end drains on its own thread: no call of the station waits on a card.
//
// Esc ends the station: every attempt under way runs to its end first, then the runs end, and
// the last event is Finished.

#include "engine/InitSettingsSource.h"
#include "engine/StationEvents.h"
#include "engine/StationReader.h"

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

struct StationOptions {
    // The readers to work on; empty: every reader attached, now and later.
    std::vector<std::string> readers;
    // Tokens to initialize over all readers; 0: until Esc.
    int count = 0;
    // Writes an attempt's line of the day's log (BatchRun::LogWriter); the day's log when empty.
    BatchRun::LogWriter log;
    // How often each reader is looked at, and the longest wait for the reader list to change.
    int lookIntervalMs = 50;
    int watchIntervalMs = 250;
};

class Station {
public:
    // The service serves at most this many readers (pcsc-lite on Debian 12).
    static constexpr int kMaxReaders = 16;

    // Reads the settings once, here, on the caller's thread.
    Station(const IInitSettings& settings, StationOptions options);
    ~Station(); // ends the station and waits for every thread
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    void Start();
    // Enter on a reader's row: its failed token (or the token in it) is tried at once.
    void Enter(const std::string& reader);
    // Ends the station once the attempts under way have finished.
    void Esc();
    bool Finished() const { return finished_.load(); }

    StationEvents& Events() { return shared_.events; }
    int Initialized() const { return shared_.initialized.load(); }
    int FailedAttempts() const { return shared_.failed.load(); }

private:
    void Watch();
    // Runs for the readers attached and wanted that have none (busy ones reported).
    void Reconcile(const std::vector<std::string>& attached);
    bool Wanted(const std::string& reader, const std::vector<std::string>& attached) const;
    void Report(StationEventKind kind, const std::string& reader, const std::string& text = {});

    StationShared shared_;
    StationOptions options_;
    std::thread watch_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> finished_{false};
    std::mutex readersMutex_;
    // The readers' runs by name (only the watch thread adds or removes them).
    std::map<std::string, std::unique_ptr<StationReader>> readers_;
    // The runs of unplugged readers, until their threads have let the readers go (watch thread).
    std::vector<std::unique_ptr<StationReader>> retired_;
    // Readers reported busy or unplugged (told once until it changes).
    std::map<std::string, StationEventKind> told_;
    bool tooManyTold_ = false;
};
