// The PIN reset of the engine against the scripted PC/SC stack, without Qt: the exact commands
// with the cryptogram checked against OpenSSL, the exclusive connection reset at the end, and
// where each failure stops.

#include "engine/PinReset.h"

#include "support/FakePcsc.h"
#include "support/ReferenceTripleDes.h"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

const std::string kReader = "Reader A";
const Bytes kSelectMf = FakePcsc::Hex("00 A4 00 00 02 3F 00");
const Bytes kGetChallenge = FakePcsc::Hex("00 84 00 00 08");
const Bytes kChallenge = FakePcsc::Hex("C0 01 02 03 04 05 06 F7");
// Two different halves: a single-DES cryptogram would not match.
const std::array<std::uint8_t, 16> kKey = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                           0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};

// EXTERNAL AUTHENTICATE with the unblock key's reference and the challenge encrypted by OpenSSL.
Bytes Authenticate() {
    const auto cryptogram = ReferenceTripleDes(kKey, kChallenge.data());
    Bytes command = FakePcsc::Hex("00 82 00 11 08");
    command.insert(command.end(), cryptogram.begin(), cryptogram.end());
    return command;
}

// SELECT MF, GET CHALLENGE, EXTERNAL AUTHENTICATE, STORE SECRET of the PIN "12" padded with FF.
std::vector<Bytes> FullStream() {
    return {kSelectMf, kGetChallenge, Authenticate(),
            FakePcsc::Hex("80 F4 01 05 0A 05 77 31 32 FF FF FF FF FF FF")};
}

// The fake stack first, the session after it (and destroyed before it).
struct Harness {
    Harness() {
        pcsc.AddReader(kReader, FakePcsc::FamilyAtr(0x07));
        pcsc.AnswerChallenge(kChallenge);
        session.SelectReader(kReader);
    }
    FakePcsc pcsc;
    TokenSession session;
};

void ExpectTheExactReset(Harness& h);

TEST(ResetPin, SendsTheExactCommandsOnAnExclusiveConnectionAndResetsTheToken) {
    // Also a session that was used in shared mode before is connected exclusively and reset.
    for (const bool exclusiveBefore : {true, false}) {
        SCOPED_TRACE(exclusiveBefore ? "exclusive session" : "shared session");
        Harness h;
        h.session.Exclusive = exclusiveBefore;
        ExpectTheExactReset(h);
    }
}

void ExpectTheExactReset(Harness& h) {
    const PinResetOutcome outcome = ResetPin(h.session, kKey, Bytes{'1', '2'});

    EXPECT_TRUE(outcome.ok) << outcome.message;
    EXPECT_EQ(h.pcsc.Commands(), FullStream());
    std::size_t connects = 0;
    for (const FakePcsc::Call& call : h.pcsc.Calls()) {
        if (call.entry == FakePcsc::Entry::Connect) {
            ++connects;
            EXPECT_EQ(call.shareMode, pcsc::kShareExclusive);
        }
    }
    EXPECT_EQ(connects, 1u);
    EXPECT_EQ(h.pcsc.Dispositions(), std::vector<pcsc::DWORD>{pcsc::kResetCard});
    EXPECT_EQ(h.pcsc.OpenConnections(), 0u);
    EXPECT_EQ(h.session.CardHandle, 0);
}

TEST(ResetPin, EachFailureStopsAtItsStepAndResetsTheToken) {
    struct Cause {
        std::uint32_t result;
        std::uint16_t statusWord;
    };
    struct Row {
        const char* name;
        std::function<void(FakePcsc&)> arrange;
        std::optional<Bytes> newPin;
        PinResetStep step;
        std::string message;
        bool warning;
        std::size_t sent; // how many commands of the full stream reached the token
        std::vector<pcsc::DWORD> disconnects;
        Cause cause; // {0, 0} where the reader named none
    };
    const std::string cardError =
        "Ошибка смарт-карты. Возможно загружен неверный ключ разблокировки";
    const Bytes pin{'1', '2'};
    const std::vector<pcsc::DWORD> reset{pcsc::kResetCard};
    const Row rows[] = {
        {"no token",
         [](FakePcsc& p) { p.RemoveCard(kReader); },
         pin,
         PinResetStep::Connect,
         "Смарт-карта не отвечает",
         true,
         0,
         {},
         Cause{pcsc::kNoSmartcard, 0}},
        {"SELECT MF refused", [](FakePcsc& p) { p.AnswerSw(kSelectMf, 0x6A82); }, pin,
         PinResetStep::SelectMf, "Тип смарт-карты не опознан", true, 1, reset,
         Cause{kErrStatusWord, 0x6A82}},
        {"GET CHALLENGE refused", [](FakePcsc& p) { p.AnswerSw(kGetChallenge, 0x6D00); }, pin,
         PinResetStep::GetChallenge, cardError, true, 2, reset, Cause{kErrStatusWord, 0x6D00}},
        {"GET CHALLENGE answers 7 bytes",
         [](FakePcsc& p) { p.Answer(kGetChallenge, FakePcsc::Hex("01 02 03 04 05 06 07 90 00")); },
         pin, PinResetStep::GetChallenge, cardError, true, 2, reset, Cause{0, 0}},
        {"wrong unblock key", [](FakePcsc& p) { p.AnswerSw(FakePcsc::Hex("00 82"), 0x6982); }, pin,
         PinResetStep::Authenticate, cardError, true, 3, reset, Cause{kErrStatusWord, 0x6982}},
        {"token pulled as the cryptogram goes to it",
         [](FakePcsc& p) {
             p.OnTransmit([&p](const Bytes& command) {
                 if (command.size() > 1 && command[1] == 0x82)
                     p.RemoveCard(kReader);
             });
         },
         pin, PinResetStep::Authenticate, cardError, true, 2, reset,
         Cause{pcsc::kCardWasRemoved, 0x1111}},
        {"STORE SECRET refused", [](FakePcsc& p) { p.AnswerSw(FakePcsc::Hex("80 F4"), 0x6A80); },
         pin, PinResetStep::StorePin, "Ошибка смены ПИН-кода", false, 4, reset,
         Cause{kErrStatusWord, 0x6A80}},
        // A PIN whose text had no CP1251 form is never sent.
        {"new PIN not encodable", [](FakePcsc&) {}, std::nullopt, PinResetStep::StorePin,
         "Ошибка смены ПИН-кода", false, 3, reset, Cause{0, 0}},
    };
    const std::vector<Bytes> full = FullStream();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Harness h;
        row.arrange(h.pcsc);

        const PinResetOutcome outcome = ResetPin(h.session, kKey, row.newPin);

        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.step, row.step);
        EXPECT_EQ(outcome.message, row.message);
        EXPECT_EQ(outcome.warning, row.warning);
        // A failure without a cause in the reader carries no stale codes of an earlier exchange.
        EXPECT_EQ(outcome.result, row.cause.result);
        EXPECT_EQ(outcome.statusWord, row.cause.statusWord);
        EXPECT_EQ(h.pcsc.Commands(), std::vector<Bytes>(full.begin(), full.begin() + row.sent));
        EXPECT_EQ(h.pcsc.Dispositions(), row.disconnects);
        EXPECT_EQ(h.pcsc.OpenConnections(), 0u);
        EXPECT_EQ(h.session.CardHandle, 0);
    }
}

} // namespace
