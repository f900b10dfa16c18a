// The initialization log: the day's file under the user's data folder, one CR LF line per
// attempt, appended; a new file after midnight; the file and the reason when it cannot be written.

#include "InitTestKit.h"

#include <QFileInfo>
#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <unistd.h>

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

// A line that cannot be written is reported with the file (or folder) and the reason, and leaves
// nothing behind: no half line, nothing written below a file standing in for a folder.
TEST(InitLog, ALineThatCannotBeWrittenSaysWhereAndWhy) {
    const QString dayFile = QStringLiteral("Orvane_07.12.2026.log");
    const struct {
        const char* name;
        // Spoils the log's place; answers the path the report must name.
        std::function<QString(TestLogEnvironment&)> spoil;
        const char* reason;
        bool needsUnprivileged;
    } cases[] = {
        {"the data folder is a file",
         [](TestLogEnvironment& env) {
             const QString blocker = env.folder + QStringLiteral("/plain-file");
             QFile file(blocker);
             EXPECT_TRUE(file.open(QIODevice::WriteOnly));
             env.folder = blocker + QStringLiteral("/data");
             return blocker + QStringLiteral("/data");
         },
         "на месте папки лежит файл", false},
        {"the log folder is a file",
         [](TestLogEnvironment& env) {
             QDir().mkpath(env.folder + QStringLiteral("/Velmar"));
             QFile file(env.folder + QStringLiteral("/Velmar/Orvane"));
             EXPECT_TRUE(file.open(QIODevice::WriteOnly));
             return env.folder + QStringLiteral("/Velmar/Orvane");
         },
         "на месте папки лежит файл", false},
        {"a folder where the day's file should be",
         [&dayFile](TestLogEnvironment& env) {
             EXPECT_TRUE(QDir().mkpath(env.PathOf(dayFile)));
             return env.PathOf(dayFile);
         },
         "на месте файла лежит папка", false},
        // Every write to /dev/full fails as on a full file system.
        {"a full disk",
         [&dayFile](TestLogEnvironment& env) {
             QDir().mkpath(env.PathOf(QString()));
             EXPECT_TRUE(QFile::link(QStringLiteral("/dev/full"), env.PathOf(dayFile)));
             return env.PathOf(dayFile);
         },
         "на диске нет места", false},
        {"a read-only log file",
         [&dayFile](TestLogEnvironment& env) {
             QDir().mkpath(env.PathOf(QString()));
             QFile file(env.PathOf(dayFile));
             EXPECT_TRUE(file.open(QIODevice::WriteOnly));
             file.write("09:00:00: #AA SUCCESS\r\n");
             file.setPermissions(QFileDevice::ReadOwner | QFileDevice::ReadGroup);
             return env.PathOf(dayFile);
         },
         "нет прав на запись", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsUnprivileged && geteuid() == 0) {
            // Root writes past a file's permissions; the case holds for every administrator.
            std::cerr << "[ root ] not checked: " << c.name << '\n';
            continue;
        }
        TestLogEnvironment env;
        const QString path = c.spoil(env);
        // A regular day's file keeps what it had (/dev/full reads as endless zeros).
        const QFileInfo dayInfo(env.PathOf(dayFile));
        const bool regular = dayInfo.isFile() && !dayInfo.isSymLink();
        const QByteArray before = regular ? env.Contents(dayFile) : QByteArray();
        const LogWriteResult result = WriteInitLog("0123456789ABCDEF");
        EXPECT_FALSE(result.written);
        EXPECT_EQ(QString::fromStdString(result.path), path);
        EXPECT_EQ(result.problem, "Строка журнала инициализации не записана: " +
                                      path.toStdString() + " — " + c.reason);
        if (regular) {
            EXPECT_EQ(env.Contents(dayFile), before);
        }
    }
}

TEST(InitLog, AWrittenLineNamesItsFile) {
    TestLogEnvironment env;
    const LogWriteResult result = WriteInitLog("1");
    EXPECT_TRUE(result.written);
    EXPECT_EQ(result.problem, "");
    EXPECT_EQ(QString::fromStdString(result.path),
              env.PathOf(QStringLiteral("Orvane_07.12.2026.log")));
}

TEST(InitLog, NoDataFolderWritesNothing) {
    TestLogEnvironment env;
    env.folder.clear();
    // Must neither crash nor write into the working folder.
    EXPECT_FALSE(WriteInitLog("1").written);
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("Velmar")));
}

} // namespace
