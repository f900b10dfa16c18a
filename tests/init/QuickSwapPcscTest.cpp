// A token swapped faster than the run looks at the reader, through the real pcscd (fixture
// `pcsc_stack`): token A out, half a second for pcscd to notice, token B in, all while the run
// is inside one blink phase of its removal wait. The run never sees an empty reader, yet B is a
// new token and starts by itself; a token left in place is never taken for a new one.

#include "InitTestKit.h"
#include "VirtualToken.h"

#include <QThread>

#include <gtest/gtest.h>

using namespace initkit;

namespace {

const vtoken::Bytes kPinBytes{0xCF, 0xE8, 0xED, 0x31, 0xFF, 0xFF, 0xFF, 0xFF}; // "Пин1", CP1251

// The removal wait's phases the first token stays in before anything happens.
constexpr int kPhasesBeforeSwap = 2;
// Phases of the removal wait after which a token left in place is given up on (Esc).
constexpr int kPhasesLeftInPlace = 8;

struct SwapCase {
    const char* name;
    bool swap; // false: token A is left in the reader
};
void PrintTo(const SwapCase& c, std::ostream* os) {
    *os << c.name;
}

class InitQuickSwap : public ::testing::TestWithParam<SwapCase> {};

TEST_P(InitQuickSwap, ANewTokenStartsByItselfAndTheSameTokenNever) {
    const SwapCase& c = GetParam();
    RealStackRun run(5);
    FakeDialogs& dialogs = run.dialogs;
    RecordingPause& pause = run.pause;
    TestLogEnvironment& log = run.log;
    ProgressDialog& dialog = run.dialog;
    const auto inRemovalWait = [&] {
        return Control<QLabel>(dialog, "Label1")->text() == kDoneText;
    };

    VirtualToken tokenA, tokenB;
    ASSERT_TRUE(tokenA.Insert()) << tokenA.Error();
    int removalPhases = 0, phasesAfterSwap = 0;
    bool swapped = false, escPosted = false;
    pause.onPause = [&](const RecordingPause::Wait& w) {
        if (w.kind != PauseKind::Blink || !inRemovalWait() || escPosted)
            return;
        if (swapped) {
            // B's own removal wait (B was initialized by itself), or a run that took B for A
            // and has been waiting for its removal long enough.
            if (!tokenB.Apdus().empty() || ++phasesAfterSwap == kPhasesLeftInPlace) {
                escPosted = true;
                PostKey(&dialog, Qt::Key_Escape);
            }
            return;
        }
        ++removalPhases;
        if (removalPhases == kPhasesBeforeSwap) {
            tokenA.ClearTrace();
            if (!c.swap)
                return;
            swapped = true;
            EXPECT_TRUE(tokenA.Remove()) << tokenA.Error();
            QThread::msleep(500); // pcscd notices the empty reader
            EXPECT_TRUE(tokenB.Insert()) << tokenB.Error();
        } else if (!c.swap && removalPhases == kPhasesLeftInPlace) {
            escPosted = true;
            PostKey(&dialog, Qt::Key_Escape);
        }
    };
    run.Run(VirtualToken::ReaderName(0));
    ASSERT_TRUE(tokenA.Remove()) << tokenA.Error();
    ASSERT_TRUE(tokenB.Remove()) << tokenB.Error();

    EXPECT_TRUE(escPosted) << "the run did not reach the expected removal wait";
    EXPECT_TRUE(dialogs.messages.empty()) << dialogs.LastText().toStdString();
    // Token A was never attempted a second time.
    EXPECT_TRUE(tokenA.Apdus().empty()) << "token A was taken for a new token";
    if (c.swap) {
        EXPECT_EQ(log.Lines().join(u'\n').toStdString(),
                  "14:03:27: # SUCCESS\n14:03:27: # SUCCESS");
        const auto b = tokenB.State();
        ASSERT_TRUE(b) << tokenB.Error();
        EXPECT_EQ(b->pin.value, kPinBytes);
    } else {
        EXPECT_EQ(removalPhases, kPhasesLeftInPlace);
        EXPECT_EQ(log.Lines().join(u'\n').toStdString(), "14:03:27: # SUCCESS");
        EXPECT_TRUE(tokenB.Apdus().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(RemovalWait, InitQuickSwap,
                         ::testing::Values(SwapCase{"SwappedInsideOneBlinkPhase", true},
                                           SwapCase{"LeftInPlace", false}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
