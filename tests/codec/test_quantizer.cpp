#include "VqLibFixture.h"
#include "VqPointQuantizer.h"
#include "VqTextureQuantizer.h"
#include "VqUniformQuantizer.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace {

using Quantizer = Vq::UniformQuantizer<float>;

class QuantizerTest : public VqLibTest {};

const float kInf = std::numeric_limits<float>::infinity();

// The distance from x to the next float away from zero.
double ulp(float x) {
    const float a = std::fabs(x);
    return static_cast<double>(std::nextafter(a, kInf)) - a;
}

// The promised bound: half a step of the code grid plus one rounding to float.
void expectWithinBound(const Quantizer& q, float x) {
    float lo, hi;
    q.getRange(lo, hi);
    const float back = q.dequantize(q.quantize(x));
    const double step = (static_cast<double>(hi) - lo) / q.maxCode();
    EXPECT_LE(std::fabs(static_cast<double>(back) - x),
              step / 2 + ulp(std::max(std::fabs(x), std::fabs(back))))
        << "b=" << q.quantizedSize() << " [" << lo << ", " << hi << "] x=" << x;
}

TEST_F(QuantizerTest, RoundTripsWithinHalfAStepForNineToTwentyFourBits) {
    std::mt19937 rng(1);
    const float ranges[][2] = {{-1000.0f, 3000.0f}, {0.001f, 0.002f}, {-1e6f, -999999.0f}, {-3e38f, 3e38f}};
    for (uint32_t b = 9; b <= 24; ++b)
        for (const auto& r : ranges) {
            const Quantizer q(r[0], r[1], b);
            ASSERT_TRUE(q.isUsable());
            // Drawn in double: the widest range spans more than the largest float.
            std::uniform_real_distribution<double> in(r[0], r[1]);
            expectWithinBound(q, r[0]);
            expectWithinBound(q, r[1]);
            expectWithinBound(q, std::nextafter(r[1], 0.0f));
            for (int i = 0; i < 2000; ++i)
                expectWithinBound(q, in(rng));
            // The ends are exact, as the file's float bounds are the ends of the grid.
            EXPECT_EQ(q.quantize(r[0]), 0u);
            EXPECT_EQ(q.quantize(r[1]), q.maxCode());
            EXPECT_EQ(q.dequantize(0), r[0]);
            EXPECT_EQ(q.dequantize(q.maxCode()), r[1]);
        }
}

TEST_F(QuantizerTest, ExtremeWidthsRangesAndValues) {
    // b = 0: one code, the minimum.
    Quantizer zero(-2.0f, 5.0f, 0);
    EXPECT_EQ(zero.maxCode(), 0u);
    EXPECT_EQ(zero.quantize(4.9f), 0u);
    EXPECT_EQ(zero.dequantize(0), -2.0f);
    // b = 32: the largest code is all ones, and codes near it stay exact.
    Quantizer full(0.0f, 4294967295.0f, 32);
    EXPECT_EQ(full.maxCode(), 0xFFFFFFFFu);
    EXPECT_EQ(full.quantize(4294967295.0f), 0xFFFFFFFFu);
    EXPECT_EQ(full.quantize(1e30f), 0xFFFFFFFFu);
    EXPECT_EQ(full.quantize(16777216.0f), 16777216u);
    EXPECT_EQ(full.dequantize(0xFFFFFFFFu), 4294967295.0f);
    // A range of one value: every value codes as 0 and every code decodes to it.
    Quantizer point(7.5f, 7.5f, 16);
    EXPECT_EQ(point.quantize(7.5f), 0u);
    EXPECT_EQ(point.quantize(-100.0f), 0u);
    EXPECT_EQ(point.quantize(100.0f), 0u);
    EXPECT_EQ(point.dequantize(0), 7.5f);
    EXPECT_EQ(point.dequantize(65535), 7.5f);
    // Outside the range clamps, infinities too; NaN takes the minimum.
    Quantizer q(-1.0f, 1.0f, 10);
    EXPECT_EQ(q.quantize(-1.5f), 0u);
    EXPECT_EQ(q.quantize(kInf), 1023u);
    EXPECT_EQ(q.quantize(-kInf), 0u);
    EXPECT_EQ(q.quantize(std::numeric_limits<float>::quiet_NaN()), 0u);
    EXPECT_EQ(q.dequantize(5000), 1.0f);
}

