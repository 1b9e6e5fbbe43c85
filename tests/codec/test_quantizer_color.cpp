#include "VqColorQuantizer.h"
#include "VqLibFixture.h"

#include <climits>
#include <cmath>
#include <limits>
#include <random>

namespace {

class ColorQuantizerTest : public VqLibTest {};

TEST_F(ColorQuantizerTest, PacksC1HighestAndFillsMissingComponents) {
    VqColorQuantizer cq;
    int p1, p2, p3, pa;
    cq.getPrec(p1, p2, p3, pa);
    EXPECT_EQ(p1 * 1000 + p2 * 100 + p3 * 10 + pa, 8880);
    EXPECT_FALSE(cq.getEncodeWithHSV());

    // Default: alpha has no bits, so it is not coded and decodes as 1.
    uint32_t code;
    ASSERT_TRUE(cq.convertRGBtoCode(VqVec3f(1.0f, 0.0f, 0.5f), code));
    EXPECT_EQ(code, 0xFF0080u);
    VqVec4f rgba;
    cq.convertCodeToRGB(code, rgba);
    EXPECT_EQ(rgba, VqVec4f(1.0f, 0.0f, 128.0f / 255.0f, 1.0f));

    ASSERT_TRUE(cq.setPrec(8, 8, 8, 8));
    ASSERT_TRUE(cq.convertRGBtoCode(VqVec4f(1.0f, 0.0f, 0.5f, 0.25f), code));
    EXPECT_EQ(code, 0xFF008040u);
    // One and two components: the rest are 1.
    ASSERT_TRUE(cq.convertRGBtoCode(0.25f, code));
    EXPECT_EQ(code, 0x40FFFFFFu);
    ASSERT_TRUE(cq.convertRGBtoCode(VqVec2f(0.25f, 0.5f), code));
    EXPECT_EQ(code, 0x4080FFFFu);
    float r;
    cq.convertCodeToRGB(code, r);
    EXPECT_EQ(r, 64.0f / 255.0f);
    VqVec2f rg;
    cq.convertCodeToRGB(code, rg);
    EXPECT_EQ(rg, VqVec2f(64.0f / 255.0f, 128.0f / 255.0f));

    // Bytes stand for k / 255 and come back as themselves at 8 bits.
    ASSERT_TRUE(cq.convertRGBtoCode(255, 0, 128, 64, code));
    EXPECT_EQ(code, 0xFF008040u);
    unsigned char b[4];
    cq.convertCodeToRGB(code, b[0], b[1], b[2], b[3]);
    EXPECT_EQ(b[0] + (b[1] << 8) + (b[2] << 16) + (b[3] << 24), 255 + (128 << 16) + (64 << 24));
}

TEST_F(ColorQuantizerTest, ThirtyTwoBitsAndZeroBitParts) {
    VqColorQuantizer cq;
    // c1 without bits sits above 32 bits of the others: no shift by 32.
    ASSERT_TRUE(cq.setPrec(0, 16, 8, 8));
    uint32_t code;
    ASSERT_TRUE(cq.convertRGBtoCode(VqVec4f(0.7f, 1.0f, 0.0f, 1.0f), code));
    EXPECT_EQ(code, 0xFFFF00FFu);
    VqVec4f rgba;
    cq.convertCodeToRGB(code, rgba);
    EXPECT_EQ(rgba, VqVec4f(0.0f, 1.0f, 0.0f, 1.0f)); // c1 without bits is 0

    ASSERT_TRUE(cq.setPrec(32, 0, 0, 0));
    ASSERT_TRUE(cq.convertRGBtoCode(VqVec4f(0.5f, 0.2f, 0.3f, 0.4f), code));
    EXPECT_EQ(code, 0x80000000u);
    cq.convertCodeToRGB(code, rgba);
    EXPECT_EQ(rgba, VqVec4f(0.5f, 1.0f, 1.0f, 1.0f));

    // No bits at all: every colour is the code 0, decoding to (0, 1, 1, 1).
    ASSERT_TRUE(cq.setPrec(0, 0, 0, 0));
    ASSERT_TRUE(cq.convertRGBtoCode(VqVec4f(0.5f, 0.2f, 0.3f, 0.4f), code));
    EXPECT_EQ(code, 0u);
    cq.convertCodeToRGB(0xFFFFFFFFu, rgba);
    EXPECT_EQ(rgba, VqVec4f(0.0f, 1.0f, 1.0f, 1.0f));

    EXPECT_FALSE(cq.setPrec(8, 8, 8, 9));
    EXPECT_EQ(lastError(), "(c1>=0) && (c2>=0) && (c3>=0) && (a>=0) && (c1+c2+c3+a<=32)");
    EXPECT_FALSE(cq.setPrec(-1, 8, 8, 8));
    EXPECT_FALSE(cq.setPrec(INT_MAX, INT_MAX, 2, 0)); // would wrap to 0 in 32 bits
    int p1, p2, p3, pa;
    cq.getPrec(p1, p2, p3, pa);
    EXPECT_EQ(p1 + p2 + p3 + pa, 0);
}

TEST_F(ColorQuantizerTest, RgbRoundTripsWithinHalfAStepAndRefusesOutOfRange) {
    VqColorQuantizer cq;
    ASSERT_TRUE(cq.setRange(0.0f, 1.0f, -1.0f, 1.0f, 0.0f, 2.0f, 0.0f, 1.0f));
    ASSERT_TRUE(cq.setPrec(5, 6, 5, 4));
    std::mt19937 rng(4);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (int i = 0; i < 2000; ++i) {
        const VqVec4f in(u(rng), 2 * u(rng) - 1, 2 * u(rng), u(rng));
        uint32_t code;
        ASSERT_TRUE(cq.convertRGBtoCode(in, code));
        EXPECT_LT(code, 1u << 20);
        VqVec4f out;
        cq.convertCodeToRGB(code, out);
        EXPECT_NEAR(out[0], in[0], 0.5 / 31 + 1e-6);
        EXPECT_NEAR(out[1], in[1], 1.0 / 63 + 1e-6);
        EXPECT_NEAR(out[2], in[2], 1.0 / 31 + 1e-6);
        EXPECT_NEAR(out[3], in[3], 0.5 / 15 + 1e-6);
    }
    uint32_t code;
    const char* outOfRange = "_c1Quantizer.isInRange( r ) && _c2Quantizer.isInRange( g ) && "
                             "_c3Quantizer.isInRange( b ) && _alphaQuantizer.isInRange( a )";
    EXPECT_FALSE(cq.convertRGBtoCode(VqVec3f(0.5f, 1.5f, 0.5f), code));
    EXPECT_EQ(lastError(), outOfRange);
    EXPECT_FALSE(
        cq.convertRGBtoCode(VqVec4f(std::numeric_limits<float>::quiet_NaN(), 0.0f, 0.0f, 0.0f), code));
    EXPECT_EQ(lastError(), outOfRange);
    // Filled-in defaults must lie in the ranges too: alpha 1 is in [0, 1],
    // but blue 1 would not be in a range that stops below it.
    ASSERT_TRUE(cq.setRange(0.0f, 1.0f, 0.0f, 1.0f, 0.0f, 0.5f, 0.0f, 1.0f));
    EXPECT_FALSE(cq.convertRGBtoCode(VqVec2f(0.5f, 0.5f), code));
    EXPECT_FALSE(cq.setRange(0.0f, 1.0f, 2.0f, 1.0f, 0.0f, 1.0f, 0.0f, 1.0f));
    EXPECT_EQ(lastError(), "fMin <= fMax");
}

TEST_F(ColorQuantizerTest, HsvConversionBothWays) {
    VqColorQuantizer cq;
    struct {
        VqVec3f rgb;
        VqVec3f hsv;
    } cases[] = {
        {VqVec3f(1, 0, 0), VqVec3f(0, 1, 1)},
        {VqVec3f(0, 1, 0), VqVec3f(2, 1, 1)},
        {VqVec3f(0, 0, 1), VqVec3f(4, 1, 1)},
        {VqVec3f(1, 1, 0), VqVec3f(1, 1, 1)}, // r wins the tie
        {VqVec3f(0, 1, 1), VqVec3f(3, 1, 1)},
        {VqVec3f(1, 0, 1), VqVec3f(5, 1, 1)}, // -1 + 6
        {VqVec3f(0.5f, 0.5f, 0.5f), VqVec3f(0, 0, 0.5f)},
        {VqVec3f(0, 0, 0), VqVec3f(0, 0, 0)},
        {VqVec3f(0.8f, 0.4f, 0.2f), VqVec3f(1.0f / 3, 0.75f, 0.8f)},
    };
    for (const auto& c : cases) {
        float h, s, v;
        ASSERT_TRUE(cq._convertRBGtoHSV(c.rgb[0], c.rgb[1], c.rgb[2], h, s, v));
        EXPECT_NEAR(h, c.hsv[0], 1e-6);
        EXPECT_NEAR(s, c.hsv[1], 1e-6);
        EXPECT_NEAR(v, c.hsv[2], 1e-6);
        VqVec3f back;
        cq._convertHSVtoRGB(h, s, v, back[0], back[1], back[2]);
        for (int i = 0; i < 3; ++i)
            EXPECT_NEAR(back[i], c.rgb[i], 1e-6);
    }
    // A hue just below 0 lifts to exactly 6 in float and wraps to 0.
    float h, s, v;
    ASSERT_TRUE(cq._convertRBGtoHSV(1.0f, 0.0f, 1e-8f, h, s, v));
    EXPECT_EQ(h, 0.0f);
    // Hue 6, the top of the decoded range, is red again.
    VqVec3f rgb;
    cq._convertHSVtoRGB(6.0f, 1.0f, 1.0f, rgb[0], rgb[1], rgb[2]);
    EXPECT_EQ(rgb, VqVec3f(1, 0, 0));
}

TEST_F(ColorQuantizerTest, HsvCodingHasFixedRanges) {
    VqColorQuantizer cq;
    cq.setEncodeWithHSV(true);
    float r[8];
    cq.getRange(r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7]);
    EXPECT_EQ(r[1], 6.0f);
    EXPECT_EQ(r[3] + r[5] + r[7], 3.0f);
    EXPECT_FALSE(cq.setRange(0, 1, 0, 1, 0, 1, 0, 1));
    EXPECT_EQ(lastError(), "!_bEncodeWithHSV");

