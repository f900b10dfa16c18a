// The batch run's rules against the scripted PC/SC stack, without Qt: which inputs start an
// attempt, when the removal wait ends, what a smart-card service that goes away and comes back
// means in each wait, the log line of every attempt, the counts and the end of a run.

#include "engine/BatchRun.h"

#include "engine/KeyCheck.h"
#include "engine/RunTexts.h"

#include "support/FakePcsc.h"
#include "support/RecordingAuditJournal.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

const std::string kReader = "Reader A";
// A token without application bits is asked for its card number; one with them is not.
const Bytes kNumberedAtr = FakePcsc::FamilyAtr(0x00);
const Bytes kAppsAtr = FakePcsc::FamilyAtr(0x07);
const Bytes kOtherModelAtr = FakePcsc::FamilyAtr(0x03);
// Card numbers as GET CARD ID answers them (the number reads them from the last byte).
const Bytes kFirstId = {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01};
const Bytes kSecondId = {0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11};
const Bytes kCheckGlobalPin = {0x80, 0xF2};

const char* Name(RunState state) {
    switch (state) {
    case RunState::Ready:
        return "Ready";
    case RunState::Attempt:
        return "Attempt";
    case RunState::Failed:
        return "Failed";
    case RunState::RemovalWait:
        return "RemovalWait";
    case RunState::Waiting:
        return "Waiting";
    case RunState::Ended:
        return "Ended";
    }
    return "?";
}

class Harness final : public BatchRunFront {
public:
    explicit Harness(BatchRunRules rules) {
        pcsc.AddReader(kReader);
        session = std::make_shared<TokenSession>();
        session->SelectReader(kReader);
        run = std::make_unique<BatchRun>(
            session, *this,
            [this](InitSettings& settings) {
                settings.pin = Bytes{'1', '2', '3', '4'};
                settings.puk = Bytes{};
                if (moreSettings)
                    moreSettings(settings);
            },
            [this](const std::string& cardId, const std::string& failure) {
                log.push_back("#" + cardId + (failure.empty() ? " SUCCESS" : " ERROR"));
                return logProblem;
            },
            rules);
    }
    ~Harness() override {
        run.reset();
        session.reset();
    }

    void Insert(const Bytes& atr, const Bytes& id) {
        pcsc.AnswerCardId(id);
        pcsc.InsertCard(kReader, atr);
    }
    // What vpcd shows after pcscd came back: the reader empty for a moment, then the same token.
    void ServiceRestartWithTokenIn() {
        const Bytes atr = LastAtr();
        pcsc.StopService();
        run->Look();
        pcsc.StartService();
        pcsc.RemoveCard(kReader);
        run->Look();
        pcsc.InsertCard(kReader, atr);
        run->Look();
    }
    Bytes LastAtr() const { return session->LastAtr; }
    std::size_t CardIdQuestions() const {
        std::size_t count = 0;
        for (const Bytes& command : pcsc.Commands())
            count += command.size() >= 2 && command[0] == 0x80 && command[1] == 0xF6;
        return count;
    }

    RecordingAuditJournal journal;
    FakePcsc pcsc;
    std::shared_ptr<TokenSession> session;
    std::unique_ptr<BatchRun> run;
    std::vector<std::string> states;
    std::vector<std::string> log;
    int awayTold = 0;
    int backTold = 0;
    std::vector<std::size_t> logLinesWhenShown;
    // Sets more of each attempt's settings.
    std::function<void(InitSettings&)> moreSettings;
    // What the log writer answers: empty when the line was written.
    std::string logProblem;
    // The attempt's reports in their order: failure, lost line, end.
    std::vector<std::string> told;

private:
    void StateEntered(RunState state) override { states.push_back(Name(state)); }
    void ServiceAway(bool away) override { ++(away ? awayTold : backTold); }
    void Progress(int) override {}
    void Pause(int) override {}
    void ReportFailure(const InitOutcome&) override {
        logLinesWhenShown.push_back(log.size());
        told.push_back("failure");
    }
    void AttemptEnded(const InitOutcome& outcome) override {
        told.push_back(outcome.ok ? "ended ok" : "ended failed");
    }
    void LogLineLost(const std::string& problem) override { told.push_back("lost: " + problem); }
};

BatchRunRules Window() {
    return {};
}

BatchRunRules CommandLine(int count = 0) {
    BatchRunRules rules;
    rules.startWithoutEnter = true;
    rules.retryOnNextToken = true;
    rules.count = count;
    return rules;
}

