// Packets that claim more values than their reader can need. A constant
// array costs a packet a few bytes whatever its length, so the count alone
// must be refused, before the values are allocated or decoded; the images
// are written field by field from the packet layouts.
#include "CodecStreams.h"
#include "PacketImage.h"
#include "VqCodecDriver.h"
#include "VqCodecDriver2.h"
#include "VqCodecDriver3T.h"
#include "VqLibFixture.h"
#include "VqPeakMemory.h"

#include <climits>
#include <functional>

namespace {

using Bytes = std::vector<uint8_t>;

// 10^8 values: 400 MB once decoded.
constexpr int64_t kHuge = 100000000;
// What one refused packet may add to the peak: far below the values' size.
constexpr long kBoundedKiB = 64L * 1024;

// Version 1, bit-length codec (1): int32 bits 0, int32 count, an empty code
// text (u32 vector of 0 words). Without bits every value is 0.
PacketImage zeros1(int64_t n) {
    return PacketImage().u8(1).i32(0).i32(n).i32(0);
}
// Version 2, bit-length codec, fixed mode: 0 | wmin 000001 | wmax 000001 |
// min 0 | max 0 (widths count the sign bit), 15 bits; no value needs bits of
// its own.
PacketImage zeros2(int64_t n) {
    return PacketImage().i32(n).u8(1).i32(15).words({0x02080000});
}
// Version 3, bit-length codec, fixed mode: 0 | min 0000 0 | max 0000 0, 11 bits.
PacketImage zeros3(int64_t n) {
    return PacketImage().i32(n).u8(1).i32(11).words({0});
}

bool read1(const Bytes& image, int nMax, VqVeci& out) {
    VqCodecDriver<int> d(out);
    return CodecStream::read(StreamKind::Plain, image, [&](VqObjectStream& os) {
        return d.deserialize(os, VqCodecDriverBase::PredNull, nMax);
    });
}
bool read1d(const Bytes& image, int nMax, VqVec<double>& out) {
    VqCodecDriver<double> d(out);
    return CodecStream::read(StreamKind::Plain, image, [&](VqObjectStream& os) {
        return d.deserialize(os, VqCodecDriverBase::PredNull, nMax);
    });
}
bool read2(const Bytes& image, int nMax, VqVeci& out) {
    VqCodecDriver2 d(out);
    return CodecStream::read(StreamKind::Plain, image,
                             [&](VqObjectStream& os) { return d.deserialize(os, nMax); });
}
bool read3(const Bytes& image, int nMax, VqVeci& out) {
    Vq::CodecDriver3T<int> d;
    return CodecStream::read(StreamKind::Plain, image,
                             [&](VqObjectStream& os) { return d.deserialize(os, out, nMax); });
}

// Runs a read that must fail as damage, and how far it raised the peak.
long refusedRiseKiB(const std::function<bool()>& read) {
    const long before = vqPeakRssKiB();
    EXPECT_GE(before, 0);
    EXPECT_FALSE(read());
    EXPECT_EQ(lastCode(), VQ_ERR_CORRUPT) << lastError();
    return vqPeakRssKiB() - before;
}

using Reader = bool (*)(const Bytes&, int, VqVeci&);
struct Generation {
    const char* name;
    Reader read;
    PacketImage (*zeros)(int64_t);
};
const Generation kGenerations[] = {
    {"version 1", read1, zeros1}, {"version 2", read2, zeros2}, {"version 3", read3, zeros3}};

TEST_F(VqLibTest, EachDriverReadsUpToItsCallersMaximumAndNoMore) {
    for (const Generation& g : kGenerations) {
        SCOPED_TRACE(g.name);
        const Bytes five = g.zeros(5).lsb();
        VqVeci v;
        ASSERT_TRUE(g.read(five, 5, v)) << lastError();
        EXPECT_EQ(v, VqVeci(5, 0));
        EXPECT_FALSE(g.read(five, 4, v));
        EXPECT_EQ(lastCode(), VQ_ERR_CORRUPT);
        // An empty packet fits any maximum, 0 included.
        ASSERT_TRUE(g.read(g.zeros(0).lsb(), 0, v)) << lastError();
        EXPECT_TRUE(v.empty());
        // A negative maximum is the caller's mistake, not the file's.
        EXPECT_FALSE(g.read(five, -1, v));
        EXPECT_EQ(lastCode(), VQ_ERR_ARGUMENT);
    }
    // A double is two values of the packet: the maximum counts doubles.
    const Bytes oneDouble = zeros1(2).lsb();
    VqVec<double> d;
    ASSERT_TRUE(read1d(oneDouble, 1, d)) << lastError();
    EXPECT_EQ(d, VqVec<double>(1, 0.0));
    EXPECT_FALSE(read1d(oneDouble, 0, d));
    EXPECT_TRUE(read1d(oneDouble, INT_MAX, d)) << lastError();
}

TEST_F(VqLibTest, AHugeClaimedCountIsRefusedWithoutItsMemory) {
    for (const Generation& g : kGenerations) {
        SCOPED_TRACE(g.name);
        const Bytes image = g.zeros(kHuge).lsb();
        ASSERT_LT(image.size(), 32u);
        VqVeci v;
        EXPECT_LT(refusedRiseKiB([&] { return g.read(image, kHuge - 1, v); }), kBoundedKiB);
    }
}

// A nested packet belongs to the values of the packet around it, whatever
// maximum the caller gave: the outer count bounds it.
TEST_F(VqLibTest, NestedPacketsAreBoundedByTheirEnclosingCount) {
    VqVeci v;
    // Version 2 chopper (4) without a split (0 chop bits): one nested packet
    // of the 4 values, here claiming 10^8.
    const Bytes chop2 = PacketImage().i32(4).u8(4).u8(0).image(zeros2(kHuge)).lsb();
    EXPECT_LT(refusedRiseKiB([&] { return read2(chop2, INT_MAX, v); }), kBoundedKiB);
    // Version 3 move-to-front (5): the literals of 4 values, claiming 10^8.
    const Bytes mtf3 = PacketImage().i32(4).u8(5).image(zeros3(kHuge)).image(zeros3(4)).lsb();
    EXPECT_LT(refusedRiseKiB([&] { return read3(mtf3, INT_MAX, v); }), kBoundedKiB);
    // Version 3 chopper: 1 chop bit, bias 0, 2 span bits; the high parts claim 10^8.
    const Bytes chop3 =
        PacketImage().i32(4).u8(4).u8(1).i32(0).u8(2).image(zeros3(kHuge)).image(zeros3(4)).lsb();
    EXPECT_LT(refusedRiseKiB([&] { return read3(chop3, INT_MAX, v); }), kBoundedKiB);
    // The same packets with honest nested counts read.
    ASSERT_TRUE(read2(PacketImage().i32(4).u8(4).u8(0).image(zeros2(4)).lsb(), 4, v)) << lastError();
    EXPECT_EQ(v, VqVeci(4, 0));
}

} // namespace
