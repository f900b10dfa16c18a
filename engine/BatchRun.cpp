#include "BatchRun.h"

#include "engine/KeyCheck.h"
#include "engine/RunTexts.h"

#include <cstdio>
#include <utility>

namespace {

// A duplication-group number as typed ("0A"); empty for no group.
std::string GroupNumber(int group) {
    if (group == 0)
        return {};
    char text[3];
    std::snprintf(text, sizeof text, "%02X", group & 0xFF);
    return text;
}

// The device name of the token's field: its UTF-8 bytes up to the first zero, without a character
// the field's 32 bytes cut in two.
std::string DeviceName(const std::array<std::uint8_t, 32>& field) {
    std::string name;
    for (const std::uint8_t byte : field) {
        if (byte == 0)
            break;
        name += static_cast<char>(byte);
    }
    std::size_t start = name.size();
    while (start > 0 && (static_cast<unsigned char>(name[start - 1]) & 0xC0) == 0x80)
        --start;
    if (start > 0 && static_cast<unsigned char>(name[start - 1]) >= 0xC0) {
        const unsigned char lead = static_cast<unsigned char>(name[start - 1]);
        const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        if (name.size() - (start - 1) < length)
            name.resize(start - 1);
    }
    return name;
}

// The journal's entry of a concluded attempt.
void AuditAttempt(AuditEntry entry, const InitOutcome& outcome) {
    entry.event = AuditEvent::Init;
    entry.card = outcome.cardId;
    const std::string token =
        outcome.cardId.empty() ? std::string("Смарт-карта") : "Смарт-карта #" + outcome.cardId;
    if (outcome.ok) {
        entry.result = AuditResult::Success;
        entry.message = token + " инициализирована";
    } else {
        entry.result =
            outcome.kind == FailureKind::Warning ? AuditResult::Warning : AuditResult::Error;
        entry.step = InitStepName(outcome.step);
        if (outcome.statusWord != 0)
            entry.statusWord = outcome.statusWord;
        entry.message = token + " не инициализирована: " + outcome.message;
    }
    RecordAudit(entry);
}

} // namespace

BatchRun::BatchRun(std::shared_ptr<TokenSession> session, BatchRunFront& front,
                   SettingsReader settings, LogWriter log, BatchRunRules rules)
    : session_(std::move(session)), front_(front), readSettings_(std::move(settings)),
      writeLog_(std::move(log)), rules_(rules) {
    session_->Exclusive = false;
}

BatchRun::~BatchRun() {
    AuditRunEnded();
}

void BatchRun::AuditRunEnded() {
    if (!auditOpen_)
        return;
    auditOpen_ = false;
    AuditEntry entry;
    entry.event = AuditEvent::RunEnded;
    entry.result = failed_ == 0 ? AuditResult::Success : AuditResult::Warning;
    entry.reader = session_->Reader;
    entry.message = std::string(run_text::kRunEnded) + ": смарт-карт инициализировано " +
                    std::to_string(initialized_) + ", неудачных попыток " + std::to_string(failed_);
    RecordAudit(entry);
}

bool BatchRun::Watching() const {
    return state_ == RunState::RemovalWait || state_ == RunState::Waiting ||
           (state_ == RunState::Failed && rules_.retryOnNextToken);
}

RunState BatchRun::RemovalState() const {
    return lastOk_ ? RunState::RemovalWait : RunState::Failed;
}

bool BatchRun::Enter(RunState state) {
    const std::weak_ptr<bool> alive = alive_;
    state_ = state;
    if (state == RunState::Ended)
        AuditRunEnded();
    front_.StateEntered(state);
    return !alive.expired();
}

void BatchRun::Start() {
    if (!auditOpen_) {
        auditOpen_ = true;
        AuditEntry entry;
        entry.event = AuditEvent::RunStarted;
        entry.reader = session_->Reader;
        entry.message = "Начата инициализация смарт-карт в устройстве " + session_->Reader;
        RecordAudit(entry);
    }
    if (!rules_.startWithoutEnter) {
        Enter(RunState::Ready);
        return;
    }
    state_ = RunState::Waiting;
    // A token already in is started without a word about waiting for it.
    if (ReadReader() == ReaderSession::Presence::Present) {
        StartAttempt();
        return;
    }
    Enter(RunState::Waiting);
}

void BatchRun::Enter() {
    if (state_ == RunState::Ready || state_ == RunState::Waiting ||
        (state_ == RunState::Failed && (!rules_.retryOnNextToken || rules_.enterRetriesFailure)))
        StartAttempt();
}

bool BatchRun::Esc() {
    if (state_ == RunState::Attempt || state_ == RunState::Ended)
        return false;
    Enter(RunState::Ended);
    return true;
}

void BatchRun::Look() {
    if (!Watching())
        return;
    if (state_ == RunState::Waiting)
        LookForNextToken();
    else
        LookForRemoval();
}

ReaderSession::Presence BatchRun::ReadReader() {
    const ReaderSession::Presence presence = session_->ReadPresence();
    const bool away = presence == ReaderSession::Presence::NoService;
    const bool changed = away != serviceAway_;
    serviceAway_ = away;
    if (changed && !away) {
        // A restarted service counts insertions and removals anew; in the removal wait the token
        // it finds may be the one just initialized (once the reader was seen empty, any token
        // is the next one).
        removalCount_.reset();
        if (state_ != RunState::Waiting)
            compareNextToken_ = lastToken_.has_value();
    }
    if (changed)
        front_.ServiceAway(away);
    return presence;
}

