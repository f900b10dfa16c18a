// The reader session against the scripted PC/SC stack: listing, presence, connect, exchange, the
// texts of its failures, and its context across a restart of the PC/SC service.

#include "card/ReaderSession.h"
#include "card/TokenSession.h"
#include "support/FakePcsc.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

using Entry = FakePcsc::Entry;
const auto H = FakePcsc::Hex;

const std::string kReader = "Reader A";

struct SessionTest : ::testing::Test {
    FakePcsc pcsc;
};

// ---- LastErrorText ------------------------------------------------------------------------

struct TextRow {
    std::uint32_t result;
    std::uint16_t statusWord;
    std::string text;
};

TEST_F(SessionTest, LastErrorTextTakesTheFirstRuleThatApplies) {
    // The named codes keep their own words whatever the system says about them.
    pcsc.SetMessageText(pcsc::kUnknownReader, "system words");
    pcsc.SetMessageText(pcsc::kCardWasRemoved, "system words");
    const std::vector<TextRow> rows = {
        {0, 0x6983, "Ok"},
        {121, 0, "Timeout"},
        {kErrResponseSize, 0x1111, "Invalid response size"},
        {pcsc::kUnknownReader, 0, "The specified reader name is not recognized"},
        {pcsc::kTimeout, 0, "The user-specified timeout value has expired"},
        {pcsc::kNotReady, 0, "The reader or smart card is not ready to accept commands"},
        {pcsc::kServiceStopped, 0, "The Smart card resource manager has shut down"},
        {pcsc::kCardWasRemoved, 0,
         "The smart card has been removed, so that further communication is not possible"},
        {kErrStatusWord, 0x6983, "Card blocked"},
        {kErrStatusWord, 0x63C0, "Invalid password. Attempts left - 0"},
        {kErrStatusWord, 0x63C2, "Invalid password. Attempts left - 2"},
        {kErrStatusWord, 0x63CA, "Invalid password. Attempts left - 10"},
        {kErrStatusWord, 0x63CF, "Invalid password. Attempts left - 15"},
        {kErrStatusWord, 0x63D2, "Card Error 63D2"},
        {kErrStatusWord, 0x6A82, "Card Error 6A82"},
        {kErrStatusWord, 0x6110, "Card Error 6110"},
        {kErrStatusWord, 0x0000, "Card Error 0000"},
        // The system's texts (pcsc-lite's on Linux).
        {pcsc::kNoReadersAvailable, 0, "Cannot find a smart card reader."},
        {pcsc::kInvalidHandle, 0, "Invalid handle."},
        {pcsc::kNoSmartcard, 0, "No smart card inserted."},
        // No text: a PC/SC code pcsc-lite does not know, and codes of other origins.
        {0x8010006F, 0, "Error 8010006F"},
        {0x12345678, 0, "Error 12345678"},
        {0x0000007A, 0, "Error 0000007A"},
    };
    ReaderSession session;
    for (const auto& row : rows) {
        session.LastResult = row.result;
        session.StatusWord = row.statusWord;
        EXPECT_EQ(session.LastErrorText(), row.text) << std::hex << row.result;
    }
}

TEST_F(SessionTest, SystemTextsLoseOneLineEndAndAreCutAt255) {
    const std::string longText(300, 'x');
    const struct {
        std::string system;
        std::string shown;
    } rows[] = {
        {"Text\r\n", "Text"},
        {"Text\n", "Text"},
        {"Text\r", "Text"},
        {"Text\n\n", "Text\n"},
        {"Text\r\n\r\n", "Text\r\n"},
        {"\r\n", "Error 80100001"},
        {"", "Error 80100001"},
        {longText + "\r\n", std::string(255, 'x')},
        {std::string(255, 'y'), std::string(255, 'y')},
    };
    ReaderSession session;
    session.LastResult = 0x80100001;
    for (const auto& row : rows) {
        pcsc.SetMessageText(0x80100001, row.system);
        EXPECT_EQ(session.LastErrorText(), row.shown) << row.system;
    }
}

