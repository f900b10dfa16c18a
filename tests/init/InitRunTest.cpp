// The run as the administrator lives it: Ready, Enter, the attempt, the removal wait, the wait
// for the next token that starts it by itself, the Failed state that waits for Enter, Esc from
// every state, a second run, and nothing left running.

#include "InitTestKit.h"
#include "engine/ReaderLock.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QPointer>
#include <gtest/gtest.h>

using namespace initkit;

namespace {

std::size_t CountCommand(const std::vector<Bytes>& commands, const Bytes& prefix) {
    std::size_t n = 0;
    for (const Bytes& c : commands)
        n += (c.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), c.begin())) ? 1
                                                                                                : 0;
    return n;
}

const Bytes kMfCodePrefix = Hex("80 48 4D 46");

// What the dialog looks like at one moment.
struct Look {
    QString text;
    QColor colour;
    bool bold = false;
    bool shown = false;
    bool hintShown = false;
    int progress = -1;
    InitRun::State state = InitRun::State::Idle;

    static Look Of(const ProgressDialog& d) {
        Look look;
        look.text = Control<QLabel>(d, "Label1")->text();
        look.colour = TextColour(Control<QLabel>(d, "Label1"));
        look.bold = Control<QLabel>(d, "Label1")->font().bold();
        look.shown = !Control<QLabel>(d, "Label1")->isHidden();
        look.hintShown = !Control<QLabel>(d, "Label2")->isHidden();
        look.progress = Control<QProgressBar>(d, "ProgressBar1")->value();
        look.state = d.Run().CurrentState();
        return look;
    }
};

