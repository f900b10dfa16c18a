// The initialization run through the real PC/SC stack: the private pcscd, its vpcd reader and
// virtual tokens (fixture `pcsc_stack`). The waits are shortened fifty times; the test acts at
// the blink phases as the administrator would (takes a token out, puts the next one in, Esc).

#include "InitTestKit.h"
#include "VirtualToken.h"

#include <gtest/gtest.h>

#include <optional>

using namespace initkit;

namespace {

const vtoken::Bytes kPinBytes{0xCF, 0xE8, 0xED, 0x31, 0xFF, 0xFF, 0xFF, 0xFF}; // "Пин1", CP1251
const vtoken::Bytes kPukBytes{0x34, 0x33, 0x32, 0x31, 0xFF, 0xFF, 0xFF, 0xFF}; // "4321"

VirtualTokenOptions Token(const std::string& apps, const std::string& cardId) {
    VirtualTokenOptions options;
    options.apps = apps;
    options.cardId = cardId;
    return options;
}

VirtualTokenOptions Vanishing(int afterCommands) {
    VirtualTokenOptions options;
    options.vanishAfter = afterCommands;
    return options;
}

VirtualTokenOptions Refusing(const std::string& rule) {
    VirtualTokenOptions options;
    options.fails.push_back(rule);
    return options;
}

template <std::size_t N> vtoken::Bytes V(const std::array<std::uint8_t, N>& a) {
    return vtoken::Bytes(a.begin(), a.end());
}

// The dialog with doubles for the boxes, the waits and the log; the real PC/SC stack.
struct PcscHarness : RealStackRun {
    PcscHarness() : RealStackRun(50) {
        settings.puk = QStringLiteral("4321");
        settings.allowPuk = true;
        settings.useUnblockKey = true;
        settings.deviceName = QStringLiteral("Тест");
    }

    void Run() {
        bool finished = false;
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, [&] {
            if (!finished) {
                ADD_FAILURE() << "the run did not end; pressing Esc";
                dialog.PressEscape();
            }
        });
        watchdog.start(30000);
        dialog.RunInitialization(VirtualToken::ReaderName(0));
        finished = true;
    }

    bool InRemovalWait() const { return Control<QLabel>(dialog, "Label1")->text() == kDoneText; }
    bool WaitingForNext() const { return Control<QLabel>(dialog, "Label1")->text() == kNextText; }

    // What an initialized token holds with these settings.
    void ExpectInitialized(VirtualToken& token, bool withApplications) {
        const std::optional<vtoken::TokenState> state = token.State();
        ASSERT_TRUE(state) << token.Error();
        EXPECT_EQ(state->pin.value, kPinBytes);
        EXPECT_EQ(state->pin.attribute, 0x77);
        EXPECT_EQ(state->puk.value, kPukBytes);
        EXPECT_EQ(state->puk.attribute, 0x44);
        EXPECT_EQ(state->unblockKey.value, V(settings.unblockKey));
        EXPECT_EQ(state->unblockKey.attribute, 0xEE);
        if (!withApplications)
            return;
        const vtoken::Application& rsa = state->app(vtoken::AppId::RSA);
        EXPECT_EQ(rsa.groupKey.value, V(settings.groupKeyRSA));
        EXPECT_EQ(rsa.groupKey.attribute, 0x99);
        EXPECT_EQ(rsa.groupCode(), 0x00D1);
        const vtoken::Application& dstu = state->app(vtoken::AppId::DSTU);
        EXPECT_EQ(dstu.groupKey.value, V(settings.groupKeyDSTU));
        EXPECT_EQ(dstu.groupKey.attribute, 0x99);
        EXPECT_EQ(dstu.groupCode(), 0x0007);
        std::array<std::uint8_t, 32> name{0xD0, 0xA2, 0xD0, 0xB5, 0xD1, 0x81, 0xD1, 0x82};
        EXPECT_EQ(dstu.name, name);
        EXPECT_TRUE(state->app(vtoken::AppId::Data).activated);
    }
};

struct TwoTokensCase {
    const char* name;
    const char* apps;
    const char* idA; // --card-id, as the token stores it
    const char* idB;
    const char* logIdA; // as the log shows it: read with GET CARD ID only without applications
    const char* logIdB;
};
void PrintTo(const TwoTokensCase& c, std::ostream* os) {
    *os << c.name;
}

class InitThroughPcscd : public ::testing::TestWithParam<TwoTokensCase> {};

