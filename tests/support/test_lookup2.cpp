// The word variant of lookup2 against the byte variant, whose values are
// pinned by the string hash tests.
#include "VqLookup2.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// Little-endian bytes of the words, as the byte variant reads them on any host.
std::vector<uint8_t> leBytes(const std::vector<uint32_t>& w) {
    std::vector<uint8_t> b;
    for (uint32_t x : w)
        for (int i = 0; i < 4; ++i)
            b.push_back(static_cast<uint8_t>(x >> (8 * i)));
    return b;
}

TEST(Lookup2, WordVariantEqualsByteVariantOnLittleEndianWords) {
    std::vector<uint32_t> w;
    for (uint32_t n = 0; n < 14; ++n) {
        const std::vector<uint8_t> b = leBytes(w);
        for (uint32_t seed : {0u, 1u, 0xDEADBEEFu})
            EXPECT_EQ(vqLookup2Words(w.data(), n, seed), vqLookup2(b.data(), n * 4, seed)) << n;
        w.push_back(0x01020304u * (n + 1) ^ (n << 28));
    }
    EXPECT_EQ(vqLookup2(nullptr, 0, 0), 0xbd49d10du);
    EXPECT_EQ(vqLookup2Words(nullptr, 0, 0), 0xbd49d10du);
}

TEST(Lookup2, ChainingDependsOnEveryWordAndTheSeed) {
    const uint32_t w[5] = {1, 2, 3, 4, 5};
    const uint32_t h = vqLookup2Words(w, 5, 0);
    for (int i = 0; i < 5; ++i)
        for (int bit = 0; bit < 32; ++bit) {
            uint32_t v[5];
            std::memcpy(v, w, sizeof v);
            v[i] ^= 1u << bit;
            EXPECT_NE(vqLookup2Words(v, 5, 0), h);
        }
    EXPECT_NE(vqLookup2Words(w, 5, h), h);
}

} // namespace