TEST_F(QuantizerTest, SettersRefuseAndKeepTheirState) {
    Quantizer unset;
    EXPECT_FALSE(unset.isUsable());
    EXPECT_EQ(unset.quantizedSize(), 0xFFFFFFFFu);
    float lo, hi;
    unset.getRange(lo, hi);
    EXPECT_EQ(lo, 3.4028234663852886e+38f);
    EXPECT_EQ(hi, -3.4028234663852886e+38f);
    // Unusable quantizers still code without undefined behaviour.
    EXPECT_EQ(unset.quantize(1.0f), 0u);

    Quantizer q(0.0f, 1.0f, 8);
    EXPECT_FALSE(q.setRange(2.0f, 1.0f));
    EXPECT_EQ(lastError(), "fMin <= fMax");
    EXPECT_EQ(lastCode(), VQ_ERR_ARGUMENT);
    EXPECT_FALSE(q.setRange(std::numeric_limits<float>::quiet_NaN(), 1.0f));
    EXPECT_EQ(lastError(), "std::isfinite(fMin) && std::isfinite(fMax)");
    EXPECT_FALSE(q.setRange(-kInf, kInf));
    EXPECT_EQ(lastError(), "std::isfinite(fMin) && std::isfinite(fMax)");
    EXPECT_FALSE(q.setQuantizedSize(33));
    EXPECT_EQ(lastError(), "nBits <= sizeof(T) * 8");
    q.getRange(lo, hi);
    EXPECT_EQ(lo, 0.0f);
    EXPECT_EQ(hi, 1.0f);
    EXPECT_EQ(q.maxCode(), 255u);

    // Bit count first, range second: the largest code follows the bits.
    Quantizer late;
    ASSERT_TRUE(late.setQuantizedSize(12));
    EXPECT_EQ(late.maxCode(), 4095u);
    ASSERT_TRUE(late.setRange(0.0f, 4095.0f));
    EXPECT_EQ(late.quantize(17.0f), 17u);
}

VqBox3<float> box(float x0, float y0, float z0, float x1, float y1, float z1) {
    return VqBox3<float>(VqVec3f(x0, y0, z0), VqVec3f(x1, y1, z1));
}

