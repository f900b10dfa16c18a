#pragma once
// What the station's benchmark and its picture share: the settings of a full initialization, a
// journal that keeps nothing, and the readers of a stack started with pcsc-sandbox --readers.

#include "../BenchSettings.h"
#include "VirtualToken.h"
#include "engine/AuditJournal.h"
#include "engine/InitSettingsSource.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

using Settings = BenchSettings;

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
