// The journal window offscreen over a log folder of the test's own, written by the real log
// writer: the day's counts and the tokens to redo, the filter, another day, lines appended while
// the window is open, the CSV file, the folder button, and the menu item of the main window.

#include "journal/JournalWindow.h"
#include "JournalTestKit.h"
#include "init/InitTestKit.h"
#include "journal/FolderOpener.h"
#include "journal/JournalCsv.h"
#include "journal/JournalModel.h"
#include "shell/MainWindow.h"
#include "support/FailingLogReads.h"

#include <QAction>
#include <QDateEdit>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTableView>

#include <gtest/gtest.h>

#include <functional>

using initkit::TestLogEnvironment;
using journalkit::WaitFor;

namespace {

const QString kFailure = QStringLiteral(
    "Ошибка инициализации смарт-карты. Установка группы дублирования. Card Error 6A82");

struct RecordingOpener : IFolderOpener {
    QStringList opened;
    bool answer = true;
    RecordingOpener() { SetFolderOpener(this); }
    ~RecordingOpener() override { SetFolderOpener(nullptr); }
    bool OpenFolder(const QString& path) override {
        opened << path;
        return answer;
    }
};

class JournalWindowTest : public ::testing::Test {
protected:
    // One attempt's line at `time` of the environment's day (07.12.2026).
    void Log(const char* time, const std::string& card, const QString& failure = QString()) {
        log.now.setTime(QTime::fromString(QString::fromLatin1(time), QStringLiteral("HH:mm:ss")));
        WriteInitLog(card, failure.toStdString());
    }
    void AppendRaw(const QByteArray& bytes) {
        QFile file(log.PathOf(QStringLiteral("Orvane_07.12.2026.log")));
        ASSERT_TRUE(file.open(QIODevice::Append));
        file.write(bytes);
    }
    // The text of every cell of the table, row by row, "|" between the columns.
    QStringList Rows() const {
        QStringList rows;
        const JournalModel& m = window.Model();
        for (int r = 0; r < m.rowCount(); ++r) {
            QStringList cells;
            for (int c = 0; c < m.columnCount(); ++c)
                cells << m.data(m.index(r, c)).toString();
            rows << cells.join(QLatin1Char('|'));
        }
        return rows;
    }
    QStringList RedoItems() const {
        QStringList items;
        for (int i = 0; i < Control<QListWidget>(window, "redoList")->count(); ++i)
            items << Control<QListWidget>(window, "redoList")->item(i)->text();
        return items;
    }
    void WriteTheDay() {
        Log("09:00:00", "0807060504030201", kFailure);
        Log("09:00:30", "0807060504030201");
        Log("09:01:00", "1807F6E5D4C3B2A1", QStringLiteral("Смарт-карта не отвечает. "));
        Log("09:02:00", "");
        Log("09:03:00", "2222333344445555", QStringLiteral("Первая"));
        Log("09:04:00", "2222333344445555", QStringLiteral("Вторая: с двоеточием"));
        AppendRaw("Чужая строка\r\n");
    }

