// The quick reading of a log line, which the counts of big logs go through, against the line
// taken apart as the journal shows it: lines of the usual shape are recognized, and a line
// recognized quickly always gets the outcome, card number and end the careful reading gives.

#include "engine/LogLines.h"
#include "engine/LogLine.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

// The line in a run of whole lines with room after it for the quick reading to look ahead.
std::string InRun(const std::string& line) {
    std::string run = line + "\r\n";
    while (run.size() < line.size() + loglines::kQuickLookahead + 2)
        run += "14:00:00: #0000000000000001 SUCCESS\r\n";
    return run;
}

// Whether the quick reading of the run's first line agrees with taking that line apart; answers
// whether it was recognized.
bool QuickAgrees(const std::string& run, std::string* why) {
    loglines::QuickLine quick;
    if (!loglines::QuickLogLine(run.data(), run.data() + run.size(), quick))
        return false;
    const std::string line = run.substr(0, run.find_first_of("\r\n"));
    const ParsedLogLine parsed = ParseLogLine(line);
    std::uint64_t key = 0;
    if (parsed.outcome == LogOutcome::Unrecognized)
        *why = "recognized a line that is no log line";
    else if (quick.success != (parsed.outcome == LogOutcome::Success))
        *why = "another outcome";
    else if (!loglines::HexCardKey(parsed.cardId, key) || key != quick.key)
        *why = "another card number";
    else if (quick.end != run.data() + line.size())
        *why = "another line end";
    return true;
}

struct QuickCase {
    const char* name;
    std::string line;
    bool quick; // recognized at once; any other line is taken apart
};
void PrintTo(const QuickCase& c, std::ostream* os) {
    *os << c.name;
}

class QuickLogLine : public ::testing::TestWithParam<QuickCase> {};

TEST_P(QuickLogLine, RecognizesTheUsualShapeAsTheCarefulReadingDoes) {
    const QuickCase& c = GetParam();
    std::string why;
    EXPECT_EQ(QuickAgrees(InRun(c.line), &why), c.quick);
    EXPECT_EQ(why, "");
}

const std::string kCard = "0123456789ABCDEF";

INSTANTIATE_TEST_SUITE_P(
    Lines, QuickLogLine,
    ::testing::Values(
        QuickCase{"Success", "14:03:27: #" + kCard + " SUCCESS", true},
        QuickCase{"Error", "14:03:27: #" + kCard + " ERROR: Смарт-карта не отвечает. ", true},
        QuickCase{"ErrorWithoutMessage", "14:03:27: #" + kCard + " ERROR: ", true},
        QuickCase{"RegionalTime", "2:03:27 PM: #" + kCard + " SUCCESS", true},
        QuickCase{"LongestTime", std::string(32, 't') + ": #" + kCard + " SUCCESS", true},
        QuickCase{"ShortestTime", "1: #" + kCard + " SUCCESS", true},
        QuickCase{"TimeTooLong", std::string(33, 't') + ": #" + kCard + " SUCCESS", false},
        QuickCase{"NoTime", ": #" + kCard + " SUCCESS", false},
        QuickCase{"HashInTheTime", "14:#3:27: #" + kCard + " SUCCESS", false},
        QuickCase{"NoBlankBeforeTheHash", "14:03:27:#" + kCard + " SUCCESS", false},
        QuickCase{"SmallLetters", "14:03:27: #0123456789abcdef SUCCESS", false},
        QuickCase{"CardTooShort", "14:03:27: #0123456789ABCDE SUCCESS", false},
        QuickCase{"CardTooLong", "14:03:27: #0123456789ABCDEF0 SUCCESS", false},
        QuickCase{"NoCard", "14:03:27: # SUCCESS", false},
        QuickCase{"SuccessAndMore", "14:03:27: #" + kCard + " SUCCESSFUL", false},
        QuickCase{"SuccessWithATrailingBlank", "14:03:27: #" + kCard + " SUCCESS ", false},
        QuickCase{"ErrorWithoutBlank", "14:03:27: #" + kCard + " ERROR:x", false},
        QuickCase{"LineEndsBeforeTheHash", "14:03\r: #" + kCard + " SUCCESS", false},
        QuickCase{"LineEndInTheUsualTime", "14:0\n:27: #" + kCard + " SUCCESS", false},
        QuickCase{"HashInTheUsualTime", "14#03:27: #" + kCard + " SUCCESS", false},
        QuickCase{"LineEndAtTheUsualHash", "14:03:27: \r" + kCard + " SUCCESS", false},
        QuickCase{"UsualHashWithoutColon", "14:03:27  #" + kCard + " SUCCESS", false},
        QuickCase{"UsualHashWithoutBlank", "14:03:27::#" + kCard + " SUCCESS", false},
        QuickCase{"NoBlankAfterTheCard", "14:03:27: #" + kCard + "_SUCCESS", false},
        QuickCase{"ErrorWithoutBlankAfterTheCard", "14:03:27: #" + kCard + "_ERROR: x", false},
        QuickCase{"AnEmptyLine", "", false},
        QuickCase{"HashOneFurther", "14:03:27 : #" + kCard + " SUCCESS", true}),
    [](const auto& info) { return std::string(info.param.name); });

// Lines of the usual shape with a few bytes changed, put in or taken out where the reading
// decides: whatever the quick reading recognizes, it reads as the careful one does.
TEST(QuickLogLineMutations, NeverDisagreesWithTheCarefulReading) {
    const std::vector<std::string> bases = {
        "14:03:27: #" + kCard + " SUCCESS",
        "14:03:27: #" + kCard + " ERROR: Ошибка инициализации смарт-карты. Card Error 6A82",
        std::string(31, '9') + ": #" + kCard + " SUCCESS"};
    const std::string alphabet = "#: \r\nSUCERO09AFaz\xD0";
    std::mt19937 random(20261209);
    int recognized = 0;
    for (int i = 0; i < 50000; ++i) {
        std::string line = bases[random() % bases.size()];
        for (unsigned changes = 1 + random() % 3; changes > 0; --changes) {
            const std::size_t at = random() % (line.size() + 1);
            const char c = alphabet[random() % alphabet.size()];
            switch (random() % 3) {
            case 0:
                if (at < line.size())
                    line[at] = c;
                break;
            case 1:
                line.insert(at, 1, c);
                break;
            default:
                if (at < line.size())
                    line.erase(at, 1);
            }
        }
        std::string why;
        recognized += QuickAgrees(InRun(line), &why);
        ASSERT_EQ(why, "") << "line: " << line;
    }
    // Most changes leave the line's shape alone: the quick reading is not idle.
    EXPECT_GT(recognized, 5000);
}

} // namespace
