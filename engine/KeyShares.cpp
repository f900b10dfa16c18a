#include "KeyShares.h"

#include "crypto/Sodium.h"
#include "crypto/Threshold.h"
#include "crypto/Wipe.h"

#include <cstdio>
#include <cstring>

namespace key_shares {

namespace {

constexpr std::size_t kVersionAt = 8, kNumberAt = 9, kThresholdAt = 10, kCountAt = 11;
constexpr std::size_t kSplitIdAt = 12, kKcvAt = 20, kLengthAt = 23, kShareAt = 24;
constexpr std::size_t kBodySize = 40;
static_assert(kBodySize + kChecksumSize == kFileSize);

std::array<std::uint8_t, 3> KcvBytes(const std::string& kcv) {
    std::array<std::uint8_t, 3> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        unsigned value = 0;
        std::sscanf(kcv.c_str() + 2 * i, "%2x", &value);
        bytes[i] = static_cast<std::uint8_t>(value);
    }
    return bytes;
}

std::string KcvText(const std::uint8_t* bytes) {
    char text[7] = {};
    std::snprintf(text, sizeof text, "%02X%02X%02X", bytes[0], bytes[1], bytes[2]);
    return text;
}

bool SameSplit(const Share& a, const Share& b) {
    return a.splitId == b.splitId && a.threshold == b.threshold && a.count == b.count &&
           a.kcv == b.kcv;
}

} // namespace

Share::~Share() {
    WipeAll(bytes);
}

bool LooksLikeShare(const std::vector<std::uint8_t>& bytes) {
    return bytes.size() > sizeof kMagic && std::memcmp(bytes.data(), kMagic, sizeof kMagic) == 0;
}

bool SplitAccepted(unsigned threshold, unsigned count) {
    return threshold >= kMinThreshold && threshold <= count && count <= kMaxCount;
}

Parse ParseShare(const std::vector<std::uint8_t>& file, Share& share) {
    if (!LooksLikeShare(file) || file.size() <= kVersionAt)
        return Parse::Damaged;
    if (file[kVersionAt] != kVersion)
        return Parse::OtherVersion;
    if (file.size() != kFileSize)
        return Parse::Damaged;
    std::uint8_t sum[kChecksumSize];
    Checksum(file.data(), kBodySize, sum);
    if (std::memcmp(sum, file.data() + kBodySize, kChecksumSize) != 0)
        return Parse::Damaged;
    const unsigned number = file[kNumberAt], threshold = file[kThresholdAt], count = file[kCountAt];
    if (!SplitAccepted(threshold, count) || number < 1 || number > count ||
        file[kLengthAt] != share.bytes.size())
        return Parse::Damaged;
    share.number = number;
    share.threshold = threshold;
    share.count = count;
    std::memcpy(share.splitId.data(), file.data() + kSplitIdAt, share.splitId.size());
    share.kcv = KcvText(file.data() + kKcvAt);
    std::memcpy(share.bytes.data(), file.data() + kShareAt, share.bytes.size());
    return Parse::Ok;
}

bool SplitKey(const UnblockKeyBytes& key, unsigned threshold, unsigned count,
              std::vector<std::vector<std::uint8_t>>& files) {
    for (std::vector<std::uint8_t>& file : files)
        SecretBytes::WipeVector(file);
    files.clear();
    if (!SplitAccepted(threshold, count) || !StartSodium())
        return false;
    std::vector<threshold::Share> shares;
    if (!threshold::Split(key.data(), key.size(), threshold, count, shares))
        return false;
    std::array<std::uint8_t, 8> splitId{};
    RandomBytes(splitId.data(), splitId.size());
    const std::array<std::uint8_t, 3> kcv = KcvBytes(KeyCheckValue(key));
    for (const threshold::Share& share : shares) {
        std::vector<std::uint8_t> file(kFileSize, 0);
        std::memcpy(file.data(), kMagic, sizeof kMagic);
        file[kVersionAt] = kVersion;
        file[kNumberAt] = share.number;
        file[kThresholdAt] = static_cast<std::uint8_t>(threshold);
        file[kCountAt] = static_cast<std::uint8_t>(count);
        std::memcpy(file.data() + kSplitIdAt, splitId.data(), splitId.size());
        std::memcpy(file.data() + kKcvAt, kcv.data(), kcv.size());
        file[kLengthAt] = static_cast<std::uint8_t>(share.bytes.size());
        std::memcpy(file.data() + kShareAt, share.bytes.data(), share.bytes.size());
        Checksum(file.data(), kBodySize, file.data() + kBodySize);
        files.push_back(std::move(file));
    }
    threshold::WipeShares(shares);
    return true;
}

CombineOutcome CombineShares(const std::vector<Share>& shares, UnblockKeyBytes& key) {
    CombineOutcome outcome;
    for (std::size_t i = 1; i < shares.size(); ++i) {
        if (!SameSplit(shares[i], shares[0]))
            return {Combine::Foreign, i, 0, {}};
        for (std::size_t j = 0; j < i; ++j)
            if (shares[i].number == shares[j].number)
                return {Combine::Duplicate, i, j, {}};
    }
    if (shares.empty() || shares.size() < shares[0].threshold)
        return {Combine::TooFew, 0, 0, {}};
    std::vector<threshold::Share> parts;
    for (const Share& share : shares)
        parts.push_back({static_cast<std::uint8_t>(share.number),
                         std::vector<std::uint8_t>(share.bytes.begin(), share.bytes.end())});
    std::vector<std::uint8_t> secret;
    const bool combined = threshold::Combine(parts, secret);
    threshold::WipeShares(parts);
    UnblockKeyBytes rebuilt{};
    if (combined && secret.size() == rebuilt.size())
        std::memcpy(rebuilt.data(), secret.data(), rebuilt.size());
    SecretBytes::WipeVector(secret);
    outcome.rebuiltKcv = KeyCheckValue(rebuilt);
    if (!combined || outcome.rebuiltKcv != shares[0].kcv) {
        WipeAll(rebuilt);
        outcome.result = Combine::Disagree;
        return outcome;
    }
    key = rebuilt;
    WipeAll(rebuilt);
    return outcome;
}

} // namespace key_shares
