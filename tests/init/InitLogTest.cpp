// The initialization log: the day's file under the user's data folder, one CR LF line per
// attempt, appended; a new file after midnight; silence when it cannot be written.

#include "InitTestKit.h"

#include <QFileInfo>
#include <gtest/gtest.h>

using namespace initkit;

namespace {

TEST(InitLogNames, FollowTheRegionalSettings) {
    const struct {
        const char* locale;
        const char* fileName;
        const char* time; // 14:03:27
    } cases[] = {
        {"ru_RU.UTF-8", "Orvane_07.12.2026.log", "14:03:27"},
        // Slashes in the short date would point into folders that do not exist.
        {"en_US.UTF-8", "Orvane_12-7-26.log", "2:03:27 PM"},
        {"de_DE.UTF-8", "Orvane_07.12.26.log", "14:03:27"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.locale);
        EXPECT_EQ(InitLogFileName(2026, 12, 7, c.locale), c.fileName);
        EXPECT_EQ(InitLogTime(14, 3, 27, c.locale), c.time);
    }
}

TEST(InitLog, LinesAreAppendedToTheDaysFile) {
    TestLogEnvironment env;
    WriteInitLog("0123456789ABCDEF");
    env.now = env.now.addSecs(5);
    WriteInitLog("", "Ошибка инициализации смарт-карты. Установка ПИН-кода. Card Error 6982");
    env.now = env.now.addSecs(5);
    WriteInitLog("");

    EXPECT_EQ(env.Contents(),
              QStringLiteral("14:03:27: #0123456789ABCDEF SUCCESS\r\n"
                             "14:03:32: # ERROR: Ошибка инициализации смарт-карты. Установка "
                             "ПИН-кода. Card Error 6982\r\n"
                             "14:03:37: # SUCCESS\r\n")
                  .toUtf8());
}

TEST(InitLog, LaterRunsAppendToAnExistingFile) {
    TestLogEnvironment env;
    QDir().mkpath(env.PathOf(QString()));
    {
        QFile file(env.PathOf(QStringLiteral("Orvane_07.12.2026.log")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("09:00:00: #AAAAAAAAAAAAAAAA SUCCESS\r\n");
    }
    WriteInitLog("BBBBBBBBBBBBBBBB");
    EXPECT_EQ(env.Lines(), (QStringList{"09:00:00: #AAAAAAAAAAAAAAAA SUCCESS",
                                        "14:03:27: #BBBBBBBBBBBBBBBB SUCCESS"}));
}

TEST(InitLog, AfterMidnightTheLineGoesToTheNewDaysFile) {
    TestLogEnvironment env;
    env.now = QDateTime(QDate(2026, 12, 7), QTime(23, 59, 59));
    WriteInitLog("1");
    env.now = QDateTime(QDate(2026, 12, 8), QTime(0, 0, 1));
    WriteInitLog("2");
    EXPECT_EQ(env.Lines(QStringLiteral("Orvane_07.12.2026.log")),
              QStringList{"23:59:59: #1 SUCCESS"});
    EXPECT_EQ(env.Lines(QStringLiteral("Orvane_08.12.2026.log")),
              QStringList{"00:00:01: #2 SUCCESS"});
}

TEST(InitLog, AFolderThatCannotBeMadeLosesTheLineSilently) {
    TestLogEnvironment env;
    // A plain file where a folder should be: even root cannot create anything below it.
    const QString blocker = env.folder + QStringLiteral("/plain-file");
    {
        QFile file(blocker);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    env.folder = blocker + QStringLiteral("/data");
    WriteInitLog("1");
    EXPECT_FALSE(QFileInfo::exists(env.folder));
    EXPECT_EQ(QFileInfo(blocker).size(), 0);

    // A folder where the day's file should be: the file cannot be opened.
    TestLogEnvironment env2;
    ASSERT_TRUE(QDir().mkpath(env2.PathOf(QStringLiteral("Orvane_07.12.2026.log"))));
    WriteInitLog("2");
    EXPECT_TRUE(QFileInfo(env2.PathOf(QStringLiteral("Orvane_07.12.2026.log"))).isDir());
}

TEST(InitLog, NoDataFolderWritesNothing) {
    TestLogEnvironment env;
    env.folder.clear();
    WriteInitLog("1"); // must neither crash nor write into the working folder
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("Velmar")));
}

} // namespace