    uint32_t code;
    // Magenta: hue 5 of [0, 6] at 8 bits is 5 * 255 / 6 + 0.5 = 213.
    ASSERT_TRUE(cq.convertRGBtoCode(VqVec3f(1, 0, 1), code));
    EXPECT_EQ(code, 0xD5FFFFu);
    // The wrapped hue codes as 0, not as the top code.
    ASSERT_TRUE(cq.convertRGBtoCode(VqVec3f(1.0f, 0.0f, 1e-8f), code));
    EXPECT_EQ(code, 0x00FFFFu);

    std::mt19937 rng(9);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    ASSERT_TRUE(cq.setPrec(10, 8, 8, 6));
    for (int i = 0; i < 2000; ++i) {
        const VqVec4f in(u(rng), u(rng), u(rng), u(rng));
        ASSERT_TRUE(cq.convertRGBtoCode(in, code));
        VqVec4f out;
        cq.convertCodeToRGB(code, out);
        // Hue, saturation and value steps each move a component by at most
        // about their half step.
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(out[c], in[c], 0.008) << i;
        EXPECT_NEAR(out[3], in[3], 0.5 / 63 + 1e-6);
    }

    const char* outOfRange =
        "(0.0 <= r) && (r <= 1.0) && (0.0 <= g) && (g <= 1.0) && (0.0 <= b) && (b <= 1.0) "
        "&& _alphaQuantizer.isInRange(a)";
    EXPECT_FALSE(cq.convertRGBtoCode(VqVec3f(1.01f, 0, 0), code));
    EXPECT_EQ(lastError(), outOfRange);
    EXPECT_FALSE(cq.convertRGBtoCode(VqVec4f(1, 0, 0, -0.1f), code));
    EXPECT_EQ(lastError(), outOfRange);

    cq.setEncodeWithHSV(false);
    cq.getRange(r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7]);
    EXPECT_EQ(r[1], 1.0f);
    EXPECT_TRUE(cq.setRange(0, 1, 0, 1, 0, 1, 0, 2));
}

} // namespace
