#pragma once
// Where and how the initialization log is written: one file per day,
// <data folder>/Velmar/Orvane/Orvane_<short date>.log, one line per attempt.
//
// The line itself is made by FormatLogLine (engine/LogLine.h). The writer's clock, its data folder
// and its regional formats come through the environment below, so tests can fix the time, roll
// over midnight and write into a folder of their own.

#include <QDateTime>
#include <QLocale>
#include <QString>

#include <string>

class IInitLogEnvironment {
public:
    virtual ~IInitLogEnvironment() = default;
    virtual QDateTime Now() const = 0;
    // The user's local data folder ($XDG_DATA_HOME, else ~/.local/share); empty when unknown.
    virtual QString DataFolder() const = 0;
    // The regional settings that give the short date of the file name and the long time.
    virtual QLocale Locale() const = 0;
};

// The environment in force: the system's unless a test installed another.
IInitLogEnvironment& InitLogEnvironment();
// Installs `environment`; nullptr restores the system's.
void SetInitLogEnvironment(IInitLogEnvironment* environment);

// The folder of the day's logs: <data folder>/Velmar/Orvane of the environment in force; empty when
// the data folder is unknown.
QString InitLogFolder();
// The file name of a day's log: "Orvane_" + the short date (any '/' or '\' made '-') + ".log".
QString InitLogFileName(const QDate& date, const QLocale& locale);
// The locale's long time format without its time-zone name ("HH:mm:ss t" -> "HH:mm:ss").
QString InitLogTimeFormat(const QLocale& locale);

// Appends one line to the day's initialization log: a success line when `failureText` is empty,
// else an error line carrying it. Every input/output failure is silent.
void WriteInitLog(const std::string& cardId, const QString& failureText = QString());
