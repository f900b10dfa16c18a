// Key check values and the keys that must not be used by mistake. OpenSSL's Triple-DES is the
// independent reference.

#include "engine/KeyCheck.h"

#include "support/ReferenceTripleDes.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

std::string ReferenceKcv(const UnblockKeyBytes& key) {
    const std::uint8_t zeros[8] = {};
    const auto block = ReferenceTripleDes(key, zeros);
    char text[7];
    std::snprintf(text, sizeof text, "%02X%02X%02X", block[0], block[1], block[2]);
    return text;
}

TEST(KeyCheckValue, EqualsOpenSslForRandomKeys) {
    std::mt19937 random(11);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 100; ++round) {
        UnblockKeyBytes key{};
        for (auto& b : key)
            b = static_cast<std::uint8_t>(byte(random));
        const std::string kcv = KeyCheckValue(key);
        EXPECT_EQ(kcv, ReferenceKcv(key));
        EXPECT_EQ(kcv.size(), 6u);
    }
}

TEST(KeyCheckValue, KnownAnswers) {
    // K1 = K2 = 0123456789ABCDEF is single DES: its published check value is D5D44F.
    const UnblockKeyBytes singleDes = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                       0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    EXPECT_EQ(KeyCheckValue(singleDes), "D5D44F");
    // The built-in default key, as the windows show it.
    EXPECT_EQ(ReferenceKcv(kDefaultUnblockKey), "4FFF1F");
    EXPECT_EQ(KeyCheckValue(kDefaultUnblockKey), "4FFF1F");
}

TEST(KeyWeakness, EqualHalvesAndTheDefaultKey) {
    UnblockKeyBytes halves{};
    for (std::size_t i = 0; i < 8; ++i)
        halves[i] = halves[i + 8] = static_cast<std::uint8_t>(0x31 * i + 7);
    UnblockKeyBytes almost = halves;
    almost[15] ^= 0x02; // differs in one bit that counts (not the parity bit)
    UnblockKeyBytes zeros{};
    struct Row {
        const char* name;
        UnblockKeyBytes key;
        KeyWeakness weakness;
    };
    const Row rows[] = {
        {"default key", kDefaultUnblockKey, KeyWeakness::DefaultKey},
        {"equal halves", halves, KeyWeakness::SingleDes},
        {"all zeros", zeros, KeyWeakness::SingleDes},
        {"halves differ in the last byte", almost, KeyWeakness::None},
    };
    for (const Row& row : rows)
        EXPECT_EQ(WeaknessOf(row.key), row.weakness) << row.name;
}

} // namespace
