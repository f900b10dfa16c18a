// One initialization attempt of the engine against the scripted PC/SC stack, without Qt: the exact
// command stream, the progress and pauses the observer sees, the failure of every step with its
// message and cause, and the token held while the attempt is concluded and let go afterwards.

#include "engine/TokenInit.h"

#include "support/FakePcsc.h"
#include "support/InitCommands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace {

const std::string kReader = "Reader A";
using Stream = std::vector<std::string>;

// ---- What the token must see --------------------------------------------------------------------
// The settings of Fill() below: PIN "1234", usable PUK "87654321", usable unblock key A0..AF, RSA
// group D1 with key 00..1F, DSTU group 07 with key 20..3F, device name "Token 7".

const std::string kName = "54 6F 6B 65 6E 20 37 00 00 00 00 00 00 00 00 00 "
                          "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";
using initcommands::kActivateData;
using initcommands::kClearCache;
using initcommands::kMfCode;
using initcommands::kSelectData;
using initcommands::kSelectDstu;
using initcommands::kSelectMf;
using initcommands::kSelectRsa;

Bytes Run(std::uint8_t first, std::size_t count) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<std::uint8_t>(first + i);
    return bytes;
}

// What Fill() puts on a token.
const initcommands::Secrets kSecrets{
    FakePcsc::Hex("31 32 33 34 FF FF FF FF"),
    FakePcsc::Hex("38 37 36 35 34 33 32 31"),
    0x44,
    Run(0xA0, 16),
    0xEE,
    0xD1,
    Run(0x00, 32),
    0x07,
    Run(0x20, 32),
    FakePcsc::Hex(kName),
};

const Stream kCommon = initcommands::Common(kSecrets);
const Stream kRsa = initcommands::Rsa(kSecrets);
const Stream kDstu = initcommands::Dstu(kSecrets);
const Stream kData = initcommands::Data();
const Stream kFinal = initcommands::Final();
// Read at connect from a token of the family whose answer-to-reset names no application.
const Stream kCardIdQuery = {initcommands::kCardIdQuery};

// The parts in order, each command in FakePcsc::ToHex form.
Stream Join(std::initializer_list<Stream> parts) {
    Stream all;
    for (const Stream& part : parts)
        for (const std::string& command : part)
            all.push_back(FakePcsc::ToHex(FakePcsc::Hex(command)));
    return all;
}

const Stream kAllThree = Join({kCommon, kRsa, kDstu, kData, kFinal});
const Stream kNoApplication = Join({kCardIdQuery, kCommon, kFinal});
const Stream kRsaOnly = Join({kCommon, kRsa, kFinal});
const Stream kDstuAndData = Join({kCommon, kDstu, kData, kFinal});
// With the card number asked for the log: the query right after the connect.
const Stream kAllThreeNumbered = Join({kCardIdQuery, kCommon, kRsa, kDstu, kData, kFinal});

Stream Sent(const FakePcsc& pcsc) {
    Stream sent;
    for (const Bytes& command : pcsc.Commands())
        sent.push_back(FakePcsc::ToHex(command));
    return sent;
}

Stream FirstOf(const Stream& stream, std::size_t count) {
    return Stream(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(count));
}

// ---- The attempt and its observer ---------------------------------------------------------------

void Fill(InitSettings& s) {
    s.pin = Bytes{'1', '2', '3', '4'};
    s.puk = Bytes{'8', '7', '6', '5', '4', '3', '2', '1'};
    s.pukUsable = true;
    s.unblockKeyUsable = true;
    for (std::size_t i = 0; i < s.unblockKey.size(); ++i)
        s.unblockKey[i] = static_cast<std::uint8_t>(0xA0 + i);
    for (std::size_t i = 0; i < s.groupKeyRsa.size(); ++i) {
        s.groupKeyRsa[i] = static_cast<std::uint8_t>(i);
        s.groupKeyDstu[i] = static_cast<std::uint8_t>(0x20 + i);
    }
    s.groupRsa = 0xD1;
    s.groupDstu = 0x07;
    const std::string name = "Token 7";
    std::copy(name.begin(), name.end(), s.nameField.begin());
}