TEST_F(QuantizerTest, PointsRoundTripPerAxisAndArraysAgree) {
    VqPointQuantizer pq;
    ASSERT_TRUE(pq.setNumBitsPrecision(12, 9, 20));
    ASSERT_TRUE(pq.setBBox(box(-10.0f, 0.0f, 100.0f, 30.0f, 0.5f, 100.0f)));
    int bx, by, bz;
    pq.getNumBitsPrecision(bx, by, bz);
    EXPECT_EQ(bx, 12);
    EXPECT_EQ(by, 9);
    EXPECT_EQ(bz, 20);
    const double half[3] = {40.0 / 4095 / 2, 0.5 / 511 / 2, 0.0};
    std::mt19937 rng(2);
    std::uniform_real_distribution<float> ux(-10.0f, 30.0f), uy(0.0f, 0.5f);
    std::vector<VqVec3f> pts;
    for (int i = 0; i < 1000; ++i)
        pts.emplace_back(ux(rng), uy(rng), 100.0f);
    pts.emplace_back(-10.0f, 0.0f, 100.0f);
    pts.emplace_back(30.0f, 0.5f, 100.0f);
    pts.emplace_back(0.0f, 0.25f, 100.0f); // an odd count
    const int n = static_cast<int>(pts.size());
    std::vector<uint32_t> cx(n), cy(n), cz(n);
    ASSERT_TRUE(pq.convertVecsToCodes(pts.data(), n, cx.data(), cy.data(), cz.data()));
    std::vector<VqVec3f> back(n);
    ASSERT_TRUE(pq.convertCodesToVecs(cx.data(), cy.data(), cz.data(), n, back.data()));
    for (int i = 0; i < n; ++i) {
        uint32_t x, y, z;
        ASSERT_TRUE(pq.convertVecToCode(pts[i], x, y, z));
        EXPECT_EQ(x, cx[i]);
        EXPECT_EQ(y, cy[i]);
        EXPECT_EQ(z, 0u); // zero extent
        VqVec3f one;
        ASSERT_TRUE(pq.convertCodeToVec(x, y, z, one));
        EXPECT_EQ(one, back[i]);
        for (int a = 0; a < 3; ++a)
            EXPECT_LE(std::fabs(static_cast<double>(one[a]) - pts[i][a]), half[a] + ulp(pts[i][a]));
    }
    // Records, reversed, four floats apart: pairs of points and the last one
    // alone give the same, and the fourth float is left as it was.
    std::vector<uint32_t> idx(n);
    for (int i = 0; i < n; ++i)
        idx[i] = uint32_t(n - 1 - i);
    std::vector<float> recs(size_t(n) * 4, 7.0f);
    ASSERT_TRUE(pq.convertCodesToRecords(cx.data(), cy.data(), cz.data(), n, idx.data(), 4, 3, recs.data()));
    for (int i = 0; i < n; ++i) {
        const float* r = &recs[size_t(idx[i]) * 4];
        EXPECT_EQ(VqVec3f(r[0], r[1], r[2]), back[i]);
        EXPECT_EQ(r[3], 7.0f);
    }
    // Outside the box clamps to it, infinities included.
    uint32_t x, y, z;
    ASSERT_TRUE(pq.convertVecToCode(VqVec3f(-kInf, 7.0f, 0.0f), x, y, z));
    EXPECT_EQ(x, 0u);
    EXPECT_EQ(y, 511u);
}

// Neighbouring codes, where values lie closest, at the ends of the range
// and in between: never nearer than the gap promised, including ranges far
// from 0, where rounding to float eats the step and nothing is promised.
TEST_F(QuantizerTest, NeighbouringCodesLieAtLeastTheGapApart) {
    std::mt19937 rng(5);
    const float ranges[][2] = {{0.0f, 1.0f}, {-1000.0f, 3000.0f}, {1e6f, 1e6f + 64.0f}, {-3e38f, 3e38f}};
    for (const auto& r : ranges)
        for (uint32_t b : {1u, 11u, 16u, 24u, 31u}) {
            Quantizer q(r[0], r[1], b);
            const double gap = q.minCodeGap();
            std::vector<uint32_t> codes = {0, q.maxCode() - 1, q.maxCode() / 2};
            for (int i = 0; i < 1000; ++i)
                codes.push_back(uint32_t(rng()) % q.maxCode());
            for (uint32_t c : codes)
                EXPECT_GE(double(q.dequantize(c + 1)) - double(q.dequantize(c)), gap)
                    << "b=" << b << " [" << r[0] << ", " << r[1] << "] c=" << c;
        }
    // 20 bits at a million: the step is below the spacing of floats there.
    EXPECT_LE(Quantizer(1e6f, 1e6f + 1.0f, 20).minCodeGap(), 0.0);
    EXPECT_EQ(Quantizer(0.0f, 1.0f, 0).minCodeGap(), HUGE_VAL);

    VqPointQuantizer pq;
    ASSERT_TRUE(pq.setBBox(VqBox3<float>(VqVec3f(0, 0, 0), VqVec3f(1, 4, 2))) && pq.setNumBitsPrecision(11));
    EXPECT_GT(pq.minPointGap(), 0.0);
    EXPECT_LT(pq.minPointGap(), 1.0 / 2047);
}

