#pragma once
// A day's log lines as CSV that a spreadsheet with Russian regional settings opens as it is:
// UTF-8 with a byte order mark, fields separated by ";", rows ended by CR LF, a header row. The
// journal window's "Сохранить как CSV..." and `orvane-cli journal --csv` write the same bytes.
//
// A field holding ";", a quote or a line end is quoted, its quotes doubled. A card number is
// written as the log writes it, "#" first, so that a spreadsheet keeps it as text instead of
// turning "0102030405060708" into a rounded number; a field that a spreadsheet would take for a
// formula (starting with "=", "+", "-" or "@") gets an apostrophe first.

#include "engine/LogLine.h"

#include <string>
#include <string_view>

inline constexpr const char* kCsvByteOrderMark = "\xEF\xBB\xBF";

// The result column's text of a line: "Успешно", "Ошибка" or "Не распознано".
const char* LogResultText(LogOutcome outcome);
// One log line as a CSV row, its line end included.
std::string LogCsvRow(std::string_view line);
// The header row, its line end included.
std::string LogCsvHeader();
