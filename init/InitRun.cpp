#include "InitRun.h"

#include "Dialogs.h"
#include "Pause.h"
#include "ProgressDialog.h"
#include "engine/InitLog.h"

#include <QPointer>

namespace {

// The phases of a blinking text: long while it is shown, short while it is hidden.
constexpr int kShownPhase = 1500;
constexpr int kHiddenPhase = 500;

} // namespace

InitRun::InitRun(IInitSettings& settings, ProgressDialog& view)
    : QObject(&view), settings_(settings), view_(view) {
    phase_.setSingleShot(true);
    phase_.setTimerType(Qt::PreciseTimer);
    connect(&phase_, &QTimer::timeout, this, &InitRun::PhaseEnded);
    connect(&poll_, &QTimer::timeout, this, &InitRun::Poll);
}

InitRun::~InitRun() = default;

bool InitRun::Open(const std::string& readerName) {
    if (state_ != State::Idle)
        return false;
    session_ = std::make_shared<TokenSession>();
    session_->Exclusive = false;
    session_->SelectReader(readerName);
    state_ = State::Ready;
    return true;
}

void InitRun::Enter() {
    if (state_ == State::Ready || state_ == State::Failed || state_ == State::Waiting)
        StartAttempt();
}

bool InitRun::Esc() {
    if (state_ == State::Idle || state_ == State::Ended || state_ == State::Attempt)
        return false;
    phase_.stop();
    poll_.stop();
    state_ = State::Ended;
    return true;
}

void InitRun::Close() {
    phase_.stop();
    poll_.stop();
    session_.reset();
    state_ = State::Idle;
}

void InitRun::StartAttempt() {
    phase_.stop();
    poll_.stop();
    serviceAway_ = false;
    state_ = State::Attempt;
    view_.ShowAttempt();

    InitSettings settings;
    ReadInitSettings(settings_, settings);
    // The session stays alive until the attempt has let the token go, even if the dialog is
    // destroyed while it reports a failure.
    const std::shared_ptr<TokenSession> session = session_;
    QPointer<InitRun> self(this);
    const InitOutcome outcome = InitializeToken(*session, settings, *this);
    if (!self || state_ != State::Attempt)
        return;
    if (!outcome.ok) {
        state_ = State::Failed;
        return;
    }
    view_.SetProgress(100);
    InitPause().Pause(300, PauseKind::Step);
    if (!self)
        return;
    view_.ShowDone();
    state_ = State::RemovalWait;
    removalCount_.reset();
    CheckRemoval();
}

ReaderSession::Presence InitRun::ReadReader() {
    const ReaderSession::Presence presence = session_->ReadPresence();
    const bool away = presence == ReaderSession::Presence::NoService;
    if (away && !serviceAway_)
        view_.ShowServiceAway();
    else if (!away && serviceAway_ && state_ == State::RemovalWait)
        view_.ShowDone();
    else if (!away && serviceAway_ && state_ == State::Waiting)
        view_.ShowNextToken();
    if (serviceAway_ && !away)
        removalCount_.reset(); // a restarted service counts insertions and removals anew
    serviceAway_ = away;
    return presence;
}

void InitRun::CheckRemoval() {
    switch (LookForRemoval()) {
    case Removal::TokenIn:
        StartPhase();
        break;
    case Removal::TokenOut:
        EnterWaiting();
        break;
    case Removal::NextTokenIn:
        StartAttempt();
        break;
    }
}

InitRun::Removal InitRun::LookForRemoval() {
    const ReaderSession::Presence presence = ReadReader();
    if (presence == ReaderSession::Presence::Absent)
        return Removal::TokenOut;
    if (presence == ReaderSession::Presence::NoService)
        return Removal::TokenIn; // nobody can tell: the wait goes on
    if (!removalCount_) {
        removalCount_ = session_->LastEventCount;
        return Removal::TokenIn;
    }
    return session_->LastEventCount == *removalCount_ ? Removal::TokenIn : Removal::NextTokenIn;
}

void InitRun::EnterWaiting() {
    phase_.stop();
    QPointer<InitRun> self(this);
    view_.ShowWaiting();
    if (!self)
        return;
    state_ = State::Waiting;
    StartPhase();
}

void InitRun::Poll() {
    if (state_ == State::RemovalWait) {
        switch (LookForRemoval()) {
        case Removal::TokenIn:
            break;
        case Removal::TokenOut:
            EnterWaiting();
            break;
        case Removal::NextTokenIn:
            StartAttempt();
            break;
        }
    } else if (state_ == State::Waiting) {
        if (ReadReader() == ReaderSession::Presence::Present)
            StartAttempt();
    } else {
        poll_.stop();
    }
}

bool InitRun::StartPhase() {
    QPointer<InitRun> self(this);
    const int wait = InitPause().BeginPhase(view_.StatusShown() ? kShownPhase : kHiddenPhase);
    if (!self)
        return false;
    if (state_ == State::RemovalWait || state_ == State::Waiting) {
        phase_.start(std::max(0, wait));
        // Within the phases the reader is looked at often, so that a token taken out or put in
        // is noticed at once (one look costs about 0.1 ms of PC/SC time).
        if (!poll_.isActive())
            poll_.start(std::max(1, InitPause().PollInterval()));
    }
    return true;
}

void InitRun::PhaseEnded() {
    if (state_ == State::RemovalWait) {
        view_.ToggleStatus();
        CheckRemoval();
    } else if (state_ == State::Waiting) {
        view_.ToggleStatus();
        if (ReadReader() == ReaderSession::Presence::Present)
            StartAttempt();
        else
            StartPhase();
    }
}

void InitRun::Progress(int position) {
    view_.SetProgress(position);
}

void InitRun::Pause(int milliseconds) {
    InitPause().Pause(milliseconds, PauseKind::Step);
}

void InitRun::Concluded(const InitOutcome& outcome) {
    if (outcome.ok) {
        WriteInitLog(outcome.cardId);
        return;
    }
    // A failed step: a system-modal box owned by the dialog, then the log line, then the red
    // status text.
    const QString text = QString::fromStdString(outcome.message);
    QPointer<InitRun> self(this);
    MessageRequest request;
    request.owner = &view_;
    request.title = view_.windowTitle();
    request.text = text;
    request.type = outcome.kind == FailureKind::Warning ? MsgType::Warning : MsgType::Error;
    request.buttons = mbOK;
    request.systemModal = true;
    Dialogs().Message(request);
    if (!self)
        return;
    WriteInitLog(outcome.cardId, outcome.message);
    view_.ShowFailed();
}
