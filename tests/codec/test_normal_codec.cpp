#include "VqDeeringNormalCodec.h"
#include "VqDeeringNormalLookupTable.h"
#include "VqLibFixture.h"
#include "VqTestObjectStream.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>
#include <vector>

namespace {

constexpr double kMaxAngle = 0.6154797;

class NormalCodecTest : public VqLibTest {};

double angleBetween(const VqVec3f& a, const VqVec3f& b) {
    const double ax = a[0], ay = a[1], az = a[2], bx = b[0], by = b[1], bz = b[2];
    // atan2 of cross and dot stays accurate for tiny angles, unlike acos.
    const double cx = ay * bz - az * by, cy = az * bx - ax * bz, cz = ax * by - ay * bx;
    return std::atan2(std::sqrt(cx * cx + cy * cy + cz * cz), ax * bx + ay * by + az * bz);
}

// Worst angle between a direction and its decoded code: 1.25 angle steps of
// kMaxAngle / 2^n. Over all codes and 2 * 10^6 random directions per width
// the worst seen was 1.16 steps (1.0 at n = 0 and 1).
double angularBound(int n) {
    return 1.25 * kMaxAngle / (1 << n);
}

VqVec3f randomDirection(std::mt19937& rng) {
    std::normal_distribution<float> g;
    VqVec3f v;
    do
        v = VqVec3f(g(rng), g(rng), g(rng));
    while (v.length() < 1e-3f);
    return v * (1.0f / v.length());
}

// Codes worked out by hand from the coding steps, with the angles each
// step yields (u, w, t are the largest component, the one for psi and
// the one for theta).
struct GoldenNormal {
    VqVec3f vec;
    int nBits;
    uint32_t sextant, octant, theta, psi, code;
};
const GoldenNormal kGolden[] = {
    // +z: sextant 2 with psi 0, theta 16 = R on the border: moved to
    // sextant 1 with theta 15 = R - 1, and both zero components positive.
    {VqVec3f(0.0f, 0.0f, 1.0f), 4, 1, 7, 15, 0, 0xFF0},
    // +x: sextant 0, the same border: sextant 5, octant | 3.
    {VqVec3f(1.0f, 0.0f, 0.0f), 4, 5, 7, 15, 0, 0x2FF0},
    // Sextant 2, u = .9, w = .2, t = .3: psi = floor(atan(.2/r)/c * 64 + .5) = 22,
    // theta = 64 - floor(64/c * atan(.3/r) + .5) = 32; y negative: octant 5.
    {VqVec3f(0.2f, -0.3f, 0.9f), 6, 2, 5, 32, 22, 0x15816},
    // Sextant 4, u = .7, w = .1, t = .5: psi 48, theta 37; x negative: octant 3.
    {VqVec3f(-0.5f, 0.7f, 0.1f), 8, 4, 3, 37, 48, 0x232530},
    // w = t: psi 16 + theta 16 = R, so sextant 2 becomes 1 with theta 15.
    {VqVec3f(0.3f, 0.3f, -0.9f), 5, 1, 6, 15, 16, 0x39F0},
    // psi 0 in sextant 4 forces the z sign on (z was +0 anyway).
    {VqVec3f(0.6f, 0.8f, 0.0f), 3, 4, 7, 1, 0, 0x9C8},
    // Odd sextant 3 stores theta 3057 - 1; all negative: octant 0.
    {VqVec3f(-0.1f, -0.9f, -0.4f), 13, 3, 0, 3056, 1347, 0x617E0543},
    // The zero vector codes as +z.
    {VqVec3f(0.0f, 0.0f, 0.0f), 2, 1, 7, 3, 0, 0xFC},
    // n = 0: theta 1 = R on the border of sextant 0 becomes sextant 5,
    // theta 0 = R - 1, octant | 3: the code is sextant and octant only.
    {VqVec3f(0.9f, -0.2f, 0.3f), 0, 5, 7, 0, 0, 0x2F},
};

TEST_F(NormalCodecTest, HandComputedCodesAndDecodes) {
    for (const GoldenNormal& g : kGolden) {
        SCOPED_TRACE(testing::Message() << "n=" << g.nBits << " code=" << g.code);
        VqDeeringNormalCodec codec(g.nBits);
        uint32_t s, o, t, p, code;
        ASSERT_TRUE(codec.convertVecToCode(g.vec, s, o, t, p));
        EXPECT_EQ(s, g.sextant);
        EXPECT_EQ(o, g.octant);
        EXPECT_EQ(t, g.theta);
        EXPECT_EQ(p, g.psi);
        ASSERT_TRUE(codec.convertVecToCode(g.vec, code));
        EXPECT_EQ(code, g.code);
        EXPECT_EQ(codec.packCode(s, o, t, p), g.code);
    }
    // Decoded by hand: Theta = asin(tan(c (R - theta') / R)), Psi = c psi / R,
    // (cos Theta cos Psi, sin Psi, sin Theta cos Psi) permuted and signed.
    struct {
        int nBits;
        uint32_t code;
        VqVec3f vec;
    } decoded[] = {
        {4, 0xFF0, VqVec3f(0.0f, 0.0f, 1.0f)},
        {6, 0x15816, VqVec3f(0.20999627f, -0.31075016f, 0.92700372f)},
        {8, 0x232530, VqVec3f(-0.57739049f, 0.80830781f, 0.11514646f)},
        {13, 0x617E0543, VqVec3f(-0.10102987f, -0.90912828f, -0.40407764f)},
        {5, 0x39F0, VqVec3f(0.30290544f, 0.30290544f, -0.90360201f)},
    };
    for (const auto& d : decoded) {
        VqDeeringNormalCodec codec(d.nBits);
        VqVec3f v;
        ASSERT_TRUE(codec.convertCodeToVec(d.code, v));
        for (int i = 0; i < 3; ++i)
            EXPECT_NEAR(v[i], d.vec[i], 2e-7) << d.code;
    }
}

// Every code of every width up to 8 bits (about 2 million): decoding and
// coding again gives a canonical code, which codes to itself and decodes to
// the same direction. Codes that differ from their canonical one differ
// only in the signs of zero components.
TEST_F(NormalCodecTest, EveryCodeReencodesToACanonicalCode) {
    for (int n = 0; n <= 8; ++n) {
        VqDeeringNormalCodec codec(n);
        const uint32_t R = 1u << n;
        uint32_t canonical = 0, failures = 0;
        std::vector<uint32_t> codes;
        std::vector<float> one;
        for (uint32_t s = 0; s < 6; ++s)
            for (uint32_t o = 0; o < 8; ++o)
                for (uint32_t t = 0; t < R; ++t)
                    for (uint32_t p = 0; p + t < R; ++p) {
                        const uint32_t code = codec.packCode(s, o, t, p);
                        VqVec3f v, v2;
                        uint32_t code2 = 0, code3 = 0;
                        codes.push_back(code);
                        if (codec.convertCodeToVec(code, v)) one.insert(one.end(), v.data(), v.data() + 3);
                        if (!codec.convertCodeToVec(code, v) || !codec.convertVecToCode(v, code2) ||
                            !codec.convertCodeToVec(code2, v2) || !codec.convertVecToCode(v2, code3)) {
                            ++failures;
                            continue;
                        }
                        canonical += code2 == code;
                        if (code3 != code2 || angleBetween(v, v2) > 1e-6) ++failures;
                        if (code2 != code) {
                            for (int i = 0; i < 3; ++i)
                                if (v[i] != v2[i] ||
                                    (v[i] != 0.0f && std::signbit(v[i]) != std::signbit(v2[i])))
                                    ++failures;
                        }
                    }
        EXPECT_EQ(failures, 0u) << "n=" << n;
        // A whole array into records, last code first, gives each code's
        // bits as it decodes alone (zeros' signs too).
        std::vector<uint32_t> indices(codes.size());
        for (size_t i = 0; i < codes.size(); ++i)
            indices[i] = uint32_t(codes.size() - 1 - i);
        std::vector<float> recs(one.size());
        ASSERT_TRUE(
            codec.convertCodesToRecords(codes.data(), int(codes.size()), indices.data(), recs.data()));
        for (size_t i = 0; i < one.size(); ++i)
            ASSERT_EQ(std::bit_cast<uint32_t>(recs[size_t(indices[i / 3]) * 3 + i % 3]),
                      std::bit_cast<uint32_t>(one[i]))
                << "n=" << n << " code " << codes[i / 3];
        // Of the 24 R (R + 1) codes, 24 R + 6 leave the sign bit of a zero
        // component clear and code a direction that has a canonical code.
        EXPECT_EQ(canonical, 24 * R * R - 6) << "n=" << n;
    }
}

TEST_F(NormalCodecTest, RandomDirectionsStayWithinTheBoundAtEveryWidth) {
    std::mt19937 rng(11);
    for (int n = 0; n <= 13; ++n) {
        VqDeeringNormalCodec codec(n);
        double worst = 0.0;
        for (int i = 0; i < 20000; ++i) {
            // Unnormalised and scaled: the code depends on the direction only.
            const VqVec3f v = randomDirection(rng) * std::ldexp(1.0f, static_cast<int>(rng() % 200) - 100);
            uint32_t code, code2;
            VqVec3f d;
            ASSERT_TRUE(codec.convertVecToCode(v, code));
            ASSERT_TRUE(codec.convertCodeToVec(code, d));
            ASSERT_TRUE(codec.convertVecToCode(d, code2));
            EXPECT_EQ(code2, code) << "n=" << n;
            EXPECT_NEAR(d.length(), 1.0f, 1e-6f);
            worst = std::max(worst, angleBetween(v, d));
        }
        EXPECT_LE(worst, angularBound(n)) << "n=" << n;
    }
}

// Directions on and next to the borders of sextants and octants: components
// equal, one float step apart, zero or -0.0. These are where the two angle
// indices meet 2^n and where the coder switches sextant.
TEST_F(NormalCodecTest, BordersCodeAndStayCanonical) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int n = 0; n <= 13; ++n) {
        VqDeeringNormalCodec codec(n);
        for (int i = 0; i < 3000; ++i) {
            float a = unit(rng), b = a, c = unit(rng);
            if (i % 3 == 1) b = std::nextafter(a, 2.0f);
            if (i % 3 == 2) b = std::nextafter(a, 0.0f);
            if (i % 5 == 0) c = 0.0f;
            if (i % 7 == 0) c = a;
            float comp[3] = {a, b, c};
            // Every order and sign of the three components.
            static const int kPerm[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
            for (const auto& perm : kPerm)
                for (int sign = 0; sign < 8; ++sign) {
                    VqVec3f v(comp[perm[0]], comp[perm[1]], comp[perm[2]]);
                    for (int k = 0; k < 3; ++k)
                        if (sign & (1 << k)) v[k] = -v[k];
                    uint32_t code, code2;
                    VqVec3f d;
                    ASSERT_TRUE(codec.convertVecToCode(v, code)) << lastError();
                    ASSERT_TRUE(codec.convertCodeToVec(code, d));
                    ASSERT_TRUE(codec.convertVecToCode(d, code2));
                    ASSERT_EQ(code2, code) << "n=" << n << " " << v[0] << " " << v[1] << " " << v[2];
                    if (v.length() > 0.0f) {
                        ASSERT_LE(angleBetween(v, d), angularBound(n));
                    }
                }
        }
    }
}

