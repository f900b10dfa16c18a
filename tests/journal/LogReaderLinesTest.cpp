// Reading a day's log line by line where the reading is hardest: lines longer than the reader
// keeps, line ends that fall on the edge of a read (a CR LF split between two), and logs written
// with CR LF, LF or CR alone. Each file is read three ways (the first look, a pass over every
// line, each line asked for alone) and checked against a plain split of the bytes. The compact
// table of card numbers is checked against a plain map.

#include "engine/CardTable.h"
#include "engine/LogReader.h"
#include "support/FailingLogReads.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t kMax = LogReader::kMaxLineBytes;
constexpr std::size_t kRead = LogReader::kPassReadBytes; // where a CR LF may be split
constexpr std::size_t kView = LogReader::kViewBytes;

// The lines of `bytes` as the reader must show them: every CR or LF ends a line, empty lines are
// skipped, a line is cut at kMax.
std::vector<std::string> Split(const std::string& bytes) {
    std::vector<std::string> lines;
    std::string line;
    const auto end = [&] {
        if (!line.empty())
            lines.push_back(line.substr(0, kMax));
        line.clear();
    };
    for (const char c : bytes) {
        if (c == '\r' || c == '\n')
            end();
        else
            line += c;
    }
    end();
    return lines;
}

// Filler lines of `size` bytes in all, each ended by `end`: successes and failures on a few cards.
std::string Filler(std::size_t size, const std::string& end) {
    std::string bytes;
    for (int i = 0;; ++i) {
        std::string line = "14:00:00: #01020304050607" + std::to_string(10 + i % 7) +
                           (i % 3 == 0 ? " ERROR: Смарт-карта не отвечает. " : " SUCCESS");
        if (bytes.size() + line.size() + end.size() > size)
            break;
        bytes += line + end;
    }
    bytes += std::string(size - bytes.size(), 'z'); // the last one: a foreign line
    return bytes;
}

// The reader's counts are those of `lines`, each taken apart alone.
void ExpectCounted(const LogReader& reader, const std::vector<std::string>& lines) {
    LogTally tally;
    std::set<std::string> cards;
    for (const std::string& line : lines) {
        const ParsedLogLine parsed = ParseLogLine(line);
        if (parsed.outcome == LogOutcome::Unrecognized) {
            ++tally.unrecognized;
            continue;
        }
        ++(parsed.outcome == LogOutcome::Success ? tally.succeeded : tally.failed);
        if (parsed.cardId.empty())
            ++tally.withoutNumber;
        else
            cards.emplace(parsed.cardId);
    }
    const LogTally counted = reader.Tally();
    EXPECT_EQ(counted.succeeded, tally.succeeded);
    EXPECT_EQ(counted.failed, tally.failed);
    EXPECT_EQ(counted.withoutNumber, tally.withoutNumber);
    EXPECT_EQ(counted.unrecognized, tally.unrecognized);
    EXPECT_EQ(counted.tokens, cards.size());
}

struct LinesCase {
    const char* name;
    std::string bytes;
};
void PrintTo(const LinesCase& c, std::ostream* os) {
    *os << c.name;
}

class JournalLines : public ::testing::TestWithParam<LinesCase> {
protected:
    void SetUp() override {
        path_ = (std::filesystem::temp_directory_path() /
                 ("orvane-journal-lines-" + std::to_string(getpid()) + "-" +
                  std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + ".log"))
                    .string();
    }
    void TearDown() override { std::filesystem::remove(path_); }
    // Reads the file every way and checks the lines and counts against `expected`.
    void ExpectReadAlike(const std::vector<std::string>& expected);
    std::string path_;
};

