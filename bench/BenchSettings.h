#pragma once
// The settings of a full initialization that the benchmarks run: PIN, PUK, the unblock key, both
// duplication groups and a name, with the group keys 00..1F and 20..3F. Plain C++.

#include "engine/InitSettingsSource.h"

#include <array>
#include <cstdint>
#include <string>

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
