#include "crypto/TripleDes.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using Block = std::array<uint8_t, 8>;
using Key = std::array<uint8_t, 16>;

template <size_t N> std::array<uint8_t, N> Hex(const std::string& text) {
    std::array<uint8_t, N> out{};
    EXPECT_EQ(text.size(), 2 * N) << text;
    for (size_t i = 0; i < N && 2 * i + 1 < text.size(); ++i)
        out[i] = uint8_t(std::stoul(text.substr(2 * i, 2), nullptr, 16));
    return out;
}

// Two-key Triple-DES ECB of one block by OpenSSL's default provider.
class OpenSslEde {
public:
    OpenSslEde() : ctx_(EVP_CIPHER_CTX_new()) {}
    ~OpenSslEde() { EVP_CIPHER_CTX_free(ctx_); }

    Block Run(const Key& key, const Block& in, bool encrypt) {
        Block out{};
        int len = 0;
        const bool ok = EVP_CipherInit_ex(ctx_, EVP_des_ede_ecb(), nullptr, key.data(), nullptr,
                                          encrypt) == 1 &&
                        EVP_CIPHER_CTX_set_padding(ctx_, 0) == 1 &&
                        EVP_CipherUpdate(ctx_, out.data(), &len, in.data(), 8) == 1 && len == 8;
        EXPECT_TRUE(ok) << "OpenSSL DES-EDE-ECB failed";
        return out;
    }

private:
    EVP_CIPHER_CTX* ctx_;
};

Block Apply(TripleDes& des, void (TripleDes::*op)(uint8_t*), Block b) {
    (des.*op)(b.data());
    return b;
}

struct KnownAnswer {
    const char* name;
    const char* key;
    const char* plain;
    const char* cipher;
    const char* firstStage; // E_K1(plain)
};

// Published values: the first two are single DES (K1 = K2), the third two-key Triple-DES.
const KnownAnswer kKnownAnswers[] = {
    {"NowIsT", "0123456789ABCDEF0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815",
     "3FA40E8A984D4815"},
    {"Worked", "133457799BBCDFF1133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405",
     "85E813540F0AB405"},
    {"TwoKey", "0123456789ABCDEFFEDCBA9876543210", "0123456789ABCDE7", "7F1D0A77826B8AFF",
     "C95744256A5ED31D"},
};

TEST(TripleDes, KnownAnswers) {
    for (const auto& t : kKnownAnswers) {
        SCOPED_TRACE(t.name);
        const Key key = Hex<16>(t.key);
        const Block plain = Hex<8>(t.plain);
        const Block cipher = Hex<8>(t.cipher);
        TripleDes des(key.data());

        EXPECT_EQ(Apply(des, &TripleDes::EncryptBlock, plain), cipher);
        EXPECT_EQ(Apply(des, &TripleDes::DecryptBlock, cipher), plain);
        EXPECT_EQ(Apply(des, &TripleDes::EncryptBlockFirstStage, plain), Hex<8>(t.firstStage));

        Block viaEcb = plain;
        des.EncryptECB(viaEcb.data(), viaEcb.size());
        EXPECT_EQ(viaEcb, cipher);
    }
}

// Random keys and blocks against OpenSSL, for both directions and for the single first stage
// (which is two-key Triple-DES under K1 K1).
TEST(TripleDes, AgreesWithOpenSsl) {
    std::mt19937_64 rng(0x0D5E5EEDu);
    OpenSslEde ref;
    for (int i = 0; i < 3000; ++i) {
        Key key;
        Block block;
        for (auto& b : key)
            b = uint8_t(rng());
        for (auto& b : block)
            b = uint8_t(rng());
        TripleDes des(key.data());
        ASSERT_EQ(Apply(des, &TripleDes::EncryptBlock, block), ref.Run(key, block, true)) << i;
        ASSERT_EQ(Apply(des, &TripleDes::DecryptBlock, block), ref.Run(key, block, false)) << i;

        Key k1k1 = key;
        std::memcpy(k1k1.data() + 8, key.data(), 8);
        ASSERT_EQ(Apply(des, &TripleDes::EncryptBlockFirstStage, block), ref.Run(k1k1, block, true))
            << i;
    }
}