// ---- Transmit -----------------------------------------------------------------------------

struct ExchangeRow {
    const char* name;
    Bytes answer; // data and status word as the card sends them
    bool ok;
    std::uint32_t result;
    std::uint16_t statusWord;
    Bytes response;
};

TEST_F(SessionTest, TransmitJudgesTheAnswer) {
    const Bytes untouched = {0xEE, 0xEE};
    Bytes longest(252, 0x5A);
    Bytes longestAnswer = longest;
    longestAnswer.insert(longestAnswer.end(), {0x90, 0x00});
    Bytes tooLong(253, 0x5A);
    tooLong.insert(tooLong.end(), {0x90, 0x00});

    const std::vector<ExchangeRow> rows = {
        {"9000 alone", H("90 00"), true, 0, 0x9000, {}},
        {"9001 counts as success", H("90 01"), true, 0, 0x9001, {}},
        {"data kept", H("01 02 03 90 00"), true, 0, 0x9000, H("01 02 03")},
        {"6110 not followed up", H("AA 61 10"), false, kErrStatusWord, 0x6110, H("AA")},
        {"6C08 not repeated", H("6C 08"), false, kErrStatusWord, 0x6C08, {}},
        {"blocked", H("69 83"), false, kErrStatusWord, 0x6983, {}},
        {"one byte", H("90"), false, kErrResponseSize, 0x1111, untouched},
        {"nothing", {}, false, kErrResponseSize, 0x1111, untouched},
        {"254 bytes fill the area", longestAnswer, true, 0, 0x9000, longest},
        // The stack refuses to write more than the area holds.
        {"255 bytes", tooLong, false, pcsc::kInsufficientBuffer, 0x1111, untouched},
    };
    pcsc.AddReader(kReader, FakePcsc::ForeignAtr());
    ReaderSession session;
    session.SelectReader(kReader);
    ReaderSession::Atr atr;
    std::uint32_t atrLength = 0;
    ASSERT_TRUE(session.Connect(atr, atrLength));
    for (const auto& row : rows) {
        pcsc.Answer(H("00 B0"), row.answer);
        Bytes response = untouched;
        EXPECT_EQ(session.Transmit(H("00 B0 00 00 00"), response), row.ok) << row.name;
        EXPECT_EQ(session.LastResult, row.result) << row.name;
        EXPECT_EQ(session.StatusWord, row.statusWord) << row.name;
        EXPECT_EQ(response, row.response) << row.name;
    }
}

// A binding that claims more bytes than the receive area can hold.
class OverreportingPcsc : public FakePcsc {
public:
    LONG Transmit(pcsc::SCARDHANDLE card, const pcsc::IoRequest* sendPci, const unsigned char* send,
                  DWORD sendLength, pcsc::IoRequest* recvPci, unsigned char* recv,
                  DWORD* recvLength) override {
        const LONG result =
            FakePcsc::Transmit(card, sendPci, send, sendLength, recvPci, recv, recvLength);
        *recvLength = 255;
        return result;
    }
};

TEST(SessionOverreport, LengthBeyondTheReceiveAreaIsAnInvalidSize) {
    OverreportingPcsc pcsc;
    pcsc.AddReader(kReader, FakePcsc::ForeignAtr());
    ReaderSession session;
    session.SelectReader(kReader);
    ReaderSession::Atr atr;
    std::uint32_t atrLength = 0;
    ASSERT_TRUE(session.Connect(atr, atrLength));
    Bytes response;
    EXPECT_FALSE(session.Transmit(H("00 B0 00 00 00"), response));
    EXPECT_EQ(session.LastResult, kErrResponseSize);
    EXPECT_EQ(session.StatusWord, 0x1111);
    EXPECT_TRUE(response.empty());
}