    FakeDialogs dialogs;
    TestLogEnvironment log;
    RecordingOpener opener;
    JournalWindow window;
};

TEST_F(JournalWindowTest, ShowsTheDaysRowsCountsAndTokensToRedo) {
    WriteTheDay();
    window.ShowJournal();
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Журнал инициализации"));
    EXPECT_FALSE(window.isModal());
    EXPECT_EQ(Control<QDateEdit>(window, "dateEdit")->date(), QDate(2026, 12, 7));
    EXPECT_EQ(Control<QStackedWidget>(window, "pages")->currentWidget(),
              Control<QTableView>(window, "table"));
    EXPECT_EQ(Rows(), (QStringList{
                          "09:00:00|0807060504030201|\u2716 Ошибка|" + kFailure,
                          "09:00:30|0807060504030201|\u2714 Успешно|",
                          "09:01:00|1807F6E5D4C3B2A1|\u2716 Ошибка|Смарт-карта не отвечает. ",
                          "09:02:00||\u2714 Успешно|",
                          "09:03:00|2222333344445555|\u2716 Ошибка|Первая",
                          "09:04:00|2222333344445555|\u2716 Ошибка|Вторая: с двоеточием",
                          "||? Не распознано|Чужая строка",
                      }));
    const JournalModel& m = window.Model();
    EXPECT_EQ(
        m.data(m.index(1, JournalModel::ResultColumn), Qt::ForegroundRole).value<QBrush>().color(),
        QColor(0x1A, 0x7F, 0x37));
    EXPECT_EQ(
        m.data(m.index(0, JournalModel::ResultColumn), Qt::ForegroundRole).value<QBrush>().color(),
        QColor(0xC0, 0x00, 0x00));
    EXPECT_EQ(Control<QLabel>(window, "countsLabel")->text(),
              QStringLiteral("Инициализировано: 2    Ошибок: 4    Разных карт: 3    Без номера: 1"
                             "    Нераспознанных строк: 1"));
    EXPECT_EQ(Control<QLabel>(window, "redoLabel")->text(),
              QStringLiteral("Карты с ошибкой и без успеха за день (инициализировать заново): 2"));
    EXPECT_EQ(RedoItems(),
              (QStringList{QStringLiteral("1807F6E5D4C3B2A1 — Смарт-карта не отвечает. "),
                           QStringLiteral("2222333344445555 — Вторая: с двоеточием")}));
}

TEST_F(JournalWindowTest, FiltersOnCardNumberOrMessageButCountsTheWholeDay) {
    WriteTheDay();
    window.ShowJournal();
    const QString counts = Control<QLabel>(window, "countsLabel")->text();
    struct Case {
        QString filter;
        int rows;
    };
    for (const Case& c :
         {Case{QStringLiteral("card error"), 1}, Case{QStringLiteral("f6e5"), 1},
          Case{QStringLiteral("0807060504030201"), 2}, Case{QStringLiteral("ВТОРАЯ"), 1},
          Case{QStringLiteral("09:0"), 0}, Case{QStringLiteral("чужая"), 1}, Case{QString(), 7}}) {
        Control<QLineEdit>(window, "filterEdit")->setText(c.filter);
        EXPECT_TRUE(WaitFor([&] { return window.Model().rowCount() == c.rows; }))
            << c.filter.toStdString() << ": " << window.Model().rowCount();
        EXPECT_EQ(Control<QLabel>(window, "countsLabel")->text(), counts);
    }
    Control<QLineEdit>(window, "filterEdit")->setText(QStringLiteral("2222"));
    ASSERT_TRUE(WaitFor([&] { return window.Model().rowCount() == 2; }));
    Log("09:05:00", "2222333344445555");
    Log("09:06:00", "0807060504030201");
    EXPECT_TRUE(WaitFor([&] { return window.Model().rowCount() == 3; }))
        << "a new line that the filter finds is shown, one it does not find is not";
    EXPECT_TRUE(WaitFor([&] { return window.Model().Reader().LineCount() == 9; }));
    EXPECT_EQ(window.Model().rowCount(), 3);
    EXPECT_TRUE(RedoItems().size() == 1 && RedoItems()[0].startsWith("1807"));
}

TEST_F(JournalWindowTest, OpensAnotherDayAndSaysWhenADayHasNoLog) {
    WriteTheDay();
    log.now = QDateTime(QDate(2026, 12, 6), QTime(17, 0, 0));
    WriteInitLog("9999");
    log.now = QDateTime(QDate(2026, 12, 7), QTime(10, 0, 0));
    window.ShowJournal();
    ASSERT_EQ(window.Model().rowCount(), 7);

    Control<QDateEdit>(window, "dateEdit")->setDate(QDate(2026, 12, 6));
    EXPECT_EQ(window.Day(), QDate(2026, 12, 6));
    EXPECT_EQ(Rows(), QStringList{"17:00:00|9999|\u2714 Успешно|"});
    EXPECT_EQ(Control<QLabel>(window, "countsLabel")->text(),
              QStringLiteral("Инициализировано: 1    Ошибок: 0    Разных карт: 1"));
    EXPECT_TRUE(Control<QPushButton>(window, "btnSaveCsv")->isEnabled());

    Control<QDateEdit>(window, "dateEdit")->setDate(QDate(2026, 12, 5));
    EXPECT_EQ(Control<QStackedWidget>(window, "pages")->currentWidget(),
              Control<QLabel>(window, "noLogLabel"));
    EXPECT_EQ(Control<QLabel>(window, "noLogLabel")->text(),
              QStringLiteral("За 05.12.2026 журнала нет."));
    EXPECT_EQ(window.Model().rowCount(), 0);
    EXPECT_EQ(Control<QLabel>(window, "countsLabel")->text(),
              QStringLiteral("Инициализировано: 0    Ошибок: 0    Разных карт: 0"));
    EXPECT_EQ(Control<QListWidget>(window, "redoList")->count(), 0);
    EXPECT_FALSE(Control<QPushButton>(window, "btnSaveCsv")->isEnabled());

    Control<QDateEdit>(window, "dateEdit")->setDate(QDate(2026, 12, 7));
    EXPECT_EQ(window.Model().rowCount(), 7);
    EXPECT_EQ(Control<QStackedWidget>(window, "pages")->currentWidget(),
              Control<QTableView>(window, "table"));
}

TEST_F(JournalWindowTest, LinesWrittenWhileOpenAppearAtOnceAndStayInView) {
    // The first line of the day makes the folders and the file while the window is open.
    window.ShowJournal();
    window.resize(700, 300);
    EXPECT_EQ(Control<QStackedWidget>(window, "pages")->currentWidget(),
              Control<QLabel>(window, "noLogLabel"));
    Log("08:00:00", "AA", QStringLiteral("x"));
    // Well before the window's own look at the clock: the file watcher tells it.
    ASSERT_TRUE(
        WaitFor([&] { return window.Model().rowCount() == 1; }, JournalWindow::kPollMs / 2));
    EXPECT_EQ(Control<QStackedWidget>(window, "pages")->currentWidget(),
              Control<QTableView>(window, "table"));
    for (int i = 0; i < 40; ++i) {
        Log("08:01:00", "BB");
        ASSERT_TRUE(
            WaitFor([&] { return window.Model().rowCount() == i + 2; }, JournalWindow::kPollMs / 2))
            << i;
    }
    EXPECT_EQ(Control<QLabel>(window, "countsLabel")->text(),
              QStringLiteral("Инициализировано: 40    Ошибок: 1    Разных карт: 2"));
    EXPECT_EQ(RedoItems(), QStringList{QStringLiteral("AA — x")});
    const QScrollBar* bar = Control<QTableView>(window, "table")->verticalScrollBar();
    EXPECT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum()) << "the newest line stays in view";

