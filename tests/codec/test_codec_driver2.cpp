#include "CodecArrays.h"
#include "CodecTestUtil.h"
#include "PacketImage.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <random>

namespace {

using Driver = VqCodecDriver2;
const Driver::VqCodecType kCodecs[] = {Driver::CodecAuto, Driver::CodecBitLength, Driver::CodecArithmetic,
                                       Driver::CodecChopper};

class CodecDriver2Test : public VqLibTest {};

// Unsigned vectors carry the same bits through the same packets.
TEST_F(CodecDriver2Test, EveryCodecRoundTripsEveryEdgeArray) {
    for (const auto& [name, values] : edgeArrays<int>()) {
        for (Driver::VqCodecType codec : kCodecs) {
            SCOPED_TRACE(std::string(name) + ", codec " + std::to_string(codec));
            VqVeci in = values;
            Bytes image = writePacket(in, codec);
            ASSERT_FALSE(image.empty()) << lastError();
            PacketWalker walker(image);
            EXPECT_TRUE(walker.walk());
            // An empty packet is its count alone, whatever the codec.
            if (codec != Driver::CodecAuto) {
                EXPECT_EQ(walker.packets()[0].codec, values.empty() ? -1 : codec);
            }
            VqVeci out;
            ASSERT_TRUE(readPacket(image, out)) << lastError();
            EXPECT_EQ(out, values);
            VqVecu u(values.begin(), values.end()), uOut;
            ASSERT_TRUE(readPacket(writePacket(u, codec), uOut)) << lastError();
            EXPECT_EQ(uOut, u);
        }
    }
}

TEST_F(CodecDriver2Test, ChoiceFollowsTheEstimates) {
    auto topCodec = [](VqVeci v) {
        PacketWalker w(writePacket(v));
        EXPECT_TRUE(w.walk());
        return w.packets()[0].codec;
    };
    // Few values, or values no table would help, go to the bit-length codec;
    // many spread ones to the chopper; skewed small-span data to the
    // arithmetic codec.
    EXPECT_EQ(topCodec(VqVeci{1, 2, 1, 2, 1, 2, 1, 2, 1, 2}), Driver::CodecBitLength);
    VqVeci spread;
    for (int i = 0; i < 32; ++i)
        spread.push_back(i * 100003);
    EXPECT_EQ(topCodec(VqVeci(spread.begin(), spread.begin() + 31)), Driver::CodecBitLength);
    EXPECT_EQ(topCodec(spread), Driver::CodecChopper);
    VqVeci skewed;
    for (int i = 0; i < 1000; ++i)
        skewed.push_back(i % 10 == 0 ? i % 7 : 0);
    EXPECT_EQ(topCodec(skewed), Driver::CodecArithmetic);
    EXPECT_EQ(topCodec(VqVeci(1000, -3)), Driver::CodecBitLength);

    // A span beyond 1024 without a repeated value is never given a table.
    std::mt19937 rng(3);
    for (int n : {11, 100, 5000}) {
        VqVeci v;
        for (int i = 0; i < n; ++i)
            v.push_back(i * 1031 + static_cast<int>(rng() % 1000));
        std::shuffle(v.begin(), v.end(), rng);
        EXPECT_NE(topCodec(v), Driver::CodecArithmetic) << n;
    }
}

TEST_F(CodecDriver2Test, NestedPacketsEndWithTheBitLengthCodec) {
    // Three layers of values. 20 values x 2000 make the top table; the next
    // pairs (10 values x 5) would gain too little against it and go out of
    // band, with 100 single values; out of band, the 10 pairs make a table of
    // their own and the singles go one level further down. There they take
    // the chopper, whose low parts would take the chopper again at the top
    // level but, with one free context left, take the bit-length codec.
    std::mt19937 rng(11);
    VqVeci v, singles;
    for (int k = 0; k < 20; ++k)
        v.insert(v.end(), 2000, -700000007 + k * 1000033);
    for (int k = 0; k < 10; ++k)
        v.insert(v.end(), 5, 12345 + (k + 1) * 1000003);
    // Two clusters far apart; within each, four sub-clusters.
    for (int k = 0; k < 100; ++k)
        singles.push_back((k % 2 ? (1 << 30) : -(1 << 30)) + ((k / 2) % 4) * (1 << 17) + k * 9);
    v.insert(v.end(), singles.begin(), singles.end());
    std::shuffle(v.begin(), v.end(), rng);

    Bytes image = writePacket(v);
    PacketWalker w(image);
    ASSERT_TRUE(w.walk());
    std::vector<std::pair<int, int>> layout; // (level, codec)
    for (const auto& p : w.packets())
        layout.emplace_back(p.level, p.codec);
    // Top table, nested table, chopper; its high parts with their empty
    // out-of-band packet; its low parts.
    const std::vector<std::pair<int, int>> expected = {{0, 3}, {1, 3}, {2, 4}, {3, 3}, {4, -1}, {3, 1}};
    EXPECT_EQ(layout, expected);
    VqVeci out;
    ASSERT_TRUE(readPacket(image, out)) << lastError();
    EXPECT_EQ(out, v);

    // The same low parts at the top level.
    const auto [minIt, maxIt] = std::minmax_element(singles.begin(), singles.end());
    const uint32_t span = static_cast<uint32_t>(*maxIt) - static_cast<uint32_t>(*minIt);
    const int lowBits = static_cast<int>(std::bit_width(span)) - w.packets()[2].chopBits;
    VqVeci low;
    for (int x : singles)
        low.push_back(static_cast<int>((static_cast<uint32_t>(x) - static_cast<uint32_t>(*minIt)) &
                                       ((1u << lowBits) - 1)));
    PacketWalker alone(writePacket(low));
    ASSERT_TRUE(alone.walk());
    EXPECT_EQ(alone.packets()[0].codec, Driver::CodecChopper);
}

TEST_F(CodecDriver2Test, ArithmeticPacketsComeCloseToTheEntropy) {
    std::mt19937 rng(5);
    std::geometric_distribution<int> g(0.3);
    VqVeci v;
    for (int i = 0; i < 200000; ++i)
        v.push_back(g(rng));
    Bytes image = writePacket(v, Driver::CodecArithmetic);
    std::vector<double> counts(64);
    for (int x : v)
        counts[static_cast<size_t>(x)]++;
    double h = 0;
    for (double c : counts)
        if (c > 0) h -= c * std::log2(c / v.size());
    // Within 1% of the zero-order entropy, the table included.
    EXPECT_LT(image.size() * 8.0, 1.01 * h);
}

TEST_F(CodecDriver2Test, ADriverCodesManyArraysInTurn) {
    VqVeci a = {1, 2, 3}, b(5000, 9), c;
    for (int i = 0; i < 5000; ++i)
        c.push_back(i % 13);
    VqTestObjectStream w = VqTestObjectStream::forWriting(9, 5, false);
    Driver writer;
    for (VqVeci* v : {&a, &b, &c, &a}) {
        writer.setValueVector(*v);
        ASSERT_TRUE(writer.serialize(*w)) << lastError();
    }
    VqTestObjectStream r = VqTestObjectStream::forReading(w.bytes(), 9, 5, LsbFirst, false);
    Driver reader;
    VqVeci out = {4, 4};
    reader.setValueVector(out);
    for (VqVeci* v : {&a, &b, &c, &a}) {
        ASSERT_TRUE(reader.deserialize(*r, INT_MAX)) << lastError();
        EXPECT_EQ(out, *v);
    }
    EXPECT_GT(reader.memSize(), sizeof(Driver));
}

TEST_F(CodecDriver2Test, TheNullCodecIsNotWritten) {
    VqVeci v = {1, 2, 3};
    EXPECT_TRUE(writePacket(v, Driver::CodecNull).empty());
    EXPECT_EQ(lastCode(), VQ_ERR_ARGUMENT);
    Driver unbound;
    VqTestObjectStream w = VqTestObjectStream::forWriting(9, 5, false);
    EXPECT_FALSE(unbound.serialize(*w));
}

// ---------------------------------------------------------------------------------------------------------------
// Corrupt packets

// One value coded through an escape-only context, its out-of-band packet
// being inner (a complete packet).
PacketImage escapeOnlyPacket(const PacketImage& inner) {
    // p = 1: flush only, "01" and 16 zeros. E = 1, bs = 1, bc = 1, bv = 0,
    // mv = 0, entry (escape 0, count 1): 68 bits.
    return PacketImage()
        .i32(1)
        .u8(3)
        .i32(18)
        .words({0x40000000u})
        .bytes({0x00, 0x01, 0x04, 0x10, 0x00, 0x00, 0x00, 0x00, 0x10})
        .image(inner);
}

// A packet as the driver writes it, taken into an image field by field.
PacketImage written(VqVeci values, Driver::VqCodecType codec = Driver::CodecAuto) {
    return PacketImage().bytes(writePacket(values, codec));
}

void expectFailure(const Bytes& image, const std::string& text, int code = VQ_ERR_CORRUPT) {
    VqVeci out;
    EXPECT_FALSE(readPacket(image, out));
    EXPECT_EQ(lastError(), text);
    EXPECT_EQ(lastCode(), code);
}

TEST_F(CodecDriver2Test, NestingBeyondTheContextStackFails) {
    PacketImage image = written({99}, Driver::CodecBitLength);
    for (int depth = 1; depth <= 4; ++depth) {
        image = escapeOnlyPacket(image);
        VqVeci out;
        ASSERT_TRUE(readPacket(image.lsb(), out)) << depth << ": " << lastError();
        EXPECT_EQ(out, VqVeci{99});
    }
    expectFailure(escapeOnlyPacket(image).lsb(), "_iCurScratchCntx > 0");

    // Choppers without a split nest the same way.
    PacketImage chain = written({5}, Driver::CodecBitLength);
    for (int depth = 1; depth <= 5; ++depth)
        chain = PacketImage().i32(1).u8(4).u8(0).image(chain);
    expectFailure(chain.lsb(), "_iCurScratchCntx > 0");
}

TEST_F(CodecDriver2Test, CorruptHeadersFailWithTheirReasons) {
    for (int codec : {2, 0})
        expectFailure(
            PacketImage().i32(3).u8(codec).lsb(),
            "eCodecType == CodecBitLength || eCodecType == CodecArithmetic || eCodecType == CodecChopper");
    expectFailure(PacketImage().i32(-1).lsb(), "nExpectedValues >= 0");

    Driver::s_setMaxValueCount(1000);
    expectFailure(PacketImage().i32(1001).lsb(), "nValues <= nMaxValues");
    Driver::s_setMaxValueCount(Driver::cDefaultMaxValueCount);

    // A bit count the stream cannot hold.
    expectFailure(PacketImage().i32(4).u8(1).i32(0x7FFFFFFF).lsb(), "Short read", VQ_ERR_SHORT_READ);
    expectFailure(PacketImage().i32(4).u8(1).i32(INT_MIN).lsb(), "bits >= 0");
}

TEST_F(CodecDriver2Test, ChopperPlanesMustMatchTheCount) {
    // N = 3, k = 2, m = 10, s = 4, then high parts of 3 values and low parts
    // of 2.
    const PacketImage head = PacketImage().i32(3).u8(4).u8(2).i32(10).u8(4).image(written({0, 1, 3}));
    expectFailure(PacketImage(head).image(written({1, 2})).lsb(), "_pvValues->length() == nExpectedValues");

    // The same with three low parts decodes ((h << 2) | l) + m.
    Bytes good = PacketImage(head).image(written({1, 2, 3})).lsb();
    VqVeci out;
    ASSERT_TRUE(readPacket(good, out)) << lastError();
    EXPECT_EQ(out, (VqVeci{11, 16, 25}));

    // Chop bits beyond the span bits.
    good[10] = 1;
    expectFailure(good, "cValSpanBits <= 32 && cChopBits <= cValSpanBits");
}

} // namespace