// Waits in the event loop for `ms` of real time (a blink phase, if one ran, would end meanwhile).
void Idle(int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

TEST(InitRun, InitializesTokenAfterTokenWithoutAKey) {
    Harness h;
    h.pcsc.AddReader(kReader, FakePcsc::FamilyAtr(0x00));
    h.pcsc.AnswerCardId(Hex("11 11 11 11 11 11 11 11"));

    Look ready, attempt, removal, waiting;
    std::vector<int> removalPhases, waitingPhases;
    int tokensIn = 1;
    h.pause.onPause = [&](const RecordingPause::Wait& w) {
        if (w.ms == 1000)
            ready = Look::Of(h.dialog);
        if (w.ms == 50 && Control<QProgressBar>(h.dialog, "ProgressBar1")->value() == 10 &&
            attempt.text.isEmpty())
            attempt = Look::Of(h.dialog);
        if (w.kind != PauseKind::Blink)
            return;
        if (h.InRemovalWait()) {
            if (removalPhases.empty())
                removal = Look::Of(h.dialog);
            removalPhases.push_back(w.ms);
            if (tokensIn == 2)
                PostKey(&h.dialog, Qt::Key_Escape); // Esc during the second removal wait
            else if (removalPhases.size() == 3)
                h.pcsc.RemoveCard(kReader); // taken out after three phases
        } else if (h.WaitingForNext()) {
            if (waitingPhases.empty())
                waiting = Look::Of(h.dialog);
            waitingPhases.push_back(w.ms);
            if (waitingPhases.size() == 3) {
                // The next token, with a number of its own; nobody presses a key.
                h.pcsc.AnswerCardId(Hex("22 22 22 22 22 22 22 22"));
                h.pcsc.InsertCard(kReader, FakePcsc::FamilyAtr(0x00));
                tokensIn = 2;
            }
        }
    };
    PostKey(&h.dialog, Qt::Key_Return);
    h.Run();

    EXPECT_EQ(h.log.Lines(), (QStringList{"14:03:27: #1111111111111111 SUCCESS",
                                          "14:03:27: #2222222222222222 SUCCESS"}));
    EXPECT_EQ(CountCommand(h.pcsc.Commands(), kMfCodePrefix), 2u);

    EXPECT_EQ(ready.text, kReadyText);
    EXPECT_EQ(ready.colour, ProgressDialog::DesktopColour());
    EXPECT_FALSE(ready.bold);
    EXPECT_TRUE(ready.shown);
    EXPECT_FALSE(ready.hintShown);
    EXPECT_EQ(ready.progress, 0);
    EXPECT_EQ(ready.state, InitRun::State::Ready);

    EXPECT_EQ(attempt.text, kAttemptText);
    EXPECT_EQ(attempt.colour, ProgressDialog::DesktopColour());
    EXPECT_FALSE(attempt.bold);
    EXPECT_FALSE(attempt.hintShown);
    EXPECT_EQ(attempt.state, InitRun::State::Attempt);

    EXPECT_EQ(removal.text, kDoneText);
    EXPECT_EQ(removal.colour, QColor(100, 180, 40));
    EXPECT_TRUE(removal.bold);
    EXPECT_TRUE(removal.shown);
    EXPECT_FALSE(removal.hintShown);
    EXPECT_EQ(removal.progress, 100);
    EXPECT_EQ(removal.state, InitRun::State::RemovalWait);
    EXPECT_EQ(removalPhases.size() >= 3
                  ? std::vector<int>(removalPhases.begin(), removalPhases.begin() + 3)
                  : removalPhases,
              (std::vector<int>{1500, 500, 1500}));

    EXPECT_EQ(waiting.text, kNextText);
    EXPECT_EQ(waiting.colour, h.dialog.HotLightColour());
    EXPECT_TRUE(waiting.bold);
    EXPECT_FALSE(waiting.shown) << "the waiting text starts hidden";
    EXPECT_TRUE(waiting.hintShown);
    EXPECT_EQ(waiting.progress, 0);
    EXPECT_EQ(waiting.state, InitRun::State::Waiting);
    EXPECT_EQ(waitingPhases, (std::vector<int>{500, 1500, 500}));

    EXPECT_EQ(h.dialog.Run().CurrentState(), InitRun::State::Idle);
    EXPECT_FALSE(h.dialog.Run().PhaseRunning()) << "no blink phase outlives the run";
    EXPECT_EQ(h.dialog.Session(), nullptr);
    EXPECT_FALSE(h.dialog.isVisible());
}

// One wait of the run and the progress bar's position while it lasts.
struct Beat {
    int ms;
    PauseKind kind;
    int progress;
    friend bool operator==(const Beat&, const Beat&) = default;
};
void PrintTo(const Beat& b, std::ostream* os) {
    *os << b.ms << (b.kind == PauseKind::Blink ? " blink" : " step") << " at " << b.progress;
}

TEST(InitRun, ASuccessfulAttemptKeepsTheDesignedRhythm) {
    Harness h;
    h.pcsc.AddReader(kReader, FakePcsc::FamilyAtr(0x07));
    std::vector<Beat> beats; // up to the first blink phase
    h.TakeOutThenEsc([&](const RecordingPause::Wait& w) {
        if (beats.empty() || beats.back().kind != PauseKind::Blink)
            beats.push_back(
                {w.ms, w.kind, Control<QProgressBar>(h.dialog, "ProgressBar1")->value()});
    });
    PostKey(&h.dialog, Qt::Key_Return);
    h.Run();

    const auto step = PauseKind::Step;
    const std::vector<Beat> expected = {
        {50, step, 0},                 // Ready: the bar at 0
        {1000, step, 0},               // before the dialog shows
        {50, step, 0},                 // Enter: the attempt sets the bar to 0
        {50, step, 0},                 // and waits before it connects
        {50, step, 10},                // one wait per progress step: after the clean-up,
        {50, step, 20},                // the MF code,
        {50, step, 30},                // the PIN,
        {50, step, 40},                // the PUK,
        {50, step, 50},                // the unblock key,
        {50, step, 60},                // the RSA group key
        {50, step, 100},               // the bar full
        {300, step, 100},              // the success stays a moment before the removal wait
        {1500, PauseKind::Blink, 100}, // the first phase: "take the token out" shown
    };
    EXPECT_EQ(beats, expected);
}

TEST(InitRun, FailedWaitsForEnterAndIgnoresAnInsertedToken) {
    Harness h;
    h.pcsc.AddReader(kReader); // empty: Enter fails
    std::size_t blinksAtFailure = 0, connectsAtFailure = 0, connectsAfterIdle = 0;
    std::size_t blinksAfterIdle = 0;
    InitRun::State stateAfterIdle = InitRun::State::Idle;
    h.dialogs.onMessage = [&](const MessageRequest&) {
        QTimer::singleShot(0, [&] {
            blinksAtFailure =
                h.pause.Count(500, PauseKind::Blink) + h.pause.Count(1500, PauseKind::Blink);
            connectsAtFailure = h.pcsc.Count(FakePcsc::Entry::Connect);
            h.pcsc.InsertCard(kReader, FakePcsc::FamilyAtr(0x07));
            Idle(150);
            blinksAfterIdle =
                h.pause.Count(500, PauseKind::Blink) + h.pause.Count(1500, PauseKind::Blink);
            connectsAfterIdle = h.pcsc.Count(FakePcsc::Entry::Connect);
            stateAfterIdle = h.dialog.Run().CurrentState();
            PostKey(&h.dialog, Qt::Key_Return); // now the retry
        });
    };
    h.TakeOutThenEsc();
    PostKey(&h.dialog, Qt::Key_Return);
    h.Run();

    EXPECT_EQ(blinksAtFailure, 0u);
    EXPECT_EQ(blinksAfterIdle, 0u) << "nothing polls in the Failed state";
    EXPECT_EQ(connectsAfterIdle, connectsAtFailure) << "an inserted token waits for Enter";
    EXPECT_EQ(stateAfterIdle, InitRun::State::Failed);
    const QStringList lines = h.log.Lines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], QStringLiteral(
                            "14:03:27: # ERROR: Смарт-карта не отвечает. No smart card inserted."));
    EXPECT_EQ(lines[1], QStringLiteral("14:03:27: # SUCCESS"));
}

