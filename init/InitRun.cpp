#include "InitRun.h"

#include "Dialogs.h"
#include "Pause.h"
#include "engine/InitLog.h"

#include <QPointer>
#include <QWidget>

namespace {

// The phases of a blinking text: long while it is shown, short while it is hidden.
constexpr int kShownPhase = 1500;
constexpr int kHiddenPhase = 500;

} // namespace

InitRun::InitRun(IInitSettings& settings, RunView& view, QObject* parent)
    : QObject(parent), settings_(settings), view_(view) {
    phase_.setSingleShot(true);
    phase_.setTimerType(Qt::PreciseTimer);
    connect(&phase_, &QTimer::timeout, this, &InitRun::PhaseEnded);
    connect(&poll_, &QTimer::timeout, this, &InitRun::Poll);
}

InitRun::~InitRun() = default;

InitRun::State InitRun::CurrentState() const {
    if (!run_)
        return State::Idle;
    switch (run_->State()) {
    case RunState::Ready:
        return State::Ready;
    case RunState::Attempt:
        return State::Attempt;
    case RunState::Failed:
        return State::Failed;
    case RunState::RemovalWait:
        return State::RemovalWait;
    case RunState::Waiting:
        return State::Waiting;
    case RunState::Ended:
        break;
    }
    return State::Ended;
}

InitRun::Opening InitRun::Open(const std::string& readerName) {
    if (run_)
        return Opening::AlreadyOpen;
    std::string refusal;
    lock_ = TakeReader(readerName, refusal);
    if (!lock_) {
        MessageRequest request;
        request.owner = view_.MessageOwner();
        request.title = QStringLiteral("Orvane");
        request.text = QString::fromStdString(refusal);
        request.type = MsgType::Warning;
        request.buttons = mbOK;
        Dialogs().Message(request);
        return Opening::ReaderHeld;
    }
    session_ = std::make_shared<TokenSession>();
    session_->SelectReader(readerName);
    BatchRunFront& front = *this;
    run_ = std::make_unique<BatchRun>(
        session_, front, [this](InitSettings& settings) { ReadInitSettings(settings_, settings); },
        [](const std::string& cardId, const std::string& failure) {
            return WriteInitLog(cardId, failure).problem;
        });
    lostLineTold_ = false;
    // Ready: the dialog shows its own look for it before it opens.
    run_->Start();
    return Opening::Opened;
}

void InitRun::Enter() {
    if (!run_)
        return;
    QPointer<InitRun> self(this);
    run_->Enter();
    if (self)
        KeepPhasesGoing();
}

bool InitRun::Esc() {
    return run_ && run_->Esc();
}

void InitRun::Close() {
    phase_.stop();
    poll_.stop();
    run_.reset();
    session_.reset();
    lock_.reset();
}

void InitRun::KeepPhasesGoing() {
    if (run_ && run_->Watching() && !phase_.isActive())
        StartPhase();
}

void InitRun::StartPhase() {
    QPointer<InitRun> self(this);
    const int wait = InitPause().BeginPhase(view_.StatusShown() ? kShownPhase : kHiddenPhase);
    if (!self || !run_ || !run_->Watching())
        return;
    phase_.start(std::max(0, wait));
    // Within the phases the reader is looked at often, so that a token taken out or put in is
    // noticed at once (one look costs about 0.1 ms of PC/SC time).
    if (!poll_.isActive())
        poll_.start(std::max(1, InitPause().PollInterval()));
}

void InitRun::PhaseEnded() {
    if (!run_ || !run_->Watching())
        return;
    QPointer<InitRun> self(this);
    view_.ToggleStatus();
    if (!self || !run_)
        return;
    run_->Look();
    if (self)
        KeepPhasesGoing();
}

void InitRun::Poll() {
    if (!run_ || !run_->Watching()) {
        poll_.stop();
        return;
    }
    QPointer<InitRun> self(this);
    run_->Look();
    if (self)
        KeepPhasesGoing();
}

void InitRun::StateEntered(RunState state) {
    switch (state) {
    case RunState::Ready:
        break; // the dialog shows it before it opens
    case RunState::Attempt:
        phase_.stop();
        poll_.stop();
        view_.ShowAttempt();
        break;
    case RunState::Failed:
        view_.ShowFailed();
        break;
    case RunState::RemovalWait:
        phase_.stop();
        view_.ShowDone();
        break;
    case RunState::Waiting:
        phase_.stop();
        view_.ShowWaiting();
        break;
    case RunState::Ended:
        phase_.stop();
        poll_.stop();
        break;
    }
}

void InitRun::ServiceAway(bool away) {
    if (away)
        view_.ShowServiceAway();
    else if (run_ && run_->State() == RunState::RemovalWait)
        view_.ShowDone();
    else
        view_.ShowNextToken();
}

void InitRun::Progress(int position) {
    view_.SetProgress(position);
}

void InitRun::Pause(int milliseconds) {
    InitPause().Pause(milliseconds, PauseKind::Step);
}

void InitRun::ReportFailure(const InitOutcome& outcome) {
    // A failed step: a system-modal box owned by the dialog; the run writes the log line after it.
    MessageRequest request;
    request.owner = view_.MessageOwner();
    request.title = view_.MessageOwner()->windowTitle();
    request.text = QString::fromStdString(outcome.message);
    request.type = outcome.kind == FailureKind::Warning ? MsgType::Warning : MsgType::Error;
    request.buttons = mbOK;
    request.systemModal = true;
    Dialogs().Message(request);
}

void InitRun::AttemptEnded(const InitOutcome& outcome) {
    if (!outcome.ok)
        return;
    view_.SetProgress(100);
    InitPause().Pause(300, PauseKind::Step);
}

void InitRun::LogLineLost(const std::string& problem) {
    view_.ShowLogLineLost();
    // One box per run: the administrator knows the log is not being kept; every later lost line
    // shows on the status line only.
    if (lostLineTold_)
        return;
    lostLineTold_ = true;
    MessageRequest request;
    request.owner = view_.MessageOwner();
    request.title = view_.MessageOwner()->windowTitle();
    request.text = QString::fromStdString(problem);
    request.type = MsgType::Warning;
    request.buttons = mbOK;
    request.systemModal = true;
    Dialogs().Message(request);
}