    // A line still being written shows as it stands and is read again when complete.
    AppendRaw("08:02:00: #CC ERR");
    ASSERT_TRUE(WaitFor([&] { return window.Model().rowCount() == 42; }));
    AppendRaw("OR: y\r\n");
    EXPECT_TRUE(WaitFor([&] {
        return window.Model().data(window.Model().index(41, JournalModel::MessageColumn)) == "y";
    }));
    EXPECT_EQ(window.Model().rowCount(), 42);
}

TEST_F(JournalWindowTest, FollowsTodayPastMidnight) {
    log.now = QDateTime(QDate(2026, 12, 7), QTime(23, 59, 59));
    WriteInitLog("AA");
    window.ShowJournal();
    ASSERT_EQ(window.Model().rowCount(), 1);
    log.now = QDateTime(QDate(2026, 12, 8), QTime(0, 0, 2));
    WriteInitLog("BB");
    ASSERT_TRUE(
        WaitFor([&] { return window.Day() == QDate(2026, 12, 8); }, JournalWindow::kPollMs * 2));
    EXPECT_EQ(Rows(), QStringList{"00:00:02|BB|\u2714 Успешно|"});
    EXPECT_EQ(Control<QDateEdit>(window, "dateEdit")->date(), QDate(2026, 12, 8));
}

