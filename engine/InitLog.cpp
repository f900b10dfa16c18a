#include "InitLog.h"

#include "common/Seam.h"

#include "engine/LogLine.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

class SystemEnvironment final : public IInitLogEnvironment {
public:
    DateTimeFields Now() const override {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        DateTimeFields fields;
        if (!localtime_r(&now, &local))
            return fields;
        fields.year = local.tm_year + 1900;
        fields.month = local.tm_mon + 1;
        fields.day = local.tm_mday;
        fields.hour = local.tm_hour;
        fields.minute = local.tm_min;
        fields.second = local.tm_sec;
        return fields;
    }
    std::string DataFolder() const override {
        return DataFolderOf(std::getenv("XDG_DATA_HOME"), std::getenv("HOME"));
    }
    std::string TimeLocale() const override {
        return TimeLocaleName(std::getenv("LC_ALL"), std::getenv("LC_TIME"), std::getenv("LANG"));
    }
};

constexpr auto EnvironmentSeam = SeamOf<IInitLogEnvironment, SystemEnvironment>;

bool IsSet(const char* value) {
    return value && *value;
}

// The path without empty and "." parts, ".." resolved where it can be, no '/' at the end: the home
// folder cleaned as Qt cleaned it before ".local/share" was added to it.
std::string CleanPath(std::string_view path) {
    const bool absolute = !path.empty() && path.front() == '/';
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        const std::string_view part = path.substr(start, end - start);
        if (part == "..") {
            // A ".." above the start stays, even above the root.
            if (!parts.empty() && parts.back() != "..")
                parts.pop_back();
            else
                parts.push_back(part);
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string result = absolute ? "/" : "";
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0)
            result += '/';
        result += parts[i];
    }
    return result.empty() ? "." : result;
}

// Makes `folder` and the folders above it. When it does not exist afterwards: the folder on the
// way that failed, and the error number (ENOTDIR where a file stands in its place).
bool MakeFolders(const std::string& folder, std::string& failedAt, int& error) {
    const auto make = [&](const std::string& path) {
        if (mkdir(path.c_str(), 0777) == 0 || errno == EEXIST)
            return true;
        failedAt = path;
        error = errno;
        return false;
    };
    for (std::size_t slash = folder.find('/', 1); slash != std::string::npos;
         slash = folder.find('/', slash + 1))
        if (!make(folder.substr(0, slash)))
            return false;
    if (!make(folder))
        return false;
    struct stat info {};
    if (stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        return true;
    failedAt = folder;
    error = ENOTDIR;
    return false;
}

LogWriteResult Lost(const std::string& path, const std::string& reason) {
    LogWriteResult result;
    result.path = path;
    result.problem = "Строка журнала инициализации не записана: " + path + " — " + reason;
    return result;
}

} // namespace

IInitLogEnvironment& InitLogEnvironment() {
    return EnvironmentSeam().Get();
}

IInitLogEnvironment& SystemInitLogEnvironment() {
    return EnvironmentSeam().Real();
}

void SetInitLogEnvironment(IInitLogEnvironment* environment) {
    EnvironmentSeam().Set(environment);
}

std::string DataFolderOf(const char* xdgDataHome, const char* home) {
    if (IsSet(xdgDataHome))
        return xdgDataHome;
    const std::string homeFolder = IsSet(home) ? CleanPath(home) : "/";
    return homeFolder + "/.local/share";
}

std::string TimeLocaleName(const char* lcAll, const char* lcTime, const char* lang) {
    for (const char* value : {lcAll, lcTime, lang})
        if (IsSet(value))
            return value;
    return "C";
}

std::string InitLogFolder() {
    const std::string base = InitLogEnvironment().DataFolder();
    return base.empty() ? std::string() : base + "/Velmar/Orvane";
}

std::string InitLogFileName(int year, int month, int day, std::string_view localeName) {
    const RegionalFormats& formats = FormatsOfLocale(localeName);
    DateTimeFields fields;
    fields.year = year;
    fields.month = month;
    fields.day = day;
    std::string text = FormatDateTime(formats.shortDate, fields, formats);
    // A date written with path separators would point into folders that do not exist.
    for (char& c : text)
        if (c == '/' || c == '\\')
            c = '-';
    return "Orvane_" + text + ".log";
}

std::string InitLogTime(int hour, int minute, int second, std::string_view localeName) {
    const RegionalFormats& formats = FormatsOfLocale(localeName);
    DateTimeFields fields;
    fields.hour = hour;
    fields.minute = minute;
    fields.second = second;
    return FormatDateTime(WithoutTimeZone(formats.longTime), fields, formats);
}

std::string LogProblemReason(int error) {
    switch (error) {
    case ENOSPC:
    case EDQUOT:
        return "на диске нет места";
    case EROFS:
        return "файловая система только для чтения";
    case EACCES:
    case EPERM:
        return "нет прав на запись";
    case ENOTDIR:
        return "на месте папки лежит файл";
    case EISDIR:
        return "на месте файла лежит папка";
    case ENOENT:
        return "папка не найдена";
    default:
        return "ошибка ввода-вывода (код " + std::to_string(error) + ")";
    }
}

LogWriteResult WriteInitLog(const std::string& cardId, const std::string& failureText) {
    const IInitLogEnvironment& environment = InitLogEnvironment();
    const std::string folder = InitLogFolder();
    if (folder.empty()) {
        LogWriteResult result;
        result.problem = "Строка журнала инициализации не записана: папка данных неизвестна "
                         "(не заданы XDG_DATA_HOME и HOME)";
        return result;
    }
    const DateTimeFields now = environment.Now();
    const std::string locale = environment.TimeLocale();
    std::string failedAt;
    int error = 0;
    if (!MakeFolders(folder, failedAt, error))
        return Lost(failedAt, LogProblemReason(error));
    const std::string path = folder + '/' + InitLogFileName(now.year, now.month, now.day, locale);
    const int file = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (file < 0)
        return Lost(path, LogProblemReason(errno));
    const std::string line =
        FormatLogLine(InitLogTime(now.hour, now.minute, now.second, locale), cardId, failureText) +
        "\r\n";
    // One write of the whole line, so that two programs appending at once never mix their lines.
    const ssize_t written = write(file, line.data(), line.size());
    const int writeError = errno;
    // A full disk may show only when the data leaves for it, at close.
    const bool closed = close(file) == 0;
    const int closeError = errno;
    if (written < 0)
        return Lost(path, LogProblemReason(writeError));
    if (static_cast<std::size_t>(written) != line.size())
        return Lost(path, "записана только часть строки");
    if (!closed)
        return Lost(path, LogProblemReason(closeError));
    LogWriteResult result;
    result.written = true;
    result.path = path;
    return result;
}
