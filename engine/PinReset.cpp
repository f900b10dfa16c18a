#include "PinReset.h"

#include "crypto/TripleDes.h"
#include "crypto/Wipe.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr const char* kNoAnswer = "Смарт-карта не отвечает";
constexpr const char* kUnknownType = "Тип смарт-карты не опознан";
constexpr const char* kCardError =
    "Ошибка смарт-карты. Возможно загружен неверный ключ разблокировки";
constexpr const char* kPinError = "Ошибка смены ПИН-кода";
constexpr std::uint8_t kPinAttribute = 0x77;

} // namespace

PinResetOutcome ResetPin(TokenSession& session, const std::array<std::uint8_t, 16>& unblockKey,
                         const std::optional<Bytes>& newPin) {
    // Every stop after the connect lets the token go, and the exclusive session resets it, so an
    // authentication gained here never outlives the call, whatever the session was used for
    // before.
    session.Exclusive = true;
    const auto stop = [&session](PinResetStep step, const char* message, bool warning,
                                 bool withCause = true) {
        PinResetOutcome outcome;
        outcome.step = step;
        outcome.message = message;
        outcome.warning = warning;
        if (withCause) {
            outcome.result = session.LastResult;
            outcome.statusWord = session.StatusWord;
        }
        session.Disconnect();
        return outcome;
    };

    if (!session.ConnectCard())
        return stop(PinResetStep::Connect, kNoAnswer, true);

    Bytes response;
    if (!session.Transmit({0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, response))
        return stop(PinResetStep::SelectMf, kUnknownType, true);

    SecretBytes challenge;
    if (!session.Transmit({0x00, 0x84, 0x00, 0x00, 0x08}, challenge.data))
        return stop(PinResetStep::GetChallenge, kCardError, true);
    if (challenge.data.size() < 8) // answered, but too short to be a challenge
        return stop(PinResetStep::GetChallenge, kCardError, true, false);

    SecretBytes authenticate{Bytes(13, 0)};
    const std::uint8_t header[5] = {0x00, 0x82, 0x00, kRefUnblockKey, 0x08};
    std::copy(std::begin(header), std::end(header), authenticate.data.begin());
    std::copy_n(challenge.data.begin(), 8, authenticate.data.begin() + 5);
    {
        TripleDes cipher(unblockKey.data());
        cipher.EncryptECB(authenticate.data.data() + 5, 8);
    }
    if (!session.Transmit(authenticate.data, response))
        return stop(PinResetStep::Authenticate, kCardError, true);

    if (!newPin) // a character the token's code page cannot hold: nothing is sent
        return stop(PinResetStep::StorePin, kPinError, false, false);
    if (!session.StorePin(kRefPin, *newPin, kPinAttribute))
        return stop(PinResetStep::StorePin, kPinError, false);

    session.Disconnect();
    PinResetOutcome outcome;
    outcome.ok = true;
    return outcome;
}

const char* PinResetStepName(PinResetStep step) {
    switch (step) {
    case PinResetStep::Connect:
        return "connect";
    case PinResetStep::SelectMf:
        return "select-mf";
    case PinResetStep::GetChallenge:
        return "get-challenge";
    case PinResetStep::Authenticate:
        return "authenticate";
    case PinResetStep::StorePin:
        return "store-pin";
    }
    return "";
}
