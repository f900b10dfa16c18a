// Reading a day's initialization log without Qt: one line taken apart, a whole file with its
// counts and tokens to redo, a file that grows, shrinks or ends in the middle of a line, and the
// filter.

#include "engine/LogReader.h"
#include "engine/LogLine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

const std::string kFailure =
    "Ошибка инициализации смарт-карты. Установка группы дублирования. Card Error 6A82";

struct ParseCase {
    const char* name;
    std::string line;
    LogOutcome outcome;
    std::string time, cardId, message;
};
void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << c.name;
}

class JournalParser : public ::testing::TestWithParam<ParseCase> {};

TEST_P(JournalParser, TakesTheLineApart) {
    const ParseCase& c = GetParam();
    const ParsedLogLine parsed = ParseLogLine(c.line);
    EXPECT_EQ(parsed.outcome, c.outcome);
    EXPECT_EQ(parsed.time, c.time);
    EXPECT_EQ(parsed.cardId, c.cardId);
    EXPECT_EQ(parsed.message, c.message);
}

constexpr auto S = LogOutcome::Success;
constexpr auto E = LogOutcome::Error;
constexpr auto U = LogOutcome::Unrecognized;

INSTANTIATE_TEST_SUITE_P(
    Lines, JournalParser,
    ::testing::Values(
        ParseCase{"Success", "14:03:27: #0807060504030201 SUCCESS", S, "14:03:27",
                  "0807060504030201", ""},
        ParseCase{"Error", "14:03:27: #0807060504030201 ERROR: " + kFailure, E, "14:03:27",
                  "0807060504030201", kFailure},
        ParseCase{"EmptyCardNumber", "09:15:00: # SUCCESS", S, "09:15:00", "", ""},
        ParseCase{"EmptyCardNumberError", "09:15:00: # ERROR: Смарт-карта не отвечает. ", E,
                  "09:15:00", "", "Смарт-карта не отвечает. "},
        ParseCase{"MessageWithColons", "14:03:27: #01 ERROR: Шаг: 2: ответ: 6A82", E, "14:03:27",
                  "01", "Шаг: 2: ответ: 6A82"},
        ParseCase{"CrLfLeftOn", "14:03:27: #01 SUCCESS\r", S, "14:03:27", "01", ""},
        ParseCase{"TwelveHourTime", "2:03:27 PM: #01 SUCCESS", S, "2:03:27 PM", "01", ""},
        ParseCase{"Foreign", "Журнал открыт", U, "", "", ""}, ParseCase{"Empty", "", U, "", "", ""},
        ParseCase{"NoTime", ": #01 SUCCESS", U, "", "", ""},
        ParseCase{"UnknownOutcome", "14:03:27: #01 DONE", U, "", "", ""},
        ParseCase{"SuccessWithMore", "14:03:27: #01 SUCCESS again", U, "", "", ""},
        ParseCase{"CutAfterNumber", "14:03:27: #01", U, "", "", ""},
        ParseCase{"CutInOutcome", "14:03:27: #01 SUCC", U, "", "", ""},
        ParseCase{"CutAfterErrorColon", "14:03:27: #01 ERROR:", U, "", "", ""},
        ParseCase{"TooLongForATime", std::string(40, '1') + ": #01 SUCCESS", U, "", "", ""},
        ParseCase{"HashInTime", "14#03: #01 SUCCESS", U, "", "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JournalParserRoundTrip, ReadsBackWhatTheWriterFormats) {
    for (const auto& [time, card, message] :
         std::vector<std::tuple<std::string, std::string, std::string>>{
             {"14:03:27", "0807060504030201", ""},
             {"23:59:59", "", kFailure},
             {"00:00:01", "A1", "a: b: c"}}) {
        const std::string line = FormatLogLine(time, card, message);
        const ParsedLogLine parsed = ParseLogLine(line);
        EXPECT_EQ(parsed.outcome, message.empty() ? S : E) << line;
        EXPECT_EQ(parsed.time, time);
        EXPECT_EQ(parsed.cardId, card);
        EXPECT_EQ(parsed.message, message);
    }
}

TEST(JournalParserCase, FoldsLatinAndCyrillicCapitals) {
    EXPECT_EQ(FoldLetterCase("ABC xyz АБВ ПРЯ ЁЖ Ґ ЄІЇ 6A82 ёж"),
              "abc xyz абв пря ёж ґ єії 6a82 ёж");
}

// A log file of the test's own.
class JournalReader : public ::testing::Test {
protected:
    void SetUp() override {
        // A parameterized test's name holds a '/': one folder, not a folder inside another that
        // TearDown would leave behind.
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '_');
        folder_ = std::filesystem::temp_directory_path() /
                  ("orvane-journal-" +
                   std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" + name);
        std::filesystem::create_directories(folder_);
        path_ = (folder_ / "Orvane_07.12.2026.log").string();
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    void Write(const std::string& bytes, bool append = false) {
        std::ofstream out(path_, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
        out << bytes;
    }
    std::vector<LogOutcome> Outcomes() {
        std::vector<LogOutcome> outcomes;
        for (std::size_t i = 0; i < reader.LineCount(); ++i)
            outcomes.push_back(reader.Line(i).outcome);
        return outcomes;
    }
    std::vector<std::string> Redo() {
        std::vector<std::string> cards;
        for (const TokenToRedo& token : reader.TokensToRedo())
            cards.push_back(token.cardId + " " + reader.Line(token.lastErrorLine).message);
        return cards;
    }

    std::filesystem::path folder_;
    std::string path_;
    LogReader reader;
};

TEST_F(JournalReader, NoFileIsNoLog) {
    EXPECT_FALSE(reader.Open(path_));
    EXPECT_EQ(reader.LineCount(), 0u);
}

TEST_F(JournalReader, ReadsCrLfAndLfLinesInFileOrderWithTheDaysCounts) {
    Write("14:00:01: #AA ERROR: Смарт-карта не отвечает. \r\n"
          "14:00:09: #AA SUCCESS\n"
          "\r\n"
          "Что-то чужое\r\n"
          "14:01:00: #BB ERROR: first\r\n"
          "14:02:00: #BB ERROR: second: with colon\r\n"
          "14:03:00: # SUCCESS\r\n"
          "14:04:00: #CC SUCCESS\r\n"
          "14:05:00: #CC ERROR: later\r\n"
          "14:06:00: #DD ERROR: only\r\n");
    ASSERT_TRUE(reader.Open(path_));
    EXPECT_EQ(Outcomes(), (std::vector{E, S, U, E, E, S, S, E, E}));
    EXPECT_EQ(reader.Line(0).message, "Смарт-карта не отвечает. ");
    EXPECT_EQ(reader.Line(2).text, "Что-то чужое");
    EXPECT_EQ(reader.Line(5).cardId, "");
    const LogTally tally = reader.Tally();
    EXPECT_EQ(tally.succeeded, 3u);
    EXPECT_EQ(tally.failed, 5u);
    EXPECT_EQ(tally.unrecognized, 1u);
    EXPECT_EQ(tally.withoutNumber, 1u);
    EXPECT_EQ(tally.tokens, 4u);
    // CC failed after its success: it was initialized that day. BB's last failure names why.
    EXPECT_EQ(Redo(), (std::vector<std::string>{"BB second: with colon", "DD only"}));
}

// The same four lines with every kind of line end: each is a line of its own, none is left with a
// CR, and a CR-only file is not one long unrecognised line.
struct LineEndCase {
    const char* name;
    std::string bytes;
};
void PrintTo(const LineEndCase& c, std::ostream* os) {
    *os << c.name;
}

class JournalLineEnds : public JournalReader, public ::testing::WithParamInterface<LineEndCase> {};

TEST_P(JournalLineEnds, EveryLineEndSeparatesLines) {
    Write(GetParam().bytes);
    ASSERT_TRUE(reader.Open(path_));
    EXPECT_EQ(Outcomes(), (std::vector{S, E, U, S}));
    ASSERT_EQ(reader.LineCount(), 4u);
    EXPECT_EQ(reader.Line(0).cardId, "AA");
    EXPECT_EQ(reader.Line(1).message, "Установка ПИН-кода.");
    EXPECT_EQ(reader.Line(2).text, "Что-то чужое");
    EXPECT_EQ(reader.Line(3).cardId, "CC");
    EXPECT_EQ(reader.Tally().unrecognized, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, JournalLineEnds,
    ::testing::Values(
        LineEndCase{"CrLf", "14:00:01: #AA SUCCESS\r\n14:00:02: #BB ERROR: Установка ПИН-кода.\r\n"
                            "Что-то чужое\r\n14:00:03: #CC SUCCESS\r\n"},
        LineEndCase{"Lf", "14:00:01: #AA SUCCESS\n14:00:02: #BB ERROR: Установка ПИН-кода.\n"
                          "Что-то чужое\n14:00:03: #CC SUCCESS\n"},
        LineEndCase{"CrOnly", "14:00:01: #AA SUCCESS\r14:00:02: #BB ERROR: Установка ПИН-кода.\r"
                              "Что-то чужое\r14:00:03: #CC SUCCESS\r"},
        LineEndCase{"CrOnlyLastLineOpen",
                    "14:00:01: #AA SUCCESS\r14:00:02: #BB ERROR: Установка ПИН-кода.\r"
                    "Что-то чужое\r14:00:03: #CC SUCCESS"},
        LineEndCase{"Mixed", "14:00:01: #AA SUCCESS\r14:00:02: #BB ERROR: Установка ПИН-кода.\n"
                             "Что-то чужое\r\n\r\n\r14:00:03: #CC SUCCESS\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(JournalReader, ACrOnlyLogGrowsLineByLine) {
    Write("14:00:01: #AA SUCCESS\r14:00:02: #BB ERR");
    ASSERT_TRUE(reader.Open(path_));
    ASSERT_EQ(reader.LineCount(), 2u);
    Write("OR: x\r14:00:03: #CC SUCCESS\r", true);
    EXPECT_EQ(reader.Refresh(), 1u);
    EXPECT_EQ(Outcomes(), (std::vector{S, E, S}));
    EXPECT_EQ(reader.Line(1).message, "x");
}

TEST_F(JournalReader, ShowsATruncatedLastLineAndReadsItAgainWhenItIsComplete) {
    Write("14:00:01: #AA SUCCESS\r\n14:00:05: #1807F6E5D4C3B2A1 ERROR: Устан");
    ASSERT_TRUE(reader.Open(path_));
    ASSERT_EQ(reader.LineCount(), 2u);
    EXPECT_EQ(reader.Line(1).message, "Устан");
    EXPECT_EQ(reader.Tally().failed, 1u);
    EXPECT_EQ(Redo(), (std::vector<std::string>{"1807F6E5D4C3B2A1 Устан"}));

    Write("овка ПИН-кода.\r\n14:00:09: #1807F6E5D4C3B2A1 SUCCESS\r\n14:00:1", true);
    EXPECT_EQ(reader.Refresh(), 1u);
    ASSERT_EQ(reader.LineCount(), 4u);
    EXPECT_EQ(reader.Line(1).message, "Установка ПИН-кода.");
    EXPECT_EQ(Outcomes(), (std::vector{S, E, S, U}));
    const LogTally tally = reader.Tally();
    EXPECT_EQ(tally.failed, 1u) << "the cut line is counted once";
    EXPECT_EQ(tally.succeeded, 2u);
    EXPECT_EQ(tally.unrecognized, 1u);
    EXPECT_EQ(tally.tokens, 2u);
    EXPECT_TRUE(Redo().empty());

    Write("5: #CC SUCCESS\r\n", true);
    EXPECT_EQ(reader.Refresh(), 3u);
    EXPECT_EQ(Outcomes(), (std::vector{S, E, S, S}));
    EXPECT_EQ(reader.Tally().unrecognized, 0u);
    EXPECT_EQ(reader.Tally().tokens, 3u);
    EXPECT_EQ(reader.Refresh(), 4u) << "nothing new";
}

TEST_F(JournalReader, AppendedLinesComeAtTheEndAndAShorterFileIsReadAnew) {
    Write("14:00:01: #AA SUCCESS\r\n");
    ASSERT_TRUE(reader.Open(path_));
    Write("14:00:02: #BB ERROR: x\r\n", true);
    EXPECT_EQ(reader.Refresh(), 1u);
    EXPECT_EQ(reader.LineCount(), 2u);
    EXPECT_EQ(reader.Line(1).cardId, "BB");

    Write("09:00:00: #ZZ SUCCESS\r\n");
    EXPECT_EQ(reader.Refresh(), 0u);
    ASSERT_EQ(reader.LineCount(), 1u);
    EXPECT_EQ(reader.Line(0).cardId, "ZZ");
    EXPECT_EQ(reader.Tally().tokens, 1u);
    EXPECT_EQ(reader.Tally().failed, 0u);
}

TEST_F(JournalReader, AFileWrittenAcrossMidnightKeepsItsOrderAndCountsEveryLine) {
    // The clock moved back past midnight while the day's file stayed (a changed clock or time
    // zone): the lines stay in the order they were written, none is lost.
    Write("23:59:58: #AA ERROR: before\r\n00:00:03: #AA SUCCESS\r\n00:00:04: #BB ERROR: after\r\n");
    ASSERT_TRUE(reader.Open(path_));
    ASSERT_EQ(reader.LineCount(), 3u);
    EXPECT_EQ(reader.Line(0).time, "23:59:58");
    EXPECT_EQ(reader.Line(1).time, "00:00:03");
    EXPECT_EQ(reader.Tally().succeeded, 1u);
    EXPECT_EQ(reader.Tally().failed, 2u);
    EXPECT_EQ(Redo(), (std::vector<std::string>{"BB after"}));
}

TEST_F(JournalReader, AVeryLongForeignLineIsCutAndTheNextLineStillRead) {
    Write(std::string(3 << 20, 'x') + "\r\n14:00:01: #AA SUCCESS\r\n");
    ASSERT_TRUE(reader.Open(path_));
    ASSERT_EQ(reader.LineCount(), 2u);
    EXPECT_EQ(reader.Line(0).outcome, U);
    EXPECT_EQ(reader.Line(0).text.size(), LogReader::kMaxLineBytes);
    EXPECT_EQ(reader.Line(1).cardId, "AA");
}

TEST_F(JournalReader, FindsCardNumbersAndMessagesWhateverTheirCase) {
    Write("14:00:01: #A1B2 ERROR: Card Error 6A82\r\n"
          "14:00:02: #C3D4 ERROR: Смарт-карта не отвечает. \r\n"
          "14:00:03: #E5F6 SUCCESS\r\n"
          "Чужая строка с Card\r\n");
    ASSERT_TRUE(reader.Open(path_));
    struct Case {
        std::string text;
        std::vector<std::size_t> lines;
    };
    for (const Case& c : std::vector<Case>{{"card error", {0}},
                                           {"СМАРТ-КАРТА", {1}},
                                           {"a1b2", {0}},
                                           {"e5", {2}},
                                           {"14:00", {}},
                                           {"card", {0, 3}},
                                           {"", {0, 1, 2, 3}}})
        EXPECT_EQ(reader.Find(c.text), c.lines) << c.text;
    EXPECT_EQ(reader.Find("card", 1), (std::vector<std::size_t>{3}));
}

} // namespace
