#include "JournalCsv.h"

#include "JournalModel.h"

#include "engine/LogLine.h"

#include <QSaveFile>

namespace {

QByteArray Field(QByteArray text) {
    if (!text.isEmpty() && QByteArrayView("=+-@\t\r").contains(text.front()))
        text.prepend('\'');
    if (text.contains(';') || text.contains('"') || text.contains('\r') || text.contains('\n')) {
        text.replace("\"", "\"\"");
        text = '"' + text + '"';
    }
    return text;
}

QByteArray Bytes(std::string_view text) {
    return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

QByteArray Row(std::initializer_list<QByteArray> fields) {
    QByteArray row;
    bool first = true;
    for (const QByteArray& field : fields) {
        if (!first)
            row += ';';
        first = false;
        row += Field(field);
    }
    return row + "\r\n";
}

} // namespace

QByteArray JournalCsvHeader() {
    return Row({QStringLiteral("Время").toUtf8(), QStringLiteral("Номер карты").toUtf8(),
                QStringLiteral("Результат").toUtf8(), QStringLiteral("Сообщение").toUtf8()});
}

QByteArray JournalCsvRow(std::string_view line) {
    const ParsedLogLine parsed = ParseLogLine(line);
    const QByteArray result = JournalModel::ResultText(parsed.outcome).toUtf8();
    if (parsed.outcome == LogOutcome::Unrecognized) {
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        return Row({QByteArray(), QByteArray(), result, Bytes(line)});
    }
    const QByteArray card = parsed.cardId.empty() ? QByteArray() : '#' + Bytes(parsed.cardId);
    return Row({Bytes(parsed.time), card, result, Bytes(parsed.message)});
}

bool WriteJournalCsv(const QString& path, JournalModel& model, QString* error) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    QByteArray pending = QByteArrayLiteral("\xEF\xBB\xBF") + JournalCsvHeader();
    model.ForEachShownLine([&](std::string_view line) {
        pending += JournalCsvRow(line);
        if (pending.size() >= (1 << 20)) {
            file.write(pending);
            pending.clear();
        }
    });
    file.write(pending);
    if (!file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}
