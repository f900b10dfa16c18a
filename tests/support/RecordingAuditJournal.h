#pragma once
// The system journal's double: keeps every entry as its fields, and every warning; installed for
// its lifetime. `refusal` makes it refuse entries as a missing journal socket would.

#include "engine/AuditJournal.h"

#include <map>
#include <string>
#include <vector>

class RecordingAuditJournal final : public IAuditJournal {
public:
    using Entry = std::map<std::string, std::string>;

    RecordingAuditJournal() { SetAuditJournal(this); }
    ~RecordingAuditJournal() override { SetAuditJournal(nullptr); }
    RecordingAuditJournal(const RecordingAuditJournal&) = delete;
    RecordingAuditJournal& operator=(const RecordingAuditJournal&) = delete;

    std::string Send(const std::vector<std::string>& fields) override {
        if (!refusal.empty())
            return refusal;
        Entry entry;
        for (const std::string& field : fields) {
            const std::size_t equals = field.find('=');
            entry[field.substr(0, equals)] = field.substr(equals + 1);
        }
        entries.push_back(entry);
        return {};
    }
    void Warn(const std::string& line) override { warnings.push_back(line); }

    // The ORVANE_EVENT of every entry, in order.
    std::vector<std::string> Events() const {
        std::vector<std::string> names;
        for (const Entry& entry : entries)
            names.push_back(entry.at("ORVANE_EVENT"));
        return names;
    }

    std::vector<Entry> entries;
    std::vector<std::string> warnings;
    std::string refusal;
};
