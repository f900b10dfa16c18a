#pragma once
// What the station's tests share: the settings every reader gets, the command stream they put on
// a token (the one-reader stream of tests/support/InitCommands.h), a private day's log folder, a
// thread-safe journal double, and the sandbox's separate readers (pcsc-sandbox --readers: reader
// R is slot 2R).

#include "VirtualToken.h"
#include "engine/AuditJournal.h"
#include "engine/InitSettingsSource.h"
#include "support/InitCommands.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

namespace stationkit {

using initcommands::Sequence;
using initcommands::ToBytes;

// PIN "1234", no PUK, the unblock key A0..AF blocked, RSA group D1 with key 00..1F, DSTU group 07
// with key 20..3F, no name.
class Settings final : public IInitSettings {
public:
    std::string PinText() const override { return "1234"; }
    std::string PukText() const override { return {}; }
    bool AllowPuk() const override { return false; }
    bool UseUnblockKey() const override { return false; }
    bool DublGroupRSA() const override { return true; }
    std::string GroupRSAText() const override { return "D1"; }
    bool DublGroupDSTU() const override { return true; }
    std::string GroupDSTUText() const override { return "07"; }
    std::string DeviceNameText() const override { return "<None>"; }
    const std::array<std::uint8_t, 16>& UnblockKey() const override { return key_; }
    const std::array<std::uint8_t, 32>& GroupKeyRSA() const override { return rsa_; }
    const std::array<std::uint8_t, 32>& GroupKeyDSTU() const override { return dstu_; }

private:
    std::array<std::uint8_t, 16> key_ = Sequence<16>(0xA0);
    std::array<std::uint8_t, 32> rsa_ = Sequence<32>(0x00);
    std::array<std::uint8_t, 32> dstu_ = Sequence<32>(0x20);
};

// The one-reader stream of an attempt with Settings on a token with all three applications, as
// the virtual token traces commands (upper-case hex without blanks).
inline std::vector<std::string> ExpectedStream() {
    const initcommands::Secrets secrets = initcommands::DefaultSecrets();
    std::vector<std::string> stream = initcommands::Attempt(0x07, secrets);
    for (std::string& command : stream)
        command.erase(std::remove(command.begin(), command.end(), ' '), command.end());
    return stream;
}

inline std::vector<std::string> Commands(const VirtualToken& token) {
    std::vector<std::string> commands;
    for (const TracedApdu& apdu : token.Apdus())
        commands.push_back(apdu.command);
    return commands;
}

// Points the virtual tokens and the PC/SC client at the station's stack of separate readers
// (before the process's first PC/SC call).
inline void UseStationStack() {
    ::setenv("ORVANE_PCSC_SANDBOX", ORVANE_STATION_SANDBOX, 1);
    ::setenv("PCSCLITE_CSOCK_NAME", ORVANE_STATION_SANDBOX "/run/pcscd.comm", 1);
}

// Reader R of the sandbox's separate readers, and its slot.
inline int SlotOf(int reader) {
    return 2 * reader;
}
inline std::string ReaderOf(int reader) {
    return VirtualToken::ReaderName(SlotOf(reader));
}

// A day's log folder of the test's own ($XDG_DATA_HOME, set before any thread starts), and the
// lines written into it.
class LogFolder {
public:
    LogFolder() {
        char pattern[] = "/tmp/orvane-station-log-XXXXXX";
        folder_ = ::mkdtemp(pattern);
        ::setenv("XDG_DATA_HOME", folder_.c_str(), 1);
    }
    ~LogFolder() { std::filesystem::remove_all(folder_); }
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        const std::filesystem::path logs = folder_ + "/Velmar/Orvane";
        if (!std::filesystem::exists(logs))
            return lines;
        for (const auto& file : std::filesystem::directory_iterator(logs)) {
            std::ifstream in(file.path());
            for (std::string line; std::getline(in, line);)
                lines.push_back(line);
        }
        return lines;
    }
    int Count(const std::string& part) const {
        const auto lines = Lines();
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const auto& line) {
            return line.find(part) != std::string::npos;
        }));
    }

private:
    std::string folder_;
};

// The system journal's double for entries from many threads.
class Journal final : public IAuditJournal {
public:
    Journal() { SetAuditJournal(this); }
    ~Journal() override { SetAuditJournal(nullptr); }
    std::string Send(const std::vector<std::string>& fields) override {
        const std::lock_guard lock(mutex_);
        entries_.push_back(fields);
        return {};
    }
    void Warn(const std::string&) override {}
    // The readers named by the attempts' entries (ORVANE_EVENT=init).
    std::vector<std::string> AttemptReaders() {
        const std::lock_guard lock(mutex_);
        std::vector<std::string> readers;
        for (const auto& fields : entries_) {
            if (std::find(fields.begin(), fields.end(), "ORVANE_EVENT=init") == fields.end())
                continue;
            for (const std::string& field : fields)
                if (field.rfind("ORVANE_READER=", 0) == 0)
                    readers.push_back(field.substr(14));
        }
        std::sort(readers.begin(), readers.end());
        return readers;
    }

private:
    std::mutex mutex_;
    std::vector<std::vector<std::string>> entries_;
};

} // namespace stationkit
