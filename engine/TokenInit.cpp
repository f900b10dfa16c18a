#include "TokenInit.h"

#include "crypto/Wipe.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

// ---- Failure messages (those marked with a cause get the reader's text appended) -------------

struct StepText {
    InitStep step;
    const char* message;
    FailureKind kind;
    bool withCause;
};

constexpr StepText kStepTexts[] = {
    {InitStep::Connect, "Смарт-карта не отвечает. ", FailureKind::Warning, true},
    {InitStep::CheckGlobalPin,
     "Инициализация текущей смарт-карты невозможна. НКИ не поддерживает глобальный ПИН-код",
     FailureKind::Error, false},
    {InitStep::MfCode, "Ошибка инициализации смарт-карты.", FailureKind::Error, false},
    {InitStep::StorePin, "Ошибка инициализации смарт-карты. Установка ПИН-кода. ",
     FailureKind::Error, true},
    // The PUK is a PIN-type secret: its failure is reported in the same words.
    {InitStep::StorePuk, "Ошибка инициализации смарт-карты. Установка ПИН-кода. ",
     FailureKind::Error, true},
    {InitStep::StoreUnblockKey, "Ошибка инициализации смарт-карты. Установка ключа разблокировки. ",
     FailureKind::Error, true},
    {InitStep::SelectRsa, "Ошибка инициализации смарт-карты. Карта не поддерживает RSA.",
     FailureKind::Warning, false},
    {InitStep::StoreRsaGroupKey, "Ошибка инициализации смарт-карты. Установка ключа дублирования. ",
     FailureKind::Error, true},
    {InitStep::SetRsaGroup, "Ошибка инициализации смарт-карты. Установка группы дублирования. ",
     FailureKind::Error, true},
    {InitStep::VerifyPin, "Ошибка инициализации смарт-карты. Проверка ПИН-кода. ",
     FailureKind::Error, true},
    {InitStep::ClearRsaCache, "Ошибка инициализации смарт-карты. Очистка КЭШ. ", FailureKind::Error,
     true},
    {InitStep::SelectDstu, "Ошибка инициализации смарт-карты. Карта не поддерживает ДСТУ",
     FailureKind::Warning, false},
    {InitStep::StoreDstuGroupKey,
     "Ошибка инициализации смарт-карты. Установка ключа дублирования для ДСТУ. ",
     FailureKind::Error, true},
    {InitStep::SetDstuGroup,
     "Ошибка инициализации смарт-карты. Установка группы дублирования для ДСТУ. ",
     FailureKind::Error, true},
    {InitStep::SelectData,
     "Ошибка инициализации смарт-карты. Карта не поддерживает Data Application",
     FailureKind::Warning, false},
    {InitStep::ActivateData, "Ошибка инициализации смарт-карты. Активация Data Application. ",
     FailureKind::Error, true},
};

const StepText& TextOf(InitStep step) {
    for (const StepText& t : kStepTexts)
        if (t.step == step)
            return t;
    return kStepTexts[0];
}

// ---- Commands of the initialization ------------------------------------------------------------

