#pragma once
// What the initialization benchmarks share: the settings of a full initialization (PIN, PUK,
// unblock key, both groups, a name), message boxes that are counted instead of shown, and a log
// folder of their own.

#include "../BenchSettings.h"
#include "engine/InitLog.h"
#include "init/Dialogs.h"
#include "init/InitSettings.h"

#include <QTemporaryDir>

#include <array>
#include <cstdint>

// Any failure box ends the measurement: the attempt was not the one meant.
struct CountingDialogs : IDialogs {
    int boxes = 0;
    QString last;
    int Message(const MessageRequest& request) override {
        ++boxes;
        last = request.text;
        return mbOK;
    }
    QString OpenFileName(QWidget*, const QString&) override { return {}; }
    QString SaveFileName(QWidget*, const QString&) override { return {}; }
    QStringList OpenFileNames(QWidget*, const QString&) override { return {}; }
    std::optional<QString> Passphrase(QWidget*, const QString&) override { return {}; }
    int Choose(QWidget*, const QString&, const QStringList&) override { return -1; }
    std::optional<int> Number(QWidget*, const QString&, int, int, int) override { return {}; }
};

// The system's clock and regional settings, a data folder of the benchmark's own.
struct TempLog : IInitLogEnvironment {
    QTemporaryDir dir;
    DateTimeFields Now() const override { return SystemInitLogEnvironment().Now(); }
    std::string DataFolder() const override { return dir.path().toStdString(); }
    std::string TimeLocale() const override { return SystemInitLogEnvironment().TimeLocale(); }
};
