// Challenge and response codes: their text forms and the response against OpenSSL's two-key
// Triple-DES. No Qt: the engine is plain C++.

#include "engine/ChallengeResponse.h"

#include "support/ReferenceTripleDes.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <utility>

namespace {

TEST(ChallengeText, IsChallengeValid) {
    const std::pair<std::string, bool> rows[] = {
        {"01 23 45 67 89 AB CD EF", true},       {"01 23 45 67 89 AB CD EF ", true},
        {"01 23 45 67 89 AB CD EF\t\r\n", true}, {" 01 23 45 67 89 AB CD EF", false},
        {"01 23 45 67 89 AB CD E", false},       {"01 23 45 67 89 AB CD EF 0", false},
        {"01 23 45 67 89 ab cd ef", false},      {"01 23 45 67 89 AB CD EG", false},
        {"01-23 45 67 89 AB CD EF", false},      {"0123 45 67 89 AB CD EF ", false},
        {"01  23 45 67 89 AB CD E", false},      {"", false},
        {"01 23 45 67 89 AB CD Е", false}, // a Cyrillic letter that looks like E
    };
    for (const auto& [text, valid] : rows)
        EXPECT_EQ(IsChallengeValid(text), valid) << '"' << text << '"';
}

TEST(ChallengeText, HexPairValueParseAndFormat) {
    const std::pair<std::string, int> values[] = {{"00", 0}, {"0A", 10}, {"FF", 255}, {"a0", 0},
                                                  {"Ga", 0}, {"1G", 16}, {"7f", 112}, {"", 0}};
    for (const auto& [text, value] : values)
        EXPECT_EQ(HexPairValue(text, 2), value) << text;

    const std::string challenge = "01 23 45 67 89 AB CD EF";
    EXPECT_EQ(ParseChallenge(challenge, static_cast<int>(challenge.size())),
              (Bytes{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}));
    EXPECT_EQ(ParseChallenge("0A0B", 4), (Bytes{0x0A, 0x0B}));
    EXPECT_EQ(ParseChallenge("", 0), Bytes{});
    EXPECT_EQ(ParseChallenge("0A0B", 99), (Bytes{0x0A, 0x0B})) << "never past the text";

    const std::uint8_t bytes[] = {0x00, 0x0A, 0xA0, 0xFF, 0x01, 0x10, 0x9C, 0xE5};
    EXPECT_EQ(FormatResponse(bytes, 8), "00 0A A0 FF 01 10 9C E5");
    EXPECT_EQ(FormatResponse(bytes, 1), "00");
    EXPECT_EQ(FormatResponse(bytes, 0), "");
    const std::uint8_t nine[9] = {};
    EXPECT_EQ(FormatResponse(nine, 9), "00 00 00 00 00 00 00 00 "); // at most 24 characters
}

TEST(ChallengeResponse, EqualsOpenSslTripleDesOfTheChallenge) {
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 200; ++round) {
        std::array<std::uint8_t, 16> key{};
        std::array<std::uint8_t, 8> block{};
        for (auto& b : key)
            b = static_cast<std::uint8_t>(byte(random));
        for (auto& b : block)
            b = static_cast<std::uint8_t>(byte(random));
        const std::string challenge = FormatResponse(block.data(), 8);
        ASSERT_TRUE(IsChallengeValid(challenge)) << challenge;
        const auto expected = ReferenceTripleDes(key, block.data());
        // The field may carry trailing blanks and line ends: they are not part of the code.
        EXPECT_EQ(ComputeResponse(key, challenge + " \r\n"), FormatResponse(expected.data(), 8))
            << challenge;
    }
}

} // namespace
