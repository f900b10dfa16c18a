#pragma once
// What the station's benchmark and its picture share: the settings of a full initialization, a
// journal that keeps nothing, and the readers of a stack started with pcsc-sandbox --readers.

#include "VirtualToken.h"
#include "engine/AuditJournal.h"
#include "engine/InitSettingsSource.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct Settings final : IInitSettings {
    std::array<std::uint8_t, 16> key{};
    std::array<std::uint8_t, 32> rsa{}, dstu{};
    std::string PinText() const override { return "1234"; }
    std::string PukText() const override { return "4321"; }
    bool AllowPuk() const override { return true; }
    bool UseUnblockKey() const override { return true; }
    bool DublGroupRSA() const override { return true; }
    std::string GroupRSAText() const override { return "D1"; }
    bool DublGroupDSTU() const override { return true; }
    std::string GroupDSTUText() const override { return "D1"; }
    std::string DeviceNameText() const override { return "Bench"; }
    const std::array<std::uint8_t, 16>& UnblockKey() const override { return key; }
    const std::array<std::uint8_t, 32>& GroupKeyRSA() const override { return rsa; }
    const std::array<std::uint8_t, 32>& GroupKeyDSTU() const override { return dstu; }
};

// Entries are dropped, not sent: a benchmark or a demo would fill the system journal.
struct QuietJournal final : IAuditJournal {
    QuietJournal() { SetAuditJournal(this); }
    ~QuietJournal() override { SetAuditJournal(nullptr); }
    std::string Send(const std::vector<std::string>&) override { return {}; }
    void Warn(const std::string&) override {}
};

// Reader R of a stack started with --readers (its slot 2R).
inline std::string Reader(int r) {
    return VirtualToken::ReaderName(2 * r);
}
