#pragma once
// The journal's shown rows as CSV that a spreadsheet with Russian regional settings opens as it
// is: UTF-8 with a byte order mark, fields separated by ";", rows ended by CR LF, a header row.
//
// A field holding ";", a quote or a line end is quoted, its quotes doubled. A card number is
// written as the log writes it, "#" first, so that a spreadsheet keeps it as text instead of
// turning "0102030405060708" into a rounded number; a field that a spreadsheet would take for a
// formula (starting with "=", "+", "-", "@", a tab or a CR) gets an apostrophe first.

#include <QByteArray>
#include <QString>

#include <string_view>

class JournalModel;

// One log line as a CSV row, its line end included.
QByteArray JournalCsvRow(std::string_view line);
// The header row, its line end included.
QByteArray JournalCsvHeader();

// Writes the BOM, the header and the model's shown rows to `path` atomically: the file is either
// the whole new table or stays as it was. False with the reason in `error`.
bool WriteJournalCsv(const QString& path, JournalModel& model, QString* error);