// Decryption undoes encryption, the last stages complete the first one, and parity bits
// (the low bit of every key byte) never change a result.
TEST(TripleDes, RelationsBetweenOperations) {
    std::mt19937_64 rng(20240611);
    for (int i = 0; i < 2000; ++i) {
        Key key;
        Block block;
        for (auto& b : key)
            b = uint8_t(rng());
        for (auto& b : block)
            b = uint8_t(rng());
        TripleDes des(key.data());
        const Block enc = Apply(des, &TripleDes::EncryptBlock, block);
        const Block dec = Apply(des, &TripleDes::DecryptBlock, block);

        EXPECT_EQ(Apply(des, &TripleDes::DecryptBlock, enc), block) << i;
        EXPECT_EQ(Apply(des, &TripleDes::EncryptBlock, dec), block) << i;
        EXPECT_EQ(Apply(des, &TripleDes::EncryptBlockLastStages,
                        Apply(des, &TripleDes::EncryptBlockFirstStage, block)),
                  enc)
            << i;

        Key flipped = key;
        flipped[i % 16] ^= 0x01;
        if (i % 3 == 0)
            for (auto& b : flipped)
                b ^= 0x01;
        TripleDes other(flipped.data());
        EXPECT_EQ(Apply(other, &TripleDes::EncryptBlock, block), enc) << i;
        EXPECT_EQ(Apply(other, &TripleDes::DecryptBlock, block), dec) << i;
        EXPECT_EQ(Apply(other, &TripleDes::EncryptBlockFirstStage, block),
                  Apply(des, &TripleDes::EncryptBlockFirstStage, block))
            << i;
    }
}

// EncryptECB touches whole blocks only, each on its own, and nothing past length.
TEST(TripleDes, EncryptEcbLengths) {
    const Key key = Hex<16>("0123456789ABCDEFFEDCBA9876543210");
    const Block one = Hex<8>("0123456789ABCDE7");
    const Block oneEnc = Hex<8>("7F1D0A77826B8AFF");
    TripleDes des(key.data());

    const size_t lengths[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 15, 16, 17, 23, 24};
    for (size_t length : lengths) {
        SCOPED_TRACE(length);
        // Every block holds the same plaintext; the tail past the last block and the guard
        // bytes past length carry other values.
        std::vector<uint8_t> buf(length + 8);
        for (size_t i = 0; i < buf.size(); ++i)
            buf[i] = i < length / 8 * 8 ? one[i % 8] : uint8_t(0xA0 + i);
        const std::vector<uint8_t> before = buf;

        des.EncryptECB(buf.data(), length);

        for (size_t i = 0; i < buf.size(); ++i) {
            const uint8_t want = i < length / 8 * 8 ? oneEnc[i % 8] : before[i];
            ASSERT_EQ(buf[i], want) << "byte " << i;
        }
    }
    des.EncryptECB(nullptr, 0);
}

// The subkey schedules are secret; nothing of them stays in memory once the object is gone.
TEST(TripleDes, DestructorWipesSubkeys) {
    alignas(TripleDes) unsigned char storage[sizeof(TripleDes)] = {};
    const Key key = Hex<16>("0123456789ABCDEFFEDCBA9876543210");
    auto* des = new (storage) TripleDes(key.data());
    size_t nonZero = 0;
    for (size_t i = sizeof(void*); i < sizeof storage; ++i)
        nonZero += storage[i] != 0;
    ASSERT_GT(nonZero, 100u) << "the schedules should be in the object";

    des->~TripleDes();
    for (size_t i = sizeof(void*); i < sizeof storage; ++i)
        EXPECT_EQ(storage[i], 0) << "byte " << i;
}

} // namespace
