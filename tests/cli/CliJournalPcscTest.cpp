// The audit entries of orvane-cli in a real systemd-journald: the test runs in a mount namespace
// of its own (as root), with empty folders over the journal's runtime and persistent places, starts
// journald there and reads back what it stored with journalctl. A key generated and loaded, a run
// over two tokens (the first refused), a PIN reset and a response: every entry and field, and no
// PIN, PUK, key or response in any of them. It cannot be skipped: where it cannot run it fails
// with the reason.

#include "CliProcess.h"
#include "CliTestKit.h"
#include "PrivateJournal.h"
#include "VirtualToken.h"
#include "engine/AuditJournal.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <map>

namespace {

using nlohmann::json;
using namespace journalkit;

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
    const std::string run = InitTwoTokens(tokenA, tokenB, pinFile, keyFile, environment);
    ASSERT_EQ(run, "");

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
    const std::vector<Entry> entries =
        OrvaneEntries(std::string("-D ") + kJournalFolder, kinds.size());
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
        // Sent by the program itself: journald adds _COMM only while the process still runs.
        EXPECT_EQ(Field(entry, "SYSLOG_IDENTIFIER"), "orvane-cli");
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
    EXPECT_EQ(Field(refused, "ORVANE_CARD"), kLoggedA);
    EXPECT_EQ(Field(refused, "ORVANE_READER"), reader);
    const Entry& done = entries[4];
    EXPECT_EQ(Field(done, "ORVANE_RESULT"), "success");
    EXPECT_EQ(Field(done, "PRIORITY"), "6");
    EXPECT_EQ(Field(done, "ORVANE_CARD"), kLoggedB);
    EXPECT_EQ(Field(done, "MESSAGE"), "Смарт-карта #" + kLoggedB + " инициализирована");
    EXPECT_EQ(Field(done, "ORVANE_GROUP_RSA"), "D1");
    EXPECT_EQ(done.count("ORVANE_GROUP_DSTU"), 0u);
    EXPECT_EQ(Field(done, "ORVANE_DEVICE_NAME"), "Бухгалтерия");
    EXPECT_EQ(Field(done, "ORVANE_UNBLOCK_KCV"), kcv);
    EXPECT_EQ(Field(entries[5], "MESSAGE"),
              "Инициализация закончена: смарт-карт инициализировано 1, неудачных попыток 1");
    EXPECT_EQ(Field(entries[5], "ORVANE_RESULT"), "warning");
    const Entry& reset = entries[7];
    EXPECT_EQ(Field(reset, "ORVANE_RESULT"), "success");
    EXPECT_EQ(Field(reset, "ORVANE_CARD"), kLoggedB);
    EXPECT_EQ(Field(reset, "ORVANE_READER"), reader);
    EXPECT_EQ(Field(entries[0], "MESSAGE"),
              "Создан ключ разблокировки KCV " + kcv + ", файл " + keyFile);
}

} // namespace
