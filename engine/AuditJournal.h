#pragma once
// Audit events in the system journal: one structured entry per initialization attempt, PIN reset,
// response, key generated or loaded, and per run's start and end, for an auditor who collects the
// journals of many workstations. Plain C++ over libsystemd's sd_journal_sendv.
//
// Every entry carries MESSAGE (Russian), PRIORITY, a fixed MESSAGE_ID per kind (below; the
// catalog orvane.catalog explains each in `journalctl -x`) and the ORVANE_* fields that apply:
// ORVANE_EVENT, ORVANE_RESULT, ORVANE_CARD, ORVANE_READER, ORVANE_STEP, ORVANE_SW,
// ORVANE_UNBLOCK_KCV, ORVANE_GROUP_RSA, ORVANE_GROUP_DSTU, ORVANE_DEVICE_NAME, ORVANE_USER.
// No entry ever holds a PIN, a PUK, a key, a group key or a response: the entry has no place for
// them. Without a journal the program works as before and says so once on standard error.

#include "engine/KeyCheck.h"
#include "engine/PinReset.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

enum class AuditEvent { Init, PinReset, Response, KeyGenerated, KeyLoaded, RunStarted, RunEnded };
enum class AuditResult { Success, Error, Warning };

// The MESSAGE_ID of each kind of entry.
inline constexpr const char* kAuditIdInit = "3a5d8264612b47a287f3bef933a5099f";
inline constexpr const char* kAuditIdPinReset = "297a7dc482194540a4e5a1221eb30e2f";
inline constexpr const char* kAuditIdResponse = "bfe32acb23b54e5cb2d83675ee50ff24";
inline constexpr const char* kAuditIdKeyGenerated = "8c0ce73637864fd39f554f860fd40d2e";
inline constexpr const char* kAuditIdKeyLoaded = "16373a50fc6d48c595f584142e2bfb72";
inline constexpr const char* kAuditIdRunStarted = "519a325b967349bdadb5fbf712b964dc";
inline constexpr const char* kAuditIdRunEnded = "ecfc6577c3944d1882eb982a6f8fb98e";

struct AuditEntry {
    AuditEvent event = AuditEvent::Init;
    AuditResult result = AuditResult::Success;
    std::string message;
    // The card number as the day's log writes it (hexadecimal digits, without '#').
    std::string card;
    std::string reader;
    // The failed step's name.
    std::string step;
    std::optional<std::uint16_t> statusWord;
    // The key check value of the unblock key in use (six hexadecimal digits).
    std::string unblockKcv;
    // The duplication-group numbers (two hexadecimal digits) and the device name.
    std::string groupRsa;
    std::string groupDstu;
    std::string deviceName;
};

// Where entries go: the system journal unless a test installed another.
class IAuditJournal {
public:
    virtual ~IAuditJournal() = default;
    // Sends one entry as "NAME=value" fields; answers why it could not, empty when sent.
    virtual std::string Send(const std::vector<std::string>& fields) = 0;
    // One line for the administrator (standard error in the real program).
    virtual void Warn(const std::string& line) = 0;
};

IAuditJournal& AuditJournal();
void SetAuditJournal(IAuditJournal* journal);

// While it lives, entries go where they went before and the journal's warnings to `tell` (the
// command line gives them its own form).
class AuditWarningsTo final : public IAuditJournal {
public:
    explicit AuditWarningsTo(std::function<void(const std::string&)> tell);
    ~AuditWarningsTo() override;
    AuditWarningsTo(const AuditWarningsTo&) = delete;
    AuditWarningsTo& operator=(const AuditWarningsTo&) = delete;

    std::string Send(const std::vector<std::string>& fields) override {
        return previous_.Send(fields);
    }
    void Warn(const std::string& line) override { tell_(line); }

private:
    IAuditJournal& previous_;
    std::function<void(const std::string&)> tell_;
};

// The fields of an entry as sent, ORVANE_USER being `user`.
std::vector<std::string> AuditFields(const AuditEntry& entry, const std::string& user);
// The login of the user running the program ("" when unknown).
std::string AuditUser();
// Sends the entry; the first entry the journal refuses in this process is told through Warn.
void RecordAudit(const AuditEntry& entry);

// The entries of the front ends, in one place so the window and the command line agree. Each
// takes the key only to name it by its check value.
void AuditPinReset(const std::string& reader, const std::string& card, const UnblockKeyBytes& key,
                   const PinResetOutcome& outcome);
void AuditResponse(const UnblockKeyBytes& key);
void AuditKeyGenerated(const std::string& path, const UnblockKeyBytes& key);
void AuditKeyLoaded(const std::string& path, const UnblockKeyBytes& key);
