// The scripted PC/SC stack behaves as pcsc-lite does where the other test areas rely on it.

#include "support/FakePcsc.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Entry = FakePcsc::Entry;
using Times = FakePcsc::Times;
const auto H = FakePcsc::Hex;

struct Link {
    FakePcsc& pcsc;
    pcsc::SCARDCONTEXT context = 0;

    explicit Link(FakePcsc& fake) : pcsc(fake) { pcsc.EstablishContext(0, &context); }

    long Connect(const char* reader, pcsc::DWORD share, pcsc::SCARDHANDLE& handle) {
        pcsc::DWORD protocol = 0;
        return pcsc.Connect(context, reader, share, 3, &handle, &protocol);
    }
    Bytes Send(pcsc::SCARDHANDLE handle, const Bytes& command, long& result) {
        const pcsc::IoRequest pci{2, sizeof(pcsc::IoRequest)};
        unsigned char answer[254];
        pcsc::DWORD length = sizeof answer;
        result =
            pcsc.Transmit(handle, &pci, command.data(), command.size(), nullptr, answer, &length);
        return result == 0 ? Bytes(answer, answer + length) : Bytes{};
    }
    pcsc::DWORD State(const char* reader, pcsc::DWORD current, long& result) {
        pcsc::ReaderState state;
        state.reader = reader;
        state.currentState = current;
        result = pcsc.GetStatusChange(context, 0, &state, 1);
        return state.eventState;
    }
};

TEST(FakePcscTest, ScriptedAnswersInOrderOfPrecedence) {
    FakePcsc pcsc;
    pcsc.AddReader("R", FakePcsc::ForeignAtr());
    Link link(pcsc);
    pcsc::SCARDHANDLE handle = 0;
    ASSERT_EQ(link.Connect("R", pcsc::kShareShared, handle), 0);

    pcsc.AnswerSw(H("80 48"), 0x6A81, Times::Always);
    pcsc.AnswerSw(H("80 48"), 0x6A82, Times::Always); // the later one serves
    pcsc.AnswerSw(H("80 48 00 00"), 0x6A83);          // once-answers come first, in order
    pcsc.Answer(H("80 48"), H("01 90 00"));
    pcsc.AnswerResult(H("80"), pcsc::kCardWasRemoved);
    pcsc.SetDefaultAnswer(H("90 01"));

    const struct {
        Bytes command;
        long result;
        Bytes answer;
    } rows[] = {
        {H("80 48 00 00 08"), 0, H("6A 83")},
        {H("80 48 4D 46"), 0, H("01 90 00")},
        {H("80 48 00 00"), static_cast<long>(pcsc::kCardWasRemoved), {}},
        {H("80 48 00 00"), 0, H("6A 82")},
        {H("00 A4 00 00"), 0, H("90 01")},
    };
    for (const auto& row : rows) {
        long result = -1;
        EXPECT_EQ(link.Send(handle, row.command, result), row.answer)
            << FakePcsc::ToHex(row.command);
        EXPECT_EQ(result, row.result) << FakePcsc::ToHex(row.command);
    }
    EXPECT_EQ(pcsc.Commands().size(), 5u);
}

TEST(FakePcscTest, ReaderStatesAndConnectionsLikeTheRealStack) {
    FakePcsc pcsc;
    pcsc.AddReader("R", FakePcsc::ForeignAtr());
    pcsc.AddReader("E");
    Link link(pcsc);
    long result = -1;

    EXPECT_EQ(link.State("R", pcsc::kStateUnaware, result), 0x22u);
    EXPECT_EQ(link.State("E", pcsc::kStateUnaware, result), 0x12u);
    EXPECT_EQ(result, 0);
    link.State("X", pcsc::kStateUnaware, result); // not attached
    EXPECT_EQ(result, static_cast<long>(pcsc::kUnknownReader));
    pcsc.SetUnknownState("E");
    EXPECT_EQ(link.State("E", pcsc::kStateUnaware, result), 0x06u);
    EXPECT_EQ(result, 0);
    pcsc.SetUnknownState("E", false);
    pcsc.SetUnknownState("R"); // with a card in it: unknown and present together
    EXPECT_EQ(link.State("R", pcsc::kStateUnaware, result), 0x26u);
    pcsc.SetUnknownState("R", false);
    link.State("E", pcsc::kStateEmpty, result); // nothing changed and no waiting
    EXPECT_EQ(result, static_cast<long>(pcsc::kTimeout));

    pcsc::SCARDHANDLE first = 0, second = 0;
    ASSERT_EQ(link.Connect("R", pcsc::kShareExclusive, first), 0);
    EXPECT_EQ(link.State("R", pcsc::kStateUnaware, result), 0xA2u);
    EXPECT_EQ(link.Connect("R", pcsc::kShareShared, second),
              static_cast<long>(pcsc::kSharingViolation));
    EXPECT_EQ(link.Connect("E", pcsc::kShareShared, second), static_cast<long>(pcsc::kNoSmartcard));
    EXPECT_EQ(link.Connect("X", pcsc::kShareShared, second),
              static_cast<long>(pcsc::kUnknownReader));

    // A card pulled and put back is a new card for the old connection.
    pcsc.RemoveCard("R");
    pcsc.InsertCard("R", FakePcsc::ForeignAtr());
    link.Send(first, H("00 84 00 00 08"), result);
    EXPECT_EQ(result, static_cast<long>(pcsc::kCardWasRemoved));
    EXPECT_TRUE(pcsc.Commands().empty());
    EXPECT_EQ(pcsc.Disconnect(first, pcsc::kLeaveCard), 0);
    EXPECT_EQ(pcsc.Disconnect(first, pcsc::kLeaveCard), static_cast<long>(pcsc::kInvalidHandle));

    // The reader list, its length first.
    pcsc::DWORD length = 0;
    ASSERT_EQ(pcsc.ListReaders(link.context, nullptr, nullptr, &length), 0);
    EXPECT_EQ(length, 5u);
    std::string names(length, '#');
    pcsc::DWORD shorter = length - 1;
    EXPECT_EQ(pcsc.ListReaders(link.context, nullptr, names.data(), &shorter),
              static_cast<long>(pcsc::kInsufficientBuffer));
    EXPECT_EQ(pcsc.ListReaders(link.context, nullptr, names.data(), &length), 0);
    EXPECT_EQ(names, std::string("R\0E\0\0", 5));
}

