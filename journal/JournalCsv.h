#pragma once
// The journal's shown rows as CSV (the format: engine/JournalCsv.h, shared with orvane-cli).

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