// What the fake stack had recorded when the attempt was concluded.
struct Conclusion {
    InitOutcome outcome;
    std::size_t calls = 0;
    std::size_t transactionsBegun = 0;
    std::size_t transactionsEnded = 0;
    std::size_t openConnections = 0;
};

class RecordingObserver : public InitObserver {
public:
    explicit RecordingObserver(const FakePcsc& pcsc) : pcsc_(pcsc) {}

    void Progress(int position) override {
        if (!conclusions.empty())
            ++lateCalls;
        progress.push_back(position);
    }
    void Pause(int milliseconds) override {
        if (!conclusions.empty())
            ++lateCalls;
        pauses.push_back(milliseconds);
        if (onPause)
            onPause(milliseconds);
    }
    void Concluded(const InitOutcome& outcome) override {
        conclusions.push_back({outcome, pcsc_.Calls().size(), pcsc_.TransactionsBegun(),
                               pcsc_.TransactionsEnded(), pcsc_.OpenConnections()});
    }

    std::vector<int> progress;
    std::vector<int> pauses;
    std::vector<Conclusion> conclusions;
    std::size_t lateCalls = 0; // progress or pauses after Concluded
    std::function<void(int)> onPause;

private:
    const FakePcsc& pcsc_;
};

// The fake stack first, the session after it (and destroyed before it).
struct Harness {
    explicit Harness(const Bytes& atr) {
        pcsc.AddReader(kReader, atr);
        pcsc.AnswerCardId(FakePcsc::Hex("01 23 45 67 89 AB CD EF"));
        session.SelectReader(kReader);
        Fill(settings);
    }

    // Runs the attempt and checks what holds for every attempt: Concluded exactly once, as the
    // last call to the observer, with what the attempt returns; then (for a token that was
    // connected) nothing but the end of the transaction and the disconnect, both leaving the card.
    InitOutcome Run(bool connected) {
        const InitOutcome outcome = InitializeToken(session, settings, observer);
        EXPECT_EQ(observer.lateCalls, 0u);
        EXPECT_EQ(observer.conclusions.size(), 1u);
        if (observer.conclusions.empty())
            return outcome;
        const Conclusion& seen = observer.conclusions.front();
        EXPECT_EQ(seen.outcome.ok, outcome.ok);
        EXPECT_EQ(seen.outcome.cardId, outcome.cardId);
        EXPECT_EQ(seen.outcome.step, outcome.step);
        EXPECT_EQ(seen.outcome.message, outcome.message);
        EXPECT_EQ(seen.outcome.kind, outcome.kind);
        EXPECT_EQ(seen.outcome.result, outcome.result);
        EXPECT_EQ(seen.outcome.statusWord, outcome.statusWord);

        const std::vector<FakePcsc::Call> calls = pcsc.Calls();
        std::vector<std::pair<FakePcsc::Entry, pcsc::DWORD>> after;
        for (std::size_t i = seen.calls; i < calls.size(); ++i)
            after.emplace_back(calls[i].entry, calls[i].disposition);
        using E = FakePcsc::Entry;
        if (connected) {
            EXPECT_EQ(seen.transactionsBegun, 1u) << "held in its transaction when concluded";
            EXPECT_EQ(seen.transactionsEnded, 0u);
            EXPECT_EQ(seen.openConnections, 1u);
            EXPECT_EQ(after, (decltype(after){{E::EndTransaction, pcsc::kLeaveCard},
                                              {E::Disconnect, pcsc::kLeaveCard}}));
            EXPECT_EQ(pcsc.Dispositions(), std::vector<pcsc::DWORD>{pcsc::kLeaveCard});
        } else {
            EXPECT_EQ(seen.openConnections, 0u);
            EXPECT_TRUE(after.empty());
            EXPECT_TRUE(pcsc.Dispositions().empty());
        }
        EXPECT_EQ(pcsc.TransactionsBegun(), connected ? 1u : 0u);
        EXPECT_EQ(pcsc.TransactionsEnded(), connected ? 1u : 0u);
        EXPECT_EQ(pcsc.OpenConnections(), 0u);
        for (const FakePcsc::Call& call : calls) {
            if (call.entry == FakePcsc::Entry::Connect) {
                EXPECT_EQ(call.shareMode, pcsc::kShareShared);
            }
        }
        return outcome;
    }