TEST(InitRun, EnterWhileWaitingOnAnEmptyReaderFailsAndTheNextTokenWaitsForEnter) {
    Harness h;
    h.pcsc.AddReader(kReader, FakePcsc::FamilyAtr(0x07));
    bool enterPosted = false;
    std::size_t mfCodesAfterIdle = 0;
    InitRun::State stateAfterIdle = InitRun::State::Idle;
    h.pause.onPause = [&](const RecordingPause::Wait& w) {
        if (w.kind != PauseKind::Blink)
            return;
        if (h.InRemovalWait())
            h.pcsc.RemoveCard(kReader);
        else if (h.WaitingForNext() && !enterPosted) {
            enterPosted = true;
            PostKey(&h.dialog, Qt::Key_Return); // served at the end of this blink phase
        }
    };
    h.dialogs.onMessage = [&](const MessageRequest&) {
        // A token arrives while the failure is reported: the Failed state must not start it.
        h.pcsc.InsertCard(kReader, FakePcsc::FamilyAtr(0x07));
        QTimer::singleShot(0, [&] {
            Idle(150);
            mfCodesAfterIdle = CountCommand(h.pcsc.Commands(), kMfCodePrefix);
            stateAfterIdle = h.dialog.Run().CurrentState();
            PostKey(&h.dialog, Qt::Key_Escape);
        });
    };
    PostKey(&h.dialog, Qt::Key_Return);
    h.Run();

    EXPECT_EQ(mfCodesAfterIdle, 1u) << "no attempt without Enter after a failure";
    EXPECT_EQ(stateAfterIdle, InitRun::State::Failed);
    EXPECT_EQ(
        h.log.Lines(),
        (QStringList{"14:03:27: # SUCCESS",
                     QStringLiteral(
                         "14:03:27: # ERROR: Смарт-карта не отвечает. No smart card inserted.")}));
}

TEST(InitRun, EnterDuringTheRemovalWaitIsIgnored) {
    Harness h;
    h.pcsc.AddReader(kReader, FakePcsc::FamilyAtr(0x07));
    int removalPhases = 0;
    bool escPosted = false;
    h.pause.onPause = [&](const RecordingPause::Wait& w) {
        if (w.kind != PauseKind::Blink)
            return;
        if (h.InRemovalWait()) {
            if (++removalPhases == 1)
                PostKey(&h.dialog, Qt::Key_Return);
            else
                h.pcsc.RemoveCard(kReader);
        } else if (h.WaitingForNext() && !escPosted) {
            escPosted = true;
            PostKey(&h.dialog, Qt::Key_Escape);
        }
    };
    PostKey(&h.dialog, Qt::Key_Return);
    h.Run();

    EXPECT_EQ(CountCommand(h.pcsc.Commands(), kMfCodePrefix), 1u);
    EXPECT_EQ(h.log.Lines().size(), 1);
}

// ---- Esc from every state ---------------------------------------------------------------------

enum class EscIn { Ready, Failed, RemovalWait, Waiting };

struct EscCase {
    const char* name;
    EscIn state;
    int successLines;
    // The main window asks for a new run in the same batch of events as Esc, while the ending
    // run is still unwinding: nothing may start until it has.
    bool newRunAtOnce = false;
};
void PrintTo(const EscCase& c, std::ostream* os) {
    *os << c.name;
}

class InitEsc : public ::testing::TestWithParam<EscCase> {};