struct Row {
    const char* name;
    BatchRunRules rules;
    std::function<void(Harness&)> steps;
    std::vector<std::string> log;
    RunState end;
};

class BatchRunRulesTest : public ::testing::TestWithParam<Row> {};

TEST_P(BatchRunRulesTest, AttemptsAndLogLines) {
    const Row& row = GetParam();
    Harness h(row.rules);
    row.steps(h);
    EXPECT_EQ(h.log, row.log);
    EXPECT_STREQ(Name(h.run->State()), Name(row.end));
}

const std::string kFirst = "#0102030405060708 SUCCESS";
const std::string kSecond = "#1112131415161718 SUCCESS";

const Row kRows[] = {
    {"TokenInReadyWaitsForEnter",
     Window(),
     [](Harness& h) {
         h.Insert(kNumberedAtr, kFirstId);
         h.run->Start();
         h.run->Look();
         h.run->Look();
     },
     {},
     RunState::Ready},
    {"EnterThenRemovalThenNextTokenStartsByItself",
     Window(),
     [](Harness& h) {
         h.Insert(kNumberedAtr, kFirstId);
         h.run->Start();
         h.run->Enter();
         h.run->Look();
         h.pcsc.RemoveCard(kReader);
         h.run->Look();
         h.Insert(kNumberedAtr, kSecondId);
         h.run->Look();
     },
     {kFirst, kSecond},
     RunState::RemovalWait},
    {"TokenLeftInPlaceIsNeverTriedAgain",
     Window(),
     [](Harness& h) {
         h.Insert(kNumberedAtr, kFirstId);
         h.run->Start();
         h.run->Enter();
         for (int i = 0; i < 10; ++i)
             h.run->Look();
         h.run->Enter(); // Enter in the removal wait is ignored
     },
     {kFirst},
     RunState::RemovalWait},
    {"SwapBetweenTwoLooksStarts",
     Window(),
     [](Harness& h) {
         h.Insert(kNumberedAtr, kFirstId);
         h.run->Start();
         h.run->Enter();
         h.pcsc.RemoveCard(kReader);
         h.Insert(kNumberedAtr, kSecondId);
         h.run->Look();
     },
     {kFirst, kSecond},
     RunState::RemovalWait},
    {"RestartWithTheSameNumberedTokenIn",
     Window(),
     [](Harness& h) {
         h.Insert(kNumberedAtr, kFirstId);
         h.run->Start();
         h.run->Enter();
         h.run->Look();
         h.ServiceRestartWithTokenIn();
         for (int i = 0; i < 5; ++i)
             h.run->Look();
     },
     {kFirst},
     RunState::RemovalWait},
    {"RestartWithTheSameTokenAndNoEmptyReader",
     Window(),
     [](Harness& h) {
         h.Insert(kNumberedAtr, kFirstId);
         h.run->Start();
         h.run->Enter();
         h.pcsc.StopService();
         h.run->Look();
         h.pcsc.StartService();
         h.pcsc.RemoveCard(kReader);
         h.pcsc.InsertCard(kReader, kNumberedAtr); // a new count, the same token
         h.run->Look();
         h.run->Look();
     },
     {kFirst},
     RunState::RemovalWait},
    {"RestartThenTheSameTokenOutAndInAgainStarts",
     Window(),
     [](Harness& h) {
         h.Insert(kNumberedAtr, kFirstId);
         h.run->Start();
         h.run->Enter();
         h.ServiceRestartWithTokenIn();
         h.pcsc.RemoveCard(kReader);
         h.run->Look();
         h.pcsc.InsertCard(kReader, kNumberedAtr);
         h.run->Look();
     },
     {kFirst, kFirst},
     RunState::RemovalWait},
    {"TokenSwappedDuringTheOutageStarts",
     Window(),
     [](Harness& h) {
         h.Insert(kNumberedAtr, kFirstId);
         h.run->Start();
         h.run->Enter();
         h.pcsc.StopService();
         h.run->Look();
         h.pcsc.RemoveCard(kReader);
         h.pcsc.StartService();
         h.run->Look();
         h.Insert(kNumberedAtr, kSecondId);
         h.run->Look();
     },
     {kFirst, kSecond},
     RunState::RemovalWait},
    {"TokensWithoutNumberAndTheSameAnswerToResetAreTakenForTheSame",
     Window(),
     [](Harness& h) {
         h.Insert(kAppsAtr, kFirstId);
         h.run->Start();
         h.run->Enter();
         h.ServiceRestartWithTokenIn();
         h.run->Look();
     },
     {"# SUCCESS"},
     RunState::RemovalWait},
    {"AnotherModelDuringTheOutageStarts",
     Window(),
     [](Harness& h) {
         h.Insert(kAppsAtr, kFirstId);
         h.run->Start();
         h.run->Enter();
         h.pcsc.StopService();
         h.run->Look();
         h.pcsc.StartService();
         h.pcsc.RemoveCard(kReader);
         h.run->Look();
         h.pcsc.InsertCard(kReader, kOtherModelAtr);
         h.run->Look();
     },
     {"# SUCCESS", "# SUCCESS"},
     RunState::RemovalWait},
    {"OutageWhileWaitingThenTheNextTokenStarts",
     Window(),
     [](Harness& h) {
         h.Insert(kNumberedAtr, kFirstId);
         h.run->Start();
         h.run->Enter();
         h.pcsc.RemoveCard(kReader);
         h.run->Look();
         h.pcsc.StopService();
         h.run->Look();
         h.pcsc.StartService();
         h.run->Look();
         h.Insert(kNumberedAtr, kSecondId);
         h.run->Look();
     },
     {kFirst, kSecond},
     RunState::RemovalWait},
    {"ServiceAwayIsNeitherInNorOut",
     Window(),
     [](Harness& h) {
         h.Insert(kNumberedAtr, kFirstId);
         h.run->Start();
         h.run->Enter();
         h.pcsc.StopService();
         for (int i = 0; i < 5; ++i)
             h.run->Look();
     },
     {kFirst},
     RunState::RemovalWait},
    {"FailureWaitsForEnterInTheWindow",
     Window(),
     [](Harness& h) {
         h.pcsc.AnswerSw(kCheckGlobalPin, 0x6A82);
         h.Insert(kNumberedAtr, kFirstId);
         h.run->Start();
         h.run->Enter();
         h.pcsc.RemoveCard(kReader);
         h.run->Look();
         h.Insert(kNumberedAtr, kSecondId);
         h.run->Look();
     },
     {"#0102030405060708 ERROR"},
     RunState::Failed},
    {"FailureRetriedOnEnter",
     Window(),
     [](Harness& h) {
         h.pcsc.AnswerSw(kCheckGlobalPin, 0x6A82);
         h.Insert(kNumberedAtr, kFirstId);
         h.run->Start();
         h.run->Enter();
         h.run->Enter();
     },
     {"#0102030405060708 ERROR", kFirst},
     RunState::RemovalWait},
    {"CommandLineStartsWithoutEnterAndEndsAtItsCount",
     CommandLine(2),
     [](Harness& h) {
         h.Insert(kNumberedAtr, kFirstId);
         h.run->Start();
         h.pcsc.RemoveCard(kReader);
         h.run->Look();
         h.Insert(kNumberedAtr, kSecondId);
         h.run->Look();
         h.run->Look();
     },
     {kFirst, kSecond},
     RunState::Ended},
    {"CommandLineRetriesTheNextTokenAfterAFailure",
     CommandLine(1),
     [](Harness& h) {
         h.pcsc.AnswerSw(kCheckGlobalPin, 0x6A82);
         h.Insert(kNumberedAtr, kFirstId);
         h.run->Start();
         h.run->Look();
         h.pcsc.RemoveCard(kReader);
         h.run->Look();
         h.Insert(kNumberedAtr, kSecondId);
         h.run->Look();
     },
     {"#0102030405060708 ERROR", kSecond},
     RunState::Ended},
    {"CommandLineRestartAfterAFailureIsNotASecondAttempt",
     CommandLine(1),
     [](Harness& h) {
         h.pcsc.AnswerSw(kCheckGlobalPin, 0x6A82, FakePcsc::Times::Always);
         h.Insert(kNumberedAtr, kFirstId);
         h.run->Start();
         h.ServiceRestartWithTokenIn();
         h.run->Look();
     },
     {"#0102030405060708 ERROR"},
     RunState::Failed},
    {"EscEndsAndNothingFollows",
     Window(),
     [](Harness& h) {
         h.Insert(kNumberedAtr, kFirstId);
         h.run->Start();
         h.run->Enter();
         h.pcsc.RemoveCard(kReader);
         h.run->Look();
         EXPECT_TRUE(h.run->Esc());
         EXPECT_FALSE(h.run->Esc());
         h.Insert(kNumberedAtr, kSecondId);
         h.pcsc.ClearRecord();
         h.run->Look();
         h.run->Enter();
         EXPECT_TRUE(h.pcsc.Calls().empty()) << "no look at the reader after the end";
     },
     {kFirst},
     RunState::Ended},
};

