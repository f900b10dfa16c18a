// Wiping secrets: a vector's whole storage is overwritten, also the part past its size that still
// holds an earlier, longer value.

#include "crypto/Wipe.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace {

struct ShrunkCase {
    const char* name;
    std::size_t length; // the secret's length before it shrank
    std::size_t kept;   // its size when wiped
};
void PrintTo(const ShrunkCase& c, std::ostream* os) {
    *os << c.name;
}

class WipeVector : public ::testing::TestWithParam<ShrunkCase> {};

TEST_P(WipeVector, OverwritesTheWholeCapacityAndEmptiesIt) {
    const ShrunkCase& c = GetParam();
    std::vector<std::uint8_t> secret(c.length, 0xA5);
    secret.resize(c.kept); // the storage keeps the longer value past the new size
    const std::size_t capacity = secret.capacity();
    ASSERT_GE(capacity, c.length);
    const std::uint8_t* storage = secret.data();

    SecretBytes::WipeVector(secret);

    EXPECT_TRUE(secret.empty());
    ASSERT_EQ(secret.data(), storage) << "the storage stays where it was";
    for (std::size_t i = 0; i < capacity; ++i)
        ASSERT_EQ(storage[i], 0) << "byte " << i << " of " << capacity;
}

INSTANTIATE_TEST_SUITE_P(Sizes, WipeVector,
                         ::testing::Values(ShrunkCase{"Full", 32, 32}, ShrunkCase{"Shrunk", 32, 4},
                                           ShrunkCase{"Emptied", 32, 0},
                                           ShrunkCase{"OneLeft", 255, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
