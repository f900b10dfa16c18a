#include "JournalCsv.h"

#include <initializer_list>

namespace {

std::string Field(std::string text) {
    if (!text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos)
        text.insert(text.begin(), '\'');
    if (text.find_first_of(";\"\r\n") != std::string::npos) {
        std::string quoted = "\"";
        for (const char c : text) {
            if (c == '"')
                quoted += '"';
            quoted += c;
        }
        text = quoted + '"';
    }
    return text;
}

std::string Row(std::initializer_list<std::string> fields) {
    std::string row;
    bool first = true;
    for (const std::string& field : fields) {
        if (!first)
            row += ';';
        first = false;
        row += Field(field);
    }
    return row + "\r\n";
}

} // namespace

const char* LogResultText(LogOutcome outcome) {
    switch (outcome) {
    case LogOutcome::Success:
        return "Успешно";
    case LogOutcome::Error:
        return "Ошибка";
    case LogOutcome::Unrecognized:
        break;
    }
    return "Не распознано";
}

std::string LogCsvHeader() {
    return Row({"Время", "Номер карты", "Результат", "Сообщение"});
}

std::string LogCsvRow(std::string_view line) {
    const ParsedLogLine parsed = ParseLogLine(line);
    const std::string result = LogResultText(parsed.outcome);
    if (parsed.outcome == LogOutcome::Unrecognized) {
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        return Row({std::string(), std::string(), result, std::string(line)});
    }
    const std::string card =
        parsed.cardId.empty() ? std::string() : '#' + std::string(parsed.cardId);
    return Row({std::string(parsed.time), card, result, std::string(parsed.message)});
}