TEST_F(SessionTest, TransmitSendsThePlatformProtocolHeader) {
    pcsc.AddReader(kReader, FakePcsc::ForeignAtr());
    pcsc.SetProtocol(kReader, pcsc::kProtocolT0);
    ReaderSession session;
    session.SelectReader(kReader);
    ReaderSession::Atr atr;
    std::uint32_t atrLength = 0;
    ASSERT_TRUE(session.Connect(atr, atrLength));
    EXPECT_EQ(session.ActiveProtocol, pcsc::kProtocolT0);
    Bytes response;
    ASSERT_TRUE(session.Transmit(H("00 A4 00 00 02 3F 00"), response));

    const auto apdus = pcsc.Apdus();
    ASSERT_EQ(apdus.size(), 1u);
    EXPECT_EQ(apdus[0].command, H("00 A4 00 00 02 3F 00"));
    EXPECT_EQ(apdus[0].protocol, pcsc::kProtocolT0);
    EXPECT_EQ(apdus[0].pciLength, 16u); // pcsc-lite's SCARD_IO_REQUEST on this platform
    EXPECT_EQ(apdus[0].capacity, 254u);
    EXPECT_FALSE(apdus[0].recvPci);
}

TEST_F(SessionTest, TransmitFailuresOfTheStack) {
    pcsc.AddReader(kReader, FakePcsc::ForeignAtr());
    ReaderSession session;
    Bytes response;

    // Not connected: the stack refuses the empty handle.
    EXPECT_FALSE(session.Transmit(H("00 84 00 00 08"), response));
    EXPECT_EQ(session.LastResult, pcsc::kInvalidHandle);
    EXPECT_EQ(session.StatusWord, 0x1111);
    EXPECT_EQ(session.LastErrorText(), "Invalid handle.");

    session.SelectReader(kReader);
    ReaderSession::Atr atr;
    std::uint32_t atrLength = 0;
    ASSERT_TRUE(session.Connect(atr, atrLength));

    // The token pulled out in the middle of a sequence.
    int sent = 0;
    pcsc.OnTransmit([&](const Bytes&) {
        if (++sent == 2)
            pcsc.RemoveCard(kReader);
    });
    EXPECT_TRUE(session.Transmit(H("00 A4 00 00 02 3F 00"), response));
    EXPECT_FALSE(session.Transmit(H("80 F2 00 05 01"), response));
    EXPECT_EQ(session.LastErrorText(),
              "The smart card has been removed, so that further communication is not possible");
    EXPECT_EQ(pcsc.Commands(), std::vector<Bytes>{H("00 A4 00 00 02 3F 00")});
}

// ---- Connect, Disconnect, SelectReader ------------------------------------------------------

TEST_F(SessionTest, ConnectOnAConnectedSessionDisconnectsFirst) {
    const struct {
        bool exclusive;
        pcsc::DWORD shareMode;
        pcsc::DWORD disposition;
    } rows[] = {
        {true, pcsc::kShareExclusive, pcsc::kResetCard},
        {false, pcsc::kShareShared, pcsc::kLeaveCard},
    };
    const Bytes atr = FakePcsc::ForeignAtr();
    pcsc.AddReader(kReader, atr);
    for (const auto& row : rows) {
        pcsc.ClearRecord();
        ReaderSession session;
        session.Exclusive = row.exclusive;
        session.SelectReader(kReader);
        ReaderSession::Atr buffer{};
        std::uint32_t atrLength = 0;
        ASSERT_TRUE(session.Connect(buffer, atrLength));
        EXPECT_EQ(atrLength, atr.size());
        EXPECT_TRUE(std::equal(atr.begin(), atr.end(), buffer.begin()));
        ASSERT_TRUE(session.Connect(buffer, atrLength));

        const auto calls = pcsc.Calls();
        const std::vector<Entry> expected = {Entry::EstablishContext, Entry::Connect,
                                             Entry::Status,           Entry::Disconnect,
                                             Entry::Connect,          Entry::Status};
        EXPECT_EQ(pcsc.CallEntries(), expected);
        EXPECT_EQ(calls[1].shareMode, row.shareMode);
        EXPECT_EQ(calls[1].protocols, pcsc::kProtocolT0 | pcsc::kProtocolT1);
        EXPECT_EQ(calls[1].reader, kReader);
        EXPECT_EQ(calls[3].disposition, row.disposition);
        EXPECT_EQ(pcsc.OpenConnections(), 1u);
    }
    // Each session gave back its connection and its context.
    EXPECT_EQ(pcsc.OpenConnections(), 0u);
    EXPECT_EQ(pcsc.OpenContexts(), 0u);
    EXPECT_EQ(pcsc.Dispositions().back(), pcsc::kLeaveCard);
}