TEST_F(JournalWindowTest, SavesTheShownRowsAsCsvForARussianSpreadsheet) {
    Log("10:00:00", "0102030405060708");
    Log("10:00:01", "", QStringLiteral("Шаг; \"кавычки\""));
    AppendRaw("=HYPERLINK(\"http://x\")\r\n");
    window.ShowJournal();
    const QString target = log.dir.filePath(QStringLiteral("день"));
    dialogs.saveNames = {target};
    window.SaveCsv();
    ASSERT_EQ(dialogs.filters, std::vector<QString>{QStringLiteral("CSV (*.csv)")});
    QFile file(target + QStringLiteral(".csv"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(),
              QByteArray("\xEF\xBB\xBF") +
                  QStringLiteral("Время;Номер карты;Результат;Сообщение\r\n"
                                 "10:00:00;#0102030405060708;Успешно;\r\n"
                                 "10:00:01;;Ошибка;\"Шаг; \"\"кавычки\"\"\"\r\n"
                                 ";;Не распознано;\"'=HYPERLINK(\"\"http://x\"\")\"\r\n")
                      .toUtf8());
    file.close();
    EXPECT_TRUE(dialogs.messages.empty());

    // Only the shown rows; an existing file is replaced only when the answer is yes.
    Control<QLineEdit>(window, "filterEdit")->setText(QStringLiteral("0102"));
    ASSERT_TRUE(WaitFor([&] { return window.Model().rowCount() == 1; }));
    const QByteArray filtered =
        QByteArray("\xEF\xBB\xBF") + QStringLiteral("Время;Номер карты;Результат;Сообщение\r\n"
                                                    "10:00:00;#0102030405060708;Успешно;\r\n")
                                         .toUtf8();
    for (int answer : {mbNo, mbYes}) {
        dialogs.saveNames = {target + QStringLiteral(".csv")};
        dialogs.answers = {answer};
        window.SaveCsv();
        ASSERT_FALSE(dialogs.messages.empty());
        EXPECT_EQ(dialogs.messages.back().buttons, mbYes | mbNo);
        EXPECT_TRUE(dialogs.LastText().contains(QStringLiteral("уже существует")));
        QFile again(target + QStringLiteral(".csv"));
        ASSERT_TRUE(again.open(QIODevice::ReadOnly));
        EXPECT_EQ(again.readAll() == filtered, answer == mbYes);
    }

    // A folder that cannot be written: the box says so and nothing is left behind.
    dialogs.messages.clear();
    dialogs.saveNames = {QStringLiteral("/nonexistent-folder/day.csv")};
    window.SaveCsv();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].type, MsgType::Error);
    EXPECT_TRUE(dialogs.LastText().startsWith(QStringLiteral("Не удалось сохранить файл")));
}