TEST_P(InitEsc, EndsTheRunAndNothingTouchesTheReaderAfterwards) {
    const EscCase& c = GetParam();
    Harness h;
    h.pcsc.AddReader(kReader, FakePcsc::FamilyAtr(0x07));
    if (c.state == EscIn::Failed)
        h.pcsc.AnswerSw(Hex("80 48 4D 46"), 0x6982);

    // Note the call record at the moment the dialog sees Esc.
    std::size_t callsAtEsc = 0;
    struct EscWatch : QObject {
        std::function<void()> seen;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::KeyPress &&
                static_cast<QKeyEvent*>(e)->key() == Qt::Key_Escape)
                seen();
            return false;
        }
    } watch;
    watch.seen = [&] { callsAtEsc = h.pcsc.Calls().size(); };
    h.dialog.installEventFilter(&watch);

    bool escPosted = false;
    const auto esc = [&] {
        if (!escPosted) {
            escPosted = true;
            PostKey(&h.dialog, Qt::Key_Escape);
            if (c.newRunAtOnce)
                QMetaObject::invokeMethod(
                    &h.dialog, [&] { h.dialog.RunInitialization(kReader); }, Qt::QueuedConnection);
        }
    };
    switch (c.state) {
    case EscIn::Ready:
        h.pause.onPause = [&](const RecordingPause::Wait& w) {
            if (w.ms == 1000)
                QTimer::singleShot(0, [&] {
                    Idle(100);
                    esc();
                }); // a token is in, nobody presses Enter
        };
        break;
    case EscIn::Failed:
        h.dialogs.onMessage = [&](const MessageRequest&) { esc(); };
        PostKey(&h.dialog, Qt::Key_Return);
        break;
    case EscIn::RemovalWait:
        h.pause.onPause = [&](const RecordingPause::Wait& w) {
            if (w.kind == PauseKind::Blink && h.InRemovalWait())
                esc();
        };
        PostKey(&h.dialog, Qt::Key_Return);
        break;
    case EscIn::Waiting:
        h.pause.onPause = [&](const RecordingPause::Wait& w) {
            if (w.kind != PauseKind::Blink)
                return;
            if (h.InRemovalWait())
                h.pcsc.RemoveCard(kReader);
            else if (h.WaitingForNext() && h.pause.waits.size() > 30) {
                h.pcsc.InsertCard(kReader, FakePcsc::FamilyAtr(0x07)); // would start an attempt
                esc();
            }
        };
        PostKey(&h.dialog, Qt::Key_Return);
        break;
    }
    h.Run();

    ASSERT_TRUE(escPosted);
    ASSERT_GT(callsAtEsc, 0u);
    const auto calls = h.pcsc.Calls();
    std::vector<FakePcsc::Entry> after;
    for (std::size_t i = callsAtEsc; i < calls.size(); ++i)
        after.push_back(calls[i].entry);
    EXPECT_EQ(after, std::vector<FakePcsc::Entry>{FakePcsc::Entry::ReleaseContext})
        << "after Esc only the run's session is released";

    if (c.state == EscIn::Ready) {
        EXPECT_EQ(h.pcsc.Count(FakePcsc::Entry::Connect), 0u);
        EXPECT_EQ(h.pcsc.Count(FakePcsc::Entry::GetStatusChange), 0u);
        EXPECT_EQ(h.pcsc.Apdus().size(), 0u);
    }
    int successes = 0;
    for (const QString& line : h.log.Lines())
        successes += line.endsWith(QStringLiteral(" SUCCESS")) ? 1 : 0;
    EXPECT_EQ(successes, c.successLines);
    EXPECT_EQ(h.dialog.Run().CurrentState(), InitRun::State::Idle);
    EXPECT_FALSE(h.dialog.Run().PhaseRunning());
    EXPECT_FALSE(h.dialog.isVisible());
    EXPECT_FALSE(h.dialog.Active());
    EXPECT_EQ(h.pcsc.OpenContexts(), 0u);
    EXPECT_EQ(h.pcsc.OpenConnections(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    States, InitEsc,
    ::testing::Values(EscCase{"Ready", EscIn::Ready, 0}, EscCase{"Failed", EscIn::Failed, 0},
                      EscCase{"RemovalWait", EscIn::RemovalWait, 1},
                      EscCase{"Waiting", EscIn::Waiting, 1},
                      EscCase{"RemovalWaitThenNewRun", EscIn::RemovalWait, 1, true}),
    [](const auto& info) { return std::string(info.param.name); });

// Another run or PIN reset of the user holds the reader: the run is refused with a message that
// names the reader, before anything reaches it; once the reader is free the run opens.
TEST(InitRun, HeldReaderIsRefusedAtOnceAndTheNextRunOpensOnceItIsFree) {
    Harness h;
    h.pcsc.AddReader(kReader, FakePcsc::FamilyAtr(0x07));
    std::string refusal;
    std::optional<ReaderLock> other = TakeReader(kReader, refusal);
    ASSERT_TRUE(other) << refusal;
    EXPECT_FALSE(h.dialog.RunInitialization(kReader));
    ASSERT_EQ(h.dialogs.messages.size(), 1u);
    EXPECT_EQ(h.dialogs.LastText().toStdString(), ReaderHeldMessage(kReader));
    EXPECT_EQ(h.dialogs.messages[0].type, MsgType::Warning);
    EXPECT_TRUE(h.pcsc.Calls().empty()) << "the reader was touched";
    EXPECT_EQ(h.dialog.Run().CurrentState(), InitRun::State::Idle);

    other.reset();
    h.pause.onPause = [&](const RecordingPause::Wait& w) {
        if (w.kind == PauseKind::Step && w.ms == 1000)
            PostKey(&h.dialog, Qt::Key_Escape);
    };
    h.Run();
    EXPECT_EQ(h.dialogs.messages.size(), 1u);
    // Ended: the reader is free again for the next run.
    EXPECT_TRUE(TakeReader(kReader, refusal)) << refusal;
}

TEST(InitRun, CloseRequestActsLikeEsc) {
    Harness h;
    h.pcsc.AddReader(kReader, FakePcsc::FamilyAtr(0x07));
    QTimer::singleShot(0, [&] { h.dialog.close(); });
    h.Run();
    EXPECT_FALSE(h.dialog.isVisible());
    EXPECT_EQ(h.dialog.Run().CurrentState(), InitRun::State::Idle);
    EXPECT_EQ(h.pcsc.Count(FakePcsc::Entry::Connect), 0u);
}

TEST(InitRun, SecondRunStartsAfreshWithTheSettingsOfThatMoment) {
    Harness h;
    h.pcsc.AddReader(kReader, FakePcsc::FamilyAtr(0x07));
    Look readyAgain;
    h.TakeOutThenEsc([&](const RecordingPause::Wait& w) {
        if (w.ms == 1000)
            readyAgain = Look::Of(h.dialog);
    });
    PostKey(&h.dialog, Qt::Key_Return);
    h.Run();
    ASSERT_EQ(h.log.Lines().size(), 1);

    // Between the runs the administrator changes the PIN and the RSA group.
    h.settings.pin = QStringLiteral("5678");
    h.settings.groupRSA = QStringLiteral("A5");
    h.pcsc.InsertCard(kReader, FakePcsc::FamilyAtr(0x07));
    h.pcsc.ClearRecord();
    h.escPosted = false;
    PostKey(&h.dialog, Qt::Key_Return);
    h.Run();

    EXPECT_EQ(readyAgain.text, kReadyText);
    EXPECT_EQ(readyAgain.colour, ProgressDialog::DesktopColour());
    EXPECT_FALSE(readyAgain.bold);
    EXPECT_TRUE(readyAgain.shown);
    EXPECT_FALSE(readyAgain.hintShown);
    EXPECT_EQ(readyAgain.progress, 0);
    EXPECT_EQ(readyAgain.state, InitRun::State::Ready);

    const auto commands = ToHex(h.pcsc.Commands());
    EXPECT_NE(
        std::find(commands.begin(), commands.end(), "80 F4 01 05 0A 05 77 35 36 37 38 FF FF FF FF"),
        commands.end());
    EXPECT_NE(std::find(commands.begin(), commands.end(), "80 48 00 00 08 01 00 00 00 00 A5 00 00"),
              commands.end());
    EXPECT_EQ(h.pcsc.Count(FakePcsc::Entry::EstablishContext), 1u) << "a new session for the run";
    EXPECT_EQ(h.pcsc.OpenContexts(), 0u);
    EXPECT_EQ(h.log.Lines().size(), 2);
}

// Makes the log's data folder impossible: its parent is a plain file (even root cannot create
// anything below it). Answers the folder the report names.
QString SpoilLogFolder(Harness& h) {
    const QString blocker = h.log.dir.path() + QStringLiteral("/plain-file");
    QFile file(blocker);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    h.log.folder = blocker + QStringLiteral("/data");
    return h.log.folder;
}

// A lost log line: the status line says so while a warning box names the file and the reason;
// after a failure the box comes after the failure's own. The run goes on as before.
TEST(InitRun, LostLogLineIsShownAndTheRunGoesOn) {
    const struct {
        const char* name;
        bool tokenIn;
        std::vector<MsgType> boxes;
    } cases[] = {
        {"success", true, {MsgType::Warning}},
        // An empty reader: its failure is told as a warning.
        {"failure", false, {MsgType::Warning, MsgType::Warning}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        const QString folder = SpoilLogFolder(h);
        if (c.tokenIn)
            h.pcsc.AddReader(kReader, FakePcsc::FamilyAtr(0x07));
        else
            h.pcsc.AddReader(kReader);
        Look atLostBox;
        h.dialogs.onMessage = [&](const MessageRequest& request) {
            if (!request.text.startsWith(QStringLiteral("Строка журнала")))
                return;
            atLostBox = Look::Of(h.dialog);
            if (!c.tokenIn)
                QTimer::singleShot(0, [&] { PostKey(&h.dialog, Qt::Key_Escape); });
        };
        h.TakeOutThenEsc();
        PostKey(&h.dialog, Qt::Key_Return);
        h.Run();

        std::vector<MsgType> boxes;
        for (const MessageRequest& request : h.dialogs.messages)
            boxes.push_back(request.type);
        EXPECT_EQ(boxes, c.boxes);
        ASSERT_FALSE(h.dialogs.messages.empty());
        const MessageRequest& lost = h.dialogs.messages.back();
        EXPECT_EQ(lost.text, QStringLiteral("Строка журнала инициализации не записана: ") + folder +
                                 QStringLiteral(" — на месте папки лежит файл"));
        EXPECT_EQ(lost.owner, &h.dialog);
        EXPECT_EQ(atLostBox.text, QStringLiteral("Строка журнала не записана!"));
        EXPECT_EQ(atLostBox.colour, ProgressDialog::ErrorColour());
        EXPECT_TRUE(atLostBox.shown);
        if (c.tokenIn) {
            EXPECT_TRUE(h.escPosted) << "the run reached the wait for the next token";
        }
        EXPECT_FALSE(QFileInfo::exists(folder));
    }
}

TEST(InitRun, LostLogLinesGiveOneBoxPerRun) {
    Harness h;
    SpoilLogFolder(h);
    h.pcsc.AddReader(kReader, FakePcsc::FamilyAtr(0x07));
    int removals = 0;
    bool nextIn = false;
    h.pause.onPause = [&](const RecordingPause::Wait& w) {
        if (w.kind != PauseKind::Blink)
            return;
        if (h.InRemovalWait()) {
            if (++removals == 1)
                h.pcsc.RemoveCard(kReader);
            else
                PostKey(&h.dialog, Qt::Key_Escape);
        } else if (h.WaitingForNext() && !nextIn) {
            nextIn = true;
            h.pcsc.InsertCard(kReader, FakePcsc::FamilyAtr(0x07));
        }
    };
    PostKey(&h.dialog, Qt::Key_Return);
    h.Run();
    EXPECT_EQ(CountCommand(h.pcsc.Commands(), kMfCodePrefix), 2u) << "two attempts";
    EXPECT_EQ(h.dialogs.messages.size(), 1u);

    // The next run tells it again.
    h.dialogs.messages.clear();
    h.pcsc.RemoveCard(kReader);
    h.pcsc.InsertCard(kReader, FakePcsc::FamilyAtr(0x07));
    removals = 1;
    PostKey(&h.dialog, Qt::Key_Return);
    h.Run();
    EXPECT_EQ(h.dialogs.messages.size(), 1u);
}

// ---- One thread, and the dialog's end ---------------------------------------------------------

// The threads of this process now (Linux: one entry per thread in /proc/self/task).
std::size_t ThreadCount() {
    return static_cast<std::size_t>(QDir(QStringLiteral("/proc/self/task"))
                                        .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                                        .size());
}

TEST(InitRun, RunsEntirelyOnTheUserInterfaceThread) {
    Harness h;
    h.pcsc.AddReader(kReader, FakePcsc::FamilyAtr(0x07));
    // A first run lets Qt start whatever threads of its own it starts on first use of a window.
    h.TakeOutThenEsc();
    PostKey(&h.dialog, Qt::Key_Return);
    h.Run();
    ASSERT_TRUE(h.escPosted);

    const std::size_t before = ThreadCount();
    std::size_t most = 0;
    bool elsewhere = false;
    h.pcsc.InsertCard(kReader, FakePcsc::FamilyAtr(0x07));
    h.TakeOutThenEsc([&](const RecordingPause::Wait&) {
        most = std::max(most, ThreadCount());
        elsewhere = elsewhere || QThread::currentThread() != h.dialog.thread();
    });
    h.pcsc.OnTransmit([&](const Bytes&) {
        elsewhere = elsewhere || QThread::currentThread() != h.dialog.thread();
    });
    PostKey(&h.dialog, Qt::Key_Return);
    h.Run();
    ASSERT_TRUE(h.escPosted);
    ASSERT_EQ(h.log.Lines().size(), 2);
    EXPECT_FALSE(elsewhere) << "every wait and every command on the dialog's thread";
    EXPECT_EQ(most, before) << "no thread started for the run";
}

enum class DestroyHow { DeleteLaterWhileWaiting, DeleteInsideABlinkPhase };

class InitDialogDestroyed : public ::testing::TestWithParam<DestroyHow> {};

TEST_P(InitDialogDestroyed, MidRunLeavesNothingRunning) {
    FakePcsc pcsc;
    FakeDialogs dialogs;
    RecordingPause pause;
    TestLogEnvironment log;
    TestSettings settings;
    pcsc.AddReader(kReader, FakePcsc::FamilyAtr(0x07));
    QPointer<ProgressDialog> dialog = new ProgressDialog(settings);
    bool done = false;
    pause.onPause = [&](const RecordingPause::Wait& w) {
        if (w.kind != PauseKind::Blink || !dialog || done)
            return;
        if (Control<QLabel>(dialog, "Label1")->text() == kDoneText) {
            pcsc.RemoveCard(kReader);
        } else if (Control<QLabel>(dialog, "Label1")->text() == kNextText) {
            done = true;
            if (GetParam() == DestroyHow::DeleteLaterWhileWaiting)
                dialog->deleteLater();
            else
                delete dialog.data();
        }
    };
    PostKey(dialog, Qt::Key_Return);
    dialog->RunInitialization(kReader);

    EXPECT_TRUE(done);
    EXPECT_TRUE(dialog.isNull());
    // Nothing of the run is left to fire: no blink phase, no presence check.
    pcsc.ClearRecord();
    Idle(100);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(pcsc.Calls().empty());
    EXPECT_EQ(pcsc.OpenContexts(), 0u);
    EXPECT_EQ(log.Lines().size(), 1);
}

INSTANTIATE_TEST_SUITE_P(Ways, InitDialogDestroyed,
                         ::testing::Values(DestroyHow::DeleteLaterWhileWaiting,
                                           DestroyHow::DeleteInsideABlinkPhase),
                         [](const ::testing::TestParamInfo<DestroyHow>& info) {
                             return info.param == DestroyHow::DeleteLaterWhileWaiting
                                        ? "DeleteLaterWhileWaiting"
                                        : "DeleteInsideABlinkPhase";
                         });

} // namespace

// ---- The smart-card service away during the waits ------------------------------------------

namespace {

const QString kServiceAwayText =
    QStringLiteral("Служба смарт-карт не отвечает. Ожидание её восстановления...");

enum class AwayIn { RemovalWait, Waiting };

class InitServiceAway : public ::testing::TestWithParam<AwayIn> {};

// pcscd stops during a wait and comes back a few blink phases later; meanwhile the token is
// taken out (removal wait) or the next one goes in (waiting). No attempt and no log line while
// the service is away, the status line says so, and the real state counts once it is back.
TEST_P(InitServiceAway, NoPhantomAttemptAndTheRealStateOnceBack) {
    Harness h;
    h.pcsc.AddReader(kReader, FakePcsc::FamilyAtr(0x07));
    const AwayIn where = GetParam();
    int phasesAway = 0;
    bool stopped = false, back = false, escPosted = false;
    std::size_t mfCodesWhileAway = 0;
    QStringList linesWhileAway;
    QString textWhileAway;
    h.pause.onPause = [&](const RecordingPause::Wait& w) {
        if (w.kind != PauseKind::Blink)
            return;
        const bool removal = h.dialog.Run().CurrentState() == InitRun::State::RemovalWait;
        if (!stopped && where == AwayIn::Waiting && removal) {
            h.pcsc.RemoveCard(kReader); // the first token out, as usual
            return;
        }
        if (!stopped &&
            ((where == AwayIn::RemovalWait && removal) || (where == AwayIn::Waiting && !removal))) {
            stopped = true;
            h.pcsc.StopService();
            if (where == AwayIn::RemovalWait)
                h.pcsc.RemoveCard(kReader); // taken out while nobody can see it
            else
                h.pcsc.InsertCard(kReader, FakePcsc::FamilyAtr(0x07)); // the next one goes in
            return;
        }
        if (stopped && !back && ++phasesAway == 4) {
            textWhileAway = Control<QLabel>(h.dialog, "Label1")->text();
            mfCodesWhileAway = CountCommand(h.pcsc.Commands(), kMfCodePrefix);
            linesWhileAway = h.log.Lines();
            back = true;
            h.pcsc.StartService();
            return;
        }
        if (!back)
            return;
        // Back: the removal wait has ended by itself (the token is out); the waiting token was
        // initialized by itself and is taken out now.
        if (h.InRemovalWait())
            h.pcsc.RemoveCard(kReader);
        else if (h.WaitingForNext() && !escPosted &&
                 (where == AwayIn::RemovalWait || h.log.Lines().size() == 2)) {
            escPosted = true;
            PostKey(&h.dialog, Qt::Key_Escape);
        }
    };
    if (where == AwayIn::Waiting)
        h.pcsc.AnswerCardId(Hex("11 11 11 11 11 11 11 11"));
    PostKey(&h.dialog, Qt::Key_Return);
    h.Run();

    ASSERT_TRUE(back);
    EXPECT_EQ(textWhileAway, kServiceAwayText);
    EXPECT_EQ(mfCodesWhileAway, 1u) << "no attempt while the service is away";
    EXPECT_EQ(linesWhileAway.size(), 1) << "no log line while the service is away";
    EXPECT_TRUE(escPosted) << "the wait for the next token came back";
    const int successes = where == AwayIn::Waiting ? 2 : 1;
    EXPECT_EQ(h.log.Lines().size(), successes);
    for (const QString& line : h.log.Lines())
        EXPECT_TRUE(line.endsWith(QStringLiteral(" SUCCESS"))) << line.toStdString();
    EXPECT_EQ(CountCommand(h.pcsc.Commands(), kMfCodePrefix), static_cast<std::size_t>(successes));
}

INSTANTIATE_TEST_SUITE_P(Waits, InitServiceAway,
                         ::testing::Values(AwayIn::RemovalWait, AwayIn::Waiting),
                         [](const ::testing::TestParamInfo<AwayIn>& info) {
                             return info.param == AwayIn::RemovalWait ? "RemovalWait"
                                                                      : "WaitingForTheNextToken";
                         });

} // namespace

// ---- A token taken out or put in is noticed within a phase ------------------------------------

// The phases last a minute here: only the looks at the reader between the phases' ends can move
// the run on, so a run that waited for the end of a phase would hang (and the watchdog fail it).
TEST(InitRun, NoticesRemovalAndInsertionWithinABlinkPhase) {
    Harness h;
    h.pcsc.AddReader(kReader, FakePcsc::FamilyAtr(0x07));
    h.pause.phaseLength = 60000;
    h.pause.pollInterval = 5;
    int removalPhases = 0, waitingPhases = 0;
    h.pause.onPause = [&](const RecordingPause::Wait& w) {
        if (w.kind != PauseKind::Blink)
            return;
        if (h.InRemovalWait()) {
            if (++removalPhases == 1 && h.log.Lines().size() == 1)
                h.pcsc.RemoveCard(kReader);
            else if (h.log.Lines().size() == 2)
                PostKey(&h.dialog, Qt::Key_Escape); // the second token: done
        } else if (h.WaitingForNext() && ++waitingPhases == 1) {
            h.pcsc.InsertCard(kReader, FakePcsc::FamilyAtr(0x07));
        }
    };
    PostKey(&h.dialog, Qt::Key_Return);
    h.Run();
    EXPECT_EQ(h.log.Lines().size(), 2) << "the second token started by itself";
    EXPECT_EQ(waitingPhases, 1) << "the insertion ended the first phase of the wait";
}

// A token taken out and the next one put in between two looks at the reader: the next one is
// initialized by itself. The token left in place through many looks is never taken for a new
// one (EnterDuringTheRemovalWaitIsIgnored), nor is one the run connected to and left.
TEST(InitRun, AQuickSwapDuringTheRemovalWaitStartsTheNextToken) {
    Harness h;
    h.pcsc.AddReader(kReader, FakePcsc::FamilyAtr(0x07));
    h.pcsc.AnswerCardId(Hex("11 11 11 11 11 11 11 11"));
    int removalPhases = 0;
    bool swapped = false;
    h.pause.onPause = [&](const RecordingPause::Wait& w) {
        if (w.kind != PauseKind::Blink)
            return;
        if (h.InRemovalWait() && ++removalPhases == 3 && !swapped) {
            swapped = true; // out and in within one phase: the reader never looks empty
            h.pcsc.RemoveCard(kReader);
            h.pcsc.AnswerCardId(Hex("22 22 22 22 22 22 22 22"));
            h.pcsc.InsertCard(kReader, FakePcsc::FamilyAtr(0x00));
        } else if (h.InRemovalWait() && swapped) {
            PostKey(&h.dialog, Qt::Key_Escape);
        }
    };
    PostKey(&h.dialog, Qt::Key_Return);
    h.Run();
    ASSERT_TRUE(swapped);
    EXPECT_EQ(h.log.Lines(),
              (QStringList{"14:03:27: # SUCCESS", "14:03:27: #2222222222222222 SUCCESS"}));
}