TEST_F(SessionTest, ConnectFailures) {
    pcsc.AddReader(kReader);
    ReaderSession session;
    ReaderSession::Atr atr{};
    std::uint32_t atrLength = 99;

    // No reader selected: nothing is asked of the stack.
    session.LastResult = 0x77;
    EXPECT_FALSE(session.Connect(atr, atrLength));
    EXPECT_EQ(atrLength, 0u);
    EXPECT_EQ(session.LastResult, 0x77u);
    EXPECT_EQ(pcsc.Count(Entry::Connect), 0u);

    session.SelectReader(kReader);
    EXPECT_FALSE(session.Connect(atr, atrLength));
    EXPECT_EQ(session.LastResult, pcsc::kNoSmartcard);
    EXPECT_EQ(session.CardHandle, 0);

    // The status query fails after a good connect: still connected, no ATR.
    pcsc.InsertCard(kReader, FakePcsc::ForeignAtr());
    pcsc.Fail(Entry::Status, pcsc::kNotReady);
    EXPECT_FALSE(session.Connect(atr, atrLength));
    EXPECT_EQ(session.LastResult, pcsc::kNotReady);
    EXPECT_NE(session.CardHandle, 0);
    EXPECT_EQ(atrLength, 0u);
    EXPECT_EQ(pcsc.OpenConnections(), 1u);
}

// pcscd may power a token up again right behind a connect it granted (its power management
// meets the connect): the token then has no protocol, and every command on that connection would
// be refused. The session connects again, a few times at most, before the first command.
TEST_F(SessionTest, ConnectAgainWhenTheTokenWasPoweredUpBehindIt) {
    const struct {
        int repowers;
        bool connected;
        std::size_t connects;
    } rows[] = {{0, true, 1}, {1, true, 2}, {2, true, 3}, {3, false, 3}};
    pcsc.AddReader(kReader, FakePcsc::ForeignAtr());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.repowers);
        pcsc.ClearRecord();
        pcsc.RepowerAfterConnect(kReader, row.repowers);
        ReaderSession session;
        session.SelectReader(kReader);
        ReaderSession::Atr atr{};
        std::uint32_t atrLength = 0;
        EXPECT_EQ(session.Connect(atr, atrLength), row.connected);
        EXPECT_EQ(pcsc.Count(Entry::Connect), row.connects);
        EXPECT_EQ(pcsc.Count(Entry::Disconnect), row.connects - 1);
        Bytes response;
        if (row.connected) {
            EXPECT_EQ(session.ActiveProtocol, pcsc::kProtocolT1);
            EXPECT_EQ(atrLength, FakePcsc::ForeignAtr().size());
            EXPECT_TRUE(session.Transmit({0x00, 0xA4, 0x00, 0x00}, response));
        } else {
            EXPECT_EQ(session.LastResult, pcsc::kProtoMismatch);
            EXPECT_EQ(atrLength, 0u);
            EXPECT_EQ(pcsc.OpenConnections(), 1u); // the caller disconnects, as after any failure
        }
    }
}

TEST_F(SessionTest, SelectReaderDisconnectsWheneverAReaderWasSelected) {
    pcsc.AddReader(kReader, FakePcsc::ForeignAtr());
    ReaderSession session;
    session.SelectReader(kReader); // nothing selected before: no call
    EXPECT_EQ(pcsc.Count(Entry::Disconnect), 0u);

    ReaderSession::Atr atr;
    std::uint32_t atrLength = 0;
    ASSERT_TRUE(session.Connect(atr, atrLength));
    session.SelectReader(kReader); // the same name
    EXPECT_EQ(pcsc.Dispositions(), std::vector<pcsc::DWORD>{pcsc::kResetCard});
    EXPECT_EQ(session.CardHandle, 0);
    EXPECT_EQ(session.Reader, kReader);
    EXPECT_TRUE(session.Disconnect()); // nothing left to close
    EXPECT_EQ(pcsc.Count(Entry::Disconnect), 1u);
}

