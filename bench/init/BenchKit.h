#pragma once
// What the initialization benchmarks share: the settings of a full initialization (PIN, PUK,
// unblock key, both groups, a name), message boxes that are counted instead of shown, and a log
// folder of their own.

#include "engine/InitLog.h"
#include "init/Dialogs.h"
#include "init/InitSettings.h"

#include <QTemporaryDir>

#include <array>
#include <cstdint>

struct BenchSettings : IInitSettings {
    std::array<std::uint8_t, 16> unblockKey{};
    std::array<std::uint8_t, 32> keyRsa{}, keyDstu{};
    BenchSettings() {
        for (std::size_t i = 0; i < 32; ++i) {
            keyRsa[i] = static_cast<std::uint8_t>(i);
            keyDstu[i] = static_cast<std::uint8_t>(0x20 + i);
        }
    }
    std::string PinText() const override { return "1234"; }
    std::string PukText() const override { return "4321"; }
    bool AllowPuk() const override { return true; }
    bool UseUnblockKey() const override { return true; }
    bool DublGroupRSA() const override { return true; }
    std::string GroupRSAText() const override { return "D1"; }
    bool DublGroupDSTU() const override { return true; }
    std::string GroupDSTUText() const override { return "D1"; }
    std::string DeviceNameText() const override { return "Bench"; }
    const std::array<std::uint8_t, 16>& UnblockKey() const override { return unblockKey; }
    const std::array<std::uint8_t, 32>& GroupKeyRSA() const override { return keyRsa; }
    const std::array<std::uint8_t, 32>& GroupKeyDSTU() const override { return keyDstu; }
};

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
