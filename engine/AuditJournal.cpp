#include "AuditJournal.h"

#include "engine/RunTexts.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cstring>

namespace {

const char* const kSocket = "/run/systemd/journal/socket";

// libsystemd is loaded with the first entry, not as the program starts: the libraries it brings
// along (compression and cryptography for reading journals) cost every start of orvane-cli about
// a millisecond, and most runs (the counts of a day's log, a key check value) send no entry at
// all. Loaded once, kept to the end.
struct JournalLibrary {
    decltype(&sd_journal_sendv) sendv = nullptr;
    std::string problem; // why it could not be loaded
};

const JournalLibrary& LoadJournalLibrary() {
    static const JournalLibrary library = [] {
        JournalLibrary loaded;
        void* handle = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
        if (handle != nullptr)
            loaded.sendv =
                reinterpret_cast<decltype(&sd_journal_sendv)>(dlsym(handle, "sd_journal_sendv"));
        if (loaded.sendv == nullptr) {
            const char* problem = dlerror();
            loaded.problem = problem != nullptr ? problem : "libsystemd.so.0";
        }
        return loaded;
    }();
    return library;
}

class SystemJournal final : public IAuditJournal {
public:
    std::string Send(const std::vector<std::string>& fields) override {
        // sd_journal_sendv drops an entry silently when the journal's socket is missing.
        struct stat socket {};
        if (stat(kSocket, &socket) != 0 || !S_ISSOCK(socket.st_mode))
            return std::string("нет ") + kSocket;
        const JournalLibrary& library = LoadJournalLibrary();
        if (library.sendv == nullptr)
            return library.problem;
        std::vector<iovec> parts;
        parts.reserve(fields.size());
        for (const std::string& field : fields)
            parts.push_back({const_cast<char*>(field.data()), field.size()});
        const int result = library.sendv(parts.data(), static_cast<int>(parts.size()));
        return result < 0 ? std::string(std::strerror(-result)) : std::string();
    }
    void Warn(const std::string& line) override {
        std::fputs((line + '\n').c_str(), stderr);
        std::fflush(stderr);
    }
};

SystemJournal systemJournal;
// Several readers' runs record from threads of their own.
std::atomic<IAuditJournal*> current{nullptr};
std::atomic<bool> refusalTold{false};

const char* EventName(AuditEvent event) {
    switch (event) {
    case AuditEvent::Init:
        return "init";
    case AuditEvent::PinReset:
        return "pin-reset";
    case AuditEvent::Response:
        return "response";
    case AuditEvent::KeyGenerated:
        return "key-generated";
    case AuditEvent::KeyLoaded:
        return "key-loaded";
    case AuditEvent::RunStarted:
        return "run-started";
    case AuditEvent::RunEnded:
        return "run-ended";
    }
    return "";
}

const char* MessageId(AuditEvent event) {
    switch (event) {
    case AuditEvent::Init:
        return kAuditIdInit;
    case AuditEvent::PinReset:
        return kAuditIdPinReset;
    case AuditEvent::Response:
        return kAuditIdResponse;
    case AuditEvent::KeyGenerated:
        return kAuditIdKeyGenerated;
    case AuditEvent::KeyLoaded:
        return kAuditIdKeyLoaded;
    case AuditEvent::RunStarted:
        return kAuditIdRunStarted;
    case AuditEvent::RunEnded:
        return kAuditIdRunEnded;
    }
    return "";
}

// syslog's priorities: error 3, warning 4, informational 6.
const char* Priority(AuditResult result) {
    switch (result) {
    case AuditResult::Error:
        return "3";
    case AuditResult::Warning:
        return "4";
    case AuditResult::Success:
        break;
    }
    return "6";
}

const char* ResultName(AuditResult result) {
    switch (result) {
    case AuditResult::Error:
        return "error";
    case AuditResult::Warning:
        return "warning";
    case AuditResult::Success:
        break;
    }
    return "success";
}

// The key file as an auditor needs it: its absolute path where it can be found.
std::string FullPath(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved)
        return path;
    const std::string full = resolved;
    std::free(resolved);
    return full;
}

std::string Hex4(std::uint16_t value) {
    char text[5];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

} // namespace

