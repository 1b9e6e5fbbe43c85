// Packets have one form per array: no single bit of a packet can change
// while it still reads back, whole, as the same values. The check values of
// the records above hash values, so a packet field that could change
// without changing its values (a bound, a table count, the end of an
// arithmetic code, padding) would let damage through unnoticed.
#include "Codec3TestUtil.h"
#include "CodecTestUtil.h"

#include <climits>
#include <random>

namespace {

class CanonicalPacketTest : public VqLibTest {
protected:
    void SetUp() override {
        VqLibTest::SetUp();
        // A flipped count may ask for 2^27 equal values; keep the sweep quick.
        _nMaxValues = VqCodecDriver2::s_maxValueCount();
        VqCodecDriver2::s_setMaxValueCount(1 << 12);
    }
    void TearDown() override {
        VqCodecDriver2::s_setMaxValueCount(_nMaxValues);
        VqLibTest::TearDown();
    }
    int _nMaxValues = 0;
};

// The arrays: a narrow arithmetic table, a wide one with escapes, bit-length
// packets in both modes, a chopper's nested packets.
std::vector<VqVeci> arrays() {
    std::mt19937 rng(5);
    std::vector<VqVeci> out;
    out.push_back({5, 5, 9, 5, 5, 5, 7, 5, 9, 9, 5, 5, 6});
    out.push_back({7, 7, 7, 5000, 7, 7, -3000, 7, 7, 7, 7, 900000, 7, 7});
    out.push_back({3, -2, 1, 0});
    out.push_back({0, 1, -1, 0, 100000, -100000, 2, 0});
    VqVeci spread;
    for (int i = 0; i < 48; ++i)
        spread.push_back(int(rng() % 3000) - 40);
    out.push_back(spread);
    return out;
}

// Reading the image back succeeds, uses every byte and gives these values.
template <class Read>
bool readsAsSame(const Bytes& image, const VqVeci& values, Read read) {
    VqVeci back;
    return read(image, back) && back == values;
}

template <class Write, class Read>
void sweep(const VqVeci& values, Write write, Read read) {
    const Bytes image = write(values);
    ASSERT_FALSE(image.empty()) << lastError();
    ASSERT_TRUE(readsAsSame(image, values, read)) << lastError();
    for (size_t bit = 0; bit < image.size() * 8; ++bit) {
        Bytes bad = image;
        bad[bit / 8] ^= uint8_t(1u << (bit % 8));
        EXPECT_FALSE(readsAsSame(bad, values, read)) << "bit " << bit << " of " << image.size() * 8;
    }
}

} // namespace

// Each array as the writer chooses, and forced through the arithmetic codec
// (but for the spread, whose values never repeat: forced, it would get a
// table of the escape alone, which no writer chooses and whose one value is
// not pinned).
TEST_F(CanonicalPacketTest, NoFlippedBitReadsAsTheSameValues) {
    auto read2 = [](const Bytes& image, VqVeci& out) {
        VqTestObjectStream s = VqTestObjectStream::forReading(image, 9, 5, LsbFirst, false);
        VqCodecDriver2 driver(out);
        return driver.deserialize(*s, INT_MAX) && s->_readLimit() == 0;
    };
    auto read3Whole = [](const Bytes& image, VqVeci& out) {
        Vq::CodecDriver3T<int> driver;
        return CodecStream::read(
            StreamKind::Plain, image,
            [&](VqObjectStream& os) { return driver.deserialize(os, out, INT_MAX) && os._readLimit() == 0; },
            LsbFirst);
    };
    const std::vector<VqVeci> all = arrays();
    for (const VqVeci& a : all)
        for (bool bArith : {false, true}) {
            if (bArith && &a == &all.back()) continue;
            SCOPED_TRACE(::testing::PrintToString(a).substr(0, 60) + (bArith ? " arithmetic" : ""));
            sweep(
                a,
                [&](const VqVeci& v) {
                    VqVeci copy = v;
                    return writePacket(copy,
                                       bArith ? VqCodecDriver2::CodecArithmetic : VqCodecDriver2::CodecAuto);
                },
                read2);
            sweep(
                a,
                [&](const VqVeci& v) {
                    return write3(v,
                                  bArith ? CodecDriver3Base::CodecArithmetic : CodecDriver3Base::CodecAuto);
                },
                read3Whole);
        }
}

// The decoder counts how often it took each entry; what such counts cannot
// tell apart from the writers' table is refused by the check itself: two
// entries of one value (the second would never be the one a writer codes)
// and an out-of-band value that has an entry of its own.
TEST_F(CanonicalPacketTest, TableCheckRefusesWhatEntryCountsCannotSee) {
    auto table = [](std::initializer_list<std::pair<int, int>> entries, bool bEscape) {
        VqProbContext3T<int> c;
        int least = INT_MAX;
        for (auto [count, value] : entries) {
            VqCntxEntry3T<int> e;
            e._cCount = count;
            e._value = value;
            least = std::min(least, value);
            c.addEntry(e);
        }
        if (bEscape) {
            VqCntxEntry3T<int> e;
            e._cCount = 1;
            e._bEscape = true;
            e._value = least;
            c.addEntry(e);
        }
        c.accumulateCounts();
        return c;
    };
    const uint32_t counts[] = {3, 2, 1};
    const int oob[] = {40};
    VqProbContext3T<int> good = table({{3, 5}, {2, 9}}, true);
    EXPECT_TRUE(good.isCanonicalFor(counts, oob, 1));
    VqProbContext3T<int> twice = table({{3, 5}, {2, 5}}, true);
    EXPECT_FALSE(twice.isCanonicalFor(counts, oob, 1));
    const int oobInTable[] = {9};
    EXPECT_FALSE(good.isCanonicalFor(counts, oobInTable, 1));
    // Counts that differ from the table's are refused as before.
    const uint32_t fewer[] = {3, 1, 1};
    EXPECT_FALSE(good.isCanonicalFor(fewer, oob, 1));
}
