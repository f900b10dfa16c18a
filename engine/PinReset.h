#pragma once
// The PIN reset with the administrator's unblock key: SELECT MF, GET CHALLENGE, EXTERNAL
// AUTHENTICATE with the challenge encrypted by the unblock key, STORE SECRET of the new PIN.
// Plain C++: the main window and any other front end show its outcome.

#include "card/TokenSession.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

// The steps of a PIN reset that can fail, in the order they run.
enum class PinResetStep { Connect, SelectMf, GetChallenge, Authenticate, StorePin };

// The step's name in reports ("authenticate").
const char* PinResetStepName(PinResetStep step);

struct PinResetOutcome {
    bool ok = false;
    // For a failure: the step, the message to show (UTF-8) and whether it is a warning (else an
    // error), with the reader's cause in its codes for whoever logs or prints them (both 0 when
    // the failure had no cause in the reader: a short challenge, a PIN that could not be encoded).
    PinResetStep step = PinResetStep::Connect;
    std::string message;
    bool warning = false;
    std::uint32_t result = 0;
    std::uint16_t statusWord = 0;
};

// The message shown after a successful reset.
inline constexpr const char* kPinResetDone = "ПИН-код успешно изменен";

// Resets the PIN of the token in the session's selected reader to `newPin` (its CP1251 bytes; no
// value when the typed text could not be encoded). The session is switched to exclusive access,
// connected for the reset and disconnected (with a card reset) afterwards, whatever the outcome, so
// an authentication gained here never outlives the call. Every buffer that held the challenge, the
// cryptogram or the PIN is wiped.
PinResetOutcome ResetPin(TokenSession& session, const std::array<std::uint8_t, 16>& unblockKey,
                         const std::optional<Bytes>& newPin);
