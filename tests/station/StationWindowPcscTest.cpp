// The station window driven offscreen through the real pcscd (the station's stack of separate
// readers): its rows, colours and counts follow the tokens; a failed row stays red until its
// token is taken out, Enter on it retries at once, and Esc ends the run.

#include "StationTestKit.h"
#include "station/StationWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTableWidget>
#include <QTest>

#include <gtest/gtest.h>

using namespace stationkit;

namespace {

// Serves the window's events until `done` holds (true) or `ms` have passed.
template <typename Done> bool Until(Done done, int ms = 30000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QTest::qWait(20);
    }
    return true;
}

class StationWindowPcsc : public ::testing::Test {
protected:
    StationWindowPcsc() { UseStationStack(); }
    void TearDown() override {
        for (VirtualToken& token : tokens)
            EXPECT_TRUE(token.Remove()) << token.Error();
    }

    LogFolder log;
    Journal journal;
    Settings settings;
    VirtualToken tokens[2];
};

TEST_F(StationWindowPcsc, RowsColoursAndCountsFollowTheTokens) {
    ASSERT_TRUE(tokens[0].Insert(VirtualTokenOptions().Slot(SlotOf(0)))) << tokens[0].Error();
    ASSERT_TRUE(tokens[1].Insert(VirtualTokenOptions().Slot(SlotOf(1)).Fail("F4/05=6A82")))
        << tokens[1].Error();
    QStringList readers;
    for (int r = 0; r < 3; ++r)
        readers << QString::fromStdString(ReaderOf(r));
    StationWindow window(settings, readers);
    bool finished = false;
    QObject::connect(&window, &StationWindow::RunFinished, [&] { finished = true; });
    window.Start();
    ASSERT_EQ(window.Rows()->rowCount(), 3);
    const auto look = [&](int reader) { return window.LookOf(window.RowOf(readers[reader])); };
    const auto text = [&](int reader) {
        return window.Rows()->item(window.RowOf(readers[reader]), 1)->text();
    };
    ASSERT_TRUE(Until([&] {
        return look(0) == StationWindow::Look::Done && look(1) == StationWindow::Look::Failed;
    })) << text(0).toStdString()
        << " / " << text(1).toStdString();
    EXPECT_EQ(look(2), StationWindow::Look::Waiting);
    EXPECT_TRUE(text(0).endsWith(QStringLiteral("Инициализация закончена. Извлеките смарт-карту")))
        << text(0).toStdString();
    EXPECT_TRUE(text(1).contains(QStringLiteral("6A82"))) << text(1).toStdString();
    EXPECT_EQ(text(2), QStringLiteral("Вставьте смарт-карту"));
    const int failedRow = window.RowOf(readers[1]);
    EXPECT_EQ(window.Rows()->item(failedRow, 0)->background().color(),
              StationWindow::ColourOf(StationWindow::Look::Failed));
    EXPECT_EQ(window.Rows()->item(window.RowOf(readers[0]), 1)->background().color(),
              StationWindow::ColourOf(StationWindow::Look::Done));
    EXPECT_EQ(window.Counts()->text(),
              QStringLiteral("Инициализировано: 1      Неудачных попыток: 1"));

    // The failed row stays red while its token is in; Enter on it retries at once.
    QTest::qWait(300);
    EXPECT_EQ(look(1), StationWindow::Look::Failed);
    window.Rows()->setCurrentCell(failedRow, 0);
    QTest::keyClick(&window, Qt::Key_Return);
    ASSERT_TRUE(Until([&] {
        return window.Counts()->text().endsWith(QStringLiteral("Неудачных попыток: 2"));
    })) << window.Counts()->text().toStdString();
    // Taken out: the row waits for the next token.
    ASSERT_TRUE(tokens[1].Remove()) << tokens[1].Error();
    ASSERT_TRUE(Until([&] { return look(1) == StationWindow::Look::Waiting; }));
    EXPECT_EQ(text(1), QStringLiteral("Вставьте следующую смарт-карту"));

    QTest::keyClick(&window, Qt::Key_Escape);
    ASSERT_TRUE(Until([&] { return finished; }));
    EXPECT_TRUE(window.Finished());
    EXPECT_EQ(log.Count(" SUCCESS"), 1);
    EXPECT_EQ(log.Count(" ERROR"), 2);
}

} // namespace