TEST(FakePcscTest, FailuresOnceAndAlways) {
    FakePcsc pcsc;
    pcsc.AddReader("R", FakePcsc::ForeignAtr());
    Link link(pcsc);
    pcsc::SCARDHANDLE handle = 0;
    pcsc.Fail(Entry::Connect, pcsc::kNotReady);
    pcsc.Fail(Entry::Connect, pcsc::kTimeout);
    EXPECT_EQ(link.Connect("R", 2, handle), static_cast<long>(pcsc::kNotReady));
    EXPECT_EQ(link.Connect("R", 2, handle), static_cast<long>(pcsc::kTimeout));
    EXPECT_EQ(link.Connect("R", 2, handle), 0);
    pcsc.Fail(Entry::BeginTransaction, pcsc::kServiceStopped, Times::Always);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(pcsc.BeginTransaction(handle), static_cast<long>(pcsc::kServiceStopped));
    pcsc.ClearFail(Entry::BeginTransaction);
    EXPECT_EQ(pcsc.BeginTransaction(handle), 0);
    EXPECT_EQ(pcsc.TransactionsBegun(), 4u);
    EXPECT_EQ(pcsc.Count(Entry::Connect), 3u);
}

// As pcsc-lite 1.9.9 behaves when pcscd ends and is started again: contexts and handles from
// before answer 0x8010001D for good, new contexts work once the daemon is back.
TEST(FakePcscTest, ServiceStopAndRestart) {
    for (std::uint32_t stale : {pcsc::kNoService, pcsc::kServiceStopped, pcsc::kInvalidHandle}) {
        SCOPED_TRACE(stale);
        FakePcsc pcsc;
        pcsc.AddReader("R", FakePcsc::ForeignAtr());
        Link old(pcsc);
        pcsc::SCARDHANDLE handle = 0;
        ASSERT_EQ(old.Connect("R", pcsc::kShareExclusive, handle), 0);
        if (stale == pcsc::kNoService)
            pcsc.StopService(); // pcsc-lite's answer is the default
        else
            pcsc.StopService(stale);

        const auto expectStale = [&](const char* when) {
            SCOPED_TRACE(when);
            const long answer = static_cast<long>(stale);
            long result = 0;
            pcsc::DWORD length = 0;
            EXPECT_EQ(pcsc.ListReaders(old.context, nullptr, nullptr, &length), answer);
            old.State("R", pcsc::kStateUnaware, result);
            EXPECT_EQ(result, answer);
            pcsc::SCARDHANDLE other = 0;
            EXPECT_EQ(old.Connect("R", pcsc::kShareShared, other), answer);
            old.Send(handle, H("00 84 00 00 08"), result);
            EXPECT_EQ(result, answer);
            EXPECT_EQ(pcsc.Status(handle, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
                      answer);
            EXPECT_EQ(pcsc.BeginTransaction(handle), answer);
            EXPECT_EQ(pcsc.EndTransaction(handle, pcsc::kLeaveCard), answer);
            EXPECT_EQ(pcsc.Disconnect(handle, pcsc::kLeaveCard), answer);
            EXPECT_TRUE(pcsc.Commands().empty());
            EXPECT_EQ(pcsc.OpenContexts(), 1u);
            EXPECT_EQ(pcsc.OpenConnections(), 1u); // a failed disconnect keeps the handle
        };

        expectStale("while away");
        pcsc::SCARDCONTEXT context = 0;
        EXPECT_EQ(pcsc.EstablishContext(pcsc::kScopeUser, &context),
                  static_cast<long>(pcsc::kNoService));
        EXPECT_EQ(context, 0);

        pcsc.StartService();
        expectStale("once back");
        Link fresh(pcsc);
        ASSERT_NE(fresh.context, 0);
        // The old exclusive connection holds the reader no more.
        long result = -1;
        EXPECT_EQ(fresh.State("R", pcsc::kStateUnaware, result), 0x22u);
        pcsc::SCARDHANDLE again = 0;
        ASSERT_EQ(fresh.Connect("R", pcsc::kShareExclusive, again), 0);
        fresh.Send(again, H("00 84 00 00 08"), result);
        EXPECT_EQ(result, 0);

        // Releasing the old context forgets it and its handles.
        EXPECT_EQ(pcsc.ReleaseContext(old.context), static_cast<long>(stale));
        EXPECT_EQ(pcsc.ReleaseContext(old.context), static_cast<long>(pcsc::kInvalidHandle));
        EXPECT_EQ(pcsc.Disconnect(handle, pcsc::kLeaveCard),
                  static_cast<long>(pcsc::kInvalidHandle));
        EXPECT_EQ(pcsc.OpenContexts(), 1u);
        EXPECT_EQ(pcsc.OpenConnections(), 1u);
    }
}

} // namespace
