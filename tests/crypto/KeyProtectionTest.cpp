// The wrappers over libsodium and libgfshare: a passphrase seals and opens a secret only with the
// same passphrase, salt, nonce and header; threshold sharing rebuilds a secret from any M shares
// and not from fewer.

#include "crypto/Passphrase.h"
#include "crypto/Threshold.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <vector>

namespace {

// The cheapest cost libsodium takes: the tests check the wrapping, not Argon2id's strength.
constexpr passphrase::Cost kCheap{1, 64};

const std::vector<std::uint8_t> kSecret = {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87,
                                           0x98, 0xA9, 0xBA, 0xCB, 0xDC, 0xED, 0xFE, 0x0F};

struct SealCase {
    const char* name;
    std::string passphrase; // what Open is given
    int changedSalt;        // index of a salt byte changed before opening, -1 none
    int changedNonce;
    int changedHeader;
    int changedSealed;
    passphrase::OpenResult expected;
};
void PrintTo(const SealCase& c, std::ostream* os) {
    *os << c.name;
}

class PassphraseSeal : public ::testing::TestWithParam<SealCase> {};

TEST_P(PassphraseSeal, OpensOnlyWhatWasSealedWithTheSameInputs) {
    const SealCase& c = GetParam();
    std::uint8_t salt[passphrase::kSaltSize] = {1, 2, 3};
    std::uint8_t nonce[passphrase::kNonceSize] = {4, 5, 6};
    std::vector<std::uint8_t> header = {'h', 'e', 'a', 'd'};
    std::vector<std::uint8_t> sealed;
    ASSERT_TRUE(passphrase::Seal("верная фраза", kCheap, salt, nonce, header, kSecret, sealed));
    ASSERT_EQ(sealed.size(), kSecret.size() + passphrase::kTagSize);
    EXPECT_NE(std::vector<std::uint8_t>(sealed.begin(), sealed.begin() + 16), kSecret);
    if (c.changedSalt >= 0)
        salt[c.changedSalt] ^= 0x01;
    if (c.changedNonce >= 0)
        nonce[c.changedNonce] ^= 0x01;
    if (c.changedHeader >= 0)
        header[static_cast<std::size_t>(c.changedHeader)] ^= 0x01;
    if (c.changedSealed >= 0)
        sealed[static_cast<std::size_t>(c.changedSealed)] ^= 0x80;
    std::vector<std::uint8_t> plain = {0xEE};
    EXPECT_EQ(passphrase::Open(c.passphrase, kCheap, salt, nonce, header, sealed, plain),
              c.expected);
    if (c.expected == passphrase::OpenResult::Opened)
        EXPECT_EQ(plain, kSecret);
    else
        EXPECT_EQ(plain, std::vector<std::uint8_t>{0xEE}) << "a refused open changed the output";
}

using passphrase::OpenResult;
INSTANTIATE_TEST_SUITE_P(
    Crypto, PassphraseSeal,
    ::testing::Values(
        SealCase{"Same", "верная фраза", -1, -1, -1, -1, OpenResult::Opened},
        SealCase{"OtherPassphrase", "верная фраза ", -1, -1, -1, -1, OpenResult::NotAuthentic},
        SealCase{"OtherSalt", "верная фраза", 15, -1, -1, -1, OpenResult::NotAuthentic},
        SealCase{"OtherNonce", "верная фраза", -1, 23, -1, -1, OpenResult::NotAuthentic},
        SealCase{"HeaderChanged", "верная фраза", -1, -1, 2, -1, OpenResult::NotAuthentic},
        SealCase{"CiphertextChanged", "верная фраза", -1, -1, -1, 0, OpenResult::NotAuthentic},
        SealCase{"TagChanged", "верная фраза", -1, -1, -1, 31, OpenResult::NotAuthentic}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PassphraseCost, RefusesCostsOutsideTheBoundsAReaderAccepts) {
    EXPECT_TRUE(passphrase::CostAccepted(passphrase::kDefaultCost));
    EXPECT_TRUE(passphrase::CostAccepted(kCheap));
    EXPECT_FALSE(passphrase::CostAccepted({0, 64}));
    EXPECT_FALSE(passphrase::CostAccepted({17, 64}));
    EXPECT_FALSE(passphrase::CostAccepted({1, 4}));
    EXPECT_FALSE(passphrase::CostAccepted({1, 1024 * 1024 + 1}));
    // The default is memory-hard: at least 64 MiB.
    EXPECT_GE(passphrase::kDefaultCost.memoryKiB, 64u * 1024);
}

// ---- Threshold sharing ------------------------------------------------------------------------

struct SplitCase {
    unsigned threshold;
    unsigned count;
};
void PrintTo(const SplitCase& c, std::ostream* os) {
    *os << c.threshold << "of" << c.count;
}

// Every subset of {0..count-1} with `size` members, as index lists.
std::vector<std::vector<unsigned>> Subsets(unsigned count, unsigned size) {
    std::vector<std::vector<unsigned>> subsets;
    for (unsigned mask = 0; mask < (1u << count); ++mask) {
        if (static_cast<unsigned>(__builtin_popcount(mask)) != size)
            continue;
        std::vector<unsigned> members;
        for (unsigned i = 0; i < count; ++i)
            if (mask & (1u << i))
                members.push_back(i);
        subsets.push_back(members);
    }
    return subsets;
}

class ThresholdSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(ThresholdSplit, EveryMSharesRebuildTheSecretAndNoFewerDo) {
    const SplitCase& c = GetParam();
    std::vector<threshold::Share> shares;
    ASSERT_TRUE(threshold::Split(kSecret.data(), kSecret.size(), c.threshold, c.count, shares));
    ASSERT_EQ(shares.size(), c.count);
    for (unsigned i = 0; i < c.count; ++i) {
        EXPECT_EQ(shares[i].number, i + 1);
        EXPECT_NE(shares[i].bytes, kSecret) << "a share is the secret itself";
    }
    for (unsigned size : {c.threshold, c.threshold - 1, c.count}) {
        for (const std::vector<unsigned>& subset : Subsets(c.count, size)) {
            std::vector<threshold::Share> given;
            for (unsigned i : subset)
                given.push_back(shares[i]);
            std::vector<std::uint8_t> secret;
            ASSERT_TRUE(threshold::Combine(given, secret));
            if (size >= c.threshold)
                EXPECT_EQ(secret, kSecret) << size << " shares";
            else
                EXPECT_NE(secret, kSecret) << size << " shares rebuilt the secret";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Crypto, ThresholdSplit,
                         ::testing::Values(SplitCase{2, 2}, SplitCase{2, 3}, SplitCase{3, 3},
                                           SplitCase{3, 5}, SplitCase{4, 7}, SplitCase{2, 9},
                                           SplitCase{9, 9}),
                         [](const auto& info) {
                             return std::to_string(info.param.threshold) + "of" +
                                    std::to_string(info.param.count);
                         });

TEST(ThresholdSplit, RefusesSplitsOutOfRangeAndCombinationsOfRepeatedNumbers) {
    std::vector<threshold::Share> shares;
    EXPECT_FALSE(threshold::Split(kSecret.data(), kSecret.size(), 1, 3, shares));
    EXPECT_FALSE(threshold::Split(kSecret.data(), kSecret.size(), 4, 3, shares));
    EXPECT_TRUE(shares.empty());
    ASSERT_TRUE(threshold::Split(kSecret.data(), kSecret.size(), 2, 3, shares));
    std::vector<std::uint8_t> secret;
    EXPECT_FALSE(threshold::Combine({shares[0], shares[0]}, secret));
    threshold::Share zero = shares[1];
    zero.number = 0;
    EXPECT_FALSE(threshold::Combine({shares[0], zero}, secret));
}

} // namespace