void BatchRun::LookForRemoval() {
    const std::weak_ptr<bool> alive = alive_;
    const ReaderSession::Presence presence = ReadReader();
    if (alive.expired() || presence == ReaderSession::Presence::NoService)
        return; // nobody can tell: the wait goes on
    if (presence == ReaderSession::Presence::Absent) {
        Enter(RunState::Waiting);
        return;
    }
    if (compareNextToken_) {
        compareNextToken_ = false;
        if (!SameTokenAsLast()) {
            StartAttempt();
            return;
        }
        removalCount_ = session_->LastEventCount;
        return;
    }
    if (!removalCount_) {
        removalCount_ = session_->LastEventCount;
        return;
    }
    // The count moved while a token stayed in: taken out and the next one put in between looks.
    if (session_->LastEventCount != *removalCount_)
        StartAttempt();
}

void BatchRun::LookForNextToken() {
    const std::weak_ptr<bool> alive = alive_;
    if (ReadReader() != ReaderSession::Presence::Present || alive.expired())
        return;
    if (compareNextToken_) {
        compareNextToken_ = false;
        if (SameTokenAsLast()) {
            // The reader looked empty only while the service came back: the token of the last
            // attempt is still in and still to be taken out.
            removalCount_ = session_->LastEventCount;
            Enter(RemovalState());
            return;
        }
    }
    StartAttempt();
}

bool BatchRun::SameTokenAsLast() {
    if (!lastToken_)
        return false;
    if (session_->LastAtr != lastToken_->atr)
        return false;
    if (lastToken_->cardId.empty())
        return true; // tokens of one model without a number to ask: not told apart
    // Ask the token for its number as an attempt would, and let it go untouched.
    const bool connected = session_->ConnectCard();
    const std::string cardId = session_->CardId;
    session_->Disconnect();
    if (!connected || cardId.empty())
        return true; // no answer: take it for the same token rather than initialize it twice
    return cardId == lastToken_->cardId;
}

void BatchRun::StartAttempt() {
    serviceAway_ = false;
    compareNextToken_ = false;
    if (!Enter(RunState::Attempt))
        return;

    InitSettings settings;
    if (readSettings_)
        readSettings_(settings);
    attemptFacts_ = AuditEntry();
    attemptFacts_.reader = session_->Reader;
    attemptFacts_.unblockKcv = KeyCheckValue(settings.unblockKey);
    attemptFacts_.groupRsa = GroupNumber(settings.groupRsa);
    attemptFacts_.groupDstu = GroupNumber(settings.groupDstu);
    attemptFacts_.deviceName = DeviceName(settings.nameField);
    // The session and this run may go away while the front end reports a failure; the session
    // stays alive until the attempt has let the token go.
    const std::shared_ptr<TokenSession> session = session_;
    const std::weak_ptr<bool> alive = alive_;
    const InitOutcome outcome = InitializeToken(*session, settings, *this);
    // A failure has entered its state already, while the token was still held.
    const RunState concluded = outcome.ok ? RunState::Attempt : RunState::Failed;
    if (alive.expired() || state_ != concluded)
        return;
    lastToken_ = TokenIdentity{session->LastAtr, outcome.cardId};
    lastOk_ = outcome.ok;
    removalCount_.reset();
    if (outcome.ok)
        ++initialized_;
    else
        ++failed_;
    front_.AttemptEnded(outcome);
    if (alive.expired() || state_ != concluded)
        return;
    if (outcome.ok && rules_.count > 0 && initialized_ >= rules_.count) {
        Enter(RunState::Ended);
        return;
    }
    if (outcome.ok && !Enter(RunState::RemovalWait))
        return;
    // The token may be out already (or another one in its place).
    if (Watching())
        LookForRemoval();
}

void BatchRun::Progress(int position) {
    front_.Progress(position);
}

void BatchRun::Pause(int milliseconds) {
    front_.Pause(milliseconds);
}

bool BatchRun::WriteLogLine(const LogWriter& writeLog, const InitOutcome& outcome) {
    const std::weak_ptr<bool> alive = alive_;
    const std::string problem =
        writeLog ? writeLog(outcome.cardId, outcome.ok ? std::string() : outcome.message)
                 : std::string();
    AuditAttempt(attemptFacts_, outcome);
    if (!problem.empty())
        front_.LogLineLost(problem);
    return !alive.expired();
}

void BatchRun::Concluded(const InitOutcome& outcome) {
    if (outcome.ok) {
        WriteLogLine(writeLog_, outcome);
        return;
    }
    // The line is written even when the run goes away while the failure is shown: the attempt
    // happened, and the log is the record of it (a lost line is then told to nobody).
    const LogWriter writeLog = writeLog_;
    const AuditEntry facts = attemptFacts_;
    const std::weak_ptr<bool> alive = alive_;
    front_.ReportFailure(outcome);
    if (alive.expired()) {
        if (writeLog)
            writeLog(outcome.cardId, outcome.message);
        AuditAttempt(facts, outcome);
        return;
    }
    if (WriteLogLine(writeLog, outcome))
        Enter(RunState::Failed);
}
