#include "TripleDes.h"

#include "Wipe.h"

#include <array>
#include <atomic>
#include <bit>

namespace {

// ---- FIPS 46-3 tables (positions counted from 1, bit 1 = most significant) ----

// Selection functions S1..S8, each 4 rows of 16.
// clang-format off
constexpr uint8_t kSBoxes[8][64] = {
    { // S1
        14,  4, 13,  1,  2, 15, 11,  8,  3, 10,  6, 12,  5,  9,  0,  7,
         0, 15,  7,  4, 14,  2, 13,  1, 10,  6, 12, 11,  9,  5,  3,  8,
         4,  1, 14,  8, 13,  6,  2, 11, 15, 12,  9,  7,  3, 10,  5,  0,
        15, 12,  8,  2,  4,  9,  1,  7,  5, 11,  3, 14, 10,  0,  6, 13,
    },
    { // S2
        15,  1,  8, 14,  6, 11,  3,  4,  9,  7,  2, 13, 12,  0,  5, 10,
         3, 13,  4,  7, 15,  2,  8, 14, 12,  0,  1, 10,  6,  9, 11,  5,
         0, 14,  7, 11, 10,  4, 13,  1,  5,  8, 12,  6,  9,  3,  2, 15,
        13,  8, 10,  1,  3, 15,  4,  2, 11,  6,  7, 12,  0,  5, 14,  9,
    },
    { // S3
        10,  0,  9, 14,  6,  3, 15,  5,  1, 13, 12,  7, 11,  4,  2,  8,
        13,  7,  0,  9,  3,  4,  6, 10,  2,  8,  5, 14, 12, 11, 15,  1,
        13,  6,  4,  9,  8, 15,  3,  0, 11,  1,  2, 12,  5, 10, 14,  7,
         1, 10, 13,  0,  6,  9,  8,  7,  4, 15, 14,  3, 11,  5,  2, 12,
    },
    { // S4
         7, 13, 14,  3,  0,  6,  9, 10,  1,  2,  8,  5, 11, 12,  4, 15,
        13,  8, 11,  5,  6, 15,  0,  3,  4,  7,  2, 12,  1, 10, 14,  9,
        10,  6,  9,  0, 12, 11,  7, 13, 15,  1,  3, 14,  5,  2,  8,  4,
         3, 15,  0,  6, 10,  1, 13,  8,  9,  4,  5, 11, 12,  7,  2, 14,
    },
    { // S5
         2, 12,  4,  1,  7, 10, 11,  6,  8,  5,  3, 15, 13,  0, 14,  9,
        14, 11,  2, 12,  4,  7, 13,  1,  5,  0, 15, 10,  3,  9,  8,  6,
         4,  2,  1, 11, 10, 13,  7,  8, 15,  9, 12,  5,  6,  3,  0, 14,
        11,  8, 12,  7,  1, 14,  2, 13,  6, 15,  0,  9, 10,  4,  5,  3,
    },
    { // S6
        12,  1, 10, 15,  9,  2,  6,  8,  0, 13,  3,  4, 14,  7,  5, 11,
        10, 15,  4,  2,  7, 12,  9,  5,  6,  1, 13, 14,  0, 11,  3,  8,
         9, 14, 15,  5,  2,  8, 12,  3,  7,  0,  4, 10,  1, 13, 11,  6,
         4,  3,  2, 12,  9,  5, 15, 10, 11, 14,  1,  7,  6,  0,  8, 13,
    },
    { // S7
         4, 11,  2, 14, 15,  0,  8, 13,  3, 12,  9,  7,  5, 10,  6,  1,
        13,  0, 11,  7,  4,  9,  1, 10, 14,  3,  5, 12,  2, 15,  8,  6,
         1,  4, 11, 13, 12,  3,  7, 14, 10, 15,  6,  8,  0,  5,  9,  2,
         6, 11, 13,  8,  1,  4, 10,  7,  9,  5,  0, 15, 14,  2,  3, 12,
    },
    { // S8
        13,  2,  8,  4,  6, 15, 11,  1, 10,  9,  3, 14,  5,  0, 12,  7,
         1, 15, 13,  8, 10,  3,  7,  4, 12,  5,  6, 11,  0, 14,  9,  2,
         7, 11,  4,  1,  9, 12, 14,  2,  0,  6, 10, 13, 15,  3,  5,  8,
         2,  1, 14,  7,  4, 10,  8, 13, 15, 12,  9,  0,  3,  5,  6, 11,
    },
};
// clang-format on

// Permutation P of the cipher function.
constexpr uint8_t kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                            2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

// Permuted choice 1: 28 bits of C0, then 28 bits of D0.
constexpr uint8_t kPC1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                              10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                              63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                              14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

// Permuted choice 2: 48 subkey bits taken from C_i D_i.
constexpr uint8_t kPC2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                              26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                              51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

// Left rotations of C and D before each of the 16 subkeys.
constexpr uint8_t kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

constexpr bool SBoxRowsArePermutations() {
    for (const auto& box : kSBoxes) {
        for (int row = 0; row < 4; ++row) {
            unsigned seen = 0;
            for (int col = 0; col < 16; ++col)
                seen |= 1u << box[row * 16 + col];
            if (seen != 0xFFFF)
                return false;
        }
    }
    return true;
}
static_assert(SBoxRowsArePermutations(), "every S-box row holds each of 0..15 once");

// Picks `count` bits of the `width`-bit value `source` by the 1-based positions in `table`;
// the first picked bit becomes the most significant bit of the result.
constexpr uint64_t Permute(uint64_t source, int width, const uint8_t* table, int count) {
    uint64_t result = 0;
    for (int i = 0; i < count; ++i)
        result = (result << 1) | ((source >> (width - table[i])) & 1);
    return result;
}

// ---- Round function tables ----
//
// The halves L and R are kept rotated left by one bit during the rounds. In that form the
// expansion E needs no bit moves: the 6-bit groups 2, 4, 6, 8 of E(R) are the bytes of R (low
// six bits each), and the groups 1, 3, 5, 7 the bytes of R rotated right by four. Each table
// below joins one selection function with the permutation P (and the same one-bit rotation),
// so the cipher function is eight lookups XORed together.

using SpTable = std::array<std::array<uint32_t, 64>, 8>;

constexpr SpTable MakeSpTables() {
    SpTable sp{};
    for (int box = 0; box < 8; ++box) {
        for (unsigned group = 0; group < 64; ++group) {
            // The outer bits of the group choose the row, the middle four the column.
            const unsigned row = ((group >> 4) & 2) | (group & 1);
            const unsigned col = (group >> 1) & 0xF;
            const uint32_t out = uint32_t(kSBoxes[box][row * 16 + col]) << (28 - 4 * box);
            sp[box][group] = std::rotl(uint32_t(Permute(out, 32, kP, 32)), 1);
        }
    }
    return sp;
}

constexpr SpTable kSp = MakeSpTables();

inline uint32_t F(uint32_t r, const uint32_t* k) {
    const uint32_t odd = std::rotr(r, 4) ^ k[0];
    const uint32_t even = r ^ k[1];
    return kSp[0][(odd >> 24) & 0x3F] ^ kSp[2][(odd >> 16) & 0x3F] ^ kSp[4][(odd >> 8) & 0x3F] ^
           kSp[6][odd & 0x3F] ^ kSp[1][(even >> 24) & 0x3F] ^ kSp[3][(even >> 16) & 0x3F] ^
           kSp[5][(even >> 8) & 0x3F] ^ kSp[7][even & 0x3F];
}

// One DES stage: the 16 rounds with the subkeys of one schedule, forwards (encryption) or
// backwards (decryption), then the exchange of the halves that leaves R16 L16 in (l, r).
template <bool Forward> inline void Stage(uint32_t& l, uint32_t& r, const uint32_t (*keys)[2]) {
    for (int i = 0; i < 16; i += 2) {
        const int a = Forward ? i : 15 - i;
        const int b = Forward ? i + 1 : 14 - i;
        l ^= F(r, keys[a]);
        r ^= F(l, keys[b]);
    }
    const uint32_t t = l;
    l = r;
    r = t;
}

inline uint32_t LoadBE(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

inline void StoreBE(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// Initial permutation IP by swapping masked bit groups between the halves; leaves L0 and R0
// rotated left by one bit, as the rounds want them.
inline void InitialPermutation(const uint8_t* block, uint32_t& l, uint32_t& r) {
    l = LoadBE(block);
    r = LoadBE(block + 4);
    uint32_t w = ((l >> 4) ^ r) & 0x0F0F0F0F;
    r ^= w;
    l ^= w << 4;
    w = ((l >> 16) ^ r) & 0x0000FFFF;
    r ^= w;
    l ^= w << 16;
    w = ((r >> 2) ^ l) & 0x33333333;
    l ^= w;
    r ^= w << 2;
    w = ((r >> 8) ^ l) & 0x00FF00FF;
    l ^= w;
    r ^= w << 8;
    r = std::rotl(r, 1);
    w = (l ^ r) & 0xAAAAAAAA;
    l ^= w;
    r ^= w;
    l = std::rotl(l, 1);
}

// Inverse initial permutation: the same steps in reverse order.
inline void FinalPermutation(uint32_t l, uint32_t r, uint8_t* block) {
    l = std::rotr(l, 1);
    uint32_t w = (l ^ r) & 0xAAAAAAAA;
    l ^= w;
    r ^= w;
    r = std::rotr(r, 1);
    w = ((r >> 8) ^ l) & 0x00FF00FF;
    l ^= w;
    r ^= w << 8;
    w = ((r >> 2) ^ l) & 0x33333333;
    l ^= w;
    r ^= w << 2;
    w = ((l >> 16) ^ r) & 0x0000FFFF;
    r ^= w;
    l ^= w << 16;
    w = ((l >> 4) ^ r) & 0x0F0F0F0F;
    r ^= w;
    l ^= w << 4;
    StoreBE(block, l);
    StoreBE(block + 4, r);
}

// The 16 subkeys of one 8-byte DES key, laid out for F.
void MakeSchedule(const uint8_t* key, uint32_t (*out)[2]) {
    uint64_t k = 0;
    for (int i = 0; i < 8; ++i)
        k = (k << 8) | key[i];
    const uint64_t cd = Permute(k, 64, kPC1, 56);
    uint32_t c = uint32_t(cd >> 28) & 0x0FFFFFFF;
    uint32_t d = uint32_t(cd) & 0x0FFFFFFF;
    for (int i = 0; i < 16; ++i) {
        const int s = kShifts[i];
        c = ((c << s) | (c >> (28 - s))) & 0x0FFFFFFF;
        d = ((d << s) | (d >> (28 - s))) & 0x0FFFFFFF;
        const uint64_t sub = Permute((uint64_t(c) << 28) | d, 56, kPC2, 48);
        // Group j (1..8) is bits 6j-5..6j of the subkey.
        auto group = [sub](int j) { return uint32_t(sub >> (48 - 6 * j)) & 0x3F; };
        out[i][0] = (group(1) << 24) | (group(3) << 16) | (group(5) << 8) | group(7);
        out[i][1] = (group(2) << 24) | (group(4) << 16) | (group(6) << 8) | group(8);
    }
}

} // namespace

// ---- TripleDes ----

TripleDes::TripleDes(const uint8_t* key) {
    MakeSchedule(key, subKeys_);
    MakeSchedule(key + 8, subKeys_ + 16);
}

TripleDes::~TripleDes() {
    Wipe(subKeys_, sizeof subKeys_);
}

void TripleDes::EncryptBlock(uint8_t* block) {
    uint32_t l, r;
    InitialPermutation(block, l, r);
    Stage<true>(l, r, subKeys_);
    Stage<false>(l, r, subKeys_ + 16);
    Stage<true>(l, r, subKeys_);
    FinalPermutation(l, r, block);
}

void TripleDes::DecryptBlock(uint8_t* block) {
    uint32_t l, r;
    InitialPermutation(block, l, r);
    Stage<false>(l, r, subKeys_);
    Stage<true>(l, r, subKeys_ + 16);
    Stage<false>(l, r, subKeys_);
    FinalPermutation(l, r, block);
}

void TripleDes::EncryptBlockFirstStage(uint8_t* block) {
    uint32_t l, r;
    InitialPermutation(block, l, r);
    Stage<true>(l, r, subKeys_);
    FinalPermutation(l, r, block);
}

void TripleDes::EncryptBlockLastStages(uint8_t* block) {
    uint32_t l, r;
    InitialPermutation(block, l, r);
    Stage<false>(l, r, subKeys_ + 16);
    Stage<true>(l, r, subKeys_);
    FinalPermutation(l, r, block);
}

void TripleDes::EncryptECB(uint8_t* buffer, size_t length) {
    for (size_t blocks = length / 8; blocks > 0; --blocks, buffer += 8)
        EncryptBlock(buffer);
}