TEST_F(SessionTest, WithoutAResourceManagerEveryCallFails) {
    pcsc.StopService();
    pcsc.AddReader(kReader, FakePcsc::ForeignAtr());
    {
        ReaderSession session;
        EXPECT_EQ(session.Context, 0);
        EXPECT_EQ(session.GetReaderName(0), "<None>");
        EXPECT_EQ(pcsc.CallEntries(), std::vector<Entry>{Entry::EstablishContext});
        EXPECT_EQ(session.GetReaderName(1), "");
        session.SelectReader(kReader);
        ReaderSession::Atr atr;
        std::uint32_t atrLength = 0;
        EXPECT_FALSE(session.Connect(atr, atrLength));
        EXPECT_EQ(session.LastErrorText(), "Invalid handle.");
        EXPECT_EQ(pcsc.Count(Entry::EstablishContext), 3u); // one more try for each call
    }
    EXPECT_EQ(pcsc.Count(Entry::ReleaseContext), 0u);
}

TEST_F(SessionTest, TransactionsReturnTheStackResultAndKeepLastResult) {
    pcsc.AddReader(kReader, FakePcsc::ForeignAtr());
    ReaderSession session;
    session.Exclusive = false;
    session.SelectReader(kReader);
    ReaderSession::Atr atr;
    std::uint32_t atrLength = 0;
    ASSERT_TRUE(session.Connect(atr, atrLength));
    session.LastResult = 0x55;
    EXPECT_EQ(session.BeginTransaction(), 0u);
    pcsc.Fail(Entry::EndTransaction, pcsc::kNotTransacted);
    EXPECT_EQ(session.EndTransaction(), pcsc::kNotTransacted);
    EXPECT_EQ(session.LastResult, 0x55u);
    EXPECT_EQ(pcsc.Calls().back().disposition, pcsc::kLeaveCard);
}

// ---- Reader list and card presence --------------------------------------------------------

TEST_F(SessionTest, GetReaderNameCountsOnlyUsableReaders) {
    pcsc.AddReader("Alpha");
    pcsc.AddReader("Bravo", FakePcsc::ForeignAtr());
    pcsc.AddReader("Charlie");
    pcsc.SetUnknownState("Bravo"); // unknown, and a card present: left out all the same
    pcsc.AddReader(std::string(300, 'n'));
    ReaderSession session;

    const std::vector<std::string> expected = {"<None>", "Alpha", "Charlie", std::string(255, 'n'),
                                               ""};
    for (std::size_t position = 0; position < expected.size(); ++position)
        EXPECT_EQ(session.GetReaderName(static_cast<int>(position)), expected[position])
            << position;

    // Each query is made with time-out 0 from the unaware state.
    for (const auto& call : pcsc.Calls()) {
        if (call.entry == Entry::GetStatusChange) {
            EXPECT_EQ(call.timeout, 0u);
        }
    }

    // A resource manager that says it is not running, also on a new context, still lets the
    // readers be listed; the whole walk tries one new context. A reader whose query fails
    // otherwise is left out.
    pcsc.SetUnknownState("Bravo", false);
    pcsc.Fail(Entry::GetStatusChange, pcsc::kNoService, FakePcsc::Times::Always);
    pcsc.ClearRecord();
    EXPECT_EQ(session.GetReaderName(4), std::string(255, 'n'));
    EXPECT_EQ(pcsc.Count(Entry::GetStatusChange), 5u);
    EXPECT_EQ(pcsc.Count(Entry::EstablishContext), 1u);
    pcsc.ClearFail(Entry::GetStatusChange);
    pcsc.Fail(Entry::GetStatusChange, pcsc::kNotReady);
    EXPECT_EQ(session.GetReaderName(1), "Bravo");
    EXPECT_EQ(pcsc.Count(Entry::EstablishContext), 1u);
}