INSTANTIATE_TEST_SUITE_P(Rules, BatchRunRulesTest, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BatchRunTest, OutageIsToldOnceEachWayAndCountsAnew) {
    Harness h(Window());
    h.Insert(kNumberedAtr, kFirstId);
    h.run->Start();
    h.run->Enter();
    h.pcsc.StopService();
    h.run->Look();
    h.run->Look();
    h.pcsc.StartService();
    h.run->Look();
    h.run->Look();
    EXPECT_EQ(h.awayTold, 1);
    EXPECT_EQ(h.backTold, 1);
    EXPECT_EQ(h.run->Initialized(), 1);
    EXPECT_EQ(h.CardIdQuestions(), 2u) << "the attempt's question and the comparison's";
}

TEST(BatchRunTest, StatesAndCountsOfARun) {
    Harness h(CommandLine());
    h.pcsc.AnswerSw(kCheckGlobalPin, 0x6A82);
    h.run->Start(); // reader empty: the wait is told
    h.Insert(kNumberedAtr, kFirstId);
    h.run->Look(); // refused
    h.pcsc.RemoveCard(kReader);
    h.run->Look();
    h.Insert(kNumberedAtr, kSecondId);
    h.run->Look(); // initialized
    EXPECT_EQ(h.states, (std::vector<std::string>{"Waiting", "Attempt", "Failed", "Waiting",
                                                  "Attempt", "RemovalWait"}));
    EXPECT_EQ(h.run->Initialized(), 1);
    EXPECT_EQ(h.run->FailedAttempts(), 1);
    EXPECT_EQ(h.logLinesWhenShown, std::vector<std::size_t>{0}) << "shown before its log line";
}