// -0.0 and 0.0 give one code, and the length of a vector does not matter.
TEST_F(NormalCodecTest, ZeroComponentsAndScale) {
    VqDeeringNormalCodec codec(7);
    const VqVec3f same[][2] = {
        {VqVec3f(0.0f, 0.0f, 1.0f), VqVec3f(-0.0f, -0.0f, -0.0f)},
        {VqVec3f(0.0f, 0.0f, 1.0f), VqVec3f(-0.0f, -0.0f, 2.0f)},
        {VqVec3f(0.8f, 0.0f, 0.6f), VqVec3f(0.8f, -0.0f, 0.6f)},
        {VqVec3f(1e-40f, 0.0f, 1e-40f), VqVec3f(3e38f, 0.0f, 3e38f)},
    };
    for (const auto& pair : same) {
        uint32_t a, b;
        ASSERT_TRUE(codec.convertVecToCode(pair[0], a));
        ASSERT_TRUE(codec.convertVecToCode(pair[1], b));
        EXPECT_EQ(a, b);
    }
}

TEST_F(NormalCodecTest, TableMatchesTheAnglesItStandsFor) {
    const VqDeeringNormalLookupTable* table = VqDeeringNormalLookupTableSingleton::EnsureInstance();
    ASSERT_NE(table, nullptr);
    // Made once for the process: a new start of the library keeps it.
    VqLib::fini();
    ASSERT_TRUE(VqLib::init());
    EXPECT_EQ(VqDeeringNormalLookupTableSingleton::EnsureInstance(), table);
    for (int n = 0; n <= 8; ++n)
        for (int t = 0; t <= (1 << n); ++t) {
            float ct, st, cp, sp;
            const int p = t < (1 << n) ? t : 0;
            ASSERT_TRUE(table->lookup(n, t, p, ct, st, cp, sp));
            const double theta = std::asin(std::tan(kMaxAngle * ((1 << n) - t) / (1 << n)));
            const double psi = kMaxAngle * p / (1 << n);
            EXPECT_NEAR(ct, std::cos(theta), 1e-7);
            EXPECT_NEAR(st, std::sin(theta), 1e-7);
            EXPECT_NEAR(cp, std::cos(psi), 1e-7);
            EXPECT_NEAR(sp, std::sin(psi), 1e-7);
        }
    float ct, st, cp, sp;
    EXPECT_FALSE(table->lookup(9, 0, 0, ct, st, cp, sp));
    EXPECT_EQ(lastError(), "nBits <= _nBits");
    EXPECT_FALSE(table->lookup(4, 17, 0, ct, st, cp, sp));
    EXPECT_EQ(lastError(), "iTheta <= (1<<nBits) && iTheta >= 0");
    EXPECT_FALSE(table->lookup(4, 0, 16, ct, st, cp, sp));
    EXPECT_EQ(lastError(), "iPsi < (1<<nBits) && iPsi >= 0");
    EXPECT_FALSE(table->lookup(4, 0, -1, ct, st, cp, sp));
    EXPECT_EQ(lastError(), "iPsi < (1<<nBits) && iPsi >= 0");
}