    FakePcsc pcsc;
    TokenSession session;
    InitSettings settings;
    RecordingObserver observer{pcsc};
};

// ---- Successful attempts per kind of token ------------------------------------------------------

struct SuccessCase {
    const char* name;
    std::uint8_t apps; // ATR byte 14: bit 0 DSTU, bit 1 RSA, bit 2 Data Application
    const Stream* stream;
    std::vector<int> progress;
    std::string cardId;
    bool readCardNumber = false; // the audit setting
    bool cardIdRefused = false;  // GET CARD ID answers 6D00
};

void PrintTo(const SuccessCase& c, std::ostream* os) {
    *os << c.name;
}

class InitializeTokenSuccess : public ::testing::TestWithParam<SuccessCase> {};

TEST_P(InitializeTokenSuccess, SendsTheExactStreamAndLetsTheTokenGo) {
    const SuccessCase& c = GetParam();
    Harness h(FakePcsc::FamilyAtr(c.apps));
    h.settings.readCardNumber = c.readCardNumber;
    if (c.cardIdRefused)
        h.pcsc.AnswerSw(FakePcsc::Hex(initcommands::kCardIdQuery), 0x6D00, FakePcsc::Times::Always);

    const InitOutcome outcome = h.Run(true);

    EXPECT_EQ(Sent(h.pcsc), *c.stream);
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.cardId, c.cardId);
    EXPECT_EQ(outcome.message, "");
    EXPECT_EQ(h.observer.progress, c.progress);
    EXPECT_EQ(h.observer.pauses, std::vector<int>{50});
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, InitializeTokenSuccess,
    ::testing::Values(
        SuccessCase{"AllThreeApplications", 0x07, &kAllThree, {0, 10, 20, 30, 40, 50, 60}, ""},
        SuccessCase{
            "NoApplication", 0x00, &kNoApplication, {0, 10, 20, 30, 40, 50}, "EFCDAB8967452301"},
        SuccessCase{"RsaOnly", 0x02, &kRsaOnly, {0, 10, 20, 30, 40, 50, 60}, ""},
        SuccessCase{"DstuAndData", 0x05, &kDstuAndData, {0, 10, 20, 30, 40, 50}, ""},
        // The audit setting: a token announcing its applications is asked for its number too; a
        // token without them is asked once, at the connect, as without the setting; a refusal
        // leaves the number empty and the attempt goes on.
        SuccessCase{"AllThreeWithCardNumber",
                    0x07,
                    &kAllThreeNumbered,
                    {0, 10, 20, 30, 40, 50, 60},
                    "EFCDAB8967452301",
                    true},
        SuccessCase{"NoApplicationWithCardNumber",
                    0x00,
                    &kNoApplication,
                    {0, 10, 20, 30, 40, 50},
                    "EFCDAB8967452301",
                    true},
        SuccessCase{"AllThreeWithCardNumberRefused",
                    0x07,
                    &kAllThreeNumbered,
                    {0, 10, 20, 30, 40, 50, 60},
                    "",
                    true,
                    true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InitializeToken, RefusedCleanUpDoesNotStopTheAttempt) {
    Harness h(FakePcsc::FamilyAtr(0x07));
    // Every SELECT MF, the whole clean-up and the final CLEAR CACHE are refused.
    h.pcsc.AnswerSw(FakePcsc::Hex(kSelectMf), 0x6A82, FakePcsc::Times::Always);
    h.pcsc.AnswerSw(FakePcsc::Hex(kSelectRsa), 0x6A82);
    h.pcsc.AnswerSw(FakePcsc::Hex("80 48 00 00 08 01 00 00 00 00 00"), 0x6985);
    h.pcsc.AnswerSw(FakePcsc::Hex(kSelectDstu), 0x6A82);
    h.pcsc.AnswerSw(FakePcsc::Hex("80 46 00 00 28 01 00 00 00 00 00"), 0x6985);
    h.pcsc.AnswerSw(FakePcsc::Hex(kSelectData), 0x6A82);
    h.pcsc.AnswerSw(FakePcsc::Hex(kActivateData), 0x6985);
    h.pcsc.Answer(FakePcsc::Hex(kClearCache), FakePcsc::Hex("90 00"));
    h.pcsc.AnswerSw(FakePcsc::Hex(kClearCache), 0x6985);

    const InitOutcome outcome = h.Run(true);

    EXPECT_TRUE(outcome.ok) << outcome.message;
    EXPECT_EQ(Sent(h.pcsc), kAllThree);
    EXPECT_EQ(h.observer.progress, (std::vector<int>{0, 10, 20, 30, 40, 50, 60}));
}

TEST(InitializeToken, SecondConnectHalfASecondLaterCarriesOn) {
    Harness h(Bytes{}); // no token yet: it is inserted during the wait
    std::size_t connectsBeforeWait = 0;
    h.observer.onPause = [&h, &connectsBeforeWait](int milliseconds) {
        if (milliseconds != 500)
            return;
        connectsBeforeWait = h.pcsc.Count(FakePcsc::Entry::Connect);
        h.pcsc.InsertCard(kReader, FakePcsc::FamilyAtr(0x07));
    };

    const InitOutcome outcome = h.Run(true);

    EXPECT_TRUE(outcome.ok) << outcome.message;
    EXPECT_EQ(h.observer.pauses, (std::vector<int>{50, 500}));
    EXPECT_EQ(connectsBeforeWait, 2u) << "the first connect is itself a connect and one retry";
    EXPECT_EQ(h.pcsc.Count(FakePcsc::Entry::Connect), 3u);
    EXPECT_EQ(Sent(h.pcsc), kAllThree);
}

// ---- The failure of every step ------------------------------------------------------------------

struct FailureCase {
    const char* name;
    std::function<void(FakePcsc&, InitSettings&)> arrange;
    InitStep step;
    std::string message;
    FailureKind kind;
    const Stream* stream; // the stream of a successful attempt on this token...
    std::size_t sent;     // ...of which this many commands reached the token, and no more
    std::vector<int> progress;
    std::uint32_t result = 0;
    std::uint16_t statusWord = 0;
    Bytes atr = FakePcsc::FamilyAtr(0x07); // empty: no token in the reader
    std::string cardId = "";
    std::vector<int> pauses = {50};
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

const std::string kInit = "Ошибка инициализации смарт-карты.";
const std::vector<int> kTo10 = {0, 10};
const std::vector<int> kTo20 = {0, 10, 20};
const std::vector<int> kTo30 = {0, 10, 20, 30};
const std::vector<int> kTo40 = {0, 10, 20, 30, 40};
const std::vector<int> kTo50 = {0, 10, 20, 30, 40, 50};
const std::vector<int> kTo60 = {0, 10, 20, 30, 40, 50, 60};

// Which occurrence of a command the token refuses: the clean-up sends some of them first.
enum class Occurrence { First, Second };

void Refuse(FakePcsc& p, const std::string& prefix, std::uint16_t sw, Occurrence occurrence) {
    if (occurrence == Occurrence::Second)
        p.Answer(FakePcsc::Hex(prefix), FakePcsc::Hex("90 00"));
    p.AnswerSw(FakePcsc::Hex(prefix), sw);
}

// An error step whose command the token of all three applications refuses with `sw`: the status
// word is the cause appended to the message and carried in the outcome.
FailureCase Refused(const char* name, InitStep step, const std::string& message,
                    const std::string& prefix, std::uint16_t sw, std::size_t sent,
                    const std::vector<int>& progress, Occurrence occurrence = Occurrence::First) {
    return {.name = name,
            .arrange = [=](FakePcsc& p, InitSettings&) { Refuse(p, prefix, sw, occurrence); },
            .step = step,
            .message = message,
            .kind = FailureKind::Error,
            .stream = &kAllThree,
            .sent = sent,
            .progress = progress,
            .result = kErrStatusWord,
            .statusWord = sw};
}

// An application named by the answer-to-reset whose selection (after the clean-up's) the token
// refuses: a warning without a cause.
FailureCase NotOnToken(const char* name, InitStep step, const std::string& message,
                       const std::string& select, std::size_t sent,
                       const std::vector<int>& progress) {
    return {.name = name,
            .arrange = [=](FakePcsc& p,
                           InitSettings&) { Refuse(p, select, 0x6A82, Occurrence::Second); },
            .step = step,
            .message = message,
            .kind = FailureKind::Warning,
            .stream = &kAllThree,
            .sent = sent,
            .progress = progress};
}

// A PIN or PUK whose text had no CP1251 form: never sent, and the failure names no cause.
FailureCase NotEncodable(const char* name, InitStep step,
                         std::optional<Bytes> InitSettings::*secret, std::size_t sent,
                         const std::vector<int>& progress) {
    return {.name = name,
            .arrange = [=](FakePcsc&, InitSettings& s) { (s.*secret).reset(); },
            .step = step,
            .message = kInit + " Установка ПИН-кода. ",
            .kind = FailureKind::Error,
            .stream = &kAllThree,
            .sent = sent,
            .progress = progress};
}

const std::vector<FailureCase> kFailures = {
    {.name = "NoToken",
     .arrange = [](FakePcsc&, InitSettings&) {},
     .step = InitStep::Connect,
     .message = "Смарт-карта не отвечает. No smart card inserted.",
     .kind = FailureKind::Warning,
     .stream = &kAllThree,
     .sent = 0,
     .progress = {0},
     .result = pcsc::kNoSmartcard,
     .atr = {},
     .pauses = {50, 500}},
    // Refused, but these steps name no cause.
    {.name = "GlobalPinNotSupported",
     .arrange = [](FakePcsc& p, InitSettings&) { Refuse(p, "80 F2", 0x6D00, Occurrence::First); },
     .step = InitStep::CheckGlobalPin,
     .message = "Инициализация текущей смарт-карты невозможна. НКИ не поддерживает глобальный "
                "ПИН-код",
     .kind = FailureKind::Error,
     .stream = &kAllThree,
     .sent = 2,
     .progress = {0}},
    {.name = "MfCode",
     .arrange = [](FakePcsc& p,
                   InitSettings&) { Refuse(p, "80 48 4D 46", 0x6982, Occurrence::First); },
     .step = InitStep::MfCode,
     .message = kInit,
     .kind = FailureKind::Error,
     .stream = &kAllThree,
     .sent = 10,
     .progress = kTo10},
    Refused("StorePin", InitStep::StorePin, kInit + " Установка ПИН-кода. Card Error 6982",
            "80 F4 01 05", 0x6982, 11, kTo20),
    {.name = "StorePinOnTokenWithoutApplications",
     .arrange = [](FakePcsc& p,
                   InitSettings&) { Refuse(p, "80 F4 01 05", 0x6A80, Occurrence::First); },
     .step = InitStep::StorePin,
     .message = kInit + " Установка ПИН-кода. Card Error 6A80",
     .kind = FailureKind::Error,
     .stream = &kNoApplication,
     .sent = 12,
     .progress = kTo20,
     .result = kErrStatusWord,
     .statusWord = 0x6A80,
     .atr = FakePcsc::FamilyAtr(0x00),
     .cardId = "EFCDAB8967452301"},
    NotEncodable("PinNotEncodable", InitStep::StorePin, &InitSettings::pin, 10, kTo20),
    Refused("StorePuk", InitStep::StorePuk, kInit + " Установка ПИН-кода. Card Error 6A80",
            "80 F4 01 06", 0x6A80, 12, kTo30),
    NotEncodable("PukNotEncodable", InitStep::StorePuk, &InitSettings::puk, 11, kTo30),
    Refused("StoreUnblockKey", InitStep::StoreUnblockKey,
            kInit + " Установка ключа разблокировки. Card Error 6700", "80 F4 01 11", 0x6700, 13,
            kTo40),
    NotOnToken("RsaNotOnToken", InitStep::SelectRsa, kInit + " Карта не поддерживает RSA.",
               kSelectRsa, 14, kTo50),
    Refused("RsaGroupKey", InitStep::StoreRsaGroupKey,
            kInit + " Установка ключа дублирования. Card Error 6982", "80 F4 01 09", 0x6982, 15,
            kTo50),
    Refused("RsaSetGroup", InitStep::SetRsaGroup,
            kInit + " Установка группы дублирования. Card Error 6A82",
            "80 48 00 00 08 01 00 00 00 00 D1", 0x6A82, 16, kTo60),
    Refused("VerifyPinWrong", InitStep::VerifyPin,
            kInit + " Проверка ПИН-кода. Invalid password. Attempts left - 2", "00 20 00 05",
            0x63C2, 17, kTo60),
    Refused("VerifyPinBlocked", InitStep::VerifyPin, kInit + " Проверка ПИН-кода. Card blocked",
            "00 20 00 05", 0x6983, 17, kTo60),
    // Pulled out just as the PIN goes to it: the command never arrives.
    {.name = "TokenPulledAtVerifyPin",
     .arrange =
         [](FakePcsc& p, InitSettings&) {
             p.OnTransmit([&p](const Bytes& command) {
                 if (command.size() > 1 && command[0] == 0x00 && command[1] == 0x20)
                     p.RemoveCard(kReader);
             });
         },
     .step = InitStep::VerifyPin,
     .message = std::string(kTokenRemovedMessage),
     .kind = FailureKind::Warning,
     .stream = &kAllThree,
     .sent = 16,
     .progress = kTo60,
     .result = pcsc::kCardWasRemoved,
     .statusWord = 0x1111},
    Refused("UpdateBinary", InitStep::ClearRsaCache, kInit + " Очистка КЭШ. Card Error 6A82",
            "00 D6", 0x6A82, 18, kTo60),
    Refused("ClearCache", InitStep::ClearRsaCache, kInit + " Очистка КЭШ. Card Error 6985",
            kClearCache, 0x6985, 19, kTo60),
    NotOnToken("DstuNotOnToken", InitStep::SelectDstu, kInit + " Карта не поддерживает ДСТУ",
               kSelectDstu, 20, kTo60),
    Refused("DstuGroupKey", InitStep::StoreDstuGroupKey,
            kInit + " Установка ключа дублирования для ДСТУ. Card Error 6982", "80 F4 01 09",
            0x6982, 21, kTo60, Occurrence::Second),
    Refused("DstuActivate", InitStep::SetDstuGroup,
            kInit + " Установка группы дублирования для ДСТУ. Card Error 6A80",
            "80 46 00 00 28 01 00 00 00 00 07", 0x6A80, 22, kTo60),
    NotOnToken("DataNotOnToken", InitStep::SelectData,
               kInit + " Карта не поддерживает Data Application", kSelectData, 23, kTo60),
    Refused("DataActivate", InitStep::ActivateData,
            kInit + " Активация Data Application. Card Error 6985", kActivateData, 0x6985, 24,
            kTo60, Occurrence::Second),
};

class InitializeTokenFailure : public ::testing::TestWithParam<FailureCase> {};

// ---- A token gone in the middle of an attempt ---------------------------------------------------
// Whatever step it hits, a token taken out (or reset by another program) is not the token's answer:
// the step's own words, which blame the token, give way to what happened and what to do.

enum class Loss { Pulled, NoCard, Reset, TruncatedThenPulled, Truncated, TransactionLost };

// The `occurrence`-th command starting with `prefix` meets a token that is going away.
FailureCase Lost(const char* name, Loss loss, InitStep step, const std::string& prefix,
                 int occurrence, std::size_t sent, const std::vector<int>& progress,
                 FailureKind kind = FailureKind::Warning) {
    const std::string message = loss == Loss::Reset ? std::string(kTokenResetMessage)
                                : loss == Loss::Truncated
                                    ? kInit + " Установка ПИН-кода. Invalid response size"
                                    : std::string(kTokenRemovedMessage);
    const std::uint32_t result = loss == Loss::NoCard            ? pcsc::kNoSmartcard
                                 : loss == Loss::Reset           ? pcsc::kCardWasReset
                                 : loss == Loss::Pulled          ? pcsc::kCardWasRemoved
                                 : loss == Loss::TransactionLost ? pcsc::kNotTransacted
                                                                 : kErrResponseSize;
    return {.name = name,
            .arrange =
                [=](FakePcsc& p, InitSettings&) {
                    const Bytes match = FakePcsc::Hex(prefix);
                    auto seen = std::make_shared<int>(0);
                    auto hit = [=](const Bytes& command) {
                        return command.size() >= match.size() &&
                               std::equal(match.begin(), match.end(), command.begin()) &&
                               ++*seen == occurrence;
                    };
                    switch (loss) {
                    case Loss::Pulled:
                        p.OnTransmit([&p, hit](const Bytes& c) {
                            if (hit(c))
                                p.RemoveCard(kReader);
                        });
                        break;
                    case Loss::NoCard:
                    case Loss::Reset:
                        for (int i = 1; i < occurrence; ++i)
                            p.Answer(match, FakePcsc::Hex("90 00"));
                        p.AnswerResult(match, result);
                        break;
                    case Loss::TruncatedThenPulled:
                    case Loss::Truncated:
                    case Loss::TransactionLost:
                        for (int i = 1; i < occurrence; ++i)
                            p.Answer(match, FakePcsc::Hex("90 00"));
                        if (loss == Loss::TransactionLost)
                            p.AnswerResult(match, result);
                        else
                            p.Answer(match, FakePcsc::Hex("90"));
                        if (loss != Loss::Truncated)
                            p.OnTransmitted([&p, hit](const Bytes& c) {
                                if (hit(c))
                                    p.RemoveCard(kReader);
                            });
                        break;
                    }
                },
            .step = step,
            .message = message,
            .kind = kind,
            .stream = &kAllThree,
            .sent = sent,
            .progress = progress,
            .result = result,
            .statusWord = 0x1111};
}

const std::vector<FailureCase> kLosses = {
    Lost("PulledAtGlobalPinCheck", Loss::Pulled, InitStep::CheckGlobalPin, "80 F2", 1, 1, {0}),
    Lost("NoCardAtGlobalPinCheck", Loss::NoCard, InitStep::CheckGlobalPin, "80 F2", 1, 2, {0}),
    Lost("ResetAtGlobalPinCheck", Loss::Reset, InitStep::CheckGlobalPin, "80 F2", 1, 2, {0}),
    Lost("TruncatedAtGlobalPinCheck", Loss::TruncatedThenPulled, InitStep::CheckGlobalPin, "80 F2",
         1, 2, {0}),
    // The service ends the transaction of a token taken out before the reader shows it empty.
    Lost("TransactionLostAtGlobalPinCheck", Loss::TransactionLost, InitStep::CheckGlobalPin,
         "80 F2", 1, 2, {0}),
    Lost("PulledAtMfCode", Loss::Pulled, InitStep::MfCode, "80 48 4D 46", 1, 9, kTo10),
    Lost("NoCardAtMfCode", Loss::NoCard, InitStep::MfCode, "80 48 4D 46", 1, 10, kTo10),
    Lost("PulledAtStorePin", Loss::Pulled, InitStep::StorePin, "80 F4 01 05", 1, 10, kTo20),
    Lost("TruncatedAtStorePin", Loss::TruncatedThenPulled, InitStep::StorePin, "80 F4 01 05", 1, 11,
         kTo20),
    // A truncated answer from a token still in the reader is the token's own: its words stay.
    Lost("TruncatedByTokenAtStorePin", Loss::Truncated, InitStep::StorePin, "80 F4 01 05", 1, 11,
         kTo20, FailureKind::Error),
    Lost("PulledAtRsaSelection", Loss::Pulled, InitStep::SelectRsa, kSelectRsa, 2, 13, kTo50),
    Lost("ResetAtDstuGroup", Loss::Reset, InitStep::SetDstuGroup,
         "80 46 00 00 28 01 00 00 00 00 07", 1, 22, kTo60),
    Lost("PulledAtDataActivation", Loss::Pulled, InitStep::ActivateData, kActivateData, 2, 23,
         kTo60),
};

class InitializeTokenLoss : public ::testing::TestWithParam<FailureCase> {};

TEST_P(InitializeTokenLoss, SaysTheTokenIsGoneWhateverTheStep) {
    const FailureCase& c = GetParam();
    Harness h(c.atr);
    c.arrange(h.pcsc, h.settings);

    const InitOutcome outcome = h.Run(true);

    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.step, c.step);
    EXPECT_EQ(outcome.message, c.message);
    EXPECT_EQ(outcome.kind, c.kind);
    EXPECT_EQ(outcome.tokenGone, c.kind == FailureKind::Warning);
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(outcome.message.find("не поддерживает"), std::string::npos);
    EXPECT_EQ(Sent(h.pcsc), FirstOf(kAllThree, c.sent)) << "nothing is sent after the loss";
    EXPECT_EQ(h.observer.progress, c.progress);
}

INSTANTIATE_TEST_SUITE_P(Steps, InitializeTokenLoss, ::testing::ValuesIn(kLosses),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(InitializeTokenFailure, StopsAtItsStepAndLetsTheTokenGo) {
    const FailureCase& c = GetParam();
    Harness h(c.atr);
    c.arrange(h.pcsc, h.settings);

    const InitOutcome outcome = h.Run(c.step != InitStep::Connect);

    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.step, c.step);
    EXPECT_EQ(outcome.message, c.message);
    EXPECT_EQ(outcome.kind, c.kind);
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(outcome.statusWord, c.statusWord);
    EXPECT_EQ(outcome.cardId, c.cardId);
    EXPECT_EQ(Sent(h.pcsc), FirstOf(*c.stream, c.sent)) << "nothing is sent after the failure";
    EXPECT_EQ(h.observer.progress, c.progress);
    EXPECT_EQ(h.observer.pauses, c.pauses);
}

INSTANTIATE_TEST_SUITE_P(Steps, InitializeTokenFailure, ::testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(InitializeTokenFailure, EveryStepHasARow) {
    std::vector<InitStep> steps;
    for (const FailureCase& c : kFailures)
        if (steps.empty() || steps.back() != c.step)
            steps.push_back(c.step);
    using S = InitStep;
    EXPECT_EQ(steps, (std::vector<InitStep>{S::Connect, S::CheckGlobalPin, S::MfCode, S::StorePin,
                                            S::StorePuk, S::StoreUnblockKey, S::SelectRsa,
                                            S::StoreRsaGroupKey, S::SetRsaGroup, S::VerifyPin,
                                            S::ClearRsaCache, S::SelectDstu, S::StoreDstuGroupKey,
                                            S::SetDstuGroup, S::SelectData, S::ActivateData}));
}

} // namespace
