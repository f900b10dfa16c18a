#include "JournalCommand.h"

#include "engine/InitLog.h"
#include "engine/JournalCsv.h"
#include "engine/LogReader.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <utility>
#include <vector>

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
        if (!file || reader.ReadError() != 0) {
            std::remove(partial.c_str());
            return false;
        }
    }
    return std::rename(partial.c_str(), path.c_str()) == 0;
}

} // namespace

namespace {

// What the command reports of a day's log.
struct DaySummary {
    LogTally tally;
    std::vector<std::pair<std::string, std::string>> redo; // card, message of its last failure
};

// Reads the log (and writes the CSV); the reader and its card tables are gone once it answers,
// so that they and the report are never in memory together.
int ReadDay(const std::string& path, const std::string& csv, Output& output, DaySummary& day) {
    LogReader reader;
    if (!reader.Open(path)) {
        output.Error("Журнал инициализации не прочитан: " + path);
        return kExitUsage;
    }
    day.tally = reader.Tally();
    const std::vector<TokenToRedo> redo = reader.TokensToRedo();
    std::vector<std::size_t> lines;
    lines.reserve(redo.size());
    for (const TokenToRedo& token : redo)
        lines.push_back(token.lastErrorLine);
    std::sort(lines.begin(), lines.end());
    std::vector<std::string> messages(lines.size());
    reader.ForEachLine(&lines, 0, [&](std::size_t index, std::string_view line) {
        const auto at = std::lower_bound(lines.begin(), lines.end(), index) - lines.begin();
        messages[static_cast<std::size_t>(at)] = ParseLogLine(line).message;
    });
    day.redo.reserve(redo.size());
    for (const TokenToRedo& token : redo) {
        const auto at =
            std::lower_bound(lines.begin(), lines.end(), token.lastErrorLine) - lines.begin();
        day.redo.emplace_back(token.cardId, std::move(messages[static_cast<std::size_t>(at)]));
    }
    const bool csvWritten = csv.empty() || WriteCsv(csv, reader);
    // A line the disk did not give back, at the first look or read again for a message or the
    // CSV file: no counts, and no CSV file of part of the day.
    const int readError = reader.ReadError();
    if (readError != 0)
        output.Error(LogReadProblemText(path, readError));
    if (!csvWritten)
        output.Error("Файл CSV не записан: " + csv);
    return readError != 0 ? kExitLogUnread : csvWritten ? kExitSuccess : kExitUsage;
}

} // namespace

int RunJournal(const JournalOptions& options, Output& output) {
    const std::string path = options.file.empty() ? DayLogPath(options.date) : options.file;
    if (path.empty()) {
        output.Error("--date: нужна дата в виде ГГГГ-ММ-ДД");
        return kExitUsage;
    }
    DaySummary day;
    if (const int code = ReadDay(path, options.csv, output, day); code != kExitSuccess)
        return code;
    const LogTally& tally = day.tally;

    OutputEvent event;
    event.event = "journal";
    event.ok = true;
    event.message = DayCountsText(tally);
    // One form only: the lines of text, or the JSON fields.
    if (output.Json()) {
        nlohmann::json redoList = nlohmann::json::array();
        for (auto& [card, message] : day.redo)
            redoList.push_back({{"card", std::move(card)}, {"message", std::move(message)}});
        event.extra["path"] = path;
        event.extra["initialized"] = tally.succeeded;
        event.extra["failed"] = tally.failed;
        event.extra["cards"] = tally.tokens;
        event.extra["without_number"] = tally.withoutNumber;
        event.extra["unrecognized"] = tally.unrecognized;
        event.extra["redo"] = std::move(redoList);
        if (!options.csv.empty())
            event.extra["csv"] = options.csv;
    } else {
        event.text = path + "\n" + event.message +
                     "\nКарты с ошибкой и без успеха за день (инициализировать заново): " +
                     std::to_string(day.redo.size());
        for (const auto& [card, message] : day.redo)
            event.text += "\n" + card + " — " + message;
    }
    day.redo = {};
    output.Report(event);
    return kExitSuccess;
}