// A log line that cannot be written is told to the front end after the failure (if any) and
// before the attempt's end; the attempt's result, the counts and the states stay as they were.
TEST(BatchRunTest, LostLogLineIsToldAndChangesNothingElse) {
    const struct {
        const char* name;
        BatchRunRules rules;
        bool refused;
        std::vector<std::string> told;
        std::vector<std::string> states;
    } cases[] = {
        {"window success",
         Window(),
         false,
         {"lost: full", "ended ok"},
         {"Ready", "Attempt", "RemovalWait"}},
        {"window failure",
         Window(),
         true,
         {"failure", "lost: full", "ended failed"},
         {"Ready", "Attempt", "Failed"}},
        {"command line success",
         CommandLine(1),
         false,
         {"lost: full", "ended ok"},
         {"Attempt", "Ended"}},
        {"command line failure",
         CommandLine(1),
         true,
         {"failure", "lost: full", "ended failed"},
         {"Attempt", "Failed"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h(c.rules);
        h.logProblem = "full";
        if (c.refused)
            h.pcsc.AnswerSw(kCheckGlobalPin, 0x6A82);
        h.Insert(kNumberedAtr, kFirstId);
        h.run->Start();
        h.run->Enter();
        EXPECT_EQ(h.told, c.told);
        EXPECT_EQ(h.states, c.states);
        EXPECT_EQ(h.log.size(), 1u);
        EXPECT_EQ(h.run->Initialized(), c.refused ? 0 : 1);
        EXPECT_EQ(h.run->FailedAttempts(), c.refused ? 1 : 0);

        // The same attempt with its line written tells nothing of it.
        Harness written(c.rules);
        if (c.refused)
            written.pcsc.AnswerSw(kCheckGlobalPin, 0x6A82);
        written.Insert(kNumberedAtr, kFirstId);
        written.run->Start();
        written.run->Enter();
        EXPECT_EQ(written.told.size(), c.told.size() - 1);
        EXPECT_EQ(written.states, c.states);
    }
}

// The system journal hears of the run's start and end and of every attempt, beside its log line,
// with the attempt's facts and nothing secret.
TEST(BatchRunTest, JournalEntriesOfARun) {
    Harness h(CommandLine(1));
    const std::array<std::uint8_t, 16> key = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                              0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
    h.moreSettings = [&key](InitSettings& settings) {
        settings.unblockKey = key;
        settings.unblockKeyUsable = true;
        settings.groupRsa = 0xD1;
        settings.groupKeyRsa.fill(0x5A);
        // 32 bytes cut the last "я" in two: the name is given without it.
        settings.nameField = DeviceNameField("Бухгалтерия-Бухгалтерия");
    };
    h.pcsc.AnswerSw(FakePcsc::Hex("80 F4 01 05"), 0x6A80); // the PIN refused once
    h.run->Start();
    h.Insert(kNumberedAtr, kFirstId);
    h.run->Look(); // refused
    h.pcsc.RemoveCard(kReader);
    h.run->Look();
    h.Insert(kNumberedAtr, kSecondId);
    h.run->Look(); // initialized: the run's count is reached
    EXPECT_EQ(h.log.size(), 2u);
    h.run.reset();

    EXPECT_EQ(h.journal.Events(),
              (std::vector<std::string>{"run-started", "init", "init", "run-ended"}));
    ASSERT_EQ(h.journal.entries.size(), 4u);
    const auto& refused = h.journal.entries[1];
    EXPECT_EQ(refused.at("ORVANE_RESULT"), "error");
    EXPECT_EQ(refused.at("ORVANE_CARD"), "0102030405060708");
    EXPECT_EQ(refused.at("ORVANE_SW"), "6A80");
    EXPECT_EQ(refused.at("ORVANE_STEP"), InitStepName(InitStep::StorePin));
    EXPECT_EQ(refused.at("PRIORITY"), "3");
    const auto& done = h.journal.entries[2];
    EXPECT_EQ(done.at("ORVANE_RESULT"), "success");
    EXPECT_EQ(done.at("MESSAGE"), "Смарт-карта #1112131415161718 инициализирована");
    EXPECT_EQ(done.at("ORVANE_UNBLOCK_KCV"), KeyCheckValue(key));
    EXPECT_EQ(done.at("ORVANE_GROUP_RSA"), "D1");
    EXPECT_EQ(done.count("ORVANE_GROUP_DSTU"), 0u) << "no DSTU group";
    EXPECT_EQ(done.at("ORVANE_DEVICE_NAME"), "Бухгалтерия-Бухг");
    EXPECT_EQ(done.count("ORVANE_SW"), 0u);
    for (const auto& entry : h.journal.entries)
        EXPECT_EQ(entry.at("ORVANE_READER"), kReader);
    EXPECT_EQ(h.journal.entries[3].at("MESSAGE"),
              "Инициализация закончена: смарт-карт инициализировано 1, неудачных попыток 1");
    for (const auto& entry : h.journal.entries)
        for (const auto& [name, value] : entry)
            for (const std::string secret : {"0123456789ABCDEF", "5A5A5A5A", "1234"})
                EXPECT_EQ(value.find(secret), std::string::npos) << name << "=" << value;
}

// A front end that closes the run while the failure is shown (the window going away under its
// message box): the attempt still lets the token go, and its log line is still written.
TEST(BatchRunTest, RunDestroyedWhileAFailureIsShownKeepsItsLogLine) {
    FakePcsc pcsc;
    pcsc.AddReader(kReader, kNumberedAtr);
    pcsc.AnswerCardId(kFirstId);
    pcsc.AnswerSw(kCheckGlobalPin, 0x6A82);
    std::vector<std::string> log;
    struct Closing final : BatchRunFront {
        std::unique_ptr<BatchRun>* run = nullptr;
        void StateEntered(RunState) override {}
        void ServiceAway(bool) override {}
        void Progress(int) override {}
        void Pause(int) override {}
        void ReportFailure(const InitOutcome&) override { run->reset(); }
        void AttemptEnded(const InitOutcome&) override {}
        void LogLineLost(const std::string&) override { ADD_FAILURE() << "told to a gone run"; }
    } front;
    auto session = std::make_shared<TokenSession>();
    session->SelectReader(kReader);
    std::unique_ptr<BatchRun> run = std::make_unique<BatchRun>(
        session, front, [](InitSettings&) {},
        [&log](const std::string& cardId, const std::string&) {
            log.push_back(cardId);
            return std::string("lost");
        });
    front.run = &run;
    run->Start();
    run->Enter();
    EXPECT_EQ(run, nullptr);
    EXPECT_EQ(log, std::vector<std::string>{"0102030405060708"});
    EXPECT_EQ(pcsc.OpenConnections(), 0u);
}

} // namespace
