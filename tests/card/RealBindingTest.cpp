// The pcsc-lite binding without a resource manager: every session call must fail cleanly and
// name its cause, and result codes map to pcsc-lite's texts.

#include "card/TokenSession.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

// The client library reads the socket name once, at its first call in the process; each test
// runs in a process of its own.
void NoResourceManager() {
    ::setenv("PCSCLITE_CSOCK_NAME", "/nonexistent/orvane-card-test/pcscd.comm", 1);
}

TEST(CardRealBinding, MessageTexts) {
    const struct {
        std::uint32_t code;
        std::string text;
    } rows[] = {
        {pcsc::kNoReadersAvailable, "Cannot find a smart card reader."},
        {pcsc::kNoService, "Service not available."},
        {pcsc::kNoSmartcard, "No smart card inserted."},
        {pcsc::kInvalidHandle, "Invalid handle."},
        {pcsc::kInsufficientBuffer, "Insufficient buffer."},
        {0x8010006F, ""}, // pcsc-lite only says "Unknown error"
        {0x801000FF, ""},
        {0x12345678, ""}, // not a PC/SC code
        {121, ""},
        {0x80100000, ""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(pcsc::RealApi().MessageText(row.code), row.text) << std::hex << row.code;
}

TEST(CardRealBinding, ASessionWithoutResourceManagerFailsWithCauses) {
    NoResourceManager();
    TokenSession reader;
    EXPECT_EQ(&pcsc::CurrentApi(), &pcsc::RealApi());
    EXPECT_EQ(reader.Context, 0);
    EXPECT_EQ(reader.GetReaderName(0), "<None>");
    EXPECT_EQ(reader.GetReaderName(1), "");

    reader.SelectReader("Any reader 00 00");
    EXPECT_FALSE(reader.IsCardPresent());
    EXPECT_EQ(reader.LastResult, pcsc::kInvalidHandle);
    EXPECT_FALSE(reader.ConnectCard());
    EXPECT_EQ(reader.LastErrorText(), "Invalid handle.");
    EXPECT_EQ(reader.CardId, "");

    Bytes response;
    EXPECT_FALSE(reader.Transmit({0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, response));
    EXPECT_EQ(reader.LastResult, pcsc::kInvalidHandle);
    EXPECT_EQ(reader.StatusWord, 0x1111);
    EXPECT_NE(reader.BeginTransaction(), 0u);
}

} // namespace