TEST_F(SessionTest, GetReaderNameWithoutReaders) {
    ReaderSession session;
    for (int position : {1, 2})
        EXPECT_EQ(session.GetReaderName(position), "") << position;
    EXPECT_EQ(pcsc.Count(Entry::GetStatusChange), 0u);
    EXPECT_EQ(pcsc.Calls().back().result, static_cast<long>(pcsc::kNoReadersAvailable));
}

TEST_F(SessionTest, IsCardPresent) {
    pcsc.AddReader("Empty");
    pcsc.AddReader("Full", FakePcsc::ForeignAtr());
    pcsc.AddReader("Odd", FakePcsc::ForeignAtr());
    pcsc.SetUnknownState("Odd");
    const struct {
        const char* reader;
        std::uint32_t failure; // what the stopped service answers, 0 = it runs
        bool present;
        std::uint32_t lastResult;
    } rows[] = {
        {"Full", 0, true, 0},
        {"Empty", 0, false, 0},
        {"Odd", 0, false, 0}, // unknown state, although the card is reported present
        {"Gone", 0, false, pcsc::kUnknownReader},
        {"Empty", pcsc::kNoService, true, 0},
        {"Full", pcsc::kServiceStopped, false, pcsc::kServiceStopped},
    };
    for (const auto& row : rows) {
        ReaderSession session;
        session.SelectReader(row.reader);
        session.LastResult = 0x77;
        if (row.failure)
            pcsc.StopService(row.failure);
        EXPECT_EQ(session.IsCardPresent(), row.present) << row.reader;
        EXPECT_EQ(session.LastResult, row.lastResult) << row.reader;
        pcsc.StartService();
    }

    ReaderSession session;
    const std::size_t before = pcsc.Calls().size();
    session.LastResult = 0x77;
    EXPECT_FALSE(session.IsCardPresent());
    EXPECT_EQ(session.LastResult, 0x77u);
    EXPECT_EQ(pcsc.Calls().size(), before); // no reader selected: no query
}

// ---- The context across a restart of the service ------------------------------------------

// What a context that the service no longer knows answers: pcsc-lite's own answer first.
const std::uint32_t kLostAnswers[] = {pcsc::kNoService, pcsc::kServiceStopped,
                                      pcsc::kInvalidHandle};

// A session call that needs the context.
struct ContextCall {
    const char* name;
    bool card;                                     // the reader holds a card
    std::function<std::string(TokenSession&)> run; // makes the call: what the caller sees
    std::string works;
    // Every PC/SC call it makes when the service restarted since its last call.
    std::vector<Entry> afterRestart;
    // New contexts it tries while the service is away: one for each Connect it makes.
    std::size_t attempts;
    // What the caller sees while the service is away, for each answer of the lost context.
    std::map<std::uint32_t, std::string> down;
};

std::string Presence(TokenSession& session) {
    const bool present = session.IsCardPresent();
    return (present ? "present: " : "absent: ") + session.LastErrorText();
}

std::string Connection(bool connected, TokenSession& session) {
    return (connected ? "connected: " : "not connected: ") + session.LastErrorText();
}

