#pragma once
// Threshold sharing of a secret over libgfshare (Shamir's scheme in GF(2^8)): a secret is split
// into `count` shares of its own size, any `threshold` of which rebuild it, while fewer tell
// nothing about it. The shares are numbered 1 to count (the number is part of the share). The
// coefficients come from libsodium's random source; every buffer that held a secret is wiped.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace threshold {

struct Share {
    std::uint8_t number = 0; // 1..255, never 0 (that point is the secret itself)
    std::vector<std::uint8_t> bytes;
};

// Splits `size` bytes at `secret` into `count` shares numbered 1..count, any `threshold` of which
// rebuild it (2 <= threshold <= count <= 255). Earlier content of `shares` is wiped. False when the
// numbers are out of range or the library could not allocate.
bool Split(const std::uint8_t* secret, std::size_t size, unsigned threshold, unsigned count,
           std::vector<Share>& shares);

// Rebuilds the secret from `shares` (distinct numbers, all of one size) into `secret`, which gets
// their size. With fewer shares than the split's threshold the result is a wrong secret: the
// caller checks it against a check value. False on distinct-number or size errors.
bool Combine(const std::vector<Share>& shares, std::vector<std::uint8_t>& secret);

// Wipes every share's bytes and empties the list.
void WipeShares(std::vector<Share>& shares);

} // namespace threshold
