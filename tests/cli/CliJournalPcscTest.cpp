// The audit entries of orvane-cli in a real systemd-journald: the test runs in a mount namespace
// of its own (as root), with empty folders over the journal's runtime and persistent places, starts
// journald there and reads back what it stored with journalctl. A key generated and loaded, a run
// over two tokens (the first refused), a PIN reset and a response: every entry and field, and no
// PIN, PUK, key or response in any of them. It cannot be skipped: where it cannot run it fails
// with the reason.

#include "CliProcess.h"
#include "CliTestKit.h"
#include "VirtualToken.h"
#include "engine/AuditJournal.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sched.h>
#include <signal.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using nlohmann::json;
using Entry = std::map<std::string, std::string>;

const std::string kCardA = "0102030405060708";
const std::string kCardB = "1112131415161718";
const char* const kJournald = "/lib/systemd/systemd-journald";

// A private journald: started in this process's own mount namespace, stopped at the end.
class PrivateJournal {
public:
    // Empty when it runs; else why it could not start.
    std::string Start() {
        if (geteuid() != 0)
            return "needs root (a mount namespace and tmpfs mounts)";
        if (access(kJournald, X_OK) != 0)
            return std::string(kJournald) + " is missing (Debian package systemd)";
        if (unshare(CLONE_NEWNS) != 0)
            return std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return std::string("making / private: ") + std::strerror(errno);
        for (const char* folder :
             {"/run/systemd/journal", "/run/log/journal", "/var/log/journal"}) {
            const std::string path = folder;
            for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
                 slash = path.find('/', slash + 1))
                mkdir(path.substr(0, slash).c_str(), 0755);
            mkdir(folder, 0755);
            if (mount("tmpfs", folder, "tmpfs", 0, "mode=0755") != 0)
                return std::string("tmpfs over ") + folder + ": " + std::strerror(errno);
        }
        pid_ = fork();
        if (pid_ == 0) {
            const int log = open("/run/log/journald.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(log, 1);
            dup2(log, 2);
            execl(kJournald, kJournald, static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 200; ++i) {
            struct stat info {};
            if (stat("/run/systemd/journal/socket", &info) == 0)
                return {};
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return "journald did not open its socket within 10 s";
    }
    ~PrivateJournal() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }

    // The entries with ORVANE_EVENT, once there are `count` of them (journald stores datagrams
    // as it gets to them) or after 10 s.
    std::vector<Entry> Entries(std::size_t count) const {
        std::vector<Entry> entries;
        for (int i = 0; i < 100; ++i) {
            entries.clear();
            FILE* pipe = popen("journalctl -D /run/log/journal -o json --no-pager", "r");
            std::string text;
            char buffer[4096];
            for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
                text.append(buffer, n);
            pclose(pipe);
            std::istringstream lines(text);
            for (std::string line; std::getline(lines, line);) {
                const json parsed = json::parse(line, nullptr, false);
                if (parsed.is_discarded() || !parsed.contains("ORVANE_EVENT"))
                    continue;
                Entry entry;
                for (const auto& [name, value] : parsed.items())
                    if (value.is_string())
                        entry[name] = value.get<std::string>();
                entries.push_back(entry);
            }
            if (entries.size() >= count)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return entries;
    }

private:
    pid_t pid_ = -1;
};

std::string Hex(const std::string& bytes) {
    std::string text;
    char pair[3];
    for (const unsigned char byte : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", byte);
        text += pair;
    }
    return text;
}

// A field of an entry, empty when it has none.
std::string Field(const Entry& entry, const std::string& name) {
    const auto found = entry.find(name);
    return found == entry.end() ? std::string() : found->second;
}

TEST(CliAuditJournal, EveryEntryAndFieldInARealJournal) {
    PrivateJournal journal;
    const std::string problem = journal.Start();
    ASSERT_EQ(problem, "") << "the journal test cannot run: " << problem;

    QTemporaryDir runtime, dataHome;
    clikit::Files files;
    ::setenv("XDG_RUNTIME_DIR", runtime.path().toStdString().c_str(), 1);
    const std::string pinFile = files.Write("pin.txt", "Пин1\n");
    const std::vector<std::pair<std::string, std::string>> environment{
        {"XDG_DATA_HOME", dataHome.path().toStdString()},
        {"ADMIN_PUK", "7ПУК"},
        {"NEW_PIN", "Нов2"}};
    const std::string reader = VirtualToken::ReaderName(0);
    std::string out, err;

    ASSERT_EQ(CliProcess::Run({"--json", "keygen", files.Path("admin")}, environment, "", out, err),
              0)
        << err;
    const std::string keyFile = files.Path("admin.key");
    std::string key;
    {
        QFile file(QString::fromStdString(keyFile));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        key = file.readAll().toStdString();
    }
    ASSERT_EQ(key.size(), 16u);

    // The first token refuses the PIN; the second is initialized and ends the run.
    VirtualToken tokenA, tokenB;
    ASSERT_TRUE(tokenA.Insert(VirtualTokenOptions().Apps("none").CardId(kCardA).Fail("F4/05=6A80")))
        << tokenA.Error();
    CliProcess cli;
    ASSERT_TRUE(cli.Start({"--json", "init", "--reader", reader, "--pin-file", pinFile, "--puk-env",
                           "ADMIN_PUK", "--key", keyFile, "--group-rsa", "D1", "--name",
                           "Бухгалтерия", "--count", "1"},
                          environment));
    bool refusedTold = false;
    for (std::string line; !refusedTold && cli.ReadLine(line);) {
        const json event = json::parse(line, nullptr, false);
        refusedTold = !event.is_discarded() && event["event"] == "result";
    }
    ASSERT_TRUE(refusedTold) << cli.Output();
    ASSERT_TRUE(tokenA.Remove()) << tokenA.Error();
    ASSERT_TRUE(tokenB.Insert(VirtualTokenOptions().Apps("none").CardId(kCardB))) << tokenB.Error();
    EXPECT_EQ(cli.Wait(), 1) << cli.Errors();

    ASSERT_EQ(CliProcess::Run({"--json", "reset-pin", "--reader", reader, "--key", keyFile,
                               "--new-pin-env", "NEW_PIN"},
                              environment, "", out, err),
              0)
        << err;
    ASSERT_TRUE(tokenB.Remove()) << tokenB.Error();
    const VirtualToken::ToolResult shown = tokenB.UserChallenge();
    ASSERT_EQ(shown.exitCode, 0) << shown.output;
    ASSERT_EQ(CliProcess::Run({"response", "--key", keyFile}, environment, shown.output, out, err),
              0)
        << err;
    const std::string response = out.substr(0, 23);
    EXPECT_EQ(err.find("Системный журнал недоступен"), std::string::npos) << err;

    const std::vector<std::string> kinds = {
        "key-generated", "key-loaded", "run-started", "init",       "init",
        "run-ended",     "key-loaded", "pin-reset",   "key-loaded", "response"};
    const std::vector<Entry> entries = journal.Entries(kinds.size());
    std::vector<std::string> events;
    std::string listing;
    for (const Entry& entry : entries) {
        events.push_back(Field(entry, "ORVANE_EVENT"));
        for (const auto& [name, value] : entry)
            if (name == "MESSAGE" || name.rfind("ORVANE_", 0) == 0 || name == "MESSAGE_ID")
                listing += name + "=" + value + "\n";
        listing += "\n";
    }
    SCOPED_TRACE(listing);
    ASSERT_EQ(events, kinds);

    const std::map<std::string, std::string> ids = {{"init", kAuditIdInit},
                                                    {"pin-reset", kAuditIdPinReset},
                                                    {"response", kAuditIdResponse},
                                                    {"key-generated", kAuditIdKeyGenerated},
                                                    {"key-loaded", kAuditIdKeyLoaded},
                                                    {"run-started", kAuditIdRunStarted},
                                                    {"run-ended", kAuditIdRunEnded}};
    const std::string kcv = Field(entries[0], "ORVANE_UNBLOCK_KCV");
    EXPECT_EQ(kcv.size(), 6u);
    for (const Entry& entry : entries) {
        SCOPED_TRACE(Field(entry, "ORVANE_EVENT"));
        EXPECT_EQ(Field(entry, "MESSAGE_ID"), ids.at(Field(entry, "ORVANE_EVENT")));
        EXPECT_EQ(Field(entry, "ORVANE_USER"), AuditUser());
        EXPECT_EQ(Field(entry, "_COMM"), "orvane-cli");
        EXPECT_FALSE(Field(entry, "MESSAGE").empty());
        if (entry.count("ORVANE_UNBLOCK_KCV")) {
            EXPECT_EQ(Field(entry, "ORVANE_UNBLOCK_KCV"), kcv);
        }
        // What the program wrote: nothing secret.
        for (const auto& [name, value] : entry)
            if (name == "MESSAGE" || name.rfind("ORVANE_", 0) == 0)
                clikit::ExpectNoSecret(value, {"Пин1", "7ПУК", "Нов2", key, response,
                                               Hex(key).substr(0, 16), Hex(key).substr(16)});
    }
    const Entry& refused = entries[3];
    EXPECT_EQ(Field(refused, "ORVANE_RESULT"), "error");
    EXPECT_EQ(Field(refused, "PRIORITY"), "3");
    EXPECT_EQ(Field(refused, "ORVANE_SW"), "6A80");
    EXPECT_EQ(Field(refused, "ORVANE_STEP"), "store-pin");
    EXPECT_EQ(Field(refused, "ORVANE_CARD"), "0807060504030201");
    EXPECT_EQ(Field(refused, "ORVANE_READER"), reader);
    const Entry& done = entries[4];
    EXPECT_EQ(Field(done, "ORVANE_RESULT"), "success");
    EXPECT_EQ(Field(done, "PRIORITY"), "6");
    EXPECT_EQ(Field(done, "ORVANE_CARD"), "1817161514131211");
    EXPECT_EQ(Field(done, "MESSAGE"), "Смарт-карта #1817161514131211 инициализирована");
    EXPECT_EQ(Field(done, "ORVANE_GROUP_RSA"), "D1");
    EXPECT_EQ(done.count("ORVANE_GROUP_DSTU"), 0u);
    EXPECT_EQ(Field(done, "ORVANE_DEVICE_NAME"), "Бухгалтерия");
    EXPECT_EQ(Field(done, "ORVANE_UNBLOCK_KCV"), kcv);
    EXPECT_EQ(Field(entries[5], "MESSAGE"),
              "Инициализация закончена: смарт-карт инициализировано 1, неудачных попыток 1");
    EXPECT_EQ(Field(entries[5], "ORVANE_RESULT"), "warning");
    const Entry& reset = entries[7];
    EXPECT_EQ(Field(reset, "ORVANE_RESULT"), "success");
    EXPECT_EQ(Field(reset, "ORVANE_CARD"), "1817161514131211");
    EXPECT_EQ(Field(reset, "ORVANE_READER"), reader);
    EXPECT_EQ(Field(entries[0], "MESSAGE"),
              "Создан ключ разблокировки KCV " + kcv + ", файл " + keyFile);
}

} // namespace