TEST_P(InitThroughPcscd, InitializesTwoTokensInARow) {
    const TwoTokensCase& c = GetParam();
    PcscHarness h;
    VirtualToken tokenA, tokenB;
    ASSERT_TRUE(tokenA.Insert(Token(c.apps, c.idA))) << tokenA.Error();

    bool aOut = false, bIn = false, escPosted = false;
    h.pause.onPause = [&](const RecordingPause::Wait& w) {
        if (w.kind != PauseKind::Blink)
            return;
        if (h.InRemovalWait() && !aOut) {
            aOut = true;
            EXPECT_TRUE(tokenA.Remove()) << tokenA.Error();
        } else if (h.WaitingForNext() && !bIn) {
            bIn = true; // nobody presses a key: the run starts it by itself
            EXPECT_TRUE(tokenB.Insert(Token(c.apps, c.idB))) << tokenB.Error();
        } else if (h.InRemovalWait() && bIn && !escPosted) {
            escPosted = true;
            PostKey(&h.dialog, Qt::Key_Escape);
        }
    };
    PostKey(&h.dialog, Qt::Key_Return);
    h.Run();
    ASSERT_TRUE(tokenB.Remove()) << tokenB.Error();

    EXPECT_TRUE(h.dialogs.messages.empty()) << h.dialogs.LastText().toStdString();
    EXPECT_EQ(h.log.Lines(), (QStringList{QStringLiteral("14:03:27: #%1 SUCCESS").arg(c.logIdA),
                                          QStringLiteral("14:03:27: #%1 SUCCESS").arg(c.logIdB)}));
    const bool withApplications = std::string(c.apps) != "none";
    h.ExpectInitialized(tokenA, withApplications);
    h.ExpectInitialized(tokenB, withApplications);
    const auto a = tokenA.State(), b = tokenB.State();
    ASSERT_TRUE(a && b);
    for (vtoken::AppId app : {vtoken::AppId::RSA, vtoken::AppId::DSTU})
        EXPECT_EQ(a->app(app).groupKey, b->app(app).groupKey) << "one duplication group";
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, InitThroughPcscd,
    ::testing::Values(TwoTokensCase{"AllApplications", "rsa,dstu,data", "0102030405060708",
                                    "1112131415161718", "", ""},
                      TwoTokensCase{"NoApplication", "none", "0102030405060708", "A1B2C3D4E5F60718",
                                    "0807060504030201", "1807F6E5D4C3B2A1"}),
    [](const auto& info) { return std::string(info.param.name); });

struct FailedTokenCase {
    const char* name;
    VirtualTokenOptions failing;
    QString message;   // the box and the log line carry it...
    bool exact = true; // ...exactly, or (the stack's own cause) as its beginning
};
void PrintTo(const FailedTokenCase& c, std::ostream* os) {
    *os << c.name;
}

class InitThroughPcscdFailure : public ::testing::TestWithParam<FailedTokenCase> {};

TEST_P(InitThroughPcscdFailure, FailsThenSucceedsAfterReinsertingAndEnter) {
    const FailedTokenCase& c = GetParam();
    PcscHarness h;
    VirtualToken token;
    ASSERT_TRUE(token.Insert(c.failing)) << token.Error();

    QString failedText;
    bool retried = false, out = false, escPosted = false;
    h.dialogs.onMessage = [&](const MessageRequest&) {
        QTimer::singleShot(0, [&] {
            // The attempt has ended in the Failed state: take the token out, put it back as a
            // good one, press Enter.
            failedText = Control<QLabel>(h.dialog, "Label1")->text();
            EXPECT_TRUE(token.Remove()) << token.Error();
            EXPECT_TRUE(token.Insert()) << token.Error();
            retried = true;
            PostKey(&h.dialog, Qt::Key_Return);
        });
    };
    h.pause.onPause = [&](const RecordingPause::Wait& w) {
        if (w.kind != PauseKind::Blink || !retried)
            return;
        if (h.InRemovalWait() && !out) {
            out = true;
            EXPECT_TRUE(token.Remove()) << token.Error();
        } else if (h.WaitingForNext() && !escPosted) {
            escPosted = true;
            PostKey(&h.dialog, Qt::Key_Escape);
        }
    };
    PostKey(&h.dialog, Qt::Key_Return);
    h.Run();

    EXPECT_EQ(failedText, kFailedText);
    ASSERT_EQ(h.dialogs.messages.size(), 1u);
    const QString box = h.dialogs.messages[0].text;
    if (c.exact)
        EXPECT_EQ(box, c.message);
    else
        EXPECT_TRUE(box.startsWith(c.message) && box.size() > c.message.size())
            << box.toStdString();
    EXPECT_EQ(h.log.Lines(), (QStringList{"14:03:27: # ERROR: " + box, "14:03:27: # SUCCESS"}));
    h.ExpectInitialized(token, true);
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, InitThroughPcscdFailure,
    ::testing::Values(
        // Pulled out as the PIN goes to it (the eleventh command): the box says the token is
        // gone, not that it refused the PIN.
        FailedTokenCase{"VanishesMidSequence", Vanishing(10),
                        QStringLiteral("Смарт-карта извлечена во время инициализации. Вставьте её "
                                       "снова и повторите.")},
        // Refuses the RSA group (not the clean-up's group 00 00).
        FailedTokenCase{"RefusesTheRsaGroup", Refusing("48/00:0100000000D1=6A82"),
                        QStringLiteral("Ошибка инициализации смарт-карты. Установка группы "
                                       "дублирования. Card Error 6A82")}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
