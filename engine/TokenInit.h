#pragma once
// One initialization attempt on the token in a reader: the whole command sequence with its order,
// the commands whose refusal is ignored, the status-word rules, the progress positions, the
// transaction, and the failure of each step with its message. Plain C++: the progress dialog and
// any other front end drive it through InitObserver.

#include "card/TokenSession.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Everything one attempt puts on a token, already in the token's encodings. Keys and secrets are
// wiped when the settings go away.
struct InitSettings {
    // PIN and PUK as the token takes them (CP1251 bytes, the token pads them to 8 with FF). No
    // value means the typed text had a character CP1251 cannot hold: the step then fails.
    std::optional<Bytes> pin;
    std::optional<Bytes> puk;
    // The PUK may unblock the PIN (else it is stored blocked).
    bool pukUsable = false;
    // The unblock key may be used for challenge-response and the PIN reset (else stored blocked).
    bool unblockKeyUsable = false;
    std::array<std::uint8_t, 16> unblockKey{};
    // Duplication-group codes (0: no group) and the group keys of the RSA and DSTU applications.
    int groupRsa = 0;
    int groupDstu = 0;
    std::array<std::uint8_t, 32> groupKeyRsa{};
    std::array<std::uint8_t, 32> groupKeyDstu{};
    // The device name as the token stores it: 32 bytes, zero-padded (see DeviceNameField).
    std::array<std::uint8_t, 32> nameField{};
    // For an audit: a token whose answer-to-reset announces its applications, which the connect
    // does not ask for its card number, is asked for it too (GET CARD ID right after the
    // connect), so that its log line names it. A refusal leaves the number empty; the attempt
    // goes on. Off: the token gets exactly the commands it gets without this setting.
    bool readCardNumber = false;

    InitSettings() = default;
    InitSettings(const InitSettings&) = delete;
    InitSettings& operator=(const InitSettings&) = delete;
    ~InitSettings();
};

// The steps of an attempt that can fail, in the order they run.
enum class InitStep {
    Connect,
    CheckGlobalPin,
    MfCode,
    StorePin,
    StorePuk,
    StoreUnblockKey,
    SelectRsa,
    StoreRsaGroupKey,
    SetRsaGroup,
    VerifyPin,
    ClearRsaCache,
    SelectDstu,
    StoreDstuGroupKey,
    SetDstuGroup,
    SelectData,
    ActivateData,
};

// How a failure is shown: a warning for a token that is missing or lacks an application, an error
// for a token that refused to be initialized.
enum class FailureKind { Warning, Error };

struct InitOutcome {
    bool ok = false;
    // The card number read at connect (16 hexadecimal digits) or empty.
    std::string cardId;
    // For a failure: the step, its message (UTF-8, with the reader's cause appended where the
    // step names one), how to show it, and the cause's codes.
    InitStep step = InitStep::Connect;
    std::string message;
    FailureKind kind = FailureKind::Error;
    std::uint32_t result = 0;
    std::uint16_t statusWord = 0;
    // The step failed because the token left the reader (or was reset by another program), not
    // because the token answered: the message says so and what to do, whatever the step.
    bool tokenGone = false;
};

class InitObserver {
public:
    virtual ~InitObserver() = default;
    // The progress bar moves to `position` (0 to 100).
    virtual void Progress(int position) = 0;
    // A wait inside the attempt (50 ms before connecting, 500 ms between the two connects).
    virtual void Pause(int milliseconds) = 0;
    // The attempt has ended: its report and log line belong here, while the token is still held
    // (connected, in its transaction). It is the last call the attempt makes to the observer,
    // which may go away inside it; the token is let go afterwards.
    virtual void Concluded(const InitOutcome& outcome) = 0;
};

// Runs one attempt on the token in the session's selected reader; the session is switched to
// shared access. Returns what Concluded was given.
InitOutcome InitializeToken(TokenSession& session, const InitSettings& settings,
                            InitObserver& observer);

// The messages of an attempt whose token went away after it was connected: taken out during the
// attempt, reset by another program during the attempt.
inline constexpr std::string_view kTokenRemovedMessage =
    "Смарт-карта извлечена во время инициализации. Вставьте её снова и повторите.";
inline constexpr std::string_view kTokenResetMessage =
    "Смарт-карта сброшена другой программой во время инициализации. Повторите инициализацию.";

// The message of a failed step without the reader's cause (UTF-8), and whether the cause is
// appended to it.
std::string_view InitStepMessage(InitStep step);
bool InitStepHasCause(InitStep step);
FailureKind InitStepKind(InitStep step);

// The device name field: the UTF-8 bytes of the name, cut at byte 32 (also inside a character) and
// zero-padded; "", "<None>" and "<none>" mean no name.
std::array<std::uint8_t, 32> DeviceNameField(std::string_view utf8Name);

// The value of the first `positions` characters read as upper-case hexadecimal digits; any other
// character, and a position past the end of the text, adds nothing ("5" reads as 50 hex). A group
// number field is read this way.
int HexToInt(std::u16string_view text, int positions);
