#pragma once
// The window's initialization run: the engine's batch run (engine/BatchRun.h) on the
// user-interface thread, with the progress dialog as its view (init/RunView.h). The run opens
// every message box of a run: a held reader's refusal and a failed attempt's report.
//
// The blinking of the removal wait and of the wait for the next token are phases of one QTimer:
// each phase end toggles the status text and looks at the reader; a second timer looks at the
// reader every 50 ms in between, so a token taken out or put in is noticed at once, not at the
// end of a 1.5 s phase. An attempt runs synchronously, so a key pressed meanwhile is served after
// it. Nothing runs on another thread, and nothing is left running once the run has ended.

#include "engine/BatchRun.h"
#include "engine/ReaderLock.h"
#include "init/InitSettings.h"
#include "init/RunView.h"

#include <QObject>
#include <QTimer>

#include <memory>
#include <optional>
#include <string>

class InitRun : public QObject, private BatchRunFront {
    Q_OBJECT
public:
    enum class State { Idle, Ready, Attempt, Failed, RemovalWait, Waiting, Ended };

    InitRun(IInitSettings& settings, RunView& view, QObject* parent = nullptr);
    ~InitRun() override;

    // What opening a run came to.
    enum class Opening { Opened, AlreadyOpen, ReaderHeld };
    // Opens a run on the reader with a session of its own in shared mode, and holds the reader
    // until Close. Refused while a run is open or has not been closed yet, and when another run
    // or PIN reset holds the reader (the user is told so in a box).
    Opening Open(const std::string& readerName);
    // Enter: an attempt in Ready, Failed and Waiting; ignored elsewhere.
    void Enter();
    // Esc: ends an open run; true when this call ended it.
    bool Esc();
    // Releases the session of an ended run; the next run may open.
    void Close();

    State CurrentState() const;
    // The run's reader session; null when no run is open.
    TokenSession* Session() const { return session_.get(); }
    // True while a blink phase is under way (or the reader is being watched between phases).
    bool PhaseRunning() const { return phase_.isActive() || poll_.isActive(); }

private:
    // After every call into the run: a wait whose phases are not running starts them.
    void KeepPhasesGoing();
    // Starts a blink phase for the status text as it is shown now.
    void StartPhase();
    void PhaseEnded();
    void Poll();

    void StateEntered(RunState state) override;
    void ServiceAway(bool away) override;
    void Progress(int position) override;
    void Pause(int milliseconds) override;
    void ReportFailure(const InitOutcome& outcome) override;
    void AttemptEnded(const InitOutcome& outcome) override;
    void LogLineLost(const std::string& problem) override;

    IInitSettings& settings_;
    RunView& view_;
    std::optional<ReaderLock> lock_;
    std::shared_ptr<TokenSession> session_;
    std::unique_ptr<BatchRun> run_;
    // A lost log line has been shown in a box during this run.
    bool lostLineTold_ = false;
    QTimer phase_;
    QTimer poll_;
};