IAuditJournal& AuditJournal() {
    IAuditJournal* journal = current.load();
    return journal ? *journal : systemJournal;
}

void SetAuditJournal(IAuditJournal* journal) {
    current = journal;
    refusalTold = false;
}

AuditWarningsTo::AuditWarningsTo(std::function<void(const std::string&)> tell)
    : previous_(AuditJournal()), tell_(std::move(tell)) {
    SetAuditJournal(this);
}

AuditWarningsTo::~AuditWarningsTo() {
    SetAuditJournal(&previous_);
}

std::vector<std::string> AuditFields(const AuditEntry& entry, const std::string& user) {
    std::vector<std::string> fields = {
        "MESSAGE=" + entry.message,
        std::string("PRIORITY=") + Priority(entry.result),
        std::string("MESSAGE_ID=") + MessageId(entry.event),
        std::string("ORVANE_EVENT=") + EventName(entry.event),
        std::string("ORVANE_RESULT=") + ResultName(entry.result),
    };
    const auto add = [&fields](const char* name, const std::string& value) {
        if (!value.empty())
            fields.push_back(std::string(name) + '=' + value);
    };
    add("ORVANE_CARD", entry.card);
    add("ORVANE_READER", entry.reader);
    add("ORVANE_STEP", entry.step);
    if (entry.statusWord)
        add("ORVANE_SW", Hex4(*entry.statusWord));
    add("ORVANE_UNBLOCK_KCV", entry.unblockKcv);
    add("ORVANE_GROUP_RSA", entry.groupRsa);
    add("ORVANE_GROUP_DSTU", entry.groupDstu);
    add("ORVANE_DEVICE_NAME", entry.deviceName);
    add("ORVANE_USER", user);
    return fields;
}

std::string AuditUser() {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(4096);
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return {};
    return found->pw_name;
}

void RecordAudit(const AuditEntry& entry) {
    IAuditJournal& journal = AuditJournal();
    const std::string problem = journal.Send(AuditFields(entry, AuditUser()));
    if (problem.empty() || refusalTold.exchange(true))
        return;
    journal.Warn("Системный журнал недоступен (" + problem +
                 "): события аудита в него не записываются");
}

void AuditPinReset(const std::string& reader, const std::string& card, const UnblockKeyBytes& key,
                   const PinResetOutcome& outcome) {
    AuditEntry entry;
    entry.event = AuditEvent::PinReset;
    entry.result = outcome.ok        ? AuditResult::Success
                   : outcome.warning ? AuditResult::Warning
                                     : AuditResult::Error;
    entry.reader = reader;
    entry.card = card;
    entry.unblockKcv = KeyCheckValue(key);
    const std::string token = card.empty() ? std::string("смарт-карты") : "смарт-карты #" + card;
    if (outcome.ok) {
        entry.message = "ПИН-код " + token + " изменён ключом разблокировки";
    } else {
        entry.step = PinResetStepName(outcome.step);
        if (outcome.statusWord != 0)
            entry.statusWord = outcome.statusWord;
        entry.message = "ПИН-код " + token + " не изменён: " + outcome.message;
    }
    RecordAudit(entry);
}

void AuditResponse(const UnblockKeyBytes& key) {
    AuditEntry entry;
    entry.event = AuditEvent::Response;
    entry.unblockKcv = KeyCheckValue(key);
    entry.message =
        "Вычислен отклик на вызов смарт-карты (ключ разблокировки KCV " + entry.unblockKcv + ")";
    RecordAudit(entry);
}

void AuditKeyGenerated(const std::string& path, const UnblockKeyBytes& key) {
    AuditEntry entry;
    entry.event = AuditEvent::KeyGenerated;
    entry.unblockKcv = KeyCheckValue(key);
    entry.message =
        "Создан ключ разблокировки KCV " + entry.unblockKcv + ", файл " + FullPath(path);
    RecordAudit(entry);
}

void AuditKeyLoaded(const std::string& path, const UnblockKeyBytes& key) {
    AuditEntry entry;
    entry.event = AuditEvent::KeyLoaded;
    entry.unblockKcv = KeyCheckValue(key);
    entry.message =
        "Загружен ключ разблокировки KCV " + entry.unblockKcv + ", файл " + FullPath(path);
    RecordAudit(entry);
}