TEST_P(JournalLines, EveryWayOfReadingSplitsTheBytesAlike) {
    const std::string& bytes = GetParam().bytes;
    {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    const std::vector<std::string> expected = Split(bytes);
    // The first look reads the file in place, or a piece at a time where it may not.
    for (const bool inPlace : {true, false}) {
        SCOPED_TRACE(inPlace ? "read in place" : "read a piece at a time");
        std::optional<FailingLogReads> pieces;
        if (!inPlace)
            pieces.emplace(std::numeric_limits<std::uint64_t>::max());
        ExpectReadAlike(expected);
    }
}

void JournalLines::ExpectReadAlike(const std::vector<std::string>& expected) {
    LogReader reader;
    ASSERT_TRUE(reader.Open(path_));
    ASSERT_EQ(reader.LineCount(), expected.size());

    std::vector<std::string> passed;
    reader.ForEachLine(nullptr, 0,
                       [&](std::size_t, std::string_view line) { passed.emplace_back(line); });
    EXPECT_TRUE(passed == expected) << "a pass over every line differs";
    for (std::size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(reader.Line(i).text, expected[i]) << "line " << i;

    ExpectCounted(reader, expected);
}

const std::string kLine = "14:00:01: #AA SUCCESS";
const std::string kLong = std::string(3 * kMax + 7, 'x');

INSTANTIATE_TEST_SUITE_P(
    Files, JournalLines,
    ::testing::Values(
        LinesCase{"LongLineCrLf", kLong + "\r\n" + kLine + "\r\n" + kLong + "\r\n"},
        LinesCase{"LongLineLf", kLong + "\n" + kLine + "\n" + kLong + "\n"},
        LinesCase{"LongLineCrOnly", kLong + "\r" + kLine + "\r" + kLong + "\r" + kLine},
        LinesCase{"LongLastLineOpen", kLine + "\r\n" + kLong},
        LinesCase{"ExactlyMaxAndOneMore", std::string(kMax, 'a') + "\r\n" +
                                              std::string(kMax + 1, 'b') + "\r" +
                                              std::string(kMax - 1, 'c') + "\n" + kLine},
        // The first read ends between CR and LF, on a CR alone, or just after CR LF.
        LinesCase{"CrLfSplitBetweenReads", Filler(kRead - 1, "\r\n") + "\r\n" + kLine + "\r\n"},
        LinesCase{"CrOnlyAtTheEndOfARead", Filler(kRead - 1, "\r") + "\r" + kLine + "\r"},
        LinesCase{"LfAtTheStartOfARead", Filler(kRead, "\n") + "\n" + kLine + "\n"},
        // A line too long to keep whose CR LF falls on the edge of a read.
        LinesCase{"LongLineCrLfSplitBetweenReads",
                  std::string(kRead - 1, 'y') + "\r\n" + kLine + "\r\n"},
        LinesCase{"LongLineCrAtTheEndOfTheSecondRead",
                  kLine + "\r\n" + std::string(2 * kRead - kLine.size() - 3, 'y') + "\r" + kLine},
        // Read in place, a view at a time: a CR LF on the edge of two views, a line longer
        // than a view.
        LinesCase{"CrLfSplitBetweenViews", Filler(kView - 1, "\r\n") + "\r\n" + kLine + "\r\n"},
        LinesCase{"LineLongerThanAView",
                  kLine + "\r\n" + std::string(kView + 10, 'v') + "\r\n" + kLine + "\r\n" + kLine},
        LinesCase{"ManyEmptyLines", "\r\n\r\n\n\r\r" + kLine + "\n\n\r\r\n" + kLine}),
    [](const auto& info) { return std::string(info.param.name); });

// A disk that does not give back part of the log: the reading stops at the last line end before
// the bad spot and says why (the bytes after that line end are no last line), and a refresh once
// the disk gives the bytes back reads on to the end. A pass over every line that meets the spot
// says so too.
TEST_F(JournalLines, AReadThatFailsStopsAtTheLastLineEndBeforeItAndSaysWhy) {
    const std::string bytes =
        Filler(kRead - 1, "\r\n") + "\r\n" + kLong + "\r\n" + kLine + "\r\n" + kLine;
    {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    const auto linesCounted = [](const LogReader& reader) {
        const LogTally tally = reader.Tally();
        return tally.succeeded + tally.failed + tally.unrecognized;
    };
    const std::size_t all = Split(bytes).size();
    // At the start, in the first line, on the CR of a CR LF that ends a read, between that CR
    // and its LF, in a line too long to keep, in the unfinished last line.
    for (const std::size_t failAt :
         {std::size_t{0}, std::size_t{10}, kRead - 1, kRead, kRead + 100, bytes.size() - 3}) {
        SCOPED_TRACE(failAt);
        const std::string before = bytes.substr(0, failAt);
        const std::size_t lastEnd = before.find_last_of("\r\n");
        const std::size_t expected =
            Split(lastEnd == std::string::npos ? std::string() : before.substr(0, lastEnd + 1))
                .size();
        FailingLogReads disk(failAt);
        LogReader reader;
        ASSERT_TRUE(reader.Open(path_));
        EXPECT_EQ(reader.ReadError(), EIO);
        EXPECT_EQ(reader.LineCount(), expected);
        EXPECT_EQ(linesCounted(reader), expected);
        disk.Heal();
        reader.Refresh();
        EXPECT_EQ(reader.ReadError(), 0);
        EXPECT_EQ(reader.LineCount(), all);
        EXPECT_EQ(linesCounted(reader), all);
    }
    LogReader reader;
    ASSERT_TRUE(reader.Open(path_));
    FailingLogReads disk(kRead + 100);
    std::vector<std::string> passed;
    reader.ForEachLine(nullptr, 0,
                       [&](std::size_t, std::string_view line) { passed.emplace_back(line); });
    EXPECT_EQ(reader.ReadError(), EIO);
    EXPECT_TRUE(passed == Split(bytes.substr(0, kRead + 1))) << passed.size() << " lines";
}

// Reads in place that find the file cut short to `cutAt` bytes just after it was mapped, as
// when another program empties or shortens the log while the journal reads it.
class CutWhenMapped final : public loglines::ILogFileReads {
public:
    CutWhenMapped(std::string path, std::uint64_t cutAt) : path_(std::move(path)), cutAt_(cutAt) {
        loglines::SetLogFileReads(this);
    }
    ~CutWhenMapped() override { loglines::SetLogFileReads(nullptr); }
    CutWhenMapped(const CutWhenMapped&) = delete;
    CutWhenMapped& operator=(const CutWhenMapped&) = delete;

    ssize_t Read(int fd, char* to, std::size_t bytes, std::uint64_t offset) override {
        ++reads_;
        return pread(fd, to, bytes, static_cast<off_t>(offset));
    }
    bool InPlace() const override { return true; }
    void Mapped(int) override { EXPECT_EQ(truncate(path_.c_str(), static_cast<off_t>(cutAt_)), 0); }
    int Reads() const { return reads_; }

private:
    std::string path_;
    std::uint64_t cutAt_;
    int reads_ = 0;
};

// A log cut short while it is read in place: the reader never stops on the missing pages, drops
// what it read and reads the file anew, so it shows and counts exactly what is left.
TEST_F(JournalLines, ALogCutShortWhileReadInPlaceIsReadAnew) {
    const long page = sysconf(_SC_PAGESIZE);
    const std::string bytes = Filler(static_cast<std::size_t>(5 * page), "\r\n") + "\r\n";
    // Emptied, cut in a line of the second page, cut at a page's edge, a few bytes taken off.
    for (const std::size_t cutAt : {std::size_t{0}, static_cast<std::size_t>(page + 100),
                                    static_cast<std::size_t>(2 * page), bytes.size() - 5}) {
        SCOPED_TRACE(cutAt);
        {
            std::ofstream out(path_, std::ios::binary | std::ios::trunc);
            out << bytes;
        }
        const std::vector<std::string> expected = Split(bytes.substr(0, cutAt));
        CutWhenMapped reads(path_, cutAt);
        LogReader reader;
        ASSERT_TRUE(reader.Open(path_));
        EXPECT_EQ(reader.LineCount(), expected.size());
        ExpectCounted(reader, expected);
        if (!expected.empty()) {
            EXPECT_GT(reads.Reads(), 0) << "not read anew";
            EXPECT_EQ(reader.Line(expected.size() - 1).text, expected.back());
        }
    }
}

// The card table against a plain map, over random attempts on few, some and many cards, with and
// without room made at once (less or more than needed, or a guess far too big): tables that grow,
// cards that fail and succeed later (or earlier), and cards seen once; compared at points along
// the way too, as a log that grows is read again.
TEST(JournalCardTable, AgreesWithAPlainMap) {
    struct State {
        std::uint32_t first = 0, last = 0;
        bool succeeded = false, failed = false;
    };
    for (const std::uint64_t spread :
         {std::uint64_t{40}, std::uint64_t{5000}, std::uint64_t{1} << 62})
        for (const std::size_t reserved :
             {std::size_t{0}, std::size_t{3000}, std::size_t{300000}, std::size_t{1} << 62}) {
            SCOPED_TRACE(std::to_string(spread) + " cards, room made for " +
                         std::to_string(reserved));
            std::mt19937_64 random(spread);
            CardTable table;
            table.Reserve(reserved);
            std::map<std::uint64_t, State> plain;
            const auto compare = [&] {
                table.Settle();
                EXPECT_EQ(table.Size(), plain.size());
                std::map<std::uint64_t, std::pair<std::uint32_t, std::uint32_t>> failing, expected;
                table.ForEachFailing([&](std::uint64_t key, std::uint32_t first,
                                         std::uint32_t last) {
                    EXPECT_TRUE(failing.emplace(key, std::make_pair(first, last)).second) << key;
                });
                for (const auto& [key, state] : plain) {
                    if (state.failed && !state.succeeded)
                        expected.emplace(key, std::make_pair(state.first, state.last));
                    ASSERT_TRUE(table.Contains(key)) << key;
                }
                EXPECT_TRUE(failing == expected)
                    << failing.size() << " failing, expected " << expected.size();
                EXPECT_FALSE(table.Contains(spread + 1));
            };
            for (std::uint32_t line = 0; line < 200000; ++line) {
                const std::uint64_t key = random() % spread; // card 0 among them
                const bool success = random() % 3 == 0;
                table.Add(key, line, success);
                auto [it, added] = plain.try_emplace(key);
                if (added)
                    it->second.first = line;
                if (success) {
                    it->second.succeeded = true;
                } else {
                    it->second.failed = true;
                    it->second.last = line;
                }
                if (line == 7 || line == 20000 || line == 150000)
                    compare();
            }
            compare();
        }
}

// Card numbers come back as written: 16 upper-case hexadecimal digits are kept as a number,
// anything else (small letters, a digit too many or too few, a letter past F) as text.
TEST_F(JournalLines, CardNumbersKeepTheirSpelling) {
    const std::vector<std::string> cards = {
        "ABCDEF0123456789", "abcdef0123456789",   "0123456789ABCDEG",  "FFFFFFFFFFFFFFFF",
        "0000000000000000", "0123456789ABCDE",    "0123456789ABCDEF0", "9A:BC",
        "@0123456789ABCDE", "0123456789ABCDE\xD0"};
    {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        for (const std::string& card : cards)
            out << "14:00:01: #" << card << " ERROR: x\r\n";
    }
    LogReader reader;
    ASSERT_TRUE(reader.Open(path_));
    std::vector<std::string> redo;
    for (const TokenToRedo& token : reader.TokensToRedo())
        redo.push_back(token.cardId);
    EXPECT_EQ(redo, cards);
    EXPECT_EQ(reader.Tally().tokens, cards.size());
}

// A last line still being written counts as it stands, whether its card is new or known.
struct TailCase {
    const char* name;
    std::string tail;
    std::size_t tokens;
    std::vector<std::string> redo; // card and the line of its last failure
};
class JournalTail : public JournalLines {};

TEST_F(JournalTail, AnUnfinishedLastLineCountsAsItStands) {
    const std::string before = "14:00:01: #0102030405060708 ERROR: first\r\n"
                               "14:00:02: #A1 ERROR: other\r\n"
                               "14:00:03: #1112131415161718 SUCCESS\r\n";
    for (const TailCase& c : std::vector<TailCase>{
             {"None", "", 3, {"0102030405060708 0", "A1 1"}},
             {"KnownFailedSucceeds", "14:00:04: #0102030405060708 SUCCESS", 3, {"A1 1"}},
             {"KnownFailedFailsAgain",
              "14:00:04: #0102030405060708 ERROR: again",
              3,
              {"0102030405060708 3", "A1 1"}},
             {"OtherNumberSucceeds", "14:00:04: #A1 SUCCESS", 3, {"0102030405060708 0"}},
             {"KnownSucceededFails",
              "14:00:04: #1112131415161718 ERROR: later",
              3,
              {"0102030405060708 0", "A1 1"}},
             {"NewFails",
              "14:00:04: #2122232425262728 ERROR: new",
              4,
              {"0102030405060708 0", "A1 1", "2122232425262728 3"}},
             {"Unfinished", "14:00:04: #2122", 3, {"0102030405060708 0", "A1 1"}}}) {
        SCOPED_TRACE(c.name);
        {
            std::ofstream out(path_, std::ios::binary | std::ios::trunc);
            out << before << c.tail;
        }
        LogReader reader;
        ASSERT_TRUE(reader.Open(path_));
        EXPECT_EQ(reader.Tally().tokens, c.tokens);
        std::vector<std::string> redo;
        for (const TokenToRedo& token : reader.TokensToRedo())
            redo.push_back(token.cardId + " " + std::to_string(token.lastErrorLine));
        EXPECT_EQ(redo, c.redo);
        // Once the line is finished, the counts are those of a file read whole.
        {
            std::ofstream out(path_, std::ios::binary | std::ios::app);
            out << "\r\n";
        }
        reader.Refresh();
        EXPECT_EQ(reader.Tally().tokens, c.tokens);
        EXPECT_EQ(reader.TokensToRedo().size(), c.redo.size());
    }
}

} // namespace