TEST_F(NormalCodecTest, BadWidthsAndCodesAreRefused) {
    {
        VqDeeringNormalCodec bad(14);
        Vq::SharedPtr<VqStdError> e = VqErrorState::currentError();
        ASSERT_TRUE(e);
        EXPECT_EQ(e->className().toUtf8(), "VqNormalCoder");
        EXPECT_EQ(e->description().toUtf8(), "Bad argument");
        uint32_t code;
        VqVec3f v;
        EXPECT_FALSE(bad.convertVecToCode(VqVec3f(0.0f, 0.0f, 1.0f), code));
        EXPECT_EQ(lastError(), "_numBits <= 13");
        EXPECT_FALSE(bad.convertCodeToVec(0, v));
        EXPECT_EQ(lastError(), "_numBits <= 13");
        EXPECT_TRUE(bad.setNumBits(13));
        EXPECT_TRUE(bad.convertVecToCode(VqVec3f(0.0f, 0.0f, 1.0f), code));
    }
    VqDeeringNormalCodec codec(4);
    EXPECT_FALSE(codec.setNumBits(-1));
    EXPECT_EQ(lastError(), "(nbits <= 13) && (nbits >= 0)");
    EXPECT_FALSE(codec.setNumBits(14));
    EXPECT_EQ(codec.numBits(), 4);

    uint32_t code;
    const float inf = std::numeric_limits<float>::infinity();
    for (const VqVec3f& v : {VqVec3f(NAN, 0.0f, 1.0f), VqVec3f(inf, 0.0f, 0.0f), VqVec3f(1.0f, -inf, 1.0f)}) {
        EXPECT_FALSE(codec.convertVecToCode(v, code));
        EXPECT_EQ(lastError(), "std::isfinite(vec[0]) && std::isfinite(vec[1]) && std::isfinite(vec[2])");
    }

    VqVec3f v;
    // Sextants 6 and 7, psi + theta = R, and bits above the code's width.
    for (uint32_t bad : {codec.packCode(6, 7, 0, 0), codec.packCode(7, 0, 0, 0), codec.packCode(0, 7, 8, 8),
                         codec.packCode(2, 0, 15, 1), codec.packCode(0, 0, 0, 0) | (1u << 14)}) {
        EXPECT_FALSE(codec.convertCodeToVec(bad, v)) << bad;
        EXPECT_EQ(lastError(), "(iSextant <= 5) && ((iPsi+iTheta) < iBitRange)");
        EXPECT_EQ(lastCode(), VQ_ERR_CORRUPT);
    }
    // Separate parts, as arrays of a file hold them: sums that wrap 32 bits
    // and octants wider than three bits are refused too.
    EXPECT_FALSE(codec.convertCodeToVec(0, 0, 1, 0xFFFFFFFFu, v));
    EXPECT_EQ(lastError(), "(iSextant <= 5) && ((iPsi+iTheta) < iBitRange)");
    EXPECT_FALSE(codec.convertCodeToVec(0, 8, 1, 1, v));
    EXPECT_EQ(lastError(), "iOctant <= 7");
    EXPECT_TRUE(codec.convertCodeToVec(5, 7, 14, 1, v));
    // Into records: a bad code anywhere refuses the array before any record
    // changes; good codes land at their indices as each decodes alone.
    const uint32_t codes[2] = {codec.packCode(5, 7, 14, 1), codec.packCode(6, 7, 0, 0)};
    const uint32_t indices[2] = {1, 0};
    float recs[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_FALSE(codec.convertCodesToRecords(codes, 2, indices, recs));
    EXPECT_EQ(lastError(), "(iSextant <= 5) && ((iPsi+iTheta) < iBitRange)");
    EXPECT_EQ(std::count(recs, recs + 6, 9.0f), 6);
    // Each bad code above among good ones, in every place of a run of four.
    for (uint32_t bad :
         {codec.packCode(6, 7, 0, 0), codec.packCode(2, 0, 15, 1), codec.packCode(0, 0, 0, 0) | (1u << 14)})
        for (int at = 0; at < 5; ++at) {
            uint32_t run[5] = {codes[0], codes[0], codes[0], codes[0], codes[0]};
            const uint32_t zeros[5] = {};
            run[at] = bad;
            EXPECT_FALSE(codec.convertCodesToRecords(run, 5, zeros, recs)) << bad << " at " << at;
        }
    EXPECT_EQ(std::count(recs, recs + 6, 9.0f), 6);
    ASSERT_TRUE(codec.convertCodesToRecords(codes, 1, indices, recs));
    EXPECT_EQ(std::vector<float>(recs, recs + 6), (std::vector<float>{9, 9, 9, v[0], v[1], v[2]}));
}

TEST_F(NormalCodecTest, RecordIsTheWidthByte) {
    VqDeeringNormalCodec codec(11);
    VqTestObjectStream out = VqTestObjectStream::forWriting(10, 0);
    ASSERT_TRUE(codec.serialize(*out));
    EXPECT_EQ(out.bytes(), std::vector<uint8_t>{0x0B});

    VqDeeringNormalCodec read(0);
    VqTestObjectStream in = VqTestObjectStream::forReading({0x0D}, 10, 0, MsbFirst);
    ASSERT_TRUE(read.deserialize(*in));
    EXPECT_EQ(read.numBits(), 13);
    VqTestObjectStream bad = VqTestObjectStream::forReading({0x0E}, 10, 0);
    EXPECT_FALSE(read.deserialize(*bad));
    EXPECT_EQ(lastError(), "(nbits <= 13) && (nbits >= 0)");
    EXPECT_EQ(lastCode(), VQ_ERR_CORRUPT);
    EXPECT_EQ(read.numBits(), 13);
    VqTestObjectStream empty = VqTestObjectStream::forReading({}, 10, 0);
    EXPECT_FALSE(read.deserialize(*empty));
}

} // namespace