TEST_F(QuantizerTest, PointsRefuseWhatCannotBeCoded) {
    VqPointQuantizer pq;
    uint32_t x, y, z;
    VqVec3f v;
    // No box yet.
    EXPECT_FALSE(pq.convertVecToCode(VqVec3f(0.0f, 0.0f, 0.0f), x, y, z));
    EXPECT_EQ(lastError(), "_bbox.isValid()");
    EXPECT_FALSE(pq.convertCodeToVec(0, 0, 0, v));
    EXPECT_EQ(lastError(), "x >= pBBMin[0] && x <= pBBMax[0] && y >= pBBMin[1] && y <= pBBMax[1] && z >= "
                           "pBBMin[2] && z <= pBBMax[2]");
    EXPECT_FALSE(pq.convertCodesToVecs(&x, &y, &z, 1, &v));
    EXPECT_EQ(lastError(), "_bbox.isValid()");
    // A box but no precision.
    ASSERT_TRUE(pq.setBBox(box(0, 0, 0, 1, 1, 1)));
    EXPECT_FALSE(pq.convertVecToCode(VqVec3f(0.0f, 0.0f, 0.0f), x, y, z));
    EXPECT_EQ(lastError(), "_xQuantizer.isUsable() && _yQuantizer.isUsable() && _zQuantizer.isUsable()");

    EXPECT_FALSE(pq.setNumBitsPrecision(8, 33, 8));
    EXPECT_EQ(lastError(),
              "(nBitsX>=0) && (nBitsX<=32) && (nBitsY>=0) && (nBitsY<=32) && (nBitsZ>=0) && (nBitsZ<=32)");
    EXPECT_FALSE(pq.setNumBitsPrecision(-1));
    ASSERT_TRUE(pq.setNumBitsPrecision(8));

    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_FALSE(pq.convertVecToCode(VqVec3f(0.5f, nan, 0.5f), x, y, z));
    EXPECT_EQ(lastError(), "!std::isnan(vec[0]) && !std::isnan(vec[1]) && !std::isnan(vec[2])");
    VqVec3f pts[2] = {VqVec3f(0.5f, 0.5f, 0.5f), VqVec3f(0.5f, 0.5f, nan)};
    uint32_t cx[2], cy[2], cz[2];
    EXPECT_FALSE(pq.convertVecsToCodes(pts, 2, cx, cy, cz));
    EXPECT_EQ(lastError(), "!std::isnan(vec[0]) && !std::isnan(vec[1]) && !std::isnan(vec[2])");

    // Codes wider than an axis come only from damaged data.
    EXPECT_FALSE(pq.convertCodeToVec(0, 256, 0, v));
    EXPECT_EQ(lastError(), "inCodeX <= xMax && inCodeY <= yMax && inCodeZ <= zMax");
    EXPECT_EQ(lastCode(), VQ_ERR_CORRUPT);
    cx[1] = 300;
    EXPECT_FALSE(pq.convertCodesToVecs(cx, cy, cz, 2, pts));
    EXPECT_EQ(lastError(), "inCodeX <= xMax && inCodeY <= yMax && inCodeZ <= zMax");
    // Into records, the bad second code leaves the first record as it was.
    float recs[8] = {7, 7, 7, 7, 7, 7, 7, 7};
    const uint32_t idx[2] = {1, 0};
    EXPECT_FALSE(pq.convertCodesToRecords(cx, cy, cz, 2, idx, 4, 3, recs));
    EXPECT_EQ(lastError(), "inCodeX <= xMax && inCodeY <= yMax && inCodeZ <= zMax");
    EXPECT_EQ(std::count(recs, recs + 8, 7.0f), 8);
    // The largest code of each axis passes and the next is refused, within a
    // run of four codes and after it.
    VqVec3f five[5];
    for (int axis = 0; axis < 3; ++axis)
        for (int at : {2, 4}) {
            uint32_t c[3][5] = {};
            c[axis][at] = 255;
            EXPECT_TRUE(pq.convertCodesToVecs(c[0], c[1], c[2], 5, five)) << axis << " " << at;
            c[axis][at] = 256;
            EXPECT_FALSE(pq.convertCodesToVecs(c[0], c[1], c[2], 5, five)) << axis << " " << at;
        }

    // A box with an infinite or NaN corner is refused and the old box kept.
    EXPECT_FALSE(pq.setBBox(box(0, 0, 0, kInf, 1, 1)));
    EXPECT_EQ(lastError(), "std::isfinite(fMin) && std::isfinite(fMax)");
    EXPECT_FALSE(pq.setBBox(box(0, nan, 0, 1, 1, 1)));
    EXPECT_EQ(pq.getBBox(), box(0, 0, 0, 1, 1, 1));
    ASSERT_TRUE(pq.convertVecToCode(VqVec3f(1.0f, 0.0f, 0.5f), x, y, z));
    EXPECT_EQ(x, 255u);
}