std::vector<ContextCall> ContextCalls() {
    const std::vector<Entry> connect = {Entry::Disconnect,       Entry::Connect,
                                        Entry::EstablishContext, Entry::ReleaseContext,
                                        Entry::Connect,          Entry::Status};
    const std::map<std::uint32_t, std::string> notConnected = {
        {pcsc::kNoService, "not connected: Service not available."},
        {pcsc::kServiceStopped, "not connected: The Smart card resource manager has shut down"},
        {pcsc::kInvalidHandle, "not connected: Invalid handle."},
    };
    return {
        {"GetReaderName (ListReaders)",
         true,
         [](TokenSession& session) { return session.GetReaderName(1); },
         kReader,
         {Entry::ListReaders, Entry::EstablishContext, Entry::ReleaseContext, Entry::ListReaders,
          Entry::ListReaders, Entry::GetStatusChange},
         1,
         {{pcsc::kNoService, ""}, {pcsc::kServiceStopped, ""}, {pcsc::kInvalidHandle, ""}}},
        // An empty reader: the "card present" that a service away gives cannot pass for it.
        {"IsCardPresent (GetStatusChange)",
         false,
         Presence,
         "absent: Ok",
         {Entry::GetStatusChange, Entry::EstablishContext, Entry::ReleaseContext,
          Entry::GetStatusChange},
         1,
         {{pcsc::kNoService, "present: Ok"},
          {pcsc::kServiceStopped, "absent: The Smart card resource manager has shut down"},
          {pcsc::kInvalidHandle, "absent: Invalid handle."}}},
        {"Connect", true,
         [](TokenSession& session) {
             ReaderSession::Atr atr;
             std::uint32_t atrLength = 0;
             const bool connected = session.Connect(atr, atrLength);
             return Connection(connected, session);
         },
         "connected: Ok", connect, 1, notConnected},
        // Its own second Connect after a failed one is a session call of its own.
        {"ConnectCard", true,
         [](TokenSession& session) { return Connection(session.ConnectCard(), session); },
         "connected: Ok", connect, 2, notConnected},
    };
}

std::string Describe(const std::string& call, std::uint32_t lost) {
    char code[16];
    std::snprintf(code, sizeof code, "%08X", static_cast<unsigned>(lost));
    return call + ", the lost context answers " + code;
}

// The stack a call needs, and a session whose call was served once while the service ran.
struct ServedSession {
    explicit ServedSession(const ContextCall& call) {
        pcsc.AddReader(kReader, call.card ? FakePcsc::ForeignAtr() : Bytes{});
        session.emplace();
        session->SelectReader(kReader);
        firstAnswer = call.run(*session);
        firstContext = session->Context;
    }
    FakePcsc pcsc;
    std::optional<TokenSession> session;
    std::string firstAnswer;
    pcsc::SCARDCONTEXT firstContext = 0;
};

// Runs `check` for every call and every answer of a lost context, each on a session of its own
// whose call was served once.
void ForEveryLostContext(
    const std::function<void(const ContextCall&, std::uint32_t lost, ServedSession&)>& check) {
    for (const auto& call : ContextCalls()) {
        for (std::uint32_t lost : kLostAnswers) {
            SCOPED_TRACE(Describe(call.name, lost));
            ServedSession served(call);
            ASSERT_EQ(served.firstAnswer, call.works);
            check(call, lost, served);
        }
    }
}

TEST(ContextRecovery, AfterARestartTheCallWorksOnOneNewContext) {
    ForEveryLostContext([](const ContextCall& call, std::uint32_t lost, ServedSession& served) {
        FakePcsc& pcsc = served.pcsc;
        TokenSession& session = *served.session;
        pcsc.StopService(lost);
        pcsc.StartService();
        pcsc.ClearRecord();

        EXPECT_EQ(call.run(session), call.works);
        EXPECT_EQ(pcsc.CallEntries(), call.afterRestart);
        for (const auto& made : pcsc.Calls()) {
            if (made.entry != Entry::Disconnect) {
                EXPECT_EQ(made.result, static_cast<long>(lost)); // the old context
                break;
            }
        }
        EXPECT_NE(session.Context, served.firstContext);
        EXPECT_EQ(pcsc.OpenContexts(), 1u); // the old one was given back

        // The new context serves the next calls, and is given back at the end.
        pcsc.ClearRecord();
        EXPECT_EQ(call.run(session), call.works);
        EXPECT_EQ(pcsc.Count(Entry::EstablishContext), 0u);
        served.session.reset();
        EXPECT_EQ(pcsc.OpenContexts(), 0u);
        EXPECT_EQ(pcsc.OpenConnections(), 0u);
    });
}

