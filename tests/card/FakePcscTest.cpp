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
    ASSERT_EQ(link.Connect("R", pcsc::SHARE_SHARED, handle), 0);

    pcsc.AnswerSw(H("80 48"), 0x6A81, Times::Always);
    pcsc.AnswerSw(H("80 48"), 0x6A82, Times::Always); // the later one serves
    pcsc.AnswerSw(H("80 48 00 00"), 0x6A83);          // once-answers come first, in order
    pcsc.Answer(H("80 48"), H("01 90 00"));
    pcsc.AnswerResult(H("80"), pcsc::W_REMOVED_CARD);
    pcsc.SetDefaultAnswer(H("90 01"));

    const struct {
        Bytes command;
        long result;
        Bytes answer;
    } rows[] = {
        {H("80 48 00 00 08"), 0, H("6A 83")},
        {H("80 48 4D 46"), 0, H("01 90 00")},
        {H("80 48 00 00"), static_cast<long>(pcsc::W_REMOVED_CARD), {}},
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

    EXPECT_EQ(link.State("R", pcsc::STATE_UNAWARE, result), 0x22u);
    EXPECT_EQ(link.State("E", pcsc::STATE_UNAWARE, result), 0x12u);
    EXPECT_EQ(result, 0);
    link.State("X", pcsc::STATE_UNAWARE, result); // not attached
    EXPECT_EQ(result, static_cast<long>(pcsc::E_UNKNOWN_READER));
    pcsc.SetUnknownState("E");
    EXPECT_EQ(link.State("E", pcsc::STATE_UNAWARE, result), 0x06u);
    EXPECT_EQ(result, 0);
    pcsc.SetUnknownState("E", false);
    pcsc.SetUnknownState("R"); // with a card in it: unknown and present together
    EXPECT_EQ(link.State("R", pcsc::STATE_UNAWARE, result), 0x26u);
    pcsc.SetUnknownState("R", false);
    link.State("E", pcsc::STATE_EMPTY, result); // nothing changed and no waiting
    EXPECT_EQ(result, static_cast<long>(pcsc::E_TIMEOUT));

    pcsc::SCARDHANDLE first = 0, second = 0;
    ASSERT_EQ(link.Connect("R", pcsc::SHARE_EXCLUSIVE, first), 0);
    EXPECT_EQ(link.State("R", pcsc::STATE_UNAWARE, result), 0xA2u);
    EXPECT_EQ(link.Connect("R", pcsc::SHARE_SHARED, second),
              static_cast<long>(pcsc::E_SHARING_VIOLATION));
    EXPECT_EQ(link.Connect("E", pcsc::SHARE_SHARED, second),
              static_cast<long>(pcsc::E_NO_SMARTCARD));
    EXPECT_EQ(link.Connect("X", pcsc::SHARE_SHARED, second),
              static_cast<long>(pcsc::E_UNKNOWN_READER));

    // A card pulled and put back is a new card for the old connection.
    pcsc.RemoveCard("R");
    pcsc.InsertCard("R", FakePcsc::ForeignAtr());
    link.Send(first, H("00 84 00 00 08"), result);
    EXPECT_EQ(result, static_cast<long>(pcsc::W_REMOVED_CARD));
    EXPECT_TRUE(pcsc.Commands().empty());
    EXPECT_EQ(pcsc.Disconnect(first, pcsc::LEAVE_CARD), 0);
    EXPECT_EQ(pcsc.Disconnect(first, pcsc::LEAVE_CARD), static_cast<long>(pcsc::E_INVALID_HANDLE));

    // The reader list, its length first.
    pcsc::DWORD length = 0;
    ASSERT_EQ(pcsc.ListReaders(link.context, nullptr, nullptr, &length), 0);
    EXPECT_EQ(length, 5u);
    std::string names(length, '#');
    pcsc::DWORD shorter = length - 1;
    EXPECT_EQ(pcsc.ListReaders(link.context, nullptr, names.data(), &shorter),
              static_cast<long>(pcsc::E_INSUFFICIENT_BUFFER));
    EXPECT_EQ(pcsc.ListReaders(link.context, nullptr, names.data(), &length), 0);
    EXPECT_EQ(names, std::string("R\0E\0\0", 5));
}

TEST(FakePcscTest, FailuresOnceAndAlways) {
    FakePcsc pcsc;
    pcsc.AddReader("R", FakePcsc::ForeignAtr());
    Link link(pcsc);
    pcsc::SCARDHANDLE handle = 0;
    pcsc.Fail(Entry::Connect, pcsc::E_NOT_READY);
    pcsc.Fail(Entry::Connect, pcsc::E_TIMEOUT);
    EXPECT_EQ(link.Connect("R", 2, handle), static_cast<long>(pcsc::E_NOT_READY));
    EXPECT_EQ(link.Connect("R", 2, handle), static_cast<long>(pcsc::E_TIMEOUT));
    EXPECT_EQ(link.Connect("R", 2, handle), 0);
    pcsc.Fail(Entry::BeginTransaction, pcsc::E_SERVICE_STOPPED, Times::Always);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(pcsc.BeginTransaction(handle), static_cast<long>(pcsc::E_SERVICE_STOPPED));
    pcsc.ClearFail(Entry::BeginTransaction);
    EXPECT_EQ(pcsc.BeginTransaction(handle), 0);
    EXPECT_EQ(pcsc.TransactionsBegun(), 4u);
    EXPECT_EQ(pcsc.Count(Entry::Connect), 3u);
}

} // namespace