std::vector<int> bitsOf(const VqPointQuantizer& pq) {
    int x, y, z;
    pq.getNumBitsPrecision(x, y, z);
    return {x, y, z};
}

TEST_F(QuantizerTest, DistributePrecisionSharesByExtent) {
    VqPointQuantizer pq;
    ASSERT_TRUE(pq.setBBox(box(0, 0, 0, 100, 10, 1)));
    // 27.0, 2.7 and 0.27 of 30 bits round to 27, 3, 0; clamped to [2, 24]
    // that is 24, 3, 2 = 29, and the missing bit goes to the first axis
    // below the maximum: y.
    ASSERT_TRUE(pq.distributePrecision(30, 2, 24));
    EXPECT_EQ(bitsOf(pq), (std::vector<int>{24, 4, 2}));
    // Too many after rounding: 16.5 -> 17 twice, 0 -> 1; x and y give one bit each.
    ASSERT_TRUE(pq.setBBox(box(0, 0, 0, 1, 1, 0)));
    ASSERT_TRUE(pq.distributePrecision(33, 1, 32));
    EXPECT_EQ(bitsOf(pq), (std::vector<int>{16, 16, 1}));
    // No extent at all (a single point, or no box): an even share.
    ASSERT_TRUE(pq.setBBox(box(5, 5, 5, 5, 5, 5)));
    ASSERT_TRUE(pq.distributePrecision(31, 0, 32));
    EXPECT_EQ(bitsOf(pq), (std::vector<int>{11, 10, 10}));
    VqPointQuantizer empty;
    ASSERT_TRUE(empty.distributePrecision(96, 0, 32));
    EXPECT_EQ(bitsOf(empty), (std::vector<int>{32, 32, 32}));
}

TEST_F(QuantizerTest, DistributePrecisionEndsForEveryFeasibleRequest) {
    const VqBox3<float> boxes[] = {box(0, 0, 0, 1e6f, 1, 1e-6f), box(0, 0, 0, 1, 1, 1), box(1, 1, 1, 1, 1, 1),
                                   box(0, 0, 0, 0, 3e38f, 0),
                                   box(-3e38f, -3e38f, -3e38f, 3e38f, 3e38f, 3e38f)};
    for (const VqBox3<float>& b : boxes) {
        VqPointQuantizer pq;
        ASSERT_TRUE(pq.setBBox(b));
        for (int lo = 0; lo <= 32; ++lo)
            for (int hi = lo; hi <= 32; ++hi)
                for (int total = 3 * lo; total <= std::min(96, 3 * hi); ++total) {
                    ASSERT_TRUE(pq.distributePrecision(total, lo, hi));
                    const std::vector<int> bits = bitsOf(pq);
                    ASSERT_EQ(bits[0] + bits[1] + bits[2], total);
                    for (int v : bits)
                        ASSERT_TRUE(v >= lo && v <= hi);
                }
    }
    // Requests no split can meet are refused instead of looping.
    VqPointQuantizer pq;
    EXPECT_FALSE(pq.distributePrecision(97, 0, 32));
    EXPECT_EQ(lastError(), "totalBits <= 96");
    const char* infeasible = "(minBits >= 0) && (minBits <= maxBits) && (maxBits <= 32) && (3 * minBits <= "
                             "totalBits) && (totalBits <= 3 * maxBits)";
    for (const auto& r : {std::vector<int>{96, 0, 24}, {10, 4, 32}, {30, 12, 10}, {-3, -1, 5}, {40, 0, 40}}) {
        EXPECT_FALSE(pq.distributePrecision(r[0], r[1], r[2]));
        EXPECT_EQ(lastError(), infeasible);
    }
}

