#include "JournalCommand.h"

#include "engine/InitLog.h"
#include "engine/JournalCsv.h"
#include "engine/LogReader.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>

namespace {

// The day's log file of `date` (YYYY-MM-DD, empty: today); empty when the date is no date.
std::string DayLogPath(const std::string& date) {
    const IInitLogEnvironment& environment = InitLogEnvironment();
    DateTimeFields day = environment.Now();
    if (!date.empty()) {
        int year = 0, month = 0, dayOfMonth = 0;
        char end = 0;
        if (date.size() != 10 ||
            std::sscanf(date.c_str(), "%4d-%2d-%2d%c", &year, &month, &dayOfMonth, &end) != 3 ||
            month < 1 || month > 12 || dayOfMonth < 1 || dayOfMonth > 31)
            return {};
        day.year = year;
        day.month = month;
        day.day = dayOfMonth;
    }
    return InitLogFolder() + '/' +
           InitLogFileName(day.year, day.month, day.day, environment.TimeLocale());
}

// Writes the BOM, the header and every line of the log; the file is whole or untouched.
bool WriteCsv(const std::string& path, LogReader& reader) {
    const std::string partial = path + ".partial";
    {
        std::ofstream file(partial, std::ios::binary | std::ios::trunc);
        file << kCsvByteOrderMark << LogCsvHeader();
        reader.ForEachLine(nullptr, 0,
                           [&](std::size_t, std::string_view line) { file << LogCsvRow(line); });
        file.flush();
        if (!file) {
            std::remove(partial.c_str());
            return false;
        }
    }
    return std::rename(partial.c_str(), path.c_str()) == 0;
}

} // namespace

int RunJournal(const JournalOptions& options, Output& output) {
    const std::string path = options.file.empty() ? DayLogPath(options.date) : options.file;
    if (path.empty()) {
        output.Error("--date: нужна дата в виде ГГГГ-ММ-ДД");
        return kExitUsage;
    }
    LogReader reader;
    if (!reader.Open(path)) {
        output.Error("Журнал инициализации не прочитан: " + path);
        return kExitUsage;
    }
    const LogTally tally = reader.Tally();
    const std::vector<TokenToRedo> redo = reader.TokensToRedo();
    std::vector<std::size_t> lines;
    for (const TokenToRedo& token : redo)
        lines.push_back(token.lastErrorLine);
    std::sort(lines.begin(), lines.end());
    std::map<std::size_t, std::string> messages;
    reader.ForEachLine(&lines, 0, [&](std::size_t index, std::string_view line) {
        messages[index] = std::string(ParseLogLine(line).message);
    });

    OutputEvent event;
    event.event = "journal";
    event.ok = true;
    event.message = "Инициализировано: " + std::to_string(tally.succeeded) +
                    "    Ошибок: " + std::to_string(tally.failed) +
                    "    Разных карт: " + std::to_string(tally.tokens);
    if (tally.withoutNumber > 0)
        event.message += "    Без номера: " + std::to_string(tally.withoutNumber);
    if (tally.unrecognized > 0)
        event.message += "    Нераспознанных строк: " + std::to_string(tally.unrecognized);
    event.text = path + "\n" + event.message +
                 "\nКарты с ошибкой и без успеха за день (инициализировать заново): " +
                 std::to_string(redo.size());
    nlohmann::json redoList = nlohmann::json::array();
    for (const TokenToRedo& token : redo) {
        const std::string& message = messages[token.lastErrorLine];
        event.text += "\n" + token.cardId + " — " + message;
        redoList.push_back({{"card", token.cardId}, {"message", message}});
    }
    event.extra["path"] = path;
    event.extra["initialized"] = tally.succeeded;
    event.extra["failed"] = tally.failed;
    event.extra["cards"] = tally.tokens;
    event.extra["without_number"] = tally.withoutNumber;
    event.extra["unrecognized"] = tally.unrecognized;
    event.extra["redo"] = redoList;
    if (!options.csv.empty()) {
        if (!WriteCsv(options.csv, reader)) {
            output.Error("Файл CSV не записан: " + options.csv);
            return kExitUsage;
        }
        event.extra["csv"] = options.csv;
    }
    output.Report(event);
    return kExitSuccess;
}