// A log the disk does not give back to its end: the window says so under the counts, saves no
// CSV file of part of the day, and says no more once a refresh reads on to the end.
TEST_F(JournalWindowTest, SaysWhenTheLogCannotBeReadToItsEndAndSavesNoCsvThen) {
    WriteTheDay();
    const QString path = log.PathOf(QStringLiteral("Orvane_07.12.2026.log"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray firstHalf = file.read(file.size() / 2);
    FailingLogReads disk(static_cast<std::uint64_t>(firstHalf.size()));
    window.ShowJournal();
    const QLabel* problem = Control<QLabel>(window, "readProblemLabel");
    const QString problemText =
        QStringLiteral("Журнал инициализации прочитан не полностью (%1): ошибка ввода-вывода "
                       "(код 5). Строки после ошибки не учтены.")
            .arg(path);
    EXPECT_TRUE(problem->isVisible());
    EXPECT_EQ(problem->text(), problemText);
    EXPECT_EQ(window.Model().rowCount(), firstHalf.count('\r')); // the lines ended before it

    const QString target = log.dir.filePath(QStringLiteral("день.csv"));
    dialogs.saveNames = {target};
    window.SaveCsv();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0].type, MsgType::Error);
    EXPECT_EQ(dialogs.LastText(),
              QStringLiteral("Не удалось сохранить файл %1.\n").arg(target) + problemText);
    EXPECT_FALSE(QFileInfo::exists(target));

    disk.Heal();
    Log("09:05:00", "3333444455556666");
    ASSERT_TRUE(WaitFor([&] { return window.Model().rowCount() == 8; }));
    EXPECT_FALSE(problem->isVisible());
}

TEST_F(JournalWindowTest, OpensTheLogFolderOnlyWhenItExists) {
    window.ShowJournal();
    window.OpenFolder();
    EXPECT_TRUE(opener.opened.isEmpty());
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_TRUE(dialogs.LastText().startsWith(QStringLiteral("Папки журнала ещё нет")));

    Log("10:00:00", "AA");
    Control<QPushButton>(window, "btnOpenFolder")->click();
    EXPECT_EQ(opener.opened, QStringList{log.folder + QStringLiteral("/Velmar/Orvane")});
    EXPECT_EQ(dialogs.messages.size(), 1u);

    opener.answer = false;
    window.OpenFolder();
    ASSERT_EQ(dialogs.messages.size(), 2u);
    EXPECT_EQ(dialogs.messages[1].type, MsgType::Error);
}

TEST_F(JournalWindowTest, MainWindowMenuOpensOneJournalThatKeepsItsSizeAndColumns) {
    FakePcsc pcsc;
    MainWindow main;
    const QList<QAction*> file = main.menuBar()->actions().front()->menu()->actions();
    ASSERT_GE(file.size(), 2);
    EXPECT_EQ(file.front()->text(), QStringLiteral("Журнал инициализации..."));
    EXPECT_EQ(file.front()->shortcut(), QKeySequence(QStringLiteral("Ctrl+J")));
    EXPECT_EQ(file.back()->text(), QStringLiteral("Выход"));

    Log("10:00:00", "AA");
    file.front()->trigger();
    JournalWindow* journal = main.Journal();
    ASSERT_NE(journal, nullptr);
    EXPECT_TRUE(journal->isVisible());
    EXPECT_EQ(journal->Model().rowCount(), 1);
    journal->resize(640, 420);
    Control<QTableView>(journal, "table")
        ->horizontalHeader()
        ->resizeSection(JournalModel::CardColumn, 210);
    Control<QLineEdit>(journal, "filterEdit")->setText(QStringLiteral("nothing"));
    Control<QDateEdit>(journal, "dateEdit")->setDate(QDate(2026, 12, 1));
    journal->close();
    EXPECT_FALSE(journal->Model().IsOpen()) << "a closed journal lets go of the file";

    main.ShowJournal();
    EXPECT_EQ(main.Journal(), journal);
    EXPECT_EQ(journal->size(), QSize(640, 420));
    EXPECT_EQ(Control<QTableView>(journal, "table")
                  ->horizontalHeader()
                  ->sectionSize(JournalModel::CardColumn),
              210);
    EXPECT_EQ(journal->Day(), QDate(2026, 12, 7)) << "opens on today";
    EXPECT_TRUE(Control<QLineEdit>(journal, "filterEdit")->text().isEmpty());
    EXPECT_EQ(journal->Model().rowCount(), 1);
}

} // namespace
