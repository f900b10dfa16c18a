// Several readers at once through the real pcscd: a private stack with four readers of their own
// (pcsc-sandbox --readers 4, fixture `pcsc_station_stack`), tokens that take their time over every
// command, and the station's runs on their own threads.

#include "StationRecorder.h"
#include "StationTestKit.h"
#include "engine/ReaderLock.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace stationkit;

namespace {

constexpr int kReaders = 4;

std::vector<std::string> FourReaders() {
    std::vector<std::string> readers;
    for (int r = 0; r < kReaders; ++r)
        readers.push_back(ReaderOf(r));
    return readers;
}

VirtualTokenOptions Slow(int reader, int latencyMs = 30) {
    return VirtualTokenOptions()
        .Slot(SlotOf(reader))
        .Arg("--latency-ms")
        .Arg(std::to_string(latencyMs));
}

class StationPcsc : public ::testing::Test {
protected:
    StationPcsc() { UseStationStack(); }

    LogFolder log;
    Journal journal;
    Settings settings;
    VirtualToken tokens[kReaders];

    void TearDown() override {
        for (VirtualToken& token : tokens)
            EXPECT_TRUE(token.Remove()) << token.Error();
    }
    void InsertAll(int latencyMs = 30) {
        for (int r = 0; r < kReaders; ++r)
            ASSERT_TRUE(tokens[r].Insert(Slow(r, latencyMs))) << tokens[r].Error();
    }
};

// Four tokens in four readers are initialized at once: every attempt had started before the
// first one ended, each token got exactly the one-reader command stream with the same group keys,
// and the day's log and the journal have one entry per token, naming its reader.
TEST_F(StationPcsc, FourTokensInFourReadersAtOnce) {
    InsertAll();
    StationOptions options;
    options.readers = FourReaders();
    options.count = kReaders;
    Station station(settings, options);
    Recorder events(station);
    station.Start();
    ASSERT_TRUE(events.Until([&] { return events.Count(StationEventKind::Finished) == 1; }));

    const auto ended = events.Of(StationEventKind::AttemptEnded);
    ASSERT_EQ(ended.size(), 4u);
    for (const StationEvent& e : ended)
        EXPECT_TRUE(e.outcome.ok) << e.reader << ": " << e.outcome.message;
    EXPECT_EQ(station.Initialized(), 4);
    std::chrono::steady_clock::time_point lastStart{}, firstEnd = ended.front().at;
    for (const StationEvent& e : events.Of(StationEventKind::State))
        if (e.state == RunState::Attempt)
            lastStart = std::max(lastStart, e.at);
    for (const StationEvent& e : ended)
        firstEnd = std::min(firstEnd, e.at);
    EXPECT_LT(lastStart, firstEnd) << "the four attempts did not overlap in time";

    for (int r = 0; r < kReaders; ++r) {
        EXPECT_EQ(Commands(tokens[r]), ExpectedStream()) << ReaderOf(r);
        const auto state = tokens[r].State();
        ASSERT_TRUE(state) << tokens[r].Error();
        EXPECT_EQ(state->app(vtoken::AppId::RSA).groupKey.value, ToBytes(Sequence<32>(0x00)));
        EXPECT_EQ(state->app(vtoken::AppId::DSTU).groupKey.value, ToBytes(Sequence<32>(0x20)));
    }
    EXPECT_EQ(log.Lines().size(), 4u);
    EXPECT_EQ(log.Count(" SUCCESS"), 4);
    auto readers = FourReaders();
    std::sort(readers.begin(), readers.end());
    EXPECT_EQ(journal.AttemptReaders(), readers);
}

// One reader's trouble stays on its own row: a token that refuses a command, or one pulled out
// during its attempt, fails alone (one ERROR line) while the other three are initialized.
struct TroubleCase {
    const char* name;
    VirtualTokenOptions (*token)(int reader);
    bool gone; // the failure says the token left the reader
};

class StationTrouble : public StationPcsc, public ::testing::WithParamInterface<TroubleCase> {};

TEST_P(StationTrouble, FailsOnlyItsOwnRow) {
    constexpr int kTroubled = 2;
    for (int r = 0; r < kReaders; ++r)
        ASSERT_TRUE(tokens[r].Insert(r == kTroubled ? GetParam().token(r) : Slow(r)))
            << tokens[r].Error();
    StationOptions options;
    options.readers = FourReaders();
    Station station(settings, options);
    Recorder events(station);
    station.Start();
    ASSERT_TRUE(events.Until([&] { return events.Count(StationEventKind::AttemptEnded) == 4; }));
    if (GetParam().gone) { // the reader is seen empty, and its row waits for the next token
        EXPECT_TRUE(events.Until(
            [&] { return events.LastState(ReaderOf(kTroubled)) == RunState::Waiting; }));
    }
    station.Esc();
    ASSERT_TRUE(events.Until([&] { return events.Count(StationEventKind::Finished) == 1; }));

    for (const StationEvent& e : events.Of(StationEventKind::AttemptEnded)) {
        EXPECT_EQ(e.outcome.ok, e.reader != ReaderOf(kTroubled))
            << e.reader << ": " << e.outcome.message;
        if (e.reader == ReaderOf(kTroubled)) {
            EXPECT_EQ(e.outcome.tokenGone, GetParam().gone) << e.outcome.message;
        }
    }
    EXPECT_EQ(station.Initialized(), 3);
    EXPECT_EQ(station.FailedAttempts(), 1);
    EXPECT_EQ(log.Count(" SUCCESS"), 3);
    EXPECT_EQ(log.Count(" ERROR"), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Station, StationTrouble,
    ::testing::Values(
        TroubleCase{"Refused", [](int r) { return Slow(r).Fail("F4/05=6A82"); }, false},
        TroubleCase{"PulledMidAttempt", [](int r) { return Slow(r).VanishAfter(8); }, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A reader another process holds (its run or PIN reset) is reported busy and never touched; the
// other readers work.
TEST_F(StationPcsc, ReaderHeldByAnotherProcessIsBusy) {
    constexpr int kHeld = 1;
    int held[2], release[2];
    ASSERT_EQ(::pipe2(held, O_CLOEXEC), 0); // the tokens started later must not hold them
    ASSERT_EQ(::pipe2(release, O_CLOEXEC), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        ::close(held[0]);
        ::close(release[1]);
        const auto lock = ReaderLock::Take(ReaderOf(kHeld));
        const char taken = lock ? 'y' : 'n';
        (void)!::write(held[1], &taken, 1);
        char end;
        (void)!::read(release[0], &end, 1); // until the test closes its end
        ::_exit(0);
    }
    ::close(held[1]);
    ::close(release[0]);
    char taken = 0;
    ASSERT_EQ(::read(held[0], &taken, 1), 1);
    ASSERT_EQ(taken, 'y');

    ASSERT_TRUE(tokens[0].Insert(Slow(0))) << tokens[0].Error();
    ASSERT_TRUE(tokens[kHeld].Insert(Slow(kHeld))) << tokens[kHeld].Error();
    StationOptions options; // every reader attached
    Station station(settings, options);
    Recorder events(station);
    station.Start();
    ASSERT_TRUE(events.Until([&] {
        return events.Count(StationEventKind::AttemptEnded) == 1 &&
               events.Count(StationEventKind::Busy) == 1;
    }));
    station.Esc();
    ASSERT_TRUE(events.Until([&] { return events.Count(StationEventKind::Finished) == 1; }));
    ::close(release[1]);
    ::close(held[0]);
    int status = 0;
    ::waitpid(holder, &status, 0);

    const auto busy = events.Of(StationEventKind::Busy);
    ASSERT_EQ(busy.size(), 1u);
    EXPECT_EQ(busy[0].reader, ReaderOf(kHeld));
    EXPECT_EQ(busy[0].text, ReaderHeldMessage(ReaderOf(kHeld)));
    EXPECT_EQ(events.Count(StationEventKind::Attached, ReaderOf(kHeld)), 0);
    EXPECT_EQ(events.Count(StationEventKind::AttemptEnded, ReaderOf(kHeld)), 0);
    EXPECT_TRUE(tokens[kHeld].Apdus().empty()) << "the held reader's token was touched";
    EXPECT_EQ(events.Of(StationEventKind::AttemptEnded)[0].reader, ReaderOf(0));
    // The other readers of the stack (the second slots) got runs of their own.
    EXPECT_EQ(events.Count(StationEventKind::Attached), 2 * kReaders - 1);
}

// Esc while four attempts run: each attempt finishes (its token initialized, its line written),
// and only then does the station end.
TEST_F(StationPcsc, EscDuringFourAttemptsLetsEachFinish) {
    InsertAll(60);
    StationOptions options;
    options.readers = FourReaders();
    Station station(settings, options);
    Recorder events(station);
    station.Start();
    ASSERT_TRUE(events.Until([&] { return events.ReadersIn(RunState::Attempt) == kReaders; }));
    station.Esc();
    ASSERT_TRUE(events.Until([&] { return events.Count(StationEventKind::Finished) == 1; }));

    const auto ended = events.Of(StationEventKind::AttemptEnded);
    ASSERT_EQ(ended.size(), 4u);
    for (const StationEvent& e : ended)
        EXPECT_TRUE(e.outcome.ok) << e.reader << ": " << e.outcome.message;
    EXPECT_EQ(events.events.back().kind, StationEventKind::Finished);
    for (int r = 0; r < kReaders; ++r)
        EXPECT_EQ(events.LastState(ReaderOf(r)), RunState::Ended) << ReaderOf(r);
    EXPECT_EQ(log.Count(" SUCCESS"), 4);
}

// The service restarted under a running station: every reader's run waits it out, and a token
// put in after it came back is initialized.
TEST_F(StationPcsc, ServiceRestartedMidRun) {
    StationOptions options;
    options.readers = FourReaders();
    Station station(settings, options);
    Recorder events(station);
    station.Start();
    ASSERT_TRUE(events.Until([&] { return events.ReadersIn(RunState::Waiting) == kReaders; }));
    std::string error;
    ASSERT_TRUE(VirtualToken::StopDaemon(&error)) << error;
    EXPECT_TRUE(events.Until([&] {
        const auto away = events.Of(StationEventKind::ServiceAway);
        return std::count_if(away.begin(), away.end(), [](const auto& e) { return e.away; }) ==
               kReaders;
    }));
    ASSERT_TRUE(VirtualToken::StartDaemon(&error)) << error;
    for (int r = 0; r < 2; ++r)
        ASSERT_TRUE(tokens[r].Insert(Slow(r))) << tokens[r].Error();
    ASSERT_TRUE(events.Until([&] { return events.Count(StationEventKind::AttemptEnded) == 2; }));
    station.Esc();
    ASSERT_TRUE(events.Until([&] { return events.Count(StationEventKind::Finished) == 1; }));
    for (const StationEvent& e : events.Of(StationEventKind::AttemptEnded))
        EXPECT_TRUE(e.outcome.ok) << e.reader << ": " << e.outcome.message;
    EXPECT_EQ(events.Count(StationEventKind::Unplugged), 0)
        << "a service away is no reader unplugged";
    EXPECT_EQ(log.Count(" SUCCESS"), 2);
}

} // namespace
