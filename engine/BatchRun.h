#pragma once
// The initialization run over one reader: token after token until the administrator ends it.
//
//   Ready --Enter--> Attempt --success--> RemovalWait --token out--> Waiting --token in--> Attempt
//                       |                      |                       |
//                       |                      +--another token in---> Attempt
//                       +--failure--> Failed --Enter--> Attempt        +--Enter--> Attempt
//
// Esc ends the run from every state but Attempt (an attempt runs to its end, so a token is never
// left half initialized). One attempt writes one line of the day's log, when it concludes, while
// the token is still held. The run is driven by plain inputs (Enter, Esc, a look at the reader)
// and tells its front end what to show; the front end owns the clock: when to look, how to blink.
//
// The removal wait ends when the reader is seen empty, or when it holds a token again with the
// reader's count of insertions and removals moved (the token was swapped between two looks).
// While the smart-card service does not answer, a wait sees neither a token in nor out. A service
// that comes back counts insertions and removals anew and may show the reader empty for a moment
// while it finds the token again: so the first token seen after an outage is compared with the
// token of the last attempt (its answer to reset, and its card number where the token was asked
// for it). The same token is still the one to take out: no attempt and no log line for it.
//
// The system journal (engine/AuditJournal.h) gets the run's start and end and, beside each log
// line, the attempt's entry.

#include "card/TokenSession.h"
#include "engine/AuditJournal.h"
#include "engine/TokenInit.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

enum class RunState { Ready, Attempt, Failed, RemovalWait, Waiting, Ended };

// How a front end wants the run to behave.
struct BatchRunRules {
    // Wait for the first token at once instead of waiting for Enter (the command line).
    bool startWithoutEnter = false;
    // After a failure, watch the reader as after a success: the token taken out and the next one
    // put in is tried anew (the command line). Otherwise a failure waits for Enter or Esc.
    bool retryOnNextToken = false;
    // With retryOnNextToken: Enter in Failed still tries the token in the reader at once (a
    // station's row retried by hand).
    bool enterRetriesFailure = false;
    // End the run once this many tokens are initialized; 0: only Esc ends it.
    int count = 0;
};

// What the run tells its front end.
class BatchRunFront {
public:
    virtual ~BatchRunFront() = default;
    // The run has entered `state` and its look is due (Ended included).
    virtual void StateEntered(RunState state) = 0;
    // In a wait: the smart-card service stopped answering (true) or answers again (false, the
    // state's own look is due again).
    virtual void ServiceAway(bool away) = 0;
    // Inside an attempt: the progress (0 to 100) and the waits between its steps.
    virtual void Progress(int position) = 0;
    virtual void Pause(int milliseconds) = 0;
    // A failed attempt, shown before its log line is written (the token is still held). The front
    // end may destroy the run inside this call.
    virtual void ReportFailure(const InitOutcome& outcome) = 0;
    // The attempt is over and the token let go; the run's next state follows. The front end may
    // destroy the run inside this call.
    virtual void AttemptEnded(const InitOutcome& outcome) = 0;
    // The attempt's log line could not be written: `problem` names the file and the reason. The
    // attempt's result stands as it is; AttemptEnded follows.
    virtual void LogLineLost(const std::string& problem) = 0;
};

class BatchRun : private InitObserver {
public:
    // Gives the settings of the next attempt (read at the moment the attempt starts).
    using SettingsReader = std::function<void(InitSettings&)>;
    // Writes the day's log line of an attempt: a success line when the failure text is empty.
    // Answers why the line could not be written, empty when it was.
    using LogWriter =
        std::function<std::string(const std::string& cardId, const std::string& failure)>;

    // The session is switched to shared access and kept for the run's lifetime.
    BatchRun(std::shared_ptr<TokenSession> session, BatchRunFront& front, SettingsReader settings,
             LogWriter log, BatchRunRules rules = {});
    ~BatchRun() override;
    BatchRun(const BatchRun&) = delete;
    BatchRun& operator=(const BatchRun&) = delete;

    // Ready; or, without Enter, the wait for the first token with a look at the reader at once.
    void Start();
    // Enter: an attempt in Ready, Waiting and (when failures wait for Enter, or Enter retries
    // them) Failed.
    void Enter();
    // Esc: ends the run unless an attempt is under way; true when this call ended it.
    bool Esc();
    // One look at the reader: in the waits it may start an attempt or end the removal wait;
    // elsewhere it does nothing.
    void Look();

    RunState State() const { return state_; }
    // True in the states that watch the reader.
    bool Watching() const;
    int Initialized() const { return initialized_; }
    int FailedAttempts() const { return failed_; }
    TokenSession& Session() const { return *session_; }

private:
    // What tells the token of the last attempt from another: its answer to reset and its card
    // number (empty where the token was not asked for it).
    struct TokenIdentity {
        std::vector<std::uint8_t> atr;
        std::string cardId;
    };

    void StartAttempt();
    // Enters `state`, tells the front end; false when the run went away meanwhile.
    bool Enter(RunState state);
    // Looks at the reader; tells the front end when the service goes away and comes back.
    ReaderSession::Presence ReadReader();
    void LookForRemoval();
    void LookForNextToken();
    // After an outage: is the token in the reader the one of the last attempt? Tokens that cannot
    // be told apart count as the same one.
    bool SameTokenAsLast();
    // The state that waits for the last token to be taken out.
    RunState RemovalState() const;

    void Progress(int position) override;
    void Pause(int milliseconds) override;
    void Concluded(const InitOutcome& outcome) override;
    // Writes the attempt's line and tells the front end when it was lost; false when the run went
    // away meanwhile.
    bool WriteLogLine(const LogWriter& writeLog, const InitOutcome& outcome);
    // The system journal's entry of the run's end (once, at the end or when the run goes away).
    void AuditRunEnded();

    std::shared_ptr<TokenSession> session_;
    BatchRunFront& front_;
    SettingsReader readSettings_;
    LogWriter writeLog_;
    BatchRunRules rules_;
    RunState state_ = RunState::Ready;
    int initialized_ = 0;
    int failed_ = 0;
    bool serviceAway_ = false;
    // The reader's count of insertions and removals when the removal wait first saw the token
    // (none yet, or none since the service came back: a restarted service counts anew).
    std::optional<std::uint16_t> removalCount_;
    std::optional<TokenIdentity> lastToken_;
    bool lastOk_ = false;
    // Set when the service came back after an attempt: the next token seen is compared first.
    bool compareNextToken_ = false;
    // The journal's facts of the attempt under way: its reader, unblock key's check value, group
    // numbers and device name (nothing secret).
    AuditEntry attemptFacts_;
    // The run's start is in the journal and its end not yet.
    bool auditOpen_ = false;
    // Expires when the run is destroyed (a front end may do that inside a report).
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
