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

// The chain against chained one-shot calls over the words each array makes,
// whatever the lengths (none, tails of one and two, halves ending alone),
// stepped once or not at all before finishing.
TEST(Lookup2, ChainEqualsChainedCalls) {
    std::vector<uint32_t> w;
    std::vector<uint16_t> f;
    std::vector<uint64_t> m;
    for (uint32_t i = 0; i < 14; ++i) {
        w.push_back(0x9E3779B9u * (i + 1));
        f.push_back(uint16_t(0xA5C3u ^ (i * 0x1111u)));
        m.push_back(0xF123456789ABCDEFull * (i + 3));
    }
    for (uint32_t n = 0; n < 14; ++n)
        for (int nSteps : {0, 1}) {
            Vq::Lookup2Chain ch(7);
            ch.addWords(w.data(), n);
            ch.addHalves(f.data(), n);
            ch.addWords(nullptr, 0);
            ch.addBits(m.data(), n, 30, 0x3FFFFFFFu);
            for (int i = 0; i < nSteps; ++i)
                ch.step();
            std::vector<uint32_t> halves((n + 1) / 2), bits(n);
            for (uint32_t i = 0; i < n; ++i) {
                halves[i / 2] |= uint32_t(f[i]) << (16 * (i & 1));
                bits[i] = uint32_t(m[i] >> 30) & 0x3FFFFFFFu;
            }
            uint32_t h = vqLookup2Words(w.data(), n, 7);
            h = vqLookup2Words(halves.data(), uint32_t(halves.size()), h);
            h = vqLookup2Words(nullptr, 0, h);
            EXPECT_EQ(ch.finish(), vqLookup2Words(bits.data(), n, h)) << n;
        }
}

// Hashed together, arrays of any lengths (each its own tail, one ending
// before the others) and any number of them (groups of four and a rest)
// give what one call each gives.
TEST(Lookup2, TogetherEqualsOneCallEach) {
    std::vector<std::vector<uint32_t>> keys;
    for (uint32_t i = 0; i < 7; ++i) {
        keys.emplace_back();
        for (uint32_t j = 0; j < 20 + 5 * i; ++j)
            keys.back().push_back(0x9E3779B9u * (j + 1) ^ (i << 24));
    }
    for (int n = 0; n <= 7; ++n)
        for (uint32_t len : {0u, 1u, 2u, 3u, 13u, 20u}) {
            std::vector<const uint32_t*> p;
            std::vector<uint32_t> lens, seeds, out(static_cast<size_t>(n));
            for (int i = 0; i < n; ++i) {
                p.push_back(keys[size_t(i)].data());
                // Array 1 the shortest: the others go on alone past its blocks.
                lens.push_back(i == 1 ? len : len + uint32_t(i) % 3 + 1);
                seeds.push_back(0x1000u * uint32_t(i) + len);
            }
            vqLookup2WordsTogether(n, p.data(), lens.data(), seeds.data(), out.data());
            for (int i = 0; i < n; ++i)
                EXPECT_EQ(out[size_t(i)], vqLookup2Words(p[size_t(i)], lens[size_t(i)], seeds[size_t(i)]))
                    << n << " " << len << " " << i;
        }
}

} // namespace
