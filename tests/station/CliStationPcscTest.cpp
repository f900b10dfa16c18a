// orvane-cli init over several readers through the real pcscd (the station's stack of separate
// readers): every line names its reader, --count counts the tokens of all readers, and a token
// gets the same commands as from the one-reader run.

#include "../cli/CliProcess.h"
#include "StationTestKit.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <sstream>

using namespace stationkit;

namespace {

class CliStation : public ::testing::Test {
protected:
    CliStation() { UseStationStack(); }
    void TearDown() override {
        for (VirtualToken& token : tokens)
            EXPECT_TRUE(token.Remove()) << token.Error();
    }
    std::vector<std::string> Lines(const std::string& text) {
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    LogFolder log; // the child inherits XDG_DATA_HOME
    VirtualToken tokens[3];
    std::vector<std::pair<std::string, std::string>> environment{{"ORVANE_TEST_PIN", "1234"}};
};

// Two readers named, three tokens (one in a reader not named): --count 2 initializes the two,
// each JSON event of a reader names it, and the token of the third reader is never touched.
TEST_F(CliStation, JsonEventsNameTheirReaderAndTheCountCoversAllReaders) {
    for (int r = 0; r < 3; ++r)
        ASSERT_TRUE(tokens[r].Insert(VirtualTokenOptions().Slot(SlotOf(r)))) << tokens[r].Error();
    std::string out, err;
    const int code = CliProcess::Run({"--json", "init", "--reader", ReaderOf(0), "--reader",
                                      ReaderOf(1), "--pin-env", "ORVANE_TEST_PIN", "--no-key",
                                      "--group-rsa", "D1", "--count", "2"},
                                     environment, "", out, err);
    EXPECT_EQ(code, 0) << out << err;
    int results = 0;
    for (const std::string& line : Lines(out)) {
        const auto event = nlohmann::json::parse(line);
        const std::string name = event["event"];
        if (name == "notice" || name == "done")
            continue;
        ASSERT_TRUE(event["reader"].is_string()) << line;
        EXPECT_TRUE(event["reader"] == ReaderOf(0) || event["reader"] == ReaderOf(1)) << line;
        if (name == "result") {
            ++results;
            EXPECT_EQ(event["ok"], true) << line;
        }
    }
    EXPECT_EQ(results, 2);
    EXPECT_EQ(nlohmann::json::parse(Lines(out).back())["initialized"], 2);
    EXPECT_TRUE(tokens[2].Apdus().empty());
    EXPECT_EQ(log.Count(" SUCCESS"), 2);
}

// Text mode: every line of a reader starts with its name; the last line counts all readers.
TEST_F(CliStation, TextLinesStartWithTheirReader) {
    for (int r = 0; r < 2; ++r)
        ASSERT_TRUE(tokens[r].Insert(VirtualTokenOptions().Slot(SlotOf(r)))) << tokens[r].Error();
    std::string out, err;
    const int code = CliProcess::Run({"init", "--reader", ReaderOf(0), "--reader", ReaderOf(1),
                                      "--pin-env", "ORVANE_TEST_PIN", "--no-key", "--count", "2"},
                                     environment, "", out, err);
    EXPECT_EQ(code, 0) << out << err;
    const auto lines = Lines(out);
    ASSERT_FALSE(lines.empty());
    for (std::size_t i = 0; i + 1 < lines.size(); ++i)
        EXPECT_TRUE(lines[i].rfind(ReaderOf(0) + ": ", 0) == 0 ||
                    lines[i].rfind(ReaderOf(1) + ": ", 0) == 0)
            << lines[i];
    EXPECT_EQ(lines.back(), "Инициализация закончена: смарт-карт инициализировано 2, неудачных "
                            "попыток 0");
}

} // namespace
