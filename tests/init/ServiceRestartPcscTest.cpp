// The initialization run while the real smart-card service goes away and comes back (the private
// pcscd stopped and started again, fixture `pcsc_stack`): in either wait, no service is neither a
// token in nor a token out. The dialog says the service does not answer, nothing is attempted or
// logged, and once pcscd answers the run goes on from the reader's real state.

#include "InitTestKit.h"
#include "VirtualToken.h"

#include <gtest/gtest.h>

using namespace initkit;

namespace {

const QString kServiceAwayText =
    QStringLiteral("Служба смарт-карт не отвечает. Ожидание её восстановления...");
const vtoken::Bytes kPinBytes{0xCF, 0xE8, 0xED, 0x31, 0xFF, 0xFF, 0xFF, 0xFF}; // "Пин1", CP1251

// Looks at the reader the run made while the service was away.
constexpr int kBlinksAway = 4;
// Blink phases a token put back after the restart stays in the reader, to show it is left alone.
constexpr int kBlinksBack = 3;

enum class StopIn { RemovalWait, NextTokenWait };

struct RestartCase {
    const char* name;
    StopIn stopIn;
    bool firstTokenBack; // still in the reader when pcscd answers again
    // Tokens that give their card number (else they announce applications and give none, and
    // two of them cannot be told apart).
    bool numbered;
};
void PrintTo(const RestartCase& c, std::ostream* os) {
    *os << c.name;
}

// pcscd runs again when the test ends, whatever failed.
struct ServiceBack {
    ~ServiceBack() { VirtualToken::RunSandbox({"start-daemon", VirtualToken::SandboxDir()}); }
};

class InitServiceRestart : public ::testing::TestWithParam<RestartCase> {};

// Token A is initialized; pcscd stops in the removal wait (A's connection ends with it: taken out,
// or put back after the restart and taken out later) or in the wait for the next token; then
// token B is put in and initialized by itself, and Esc ends the run in B's removal wait.
TEST_P(InitServiceRestart, NeitherTokenInNorOutUntilTheServiceAnswersAgain) {
    const RestartCase& c = GetParam();
    ServiceBack back;
    RealStackRun run(50);
    FakeDialogs& dialogs = run.dialogs;
    RecordingPause& pause = run.pause;
    TestLogEnvironment& log = run.log;
    ProgressDialog& dialog = run.dialog;
    const auto text = [&] { return Control<QLabel>(dialog, "Label1")->text(); };

    VirtualToken tokenA, tokenB;
    const auto options = [&](const char* cardId) {
        return c.numbered ? VirtualTokenOptions().Apps("none").CardId(cardId)
                          : VirtualTokenOptions();
    };
    ASSERT_TRUE(tokenA.Insert(options("0102030405060708"))) << tokenA.Error();
    bool aOut = false, stopped = false, started = false, bIn = false, escPosted = false;
    int blinksBack = 0;
    QStringList textsWhileAway;
    std::string error;
    pause.onPause = [&](const RecordingPause::Wait& w) {
        if (w.kind != PauseKind::Blink)
            return;
        const bool removal = text() == kDoneText, next = text() == kNextText;
        if (!stopped) {
            if (removal && c.stopIn == StopIn::NextTokenWait && !aOut) {
                aOut = true;
                EXPECT_TRUE(tokenA.Remove()) << tokenA.Error();
            } else if ((removal && c.stopIn == StopIn::RemovalWait) ||
                       (next && c.stopIn == StopIn::NextTokenWait)) {
                stopped = true;
                EXPECT_TRUE(VirtualToken::StopDaemon(&error)) << error;
                EXPECT_TRUE(tokenA.WaitExit(3000)) << "token A outlived pcscd";
                aOut = !c.firstTokenBack;
            }
        } else if (!started) {
            // The run has looked at the reader since the previous blink.
            textsWhileAway.push_back(text());
            if (textsWhileAway.size() < kBlinksAway)
                return;
            started = true;
            EXPECT_TRUE(VirtualToken::StartDaemon(&error)) << error;
            if (c.firstTokenBack) {
                tokenA.ClearTrace();
                EXPECT_TRUE(tokenA.Insert(options("0102030405060708"))) << tokenA.Error();
            }
        } else if (removal && !aOut) {
            if (++blinksBack == kBlinksBack) {
                aOut = true;
                EXPECT_TRUE(tokenA.Remove()) << tokenA.Error();
            }
        } else if (next && aOut && !bIn) {
            bIn = true; // nobody presses a key: the run starts it by itself
            EXPECT_TRUE(tokenB.Insert(options("1112131415161718"))) << tokenB.Error();
        } else if (removal && bIn && !escPosted) {
            escPosted = true;
            PostKey(&dialog, Qt::Key_Escape);
        }
    };
    run.Run(VirtualToken::ReaderName(0));
    ASSERT_TRUE(tokenB.Remove()) << tokenB.Error();

    EXPECT_TRUE(started) << "the run never reached the wait where pcscd was to stop";
    EXPECT_EQ(textsWhileAway.join(u'|').toStdString(),
              QStringList(kBlinksAway, kServiceAwayText).join(u'|').toStdString());
    if (c.firstTokenBack) {
        EXPECT_EQ(blinksBack, kBlinksBack) << "the removal wait did not go on after the restart";
        // Asked for its number at most, to tell it from another token.
        for (const TracedApdu& apdu : tokenA.Apdus())
            EXPECT_EQ(apdu.command, "80F6000008") << "token A was attempted again";
    }
    EXPECT_TRUE(escPosted) << "token B was not initialized by itself";
    EXPECT_TRUE(dialogs.messages.empty()) << dialogs.LastText().toStdString();
    EXPECT_EQ(log.Lines().join(u'\n').toStdString(),
              c.numbered
                  ? "14:03:27: #0807060504030201 SUCCESS\n14:03:27: #1817161514131211 SUCCESS"
                  : "14:03:27: # SUCCESS\n14:03:27: # SUCCESS");
    const auto b = tokenB.State();
    ASSERT_TRUE(b) << tokenB.Error();
    EXPECT_EQ(b->pin.value, kPinBytes);
}

INSTANTIATE_TEST_SUITE_P(
    Waits, InitServiceRestart,
    ::testing::Values(
        RestartCase{"InTheRemovalWaitTokenTakenOutMeanwhile", StopIn::RemovalWait, false, true},
        RestartCase{"InTheRemovalWaitTokenStillIn", StopIn::RemovalWait, true, false},
        RestartCase{"InTheRemovalWaitNumberedTokenStillIn", StopIn::RemovalWait, true, true},
        RestartCase{"WhileWaitingForTheNextToken", StopIn::NextTokenWait, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