TEST_F(QuantizerTest, TextureCoordinatesOfOneToFourComponents) {
    VqTextureQuantizer tq;
    int p[4];
    tq.getPrec(p[0], p[1], p[2], p[3]);
    EXPECT_EQ((std::vector<int>(p, p + 4)), (std::vector<int>{24, 24, 24, 24}));
    ASSERT_TRUE(tq.setRange(-1.0f, 1.0f, 0.0f, 2.0f, 0.0f, 1.0f, 0.0f, 4.0f));
    ASSERT_TRUE(tq.setPrec(16, 12, 10, 2));
    tq.getPrec(p[0], p[1]);
    EXPECT_EQ(p[0], 16);
    EXPECT_EQ(p[1], 12);

    uint32_t c1;
    ASSERT_TRUE(tq.convertFloatToCode(1.0f, c1));
    EXPECT_EQ(c1, 65535u);
    VqFixedVec<uint32_t, 2> c2;
    ASSERT_TRUE(tq.convertFloatToCode(VqVec2f(-1.0f, 1.0f), c2));
    EXPECT_EQ(c2, (VqFixedVec<uint32_t, 2>(0u, 2048u)));
    VqFixedVec<uint32_t, 4> c4;
    ASSERT_TRUE(tq.convertFloatToCode(VqVec4f(0.0f, 2.0f, 0.5f, 4.0f / 3.0f), c4));
    EXPECT_EQ(c4, (VqFixedVec<uint32_t, 4>(32768u, 4095u, 512u, 1u)));
    VqVec4f back;
    VqVec3f back3;
    ASSERT_TRUE(tq.convertCodeToFloat(VqFixedVec<uint32_t, 3>(0u, 0u, 1023u), back3));
    EXPECT_EQ(back3, VqVec3f(-1.0f, 0.0f, 1.0f));

    VqFixedVec<uint32_t, 3> c3;
    EXPECT_FALSE(tq.convertFloatToCode(VqVec3f(0.0f, std::numeric_limits<float>::quiet_NaN(), 0.0f), c3));
    EXPECT_EQ(lastError(), "!std::isnan(f)");
    float f;
    EXPECT_FALSE(tq.convertCodeToFloat(65536u, f));
    EXPECT_EQ(lastError(), "nCode <= nMaxCode");
    EXPECT_EQ(lastCode(), VQ_ERR_CORRUPT);
    EXPECT_FALSE(tq.convertCodeToFloat(VqFixedVec<uint32_t, 4>(0u, 0u, 0u, 4u), back));

    // Refused settings change nothing.
    EXPECT_FALSE(tq.setPrec(8, 8, 33, 8));
    EXPECT_EQ(lastError(), "nBits <= sizeof(T) * 8");
    EXPECT_FALSE(tq.setPrec(8, -1, 8, 8));
    EXPECT_EQ(lastError(), "(p1>=0) && (p2>=0) && (p3>=0) && (p4>=0)");
    EXPECT_FALSE(tq.setRange(0, 1, 0, 1, 0, 1, 1, 0));
    EXPECT_EQ(lastError(), "fMin <= fMax");
    tq.getPrec(p[0], p[1], p[2], p[3]);
    EXPECT_EQ((std::vector<int>(p, p + 4)), (std::vector<int>{16, 12, 10, 2}));
    ASSERT_TRUE(tq.convertFloatToCode(-1.0f, c1));
    EXPECT_EQ(c1, 0u);
}

} // namespace
