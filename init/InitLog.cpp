#include "InitLog.h"

#include "engine/LogLine.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

namespace {

class SystemEnvironment final : public IInitLogEnvironment {
public:
    QDateTime Now() const override { return QDateTime::currentDateTime(); }
    QString DataFolder() const override {
        return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    }
    QLocale Locale() const override { return QLocale::system(); }
};

SystemEnvironment systemEnvironment;
IInitLogEnvironment* current = nullptr;

} // namespace

IInitLogEnvironment& InitLogEnvironment() {
    return current ? *current : systemEnvironment;
}

void SetInitLogEnvironment(IInitLogEnvironment* environment) {
    current = environment;
}

QString InitLogFolder() {
    const QString base = InitLogEnvironment().DataFolder();
    return base.isEmpty() ? QString() : base + QStringLiteral("/Velmar/Orvane");
}

QString InitLogFileName(const QDate& date, const QLocale& locale) {
    QString text = locale.toString(date, QLocale::ShortFormat);
    // A date written with path separators would point into folders that do not exist.
    text.replace(QLatin1Char('/'), QLatin1Char('-'));
    text.replace(QLatin1Char('\\'), QLatin1Char('-'));
    return QStringLiteral("Orvane_") + text + QStringLiteral(".log");
}

QString InitLogTimeFormat(const QLocale& locale) {
    const QString format = locale.timeFormat(QLocale::LongFormat);
    // Drop the time-zone letters ('t') outside quoted literals; keep everything else.
    QString result;
    bool quoted = false;
    for (const QChar c : format) {
        if (c == QLatin1Char('\''))
            quoted = !quoted;
        if (!quoted && c == QLatin1Char('t'))
            continue;
        result += c;
    }
    return result.simplified();
}

void WriteInitLog(const std::string& cardId, const QString& failureText) {
    // Every failure here is silent: the attempt goes on as if the line had been written.
    const IInitLogEnvironment& environment = InitLogEnvironment();
    const QString folder = InitLogFolder();
    if (folder.isEmpty())
        return;
    const QDateTime now = environment.Now();
    const QLocale locale = environment.Locale();

    QDir().mkpath(folder);
    QFile file(folder + QLatin1Char('/') + InitLogFileName(now.date(), locale));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    const std::string line =
        FormatLogLine(locale.toString(now.time(), InitLogTimeFormat(locale)).toStdString(), cardId,
                      failureText.toStdString());
    file.write(QByteArray::fromStdString(line) + QByteArrayLiteral("\r\n"));
    file.close();
}
