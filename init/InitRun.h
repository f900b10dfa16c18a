#pragma once
// The initialization run as one state machine on the user-interface thread.
//
//   Ready --Enter--> Attempt --success--> RemovalWait --token out--> Waiting --token in--> Attempt
//                       |                                              |
//                       +--failure--> Failed --Enter--> Attempt        +--Enter--> Attempt
//
// Esc ends the run from every state but Attempt (an attempt runs synchronously, so a key pressed
// meanwhile is served after it). The blinking of the removal wait and of the wait for the next
// token are phases of one QTimer: each tick toggles the status text and looks at the reader; a
// second timer looks at the reader every 50 ms in between, so a token taken out or put in is
// noticed at once, not at the end of a 1.5 s phase.
// Nothing runs on another thread, and nothing is left running once the run has ended.

#include "engine/TokenInit.h"
#include "init/InitSettings.h"

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class ProgressDialog;

class InitRun : public QObject, private InitObserver {
    Q_OBJECT
public:
    enum class State { Idle, Ready, Attempt, Failed, RemovalWait, Waiting, Ended };

    InitRun(IInitSettings& settings, ProgressDialog& view);
    ~InitRun() override;

    // Opens a run on the reader with a session of its own in shared mode. Refused (false) while
    // a run is open or has not been closed yet.
    bool Open(const std::string& readerName);
    // Enter: an attempt in Ready, Failed and Waiting; ignored elsewhere.
    void Enter();
    // Esc: ends an open run; true when this call ended it.
    bool Esc();
    // Releases the session of an ended run; the next run may open.
    void Close();

    State CurrentState() const { return state_; }
    // The run's reader session; null when no run is open.
    TokenSession* Session() const { return session_.get(); }
    // True while a blink phase is under way (or the reader is being watched between phases).
    bool PhaseRunning() const { return phase_.isActive() || poll_.isActive(); }

private:
    void StartAttempt();
    // Starts a blink phase for the status text as it is shown now; false when the run went away
    // meanwhile.
    bool StartPhase();
    void PhaseEnded();
    // In the removal wait: the next phase while the token is in, else the wait for the next one.
    void CheckRemoval();
    // The removal wait is over: the look and the phases of the wait for the next token.
    void EnterWaiting();
    // What the removal wait sees: the token still in, the token out, or another token in its
    // place (taken out and the next one put in between two looks: the reader's count of
    // insertions and removals moved while a token stayed present).
    enum class Removal { TokenIn, TokenOut, NextTokenIn };
    Removal LookForRemoval();
    // A look at the reader between the phases' ends.
    void Poll();
    // What the reader holds; while the smart-card service does not answer, the status line says
    // so and the wait goes on (no attempt, no log line); once it answers, the state's own look
    // comes back.
    ReaderSession::Presence ReadReader();

    void Progress(int position) override;
    void Pause(int milliseconds) override;
    void Concluded(const InitOutcome& outcome) override;

    IInitSettings& settings_;
    ProgressDialog& view_;
    std::shared_ptr<TokenSession> session_;
    QTimer phase_;
    QTimer poll_;
    State state_ = State::Idle;
    bool serviceAway_ = false;
    // The reader's count of insertions and removals when the removal wait began (none yet, or
    // none since the service came back: a restarted service counts anew).
    std::optional<std::uint16_t> removalCount_;
};
