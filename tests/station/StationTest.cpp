// The station's own rules over a scripted PC/SC stack (tests/support/FakePcsc.h): the limit of
// the service's readers, the count over all readers, readers unplugged and plugged in again.

#include "StationRecorder.h"
#include "StationTestKit.h"
#include "support/FakePcsc.h"

#include <gtest/gtest.h>

using namespace stationkit;

namespace {

const Bytes kToken = FakePcsc::FamilyAtr(0x07);

class StationRules : public ::testing::Test {
protected:
    LogFolder log;
    Journal journal;
    Settings settings;
    FakePcsc pcsc;
};

// The service serves 16 readers at most: with 16 listed, more may be attached unseen; with
// fewer, nothing is said.
TEST_F(StationRules, SaysWhenTheServiceServesNoMoreReaders) {
    for (const int readers : {15, 16}) {
        for (int r = 0; r < readers; ++r)
            pcsc.AddReader("Reader " + std::to_string(r));
        Station station(settings, {});
        Recorder events(station);
        station.Start();
        ASSERT_TRUE(events.Until([&] {
            return events.Count(StationEventKind::Attached) == readers &&
                   events.ReadersIn(RunState::Waiting) == readers;
        }));
        station.Esc();
        ASSERT_TRUE(events.Until([&] { return events.Count(StationEventKind::Finished) == 1; }));
        const auto notices = events.Of(StationEventKind::TooManyReaders);
        EXPECT_EQ(notices.size(), readers == 16 ? 1u : 0u) << readers;
        if (!notices.empty()) {
            EXPECT_NE(notices[0].text.find("16"), std::string::npos) << notices[0].text;
        }
        for (int r = 0; r < readers; ++r)
            pcsc.RemoveReader("Reader " + std::to_string(r));
    }
}

// --count counts tokens over every reader: three tokens in three readers and a count of two
// initialize two of them, never the third, and end the station.
TEST_F(StationRules, CountsTokensOverAllReaders) {
    for (const char* reader : {"Reader A", "Reader B", "Reader C"})
        pcsc.AddReader(reader, kToken);
    StationOptions options;
    options.count = 2;
    Station station(settings, options);
    Recorder events(station);
    station.Start();
    ASSERT_TRUE(events.Until([&] { return events.Count(StationEventKind::Finished) == 1; }));
    EXPECT_EQ(events.Count(StationEventKind::AttemptEnded), 2);
    EXPECT_EQ(station.Initialized(), 2);
    EXPECT_EQ(log.Count(" SUCCESS"), 2);
}

// A reader unplugged is marked and its run ends while the others go on; plugged in again it gets
// a run of its own and its token is initialized.
TEST_F(StationRules, UnpluggedReaderIsMarkedAndComesBack) {
    pcsc.AddReader("Reader A", kToken);
    pcsc.AddReader("Reader B");
    Station station(settings, {});
    Recorder events(station);
    station.Start();
    ASSERT_TRUE(events.Until([&] {
        return events.Count(StationEventKind::AttemptEnded, "Reader A") == 1 &&
               events.ReadersIn(RunState::Waiting) >= 1;
    }));
    pcsc.RemoveReader("Reader B");
    ASSERT_TRUE(events.Until([&] { return events.Count(StationEventKind::Unplugged) == 1; }));
    EXPECT_EQ(events.Of(StationEventKind::Unplugged)[0].reader, "Reader B");
    // Reader A goes on: the next token is initialized.
    pcsc.RemoveCard("Reader A");
    ASSERT_TRUE(events.Until([&] { return events.LastState("Reader A") == RunState::Waiting; }));
    pcsc.InsertCard("Reader A", kToken);
    ASSERT_TRUE(events.Until(
        [&] { return events.Count(StationEventKind::AttemptEnded, "Reader A") == 2; }));
    // Reader B plugged in again, with a token in it.
    pcsc.AddReader("Reader B", kToken);
    ASSERT_TRUE(events.Until(
        [&] { return events.Count(StationEventKind::AttemptEnded, "Reader B") == 1; }));
    EXPECT_EQ(events.Count(StationEventKind::Attached, "Reader B"), 2);
    station.Esc();
    ASSERT_TRUE(events.Until([&] { return events.Count(StationEventKind::Finished) == 1; }));
    EXPECT_EQ(station.Initialized(), 3);
}

} // namespace
