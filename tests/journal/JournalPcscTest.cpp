// The journal beside an initialization run through the real PC/SC stack: the private pcscd, its
// vpcd reader and virtual tokens (fixture `pcsc_stack`). Two tokens, the first refused once: the
// journal, open all along, shows each line as the run writes it.
//
// With ORVANE_SCREENSHOT_DIR set (and a real display: scripts/virtual-desktop), the journal after
// the run is saved there as journal.png, its frame included.

#include "JournalTestKit.h"
#include "VirtualToken.h"
#include "init/InitTestKit.h"
#include "journal/JournalModel.h"
#include "journal/JournalWindow.h"

#include <QLabel>
#include <QListWidget>
#include <QPixmap>
#include <QScreen>

#include <gtest/gtest.h>

#include <functional>
#include <vector>

using namespace initkit;
using journalkit::WaitFor;

namespace {

// The log folder of the test with a clock that runs from 14:03:27 of 07.12.2026.
struct RunningClockLog : TestLogEnvironment {
    QElapsedTimer elapsed;
    RunningClockLog() { elapsed.start(); }
    QDateTime Time() const override { return now.addMSecs(elapsed.elapsed()); }
};

VirtualTokenOptions Token(const std::string& cardId) {
    VirtualTokenOptions options;
    options.apps = "none"; // without applications the token's number is read and logged
    options.cardId = cardId;
    return options;
}

void SaveScreenshot(QWidget& window) {
    const QString folder = qEnvironmentVariable("ORVANE_SCREENSHOT_DIR");
    if (folder.isEmpty())
        return;
    WaitFor([] { return false; }, 700); // the window manager places and frames the window
    const QRect frame = window.frameGeometry();
    QScreen* screen = window.screen();
    QPixmap picture = screen->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    if (picture.isNull() || picture.width() < window.width())
        picture = window.grab();
    EXPECT_TRUE(picture.save(folder + QStringLiteral("/journal.png")));
}

// What the journal showed each time rows came: its rows and the lines in the file then.
struct Arrival {
    int rows;
    qsizetype linesInFile;
    bool duringRun;
    bool operator==(const Arrival&) const = default;
};
void PrintTo(const Arrival& a, std::ostream* os) {
    *os << "{rows " << a.rows << ", lines " << a.linesInFile << (a.duringRun ? ", run" : "") << "}";
}

TEST(JournalThroughPcscd, ShowsEachAttemptOfARunAsItHappens) {
    FakeDialogs dialogs;
    RecordingPause pause;
    RunningClockLog log;
    TestSettings settings;
    ProgressDialog dialog{settings};
    pause.dialog = &dialog;
    pause.sleepDivisor = 50;
    settings.useUnblockKey = true;

    JournalWindow journal;
    journal.ShowJournal();
    ASSERT_EQ(journal.model->rowCount(), 0);
    const QString day = QStringLiteral("Orvane_07.12.2026.log");
    bool running = true;
    std::vector<Arrival> arrivals;
    // The day's first line makes the file: the journal opens it (a reset); later lines come in.
    const auto arrived = [&] {
        if (journal.model->rowCount() > 0)
            arrivals.push_back({journal.model->rowCount(), log.Lines(day).size(), running});
    };
    QObject::connect(journal.model, &QAbstractItemModel::rowsInserted, arrived);
    QObject::connect(journal.model, &QAbstractItemModel::modelReset, arrived);

    VirtualToken tokenA, tokenB;
    ASSERT_TRUE(tokenA.Insert(Token("0102030405060708").Fail("F4/05=6A82"))) << tokenA.Error();
    bool retried = false, aOut = false, bIn = false, escPosted = false;
    dialogs.onMessage = [&](const MessageRequest&) {
        QTimer::singleShot(0, [&] {
            // The run waits for Enter after the failure (its line written after the box): the
            // journal shows the failed attempt while the administrator takes the token out.
            EXPECT_TRUE(WaitFor([&] { return journal.model->rowCount() == 1; }, 3000));
            EXPECT_TRUE(tokenA.Remove()) << tokenA.Error();
            EXPECT_TRUE(tokenA.Insert()) << tokenA.Error(); // the same token, refusing no more
            retried = true;
            PostKey(&dialog, Qt::Key_Return);
        });
    };
    pause.onPause = [&](const RecordingPause::Wait& w) {
        if (w.kind != PauseKind::Blink || !retried)
            return;
        if (Control<QLabel>(dialog, "Label1")->text() == kDoneText && !aOut) {
            aOut = true;
            EXPECT_TRUE(tokenA.Remove()) << tokenA.Error();
        } else if (Control<QLabel>(dialog, "Label1")->text() == kNextText && !bIn) {
            bIn = true;
            EXPECT_TRUE(tokenB.Insert(Token("A1B2C3D4E5F60718"))) << tokenB.Error();
        } else if (Control<QLabel>(dialog, "Label1")->text() == kDoneText && bIn && !escPosted &&
                   journal.model->rowCount() == 3) {
            escPosted = true;
            PostKey(&dialog, Qt::Key_Escape);
        }
    };
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        ADD_FAILURE() << "the run did not end; pressing Esc";
        dialog.PressEscape();
    });
    watchdog.start(30000);
    PostKey(&dialog, Qt::Key_Return);
    dialog.RunInitialization(VirtualToken::ReaderName(0));
    running = false;
    watchdog.stop();
    EXPECT_TRUE(tokenB.Remove()) << tokenB.Error();

    ASSERT_EQ(dialogs.messages.size(), 1u);
    const QStringList lines = log.Lines(day);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(
        lines[0].contains(QStringLiteral(": #0807060504030201 ERROR: ") + dialogs.messages[0].text))
        << lines[0].toStdString();
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral(": #0807060504030201 SUCCESS")));
    EXPECT_TRUE(lines[2].endsWith(QStringLiteral(": #1807F6E5D4C3B2A1 SUCCESS")));
    // One row at a time, each while the run went on and before the next line was written.
    EXPECT_EQ(arrivals, (std::vector<Arrival>{{1, 1, true}, {2, 2, true}, {3, 3, true}}));
    EXPECT_EQ(journal.countsLabel->text(),
              QStringLiteral("Инициализировано: 2    Ошибок: 1    Разных карт: 2"));
    EXPECT_EQ(journal.redoList->count(), 0);
    EXPECT_EQ(journal.redoLabel->text(),
              QStringLiteral("Карты с ошибкой и без успеха за день (инициализировать заново): 0"));
    const JournalModel& m = *journal.model;
    EXPECT_EQ(m.data(m.index(0, JournalModel::ResultColumn)).toString(),
              QStringLiteral("\u2716 Ошибка"));
    EXPECT_EQ(m.data(m.index(0, JournalModel::MessageColumn)).toString(), dialogs.messages[0].text);
    SaveScreenshot(journal);
}

} // namespace