TEST(ContextRecovery, WhileTheServiceIsAwayEachCallTriesOneNewContextAndFailsAsBefore) {
    ForEveryLostContext([](const ContextCall& call, std::uint32_t lost, ServedSession& served) {
        FakePcsc& pcsc = served.pcsc;
        TokenSession& session = *served.session;
        pcsc.StopService(lost);
        pcsc.ClearRecord();

        for (std::size_t round = 1; round <= 2; ++round) {
            EXPECT_EQ(call.run(session), call.down.at(lost)) << "call " << round;
            EXPECT_EQ(pcsc.Count(Entry::EstablishContext), round * call.attempts)
                << "call " << round;
        }
        EXPECT_EQ(pcsc.Count(Entry::ReleaseContext), 0u);
        EXPECT_EQ(session.Context, served.firstContext); // kept until there is a new one

        // A longer outage ends like a short one.
        pcsc.StartService();
        EXPECT_EQ(call.run(session), call.works);
        EXPECT_EQ(pcsc.Count(Entry::ReleaseContext), 1u);
    });
}

TEST(ContextRecovery, ASessionMadeWhileTheServiceWasAwayGetsItsContextOnceItIsBack) {
    for (const auto& call : ContextCalls()) {
        SCOPED_TRACE(call.name);
        FakePcsc pcsc;
        pcsc.AddReader(kReader, call.card ? FakePcsc::ForeignAtr() : Bytes{});
        pcsc.StopService();
        {
            TokenSession session;
            session.SelectReader(kReader);
            ASSERT_EQ(session.Context, 0);
            // pcsc-lite refuses context 0 as an invalid handle: that is the cause shown.
            EXPECT_EQ(call.run(session), call.down.at(pcsc::kInvalidHandle));
            EXPECT_EQ(pcsc.Count(Entry::EstablishContext), 1 + call.attempts);

            pcsc.StartService();
            EXPECT_EQ(call.run(session), call.works);
            EXPECT_EQ(pcsc.Count(Entry::EstablishContext), 2 + call.attempts);
            EXPECT_EQ(pcsc.Count(Entry::ReleaseContext), 0u); // there was none to give back
            EXPECT_NE(session.Context, 0);
        }
        EXPECT_EQ(pcsc.OpenContexts(), 0u);
    }
}

TEST(ContextRecovery, CallsOnTheCardHandleFailOnceAndTheCallerConnectsAgain) {
    const Bytes challenge = H("00 84 00 00 08");
    const struct {
        Entry entry;
        std::function<void(TokenSession&)> run;
    } rows[] = {
        {Entry::Transmit,
         [&](TokenSession& session) {
             Bytes response;
             EXPECT_FALSE(session.Transmit(challenge, response));
             EXPECT_EQ(session.StatusWord, 0x1111);
         }},
        {Entry::BeginTransaction, [](TokenSession& session) { session.BeginTransaction(); }},
        {Entry::EndTransaction, [](TokenSession& session) { session.EndTransaction(); }},
        {Entry::Disconnect, [](TokenSession& session) { session.Disconnect(); }},
    };
    for (const auto& row : rows) {
        for (std::uint32_t lost : kLostAnswers) {
            SCOPED_TRACE(Describe(FakePcsc::EntryName(row.entry), lost));
            FakePcsc pcsc;
            pcsc.AddReader(kReader, FakePcsc::ForeignAtr());
            TokenSession session;
            session.SelectReader(kReader);
            ASSERT_TRUE(session.ConnectCard());
            pcsc.StopService(lost);
            pcsc.StartService();
            pcsc.ClearRecord();

            row.run(session);
            const auto calls = pcsc.Calls();
            ASSERT_EQ(calls.size(), 1u);
            EXPECT_EQ(calls[0].entry, row.entry);
            EXPECT_EQ(calls[0].result, static_cast<long>(lost));

            ASSERT_TRUE(session.ConnectCard());
            Bytes response;
            EXPECT_TRUE(session.Transmit(challenge, response));
            EXPECT_EQ(pcsc.Commands(), std::vector<Bytes>{challenge});
            EXPECT_EQ(pcsc.Count(Entry::EstablishContext), 1u);
        }
    }
}

} // namespace
