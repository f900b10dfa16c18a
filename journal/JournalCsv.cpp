#include "JournalCsv.h"

#include "JournalModel.h"

#include "engine/JournalCsv.h"

#include <QSaveFile>

QByteArray JournalCsvHeader() {
    return QByteArray::fromStdString(LogCsvHeader());
}

QByteArray JournalCsvRow(std::string_view line) {
    return QByteArray::fromStdString(LogCsvRow(line));
}

bool WriteJournalCsv(const QString& path, JournalModel& model, QString* error) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    QByteArray pending = QByteArray(kCsvByteOrderMark) + JournalCsvHeader();
    model.ForEachShownLine([&](std::string_view line) {
        pending += JournalCsvRow(line);
        if (pending.size() >= (1 << 20)) {
            file.write(pending);
            pending.clear();
        }
    });
    file.write(pending);
    // A file of part of the day is no file of the day: the one there stays as it was.
    const LogReader& reader = model.Reader();
    if (reader.ReadError() != 0) {
        file.cancelWriting();
        if (error)
            *error = QString::fromStdString(LogReadProblemText(reader.Path(), reader.ReadError()));
        return false;
    }
    if (!file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}
