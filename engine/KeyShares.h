#pragma once
// Shares of an unblock key: the key split so that any M of N custodians together rebuild it
// (2 <= M <= N <= 9), while fewer learn nothing about it. Plain C++ over crypto/Threshold
// (libgfshare).
//
// A share file, 72 bytes (or the same bytes inside a protected file, ProtectedKeyFile.h, when
// its custodian keeps it under a passphrase):
//
//   offset  size  field
//        0     8  magic "OrvaneKS"
//        8     1  format version: 1
//        9     1  this share's number i (1..N)
//       10     1  M: how many shares rebuild the key
//       11     1  N: how many shares were made
//       12     8  split identifier: random, the same in every share of one split
//       20     3  the whole key's check value (KCV), to prove the rebuilt key
//       23     1  length of the share: 16
//       24    16  the share
//       40    32  checksum: BLAKE2b-256 of bytes 0..39
//
// The checksum tells a damaged share; the split identifier tells a share of another split; the
// KCV tells shares that do not rebuild the key (for example a share forged to fit).

#include "engine/KeyCheck.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace key_shares {

inline constexpr char kMagic[8] = {'O', 'r', 'v', 'a', 'n', 'e', 'K', 'S'};
inline constexpr std::uint8_t kVersion = 1;
inline constexpr std::size_t kFileSize = 72;
inline constexpr unsigned kMinThreshold = 2;
inline constexpr unsigned kMaxCount = 9;

// One share as read from its file; its bytes are wiped when it goes away.
struct Share {
    unsigned number = 0;
    unsigned threshold = 0;
    unsigned count = 0;
    std::array<std::uint8_t, 8> splitId{};
    std::string kcv; // six hexadecimal digits
    std::array<std::uint8_t, 16> bytes{};

    Share() = default;
    Share(const Share& other) = default;
    Share& operator=(const Share& other) = default;
    ~Share();
};

// Whether `bytes` start with the magic of a share file.
bool LooksLikeShare(const std::vector<std::uint8_t>& bytes);

enum class Parse {
    Ok,
    OtherVersion,
    // Wrong size, a checksum that does not match, or numbers out of range.
    Damaged,
};
Parse ParseShare(const std::vector<std::uint8_t>& file, Share& share);

// Whether M of N is a split this program makes and reads.
bool SplitAccepted(unsigned threshold, unsigned count);

// Splits `key` into `count` share files (their bytes, in order of number) of which any
// `threshold` rebuild it, with a new split identifier. False on a refused M of N or when the
// library failed. The caller wipes the files (SecretBytes::WipeVector) once written.
bool SplitKey(const UnblockKeyBytes& key, unsigned threshold, unsigned count,
              std::vector<std::vector<std::uint8_t>>& files);

enum class Combine {
    Rebuilt,
    TooFew,
    // Two shares with the same number (the same file given twice, or a copy).
    Duplicate,
    // A share of another split (another identifier, M, N or KCV than the first share's).
    Foreign,
    // The shares rebuild a key whose KCV is not the one they carry.
    Disagree,
};
struct CombineOutcome {
    Combine result = Combine::Rebuilt;
    // The share at fault (Duplicate, Foreign) and the one it clashes with.
    std::size_t culprit = 0;
    std::size_t other = 0;
    // The KCV the rebuilt key has (Disagree).
    std::string rebuiltKcv;
};
// Rebuilds the key from `shares`; `key` is set only when the answer is Rebuilt.
CombineOutcome CombineShares(const std::vector<Share>& shares, UnblockKeyBytes& key);

} // namespace key_shares
