// A machine without a system journal: every command still does its work and says so once on
// standard error, as a line of text or, with --json, as one JSON object like its other lines.

#include "CliTestKit.h"
#include "support/RecordingAuditJournal.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

const std::string kAway =
    "Системный журнал недоступен (нет /run/systemd/journal/socket): события аудита в него не "
    "записываются";

std::string KeyBytes() {
    std::string key;
    for (int i = 0; i < 16; ++i)
        key += static_cast<char>(0x11 * (i + 1));
    return key;
}

TEST(CliJournalNotice, NoJournalIsToldOnceInTheFormOfTheOutput) {
    clikit::TestLog log;
    clikit::Files files;
    const std::string key = files.Write("admin.key", KeyBytes());
    for (const bool json : {false, true}) {
        SCOPED_TRACE(json ? "--json" : "text");
        RecordingAuditJournal journal;
        journal.refusal = "нет /run/systemd/journal/socket";
        clikit::Cli cli;
        std::vector<std::string> arguments = {"kcv", key};
        if (json)
            arguments.insert(arguments.begin(), "--json");
        const clikit::CliRun run = cli.Run(arguments);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_TRUE(journal.warnings.empty()) << "told past the command's output";
        if (!json) {
            EXPECT_EQ(run.err, kAway + "\n");
            continue;
        }
        ASSERT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        const nlohmann::json told = nlohmann::json::parse(run.err, nullptr, false);
        ASSERT_FALSE(told.is_discarded()) << run.err;
        EXPECT_EQ(told["event"], "journal-unavailable");
        EXPECT_EQ(told["message"], kAway);
        EXPECT_TRUE(told["ok"].is_null());
        EXPECT_TRUE(told.contains("time"));
        // The command's own output is untouched: one JSON line on standard output.
        const nlohmann::json result = nlohmann::json::parse(run.out, nullptr, false);
        ASSERT_FALSE(result.is_discarded()) << run.out;
        EXPECT_EQ(result["event"], "kcv");
    }
}

} // namespace
