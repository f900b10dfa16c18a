#pragma once
// Where and how the initialization log is written: one file per day,
// <data folder>/Velmar/Orvane/Orvane_<short date>.log, one line per attempt. Plain C++ over POSIX,
// shared by the window and orvane-cli so both write the same file names and lines.
//
// The line itself is made by FormatLogLine (engine/LogLine.h); the short date and the long time
// (without its time-zone name) follow the regional settings of the time (engine/RegionalFormats.h).
// The writer's clock, its data folder and its regional settings come through the environment
// below, so tests can fix the time, roll over midnight and write into a folder of their own.

#include "engine/RegionalFormats.h"

#include <string>
#include <string_view>

class IInitLogEnvironment {
public:
    virtual ~IInitLogEnvironment() = default;
    // The local date and time.
    virtual DateTimeFields Now() const = 0;
    // The user's local data folder ($XDG_DATA_HOME, else ~/.local/share); empty when unknown.
    virtual std::string DataFolder() const = 0;
    // The locale name of the regional time settings ("ru_RU.UTF-8"; see TimeLocaleName).
    virtual std::string TimeLocale() const = 0;
};

// The environment in force: the system's unless a test installed another.
IInitLogEnvironment& InitLogEnvironment();
// The system's environment, for a double that replaces only part of it.
IInitLogEnvironment& SystemInitLogEnvironment();
// Installs `environment`; nullptr restores the system's.
void SetInitLogEnvironment(IInitLogEnvironment* environment);

// The data folder from the environment's values (null when unset): XDG_DATA_HOME as given when it
// is not empty (relative or not), else the cleaned HOME ("/" when empty) + "/.local/share".
std::string DataFolderOf(const char* xdgDataHome, const char* home);
// The locale that sets the time formats: LC_ALL, else LC_TIME, else LANG, else "C" (null or
// empty means unset).
std::string TimeLocaleName(const char* lcAll, const char* lcTime, const char* lang);

// The folder of the day's logs: <data folder>/Velmar/Orvane of the environment in force; empty when
// the data folder is unknown.
std::string InitLogFolder();
// The file name of a day's log: "Orvane_" + the short date (any '/' or '\' made '-') + ".log".
std::string InitLogFileName(int year, int month, int day, std::string_view localeName);
// The time of a log line: the locale's long time without its time-zone name ("14:03:27").
std::string InitLogTime(int hour, int minute, int second, std::string_view localeName);

// What became of one line of the day's log.
struct LogWriteResult {
    bool written = false;
    // The day's file, or the folder that could not be made; empty when the data folder is unknown.
    std::string path;
    // Why the line was not written (Russian, naming the file or folder); empty when written.
    std::string problem;
};

// Appends one line to the day's initialization log: a success line when `failureText` (UTF-8) is
// empty, else an error line carrying it. The line is written whole or the result says why not
// (a full disk, a file where the folder should be, a file that may not be written, ...).
LogWriteResult WriteInitLog(const std::string& cardId,
                            const std::string& failureText = std::string());
// The Russian reason for an input/output error number ("на диске нет места").
std::string LogProblemReason(int error);