const Bytes kSelectMf{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
const Bytes kCheckGlobalPin{0x80, 0xF2, 0x00, 0x05, 0x01};
const Bytes kMfCode{0x80, 0x48, 0x4D, 0x46, 0x08, '3', '1', '7', '4', '0', '2', '5', '9'};
const Bytes kActivateShort{0x80, 0x46, 0x00, 0x00, 0x04, 0x01, 0x00, 0x00, 0x00};
const Bytes kUpdateBinary{0x00, 0xD6, 0x82, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const Bytes kClearCache{0x80, 0xE0, 0x02, 0x00};

const Bytes kAidRsa{0xFA, 'V', 'L', 'M', 'R', 'S', 'A', 'D'};
const Bytes kAidDstu{0xFA, 'V', 'L', 'M', 'S', 'G', '4', '1', '4', '5'};
const Bytes kAidData{0xFA, 'V', 'L', 'M', 'D', 'A', 'T', 'A', 'a', 'u'};

constexpr std::uint8_t kPinAttribute = 0x77;
constexpr std::uint8_t kPukAllowed = 0x44;
constexpr std::uint8_t kUnblockKeyAllowed = 0xEE;
constexpr std::uint8_t kGroupKeyAttribute = 0x99;
constexpr std::uint8_t kBlocked = 0x00;

using NameField = std::array<std::uint8_t, 32>;

// How long a truncated answer is given for the reader to show the token gone: 2 s in 50 ms steps.
constexpr int kGoneChecks = 41;
constexpr std::chrono::milliseconds kGoneCheckInterval{50};

Bytes SelectApplication(const Bytes& aid) {
    Bytes command{0x00, 0xA4, 0x04, 0x00, static_cast<std::uint8_t>(aid.size())};
    command.insert(command.end(), aid.begin(), aid.end());
    return command;
}

// The group data 01 00 00 00 G1 G2 00 00 of SET GROUP and of the long ACTIVATE APPLICATION.
void AppendGroupData(Bytes& command, int groupCode) {
    const Bytes data{0x01,
                     0x00,
                     0x00,
                     0x00,
                     static_cast<std::uint8_t>((groupCode >> 8) & 0xFF),
                     static_cast<std::uint8_t>(groupCode & 0xFF),
                     0x00,
                     0x00};
    command.insert(command.end(), data.begin(), data.end());
}

Bytes SetGroup(int groupCode) {
    Bytes command{0x80, 0x48, 0x00, 0x00, 0x08};
    AppendGroupData(command, groupCode);
    return command;
}

Bytes ActivateLong(int groupCode, const NameField& name) {
    Bytes command{0x80, 0x46, 0x00, 0x00, 0x28};
    AppendGroupData(command, groupCode);
    command.insert(command.end(), name.begin(), name.end());
    return command;
}

// One attempt: the session, the observer, and whether the transaction is open.
class Attempt {
public:
    Attempt(TokenSession& session, const InitSettings& settings, InitObserver& observer)
        : session_(session), settings_(settings), observer_(observer) {}

    InitOutcome Run();

private:
    bool Send(const Bytes& command) {
        Bytes response;
        const bool ok = session_.Transmit(command, response);
        SecretBytes::WipeVector(response);
        return ok;
    }
    // Reports the failure while the token is held, then leaves the token as it is: the
    // transaction ended, the card disconnected without reset.
    InitOutcome Fail(InitStep step, bool haveCause = true);
    // The message for a step that failed because the token is no longer there to answer, or
    // empty when the last command's failure came from the token itself.
    std::string_view GoneMessage(InitStep step);
    InitOutcome Succeed();
    bool StorePinType(std::uint8_t reference, const std::optional<Bytes>& value,
                      std::uint8_t attribute);
    bool StoreKey(std::uint8_t reference, const std::uint8_t* key, std::size_t length,
                  std::uint8_t attribute) {
        return session_.StoreKey(reference, key, length, attribute);
    }

    TokenSession& session_;
    const InitSettings& settings_;
    InitObserver& observer_;
    bool inTransaction_ = false;
};

std::string_view Attempt::GoneMessage(InitStep step) {
    switch (session_.LastResult) {
    case pcsc::kNoSmartcard:
    case pcsc::kCardWasRemoved:
        // A token that cannot be connected keeps the connect step's own words with the reader's
        // cause ("Смарт-карта не отвечает. No smart card inserted."): they say what happened.
        return step == InitStep::Connect ? std::string_view{} : kTokenRemovedMessage;
    case pcsc::kCardWasReset:
        return kTokenResetMessage;
    case kErrResponseSize:
    case pcsc::kNotTransacted: {
        // A reader that loses the token mid-command hands back a truncated answer, and the
        // service ends the transaction of a token taken out; the reader shows itself empty a
        // moment later. A token still there after that gave a malformed answer, which is its
        // own, or lost its transaction to another program.
        // The checks leave the failed command's codes in the session, for the report.
        // The wait is the attempt's own, not one of the observer's pauses: the reader needs real
        // time to notice, whatever the front end does with a pause.
        for (int check = 0; check < kGoneChecks; ++check) {
            if (check > 0)
                std::this_thread::sleep_for(kGoneCheckInterval);
            const std::uint32_t result = session_.LastResult;
            const std::uint16_t statusWord = session_.StatusWord;
            const bool absent = session_.ReadPresence() == ReaderSession::Presence::Absent;
            session_.LastResult = result;
            session_.StatusWord = statusWord;
            if (absent)
                return kTokenRemovedMessage;
        }
        return {};
    }
    default:
        return {};
    }
}

InitOutcome Attempt::Fail(InitStep step, bool haveCause) {
    const StepText& text = TextOf(step);
    InitOutcome outcome;
    outcome.cardId = session_.CardId;
    outcome.step = step;
    outcome.kind = text.kind;
    outcome.message = text.message;
    const std::string_view gone = haveCause ? GoneMessage(step) : std::string_view{};
    if (!gone.empty()) {
        // Not the token's answer: the step's own words would blame the token.
        outcome.tokenGone = true;
        outcome.kind = FailureKind::Warning;
        outcome.message = gone;
        outcome.result = session_.LastResult;
        outcome.statusWord = session_.StatusWord;
    } else if (text.withCause && haveCause) {
        outcome.message += session_.LastErrorText();
        outcome.result = session_.LastResult;
        outcome.statusWord = session_.StatusWord;
    }
    observer_.Concluded(outcome);
    if (inTransaction_)
        session_.EndTransaction();
    session_.Disconnect();
    return outcome;
}

InitOutcome Attempt::Succeed() {
    InitOutcome outcome;
    outcome.ok = true;
    outcome.cardId = session_.CardId;
    observer_.Concluded(outcome);
    session_.EndTransaction();
    session_.Disconnect();
    return outcome;
}

// A PIN or PUK: refused before anything is sent when its text could not be encoded (the failure
// then names no cause).
bool Attempt::StorePinType(std::uint8_t reference, const std::optional<Bytes>& value,
                           std::uint8_t attribute) {
    return value && session_.StorePin(reference, *value, attribute);
}

InitOutcome Attempt::Run() {
    observer_.Progress(0);
    observer_.Pause(50);
    session_.Exclusive = false;
    if (!session_.ConnectCard()) {
        observer_.Pause(500);
        if (!session_.ConnectCard())
            return Fail(InitStep::Connect);
    }
    // The connect asked a token without application bits for its number already; the others are
    // asked only for an audit (a token of another family has no number to give).
    if (settings_.readCardNumber && session_.CardApps != 0)
        session_.ReadCardId(session_.CardId);
    session_.BeginTransaction();
    inTransaction_ = true;

    Send(kSelectMf);
    if (!Send(kCheckGlobalPin))
        return Fail(InitStep::CheckGlobalPin);

    // Clean-up of whatever an earlier initialization left, on every token; refusals are ignored.
    Send(SelectApplication(kAidRsa));
    Send(SetGroup(0));
    Send(SelectApplication(kAidDstu));
    Send(ActivateLong(0, settings_.nameField));
    Send(SelectApplication(kAidData));
    Send(kActivateShort);
    Send(kSelectMf);
    observer_.Progress(10);

    if (!Send(kMfCode))
        return Fail(InitStep::MfCode);
    observer_.Progress(20);

    if (!StorePinType(kRefPin, settings_.pin, kPinAttribute))
        return Fail(InitStep::StorePin, settings_.pin.has_value());
    observer_.Progress(30);

    if (!StorePinType(kRefPuk, settings_.puk, settings_.pukUsable ? kPukAllowed : kBlocked))
        return Fail(InitStep::StorePuk, settings_.puk.has_value());
    observer_.Progress(40);

    if (!StoreKey(kRefUnblockKey, settings_.unblockKey.data(), settings_.unblockKey.size(),
                  settings_.unblockKeyUsable ? kUnblockKeyAllowed : kBlocked))
        return Fail(InitStep::StoreUnblockKey);
    observer_.Progress(50);

    if (HasApp(session_.CardApps, appRSA)) {
        if (!Send(SelectApplication(kAidRsa)))
            return Fail(InitStep::SelectRsa);
        if (!StoreKey(kRefGroupKey, settings_.groupKeyRsa.data(), settings_.groupKeyRsa.size(),
                      kGroupKeyAttribute))
            return Fail(InitStep::StoreRsaGroupKey);
        observer_.Progress(60);
        if (!Send(SetGroup(settings_.groupRsa)))
            return Fail(InitStep::SetRsaGroup);
        if (!settings_.pin || !session_.VerifyPin(kRefPin, *settings_.pin))
            return Fail(InitStep::VerifyPin, settings_.pin.has_value());
        if (!Send(kUpdateBinary) || !Send(kClearCache))
            return Fail(InitStep::ClearRsaCache);
    }

    if (HasApp(session_.CardApps, appDSTU)) {
        if (!Send(SelectApplication(kAidDstu)))
            return Fail(InitStep::SelectDstu);
        if (!StoreKey(kRefGroupKey, settings_.groupKeyDstu.data(), settings_.groupKeyDstu.size(),
                      kGroupKeyAttribute))
            return Fail(InitStep::StoreDstuGroupKey);
        if (!Send(ActivateLong(settings_.groupDstu, settings_.nameField)))
            return Fail(InitStep::SetDstuGroup);
    }

    if (HasApp(session_.CardApps, appData)) {
        if (!Send(SelectApplication(kAidData)))
            return Fail(InitStep::SelectData);
        if (!Send(kActivateShort))
            return Fail(InitStep::ActivateData);
    }

    Send(kSelectMf);
    Send(kClearCache);
    return Succeed();
}

} // namespace

InitSettings::~InitSettings() {
    if (pin)
        SecretBytes::WipeVector(*pin);
    if (puk)
        SecretBytes::WipeVector(*puk);
    WipeAll(unblockKey);
    WipeAll(groupKeyRsa);
    WipeAll(groupKeyDstu);
}

InitOutcome InitializeToken(TokenSession& session, const InitSettings& settings,
                            InitObserver& observer) {
    return Attempt(session, settings, observer).Run();
}

std::string_view InitStepMessage(InitStep step) {
    return TextOf(step).message;
}

bool InitStepHasCause(InitStep step) {
    return TextOf(step).withCause;
}

FailureKind InitStepKind(InitStep step) {
    return TextOf(step).kind;
}

std::array<std::uint8_t, 32> DeviceNameField(std::string_view utf8Name) {
    NameField field{};
    if (utf8Name.empty() || utf8Name == "<None>" || utf8Name == "<none>")
        return field;
    const std::size_t count = std::min(field.size(), utf8Name.size());
    for (std::size_t i = 0; i < count; ++i)
        field[i] = static_cast<std::uint8_t>(utf8Name[i]);
    return field;
}

int HexToInt(std::u16string_view text, int positions) {
    positions = std::clamp(positions, 0, 7);
    int result = 0;
    for (int i = 1; i <= positions; ++i) {
        if (static_cast<std::size_t>(i) > text.size())
            continue; // past the end of the text reads as NUL
        const char16_t c = text[static_cast<std::size_t>(i - 1)];
        int digit = -1;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (c >= u'A' && c <= u'F')
            digit = c - u'A' + 10;
        if (digit >= 0)
            result += digit << (4 * (positions - i));
    }
    return result;
}
