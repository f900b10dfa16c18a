// The pcsc-lite binding against the private PC/SC stack: reader listing, reader states and the
// causes of a failed connect, as the real daemon gives them.

#include "card/TokenSession.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> SandboxReaders() {
    std::ifstream file(std::string(ORVANE_PCSC_SANDBOX) + "/readers");
    std::vector<std::string> names;
    for (std::string line; std::getline(file, line);)
        if (!line.empty())
            names.push_back(line);
    return names;
}

TEST(CardPcscStack, ReadersStatesAndConnect) {
    const auto readers = SandboxReaders();
    ASSERT_FALSE(readers.empty()) << "the private PC/SC stack is not running";

    TokenSession session;
    ASSERT_NE(session.Context, 0);
    for (std::size_t i = 0; i < readers.size(); ++i)
        EXPECT_EQ(session.GetReaderName(static_cast<int>(i + 1)), readers[i]);
    EXPECT_EQ(session.GetReaderName(static_cast<int>(readers.size() + 1)), "");

    for (const auto& name : readers) {
        pcsc::ReaderState state;
        state.reader = name.c_str();
        ASSERT_EQ(pcsc::RealApi().GetStatusChange(session.Context, 0, &state, 1), 0);
        // Only state bits: pcsc-lite's event counter is handed over in eventCounter.
        EXPECT_EQ(state.eventState & ~pcsc::DWORD{0xFFFF}, 0u) << name;
        EXPECT_TRUE(state.eventState & pcsc::kStateChanged) << name;
        const bool present = state.eventState & pcsc::kStatePresent;
        EXPECT_NE(present, (state.eventState & pcsc::kStateEmpty) != 0) << name;
        // The count of insertions and removals comes apart: a reader that holds a token has seen
        // it inserted.
        if (present) {
            EXPECT_GT(state.eventCounter, 0u) << name;
        }

        session.SelectReader(name);
        EXPECT_EQ(session.IsCardPresent(), present) << name;
        ReaderSession::Atr atr{};
        std::uint32_t atrLength = 0;
        if (present) {
            EXPECT_TRUE(session.Connect(atr, atrLength)) << name;
            EXPECT_GT(atrLength, 1u) << name;
            EXPECT_EQ(atr[0], state.atr[0]) << name;
        } else {
            EXPECT_FALSE(session.Connect(atr, atrLength)) << name;
            EXPECT_EQ(session.LastResult, pcsc::kNoSmartcard) << name;
            EXPECT_EQ(session.LastErrorText(), "No smart card inserted.") << name;
        }
        EXPECT_TRUE(session.Disconnect());
    }

    session.SelectReader("No such reader 00 00");
    EXPECT_FALSE(session.IsCardPresent());
    EXPECT_FALSE(session.ConnectCard());
    EXPECT_EQ(session.LastErrorText(), "The specified reader name is not recognized");
}

} // namespace
