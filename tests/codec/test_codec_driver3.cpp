#include "Codec3TestUtil.h"
#include "CodecArrays.h"
#include "VqArithmeticDecoder.h"
#include "VqBitLengthCodec3T.h"
#include "VqCpuIsa.h"

#include <map>

#include <climits>
#include <cmath>
#include <cstring>
#include <random>
#include <string>

namespace {

const CodecDriver3Base::VqCodecType kCodecs[] = {
    CodecDriver3Base::CodecAuto, CodecDriver3Base::CodecBitLength, CodecDriver3Base::CodecArithmetic,
    CodecDriver3Base::CodecChopper, CodecDriver3Base::CodecMoveToFront};

class CodecDriver3Test : public VqLibTest {
protected:
    template <class T>
    void roundTripEverything() {
        for (const auto& [name, values] : edgeArrays<T>()) {
            for (CodecDriver3Base::VqCodecType codec : kCodecs) {
                SCOPED_TRACE(name + ", codec " + std::to_string(codec) + ", " +
                             std::to_string(sizeof(T) * 8));
                Bytes image = write3(values, codec);
                const auto stats =
                    Vq::CodecDriver3T<T>::s_computeValueStatistics(values.data(), values.length());
                if (codec == CodecDriver3Base::CodecChopper && stats.cValueSpanBits < 2 && !values.empty()) {
                    EXPECT_TRUE(image.empty());
                    EXPECT_EQ(lastError(), "C->_cChopBits > 0");
                    continue;
                }
                ASSERT_FALSE(image.empty()) << lastError();
                Packet3Walker walker(image, sizeof(T), false);
                ASSERT_TRUE(walker.walk());
                // An empty packet is its count alone, whatever the codec.
                if (codec != CodecDriver3Base::CodecAuto) {
                    EXPECT_EQ(walker.packets()[0].codec, values.empty() ? -1 : codec);
                }
                VqVec<T> out = {1, 2, 3};
                ASSERT_TRUE(read3(image, out)) << lastError();
                EXPECT_EQ(out, values);
            }
        }
    }
};

TEST_F(CodecDriver3Test, EveryCodecRoundTripsEveryEdgeArray) {
    roundTripEverything<int>();
    roundTripEverything<long>();
}

} // namespace

namespace {

// Arrays that give the chooser something to choose among.
template <class T>
std::vector<VqVec<T>> mixedArrays() {
    std::vector<VqVec<T>> out;
    std::mt19937_64 rng(99);
    for (int round = 0; round < 40; ++round) {
        const int n = 1 + static_cast<int>(rng() % (round < 20 ? 64 : 3000));
        VqVec<T> v;
        const int shape = round % 5;
        T recent[4] = {};
        for (int i = 0; i < n; ++i) {
            switch (shape) {
            case 0: // recent values recurring, now and then a new one
                if (rng() % 10 == 0) {
                    std::move_backward(recent, recent + 3, recent + 4);
                    recent[0] = static_cast<T>(rng());
                }
                v.push_back(recent[rng() % 4]);
                break;
            case 1: // one frequent value, the rest anywhere
                v.push_back(rng() % 8 ? 42 : static_cast<T>(rng()));
                break;
            case 2: // wide and spread
                v.push_back(static_cast<T>(rng() >> (rng() % 40)));
                break;
            case 3: // small residuals
                v.push_back(static_cast<T>(rng() % 17) - 8);
                break;
            default: // clusters
                v.push_back(static_cast<T>((rng() % 4) << 24) + static_cast<T>(rng() % 300));
            }
        }
        out.push_back(v);
    }
    return out;
}

TEST_F(CodecDriver3Test, SegmentStreamsKeepOutOfBandValuesRawAndNeverChop) {
    std::mt19937 rng(4);
    // Repeated values with rare outliers: arithmetic with an escape.
    VqVeci outliers;
    for (int i = 0; i < 5000; ++i)
        outliers.push_back(rng() % 20 ? static_cast<int>(rng() % 3) : static_cast<int>(rng()));
    // Clusters far apart: a chopper where one may chop.
    VqVeci spread;
    for (int i = 0; i < 5000; ++i)
        spread.push_back(static_cast<int>(rng() % 4) * (1 << 24) + static_cast<int>(rng() % 10000));
    for (const VqVeci* pv : {&outliers, &spread}) {
        const VqVeci& v = *pv;
        for (StreamKind kind : {StreamKind::Plain, StreamKind::Zlib, StreamKind::Lzma}) {
            SCOPED_TRACE(kindName(kind));
            const Bytes image = write3(v, CodecDriver3Base::CodecAuto, kind);
            ASSERT_FALSE(image.empty()) << lastError();
            const bool seg = kind != StreamKind::Plain;
            Packet3Walker w(CodecStream::content(kind, image), 4, seg);
            ASSERT_TRUE(w.walk());
            bool chopped = false, raw = false, escaped = false;
            for (const auto& p : w.packets()) {
                chopped |= p.codec == CodecDriver3Base::CodecChopper;
                raw |= p.rawOOB;
            }
            for (int c : w.nestedIn(CodecDriver3Base::CodecArithmetic))
                escaped |= c != CodecDriver3Base::CodecArithmetic;
            if (&v == &outliers) {
                EXPECT_EQ(w.packets()[0].codec, CodecDriver3Base::CodecArithmetic);
                EXPECT_EQ(raw, seg);
                EXPECT_EQ(escaped, !seg);
            } else {
                EXPECT_EQ(chopped, !seg);
            }
            VqVeci out;
            ASSERT_TRUE(read3(image, out, kind)) << lastError();
            EXPECT_EQ(out, v);
        }
    }
}

TEST_F(CodecDriver3Test, NestedPacketsRespectTheExclusions) {
    // Never a chopper below 32 values, no arithmetic packet in an arithmetic
    // one, no move-to-front packet in a move-to-front one.
    int seen[6] = {};
    for (const VqVec<long>& v : mixedArrays<long>()) {
        const Bytes image = write3(v);
        ASSERT_FALSE(image.empty()) << lastError();
        Packet3Walker w(image, 8, false);
        ASSERT_TRUE(w.walk());
        for (const auto& p : w.packets()) {
            if (p.codec > 0) ++seen[p.codec];
            if (p.codec == CodecDriver3Base::CodecChopper) {
                EXPECT_GE(p.count, 32);
            }
        }
        for (int c : w.nestedIn(CodecDriver3Base::CodecArithmetic))
            EXPECT_NE(c, CodecDriver3Base::CodecArithmetic);
        for (int c : w.nestedIn(CodecDriver3Base::CodecMoveToFront))
            EXPECT_NE(c, CodecDriver3Base::CodecMoveToFront);
        VqVec<long> out;
        ASSERT_TRUE(read3(image, out)) << lastError();
        EXPECT_EQ(out, v);
    }
    // The arrays exercise every codec.
    for (int codec : {1, 3, 4, 5})
        EXPECT_GT(seen[codec], 0) << codec;
}

TEST_F(CodecDriver3Test, ChoiceFollowsTheTieOrderAndTheChopperMinimum) {
    using B = CodecDriver3Base;
    static constexpr double x = B::cExcluded;
    const auto choose = [](double bl, double ar, double ch, double mtf, int n) {
        const double cost[6] = {x, bl, x, ar, ch, mtf};
        return B::s_chooseCodec(cost, n);
    };
    EXPECT_EQ(choose(10, 10, 10, 10, 100), B::CodecMoveToFront);
    EXPECT_EQ(choose(10, 10, 10, x, 100), B::CodecArithmetic);
    EXPECT_EQ(choose(10, x, 10, x, 100), B::CodecChopper);
    EXPECT_EQ(choose(10, 11, 11, 11, 100), B::CodecBitLength);
    EXPECT_EQ(choose(10, 11, 9, 12, 32), B::CodecChopper);
    EXPECT_EQ(choose(10, 11, 9, 12, 31), B::CodecBitLength);
    EXPECT_EQ(choose(10, 8, 9, 12, 31), B::CodecArithmetic);
}

TEST_F(CodecDriver3Test, ArithmeticPacketsComeCloseToTheEntropy) {
    std::mt19937 rng(5);
    std::exponential_distribution<double> e(1.0 / 8);
    VqVeci v;
    for (int i = 0; i < 200000; ++i)
        v.push_back(static_cast<int>(std::lround(rng() & 1 ? e(rng) : -e(rng))));
    std::map<int, double> counts;
    for (int x : v)
        counts[x]++;
    double h = 0;
    for (const auto& [value, c] : counts)
        h -= c * std::log2(c / v.size());
    // Within 1% of the zero-order entropy, table and out-of-band values
    // included, whether forced or chosen (the lowest bit of these values is
    // close to random, so chopping it off may win by a hair).
    for (auto codec : {CodecDriver3Base::CodecArithmetic, CodecDriver3Base::CodecAuto}) {
        const Bytes image = write3(v, codec);
        EXPECT_LT(image.size() * 8.0, 1.01 * h) << codec;
    }
}

TEST_F(CodecDriver3Test, PooledDriversCodeManyArraysInTurn) {
    Vq::ScratchMgr* mgr = g_pInstanceVqScratchMgr;
    Vq::CodecDriver3L* writer = nullptr;
    ASSERT_TRUE(mgr->acquireCodecDriver(writer));
    const std::vector<VqVec<long>> arrays = mixedArrays<long>();
    const Bytes image = CodecStream::write(StreamKind::Plain, [&](VqObjectStream& os) {
        for (const VqVec<long>& v : arrays)
            if (!writer->serialize(os, v)) return false;
        return true;
    });
    mgr->releaseCodecDriver(writer);
    ASSERT_FALSE(image.empty()) << lastError();

    Vq::CodecDriver3L* reader = nullptr;
    ASSERT_TRUE(mgr->acquireCodecDriver(reader));
    EXPECT_EQ(reader, writer);
    ASSERT_TRUE(CodecStream::read(StreamKind::Plain, image, [&](VqObjectStream& os) {
        VqVec<long> out = {5};
        for (const VqVec<long>& v : arrays) {
            if (!reader->deserialize(os, out, INT_MAX)) return false;
            EXPECT_EQ(out, v);
        }
        return true;
    })) << lastError();
    EXPECT_GT(reader->memSize(), sizeof(Vq::CodecDriver3L));
    mgr->releaseCodecDriver(reader);

    // A driver in the pool keeps no vector larger than the scratch manager
    // keeps: the offsets of a move-to-front packet of 2^20 + 1 values go.
    Vq::CodecDriver3 big;
    VqVeci many((1 << 20) + 1, 5), back;
    const Bytes mtf = write3(many, CodecDriver3Base::CodecMoveToFront);
    ASSERT_TRUE(CodecStream::read(StreamKind::Plain, mtf, [&](VqObjectStream& os) {
        return big.deserialize(os, back, INT_MAX);
    })) << lastError();
    EXPECT_EQ(back, many);
    EXPECT_LT(big.memSize(), Vq::ScratchMgr::s_cMaxIdleCapacity * sizeof(int));
}

TEST_F(CodecDriver3Test, ResidualsRoundTripWithTheFirstFourKept) {
    using D = Vq::CodecDriver3L;
    const VqVec<long> v = {LONG_MIN, 5, -3, LONG_MAX, 7, LONG_MIN, 0, -1, 100};
    for (auto type : {D::PredLag1, D::PredXor1, D::PredNull}) {
        VqVec<long> r, back;
        ASSERT_TRUE(D::packResiduals(v, r, type));
        EXPECT_TRUE(std::equal(v.begin(), v.begin() + 4, r.begin()));
        ASSERT_TRUE(D::unpackResiduals(r, back, type));
        EXPECT_EQ(back, v);
    }
    VqVec<long> r;
    ASSERT_TRUE(D::packResiduals(v, r, D::PredLag1));
    EXPECT_EQ(r[4], 7 - LONG_MAX); // wraps
    ASSERT_TRUE(D::packResiduals(v, r, D::PredXor1));
    EXPECT_EQ(r[5], LONG_MIN ^ 7);
    EXPECT_FALSE(D::packResiduals(v, r, static_cast<D::VqPredictorType>(3)));
}

// ---------------------------------------------------------------------------------------------------------------
// Crafted packets

PacketImage bitLength(const VqVeci& values) {
    return PacketImage().bytes(write3(values, CodecDriver3Base::CodecBitLength));
}

// One value through an escape-only context; inner is the out-of-band packet.
PacketImage escapeOnly(const PacketImage& inner) {
    // Context t = 1: the escape's interval is the whole range, so the code
    // is the flush alone, "01" and 16 zeros (B = 18). Context: E = 1,
    // bc = 1, bv = 0, mv = 0, entry (1, 1).
    return packet3(1, 3, 18, {0x40000000})
        .bytes({0x00, 0x01, 0x04, 0x00, 0x00, 0x00, 0x00, 0x06})
        .image(inner);
}

// A chopper packet's head: n values cut k bits below the top of s, bias 0.
// Its high and low parts follow.
PacketImage chopperHead(int n, int k, int s) {
    return PacketImage().i32(n).u8(CodecDriver3Base::CodecChopper).u8(k).i32(0).u8(s);
}

void expectFailure(const Bytes& image, const std::string& text, int code = VQ_ERR_CORRUPT) {
    VqVeci out;
    EXPECT_FALSE(read3(image, out));
    EXPECT_EQ(lastError(), text);
    EXPECT_EQ(lastCode(), code);
}

TEST_F(CodecDriver3Test, NineDeepPacketsAreRefused) {
    PacketImage img = bitLength({99});
    for (int depth = 2; depth <= 8; ++depth) {
        img = escapeOnly(img);
        VqVeci out;
        ASSERT_TRUE(read3(img.lsb(), out)) << depth << ": " << lastError();
        EXPECT_EQ(out, VqVeci{99});
    }
    expectFailure(escapeOnly(img).lsb(), "_vComprCntx.size() < _vComprCntx.allocated()");
    // A driver that failed reads the next packet from the top again.
    Vq::CodecDriver3 driver;
    ASSERT_TRUE(
        CodecStream::read(StreamKind::Plain, escapeOnly(img).image(img).lsb(), [&](VqObjectStream& os) {
            VqVeci out;
            EXPECT_FALSE(driver.deserialize(os, out, INT_MAX));
            return true;
        }));
}

TEST_F(CodecDriver3Test, MoveToFrontPacketsReadTheZeroWindow) {
    // Offsets 0 1 -1 0 with the literal 9: the window starts as zeros.
    const PacketImage literals = bitLength({9});
    const auto mtf = [&](const VqVeci& offsets) {
        return PacketImage().i32(4).u8(5).image(literals).image(bitLength(offsets)).lsb();
    };
    VqVeci out;
    ASSERT_TRUE(read3(mtf({0, 1, -1, 0}), out)) << lastError();
    EXPECT_EQ(out, (VqVeci{0, 0, 9, 9}));

    // Three offsets for four values.
    expectFailure(mtf({0, 1, -1}), "vWindowOffsets.size() == nValues");

    // An offset beyond the window, and a literal too few or too many.
    for (auto [offsets4, text] : {std::pair{VqVeci{0, 16, -1, 0}, "iOffset >= -1 && iOffset < cWindowSize"},
                                  std::pair{VqVeci{-1, -1, 0, 0}, "iLiteral < vLiterals.size()"},
                                  std::pair{VqVeci{0, 0, 0, 0}, "iLiteral == nLiterals"}})
        expectFailure(mtf(offsets4), text);
}

TEST_F(CodecDriver3Test, MoveToFrontWindowMovesEveryEntryAsAList) {
    // Random offsets over the whole window and wide literals, for 32- and
    // 64-bit values, against a window kept as a plain list.
    const auto check = [&]<class T>(T) {
        std::mt19937_64 rng(3);
        VqVec<T> offsets, literals, expected;
        std::vector<T> window(CodecDriver3Base::cWindowSize, 0);
        for (int i = 0; i < 2000; ++i) {
            const int o = static_cast<int>(rng() % (CodecDriver3Base::cWindowSize + 1)) - 1;
            T v;
            if (o < 0) {
                v = static_cast<T>(rng());
                literals.push_back(v);
                window.pop_back();
            } else {
                v = window[o];
                window.erase(window.begin() + o);
            }
            window.insert(window.begin(), v);
            offsets.push_back(static_cast<T>(o));
            expected.push_back(v);
        }
        const Bytes image = PacketImage()
                                .i32(2000)
                                .u8(5)
                                .bytes(write3(literals, CodecDriver3Base::CodecBitLength))
                                .bytes(write3(offsets, CodecDriver3Base::CodecBitLength))
                                .lsb();
        VqVec<T> out;
        ASSERT_TRUE(read3(image, out)) << lastError();
        EXPECT_EQ(out, expected) << sizeof(T);
    };
    check(0);
    check(0L);
}

TEST_F(CodecDriver3Test, CorruptHeadersFailWithTheirReasons) {
    for (int codec : {0, 2, 6})
        expectFailure(
            PacketImage().i32(3).u8(codec).lsb(),
            "eCodecType == CodecBitLength || eCodecType == CodecArithmetic || eCodecType == CodecChopper || "
            "eCodecType == CodecMoveToFront");
    expectFailure(PacketImage().i32(-1).lsb(), "nExpectedValues >= 0");
    expectFailure(PacketImage().i32(4).u8(1).i32(INT_MAX).lsb(), "Short read", VQ_ERR_SHORT_READ);

    // Chopper headers: k of 0 or 32, k not below s, s beyond the value.
    const auto chopper = [](int k, int s) { return chopperHead(2, k, s); };
    expectFailure(chopper(0, 4).lsb(), "cChopBits > 0 && cChopBits < 32");
    expectFailure(chopper(32, 40).lsb(), "cChopBits > 0 && cChopBits < 32");
    expectFailure(chopper(4, 4).lsb(), "cChopBits < cValSpanBits");
    expectFailure(chopper(4, 33).lsb(), "cValSpanBits <= cValueBits");
    // Planes of different lengths, or of another count than the packet's;
    // a plane longer than the packet is refused before it is decoded.
    VqVeci one = {1}, two = {1, 0}, three = {1, 0, 1};
    const auto planes = [&](const VqVeci& hi, const VqVeci& lo) {
        return chopper(1, 3).image(bitLength(hi)).image(bitLength(lo)).lsb();
    };
    expectFailure(planes(two, one), "vMSB.size() == vLSB.size()");
    expectFailure(planes(one, one), "C->_pvValues->length() == nExpectedValues");
    expectFailure(planes(two, three), "nValues <= nMaxValues");
    expectFailure(planes(three, three), "nValues <= nMaxValues");
    VqVeci out;
    ASSERT_TRUE(read3(planes(two, VqVeci{3, 2}), out)) << lastError();
    EXPECT_EQ(out, (VqVeci{7, 2})); // (h << 2 | l) + 0

    // Raw out-of-band values in a segment stream: a count below 0 or above
    // the packet's, or more than the stream holds.
    const auto rawOOB = [](int n) { return escapeOnly(PacketImage()).i32(n).i32(77).lsb(); };
    for (StreamKind kind : {StreamKind::Zlib, StreamKind::Lzma}) {
        VqVeci v;
        ASSERT_TRUE(read3(CodecStream::segment(kind, rawOOB(1)), v, kind)) << lastError();
        EXPECT_EQ(v, VqVeci{77});
        EXPECT_FALSE(read3(CodecStream::segment(kind, rawOOB(-1)), v, kind));
        EXPECT_EQ(lastError(), "nOOBValues >= 0 && nOOBValues <= nExpectedValues");
        Bytes cut = rawOOB(1);
        cut.resize(cut.size() - 2);
        EXPECT_FALSE(read3(CodecStream::segment(kind, cut), v, kind));
        EXPECT_EQ(lastError(), "iostrm.read(C->_vAuxOOBValues.ptr(), nOOBValues)");
    }
}

TEST_F(CodecDriver3Test, BitLengthCodeTextsMustEndExactly) {
    // 7 8 as in the golden packet (B = 18), then with bits to spare.
    expectFailure(packet3(2, 1, 19, {0x3A204000}).lsb(), "_nValBits == 0");
    expectFailure(packet3(2, 1, 18, {0x3A206000}).lsb(), "_uVal == 0");
    expectFailure(packet3(2, 1, 16, {0x3A204000}).lsb(), "Code text too short");
    // Nine nibble groups for an int.
    expectFailure(packet3(1, 1, 46, {0x7FFFFFFF, 0xFFFC0000}).lsb(), "Nibble number too long");
}

// The decoder's output keeps no value it held: equal values (no bits each)
// are written whether the output shrinks or grows, zero or not.
TEST_F(CodecDriver3Test, BitLengthEqualValuesOverwriteWhatTheOutputHeld) {
    VqBitLengthCodec3T<int> codec;
    for (const int value : {0, 9, -3}) {
        const VqVeci values(300, value);
        VqVeci oob;
        VqVecu text;
        int64_t nBits = 0;
        ASSERT_TRUE(codec.encode(values.data(), values.length(), oob, text, nBits, nullptr));
        for (const size_t held : {size_t(0), size_t(100), size_t(1000)}) {
            VqVeci out(held, 5);
            ASSERT_TRUE(codec.decode(values.length(), nullptr, 0, text.data(), nBits, out, nullptr));
            EXPECT_EQ(out, values) << value << " over " << held;
        }
    }
}

// Values of one width are read eight at a time in the wider instruction set
// and one at a time in the baseline one, and at the end of the text one at a
// time in both. Every width, lengths around the vector's, and the bounds of
// the values held to the header's in either part: the one value at the top
// of the range loses its top bit, which only the bound check can notice.
TEST_F(CodecDriver3Test, BitLengthFixedWidthsReadAlikeInBothInstructionSets) {
    struct FastAgain {
        ~FastAgain() { Vq::CpuIsa::setFast(true); }
    } fastAgain;
    VqBitLengthCodec3T<int> codec;
    std::mt19937 rng(7);
    for (int w = 1; w <= 32; ++w) {
        const uint32_t top = w == 32 ? ~0u : (1u << w) - 1, base = uint32_t(1) << (w - 1);
        for (const int n : {2, 7, 8, 9, 17, 64, 203}) {
            // Offsets from the lowest value: 0 at one place, top at another,
            // strictly between elsewhere (for w = 1, nothing is).
            if (w == 1 && n > 2) continue;
            std::vector<uint32_t> offs(static_cast<size_t>(n));
            for (uint32_t& o : offs)
                o = 1 + uint32_t(std::uniform_int_distribution<uint64_t>(0, uint64_t(top) - 2)(rng));
            const int iLow = n - 2, iTop = n / 2;
            offs[size_t(iLow)] = 0;
            offs[size_t(iTop)] = top;
            VqVeci values(size_t(n), 0);
            for (int i = 0; i < n; ++i)
                values[size_t(i)] = int(offs[size_t(i)] - base);
            VqVeci oob;
            VqVecu text;
            int64_t nBits = 0;
            ASSERT_TRUE(codec.encode(values.data(), n, oob, text, nBits, nullptr));
            // So narrow a range can code its values by their own widths.
            if (text[0] >> 31) {
                EXPECT_LT(w, 4) << n;
                continue;
            }
            // The top value's first bit, counted from the end of the text.
            const int64_t bit = nBits - int64_t(n - iTop) * w;
            VqVecu damaged = text;
            damaged[size_t(bit >> 5)] &= ~(0x80000000u >> (bit & 31));
            for (bool bFast : {false, true}) {
                if (bFast && !Vq::CpuIsa::setFast(true)) continue;
                Vq::CpuIsa::setFast(bFast);
                SCOPED_TRACE("w " + std::to_string(w) + " n " + std::to_string(n) + (bFast ? " wide" : ""));
                VqVeci out;
                ASSERT_TRUE(codec.decode(n, nullptr, 0, text.data(), nBits, out, nullptr)) << lastError();
                EXPECT_EQ(out, values);
                EXPECT_FALSE(codec.decode(n, nullptr, 0, damaged.data(), nBits, out, nullptr));
                EXPECT_EQ(lastError(), "vMin == minValue && vMax == maxValue");
            }
        }
    }
}

// Values coded by their own widths, in runs, come back whole; a text cut
// short anywhere, in a run's values or between runs, is too short.
TEST_F(CodecDriver3Test, BitLengthRunsOfWidthsReadBackAndRefuseAShortText) {
    VqBitLengthCodec3T<int> codec;
    std::mt19937 rng(9);
    VqVeci values;
    for (int i = 0; i < 300; ++i) {
        const int band = i / 17 % 3;
        values.push_back(band == 0   ? int(rng() % 4)
                         : band == 1 ? int(rng() % 1000) - 500
                                     : int(rng() % 70000) - 35000);
    }
    VqVeci oob, out;
    VqVecu text;
    int64_t nBits = 0;
    ASSERT_TRUE(codec.encode(values.data(), values.length(), oob, text, nBits, nullptr));
    ASSERT_EQ(text[0] >> 31, 1u) << "widths in runs expected";
    ASSERT_TRUE(codec.decode(values.length(), nullptr, 0, text.data(), nBits, out, nullptr)) << lastError();
    EXPECT_EQ(out, values);
    for (int64_t cut = 1; cut <= 64; ++cut) {
        // The cut text's last word keeps only the bits left.
        VqVecu shorter(text.begin(), text.begin() + ptrdiff_t((nBits - cut + 31) / 32));
        if ((nBits - cut) % 32) shorter.back() &= ~(~0u >> ((nBits - cut) % 32));
        EXPECT_FALSE(codec.decode(values.length(), nullptr, 0, shorter.data(), nBits - cut, out, nullptr));
        EXPECT_EQ(lastError(), "Code text too short") << cut;
    }
}

// A chopper's high part waits for its low part's code text, to decode with
// it. When the low part escapes values that are themselves chopped, the
// chopper among them takes the waiting high part into its own pair; the low
// part's code text must then decode alone. Our own writer makes such packets
// (found by fuzzing), and a fresh reader refused them.
TEST_F(CodecDriver3Test, ChopperLowPartWithChoppedEscapesReadsBack) {
    std::mt19937 rng(11);
    const int n = 2000;
    VqVeci high, low;
    for (int i = 0; i < n; ++i) {
        high.push_back(static_cast<int>(rng() % 16));
        // Mostly small; one in five escapes, in four clusters far apart.
        low.push_back(static_cast<int>(rng() % 5 ? rng() % 16 : (rng() % 4) * (1 << 16) + rng() % 1000));
    }
    const Bytes image = chopperHead(n, 4, 24)
                            .bytes(write3(high, CodecDriver3Base::CodecArithmetic))
                            .bytes(write3(low, CodecDriver3Base::CodecArithmetic))
                            .lsb();
    Packet3Walker walker(image, 4, false);
    ASSERT_TRUE(walker.walk());
    ASSERT_EQ(walker.packets()[2].codec, CodecDriver3Base::CodecArithmetic) << "the low part";
    ASSERT_EQ(walker.packets()[3].codec, CodecDriver3Base::CodecChopper) << "its escaped values";
    ASSERT_EQ(walker.packets()[3].level, 2);
    VqVeci out;
    ASSERT_TRUE(read3(image, out)) << lastError();
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(out[i], high[i] << 20 | low[i]) << i;
}

TEST_F(CodecDriver3Test, ChopperPartsDecodedTogetherKeepTheirOwnChecks) {
    // A chopper's arithmetic parts decode in one loop, and so does its high
    // part with the high part of a chopper inside its low part: each keeps
    // its own out-of-band values, length and failures.
    std::mt19937 rng(7);
    const int n = 3000;
    VqVeci hi, lo, lo12;
    for (int i = 0; i < n; ++i) {
        // Now and then a wide value, which goes out of band.
        hi.push_back(static_cast<int>(rng() % 5 ? rng() % 16 : rng() % (1 << 20)));
        lo.push_back(static_cast<int>(rng() % 16));
        lo12.push_back(static_cast<int>(rng() % 64 * 64 + rng() % 3));
    }
    const auto coded = [](const VqVeci& v, CodecDriver3Base::VqCodecType codec) {
        return PacketImage().bytes(write3(v, codec));
    };
    const auto chopper = [](int k, int s, const PacketImage& h, const PacketImage& l) {
        return chopperHead(n, k, s).image(h).image(l).lsb();
    };
    const PacketImage hiImage = coded(hi, CodecDriver3Base::CodecArithmetic);
    const PacketImage loImage = coded(lo, CodecDriver3Base::CodecArithmetic);
    const Bytes together = chopper(20, 24, hiImage, loImage);
    Packet3Walker walker(together, 4, false);
    ASSERT_TRUE(walker.walk());
    ASSERT_EQ(walker.packets()[2].level, 2) << "the high part's out-of-band packet";
    VqVeci out, expected;
    for (int i = 0; i < n; ++i)
        expected.push_back(hi[i] << 4 | lo[i]);
    ASSERT_TRUE(read3(together, out)) << lastError();
    EXPECT_EQ(out, expected);

    const Bytes nested = chopper(12, 24, coded(lo, CodecDriver3Base::CodecArithmetic),
                                 coded(lo12, CodecDriver3Base::CodecChopper));
    Packet3Walker nestedWalker(nested, 4, false);
    ASSERT_TRUE(nestedWalker.walk());
    ASSERT_EQ(nestedWalker.packets()[2].codec, CodecDriver3Base::CodecChopper);
    ASSERT_EQ(nestedWalker.packets()[3].codec, CodecDriver3Base::CodecArithmetic) << "the inner high part";
    ASSERT_TRUE(read3(nested, out)) << lastError();
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(out[i], lo[i] << 12 | lo12[i]) << i;

    // Parts of different lengths: the longer one decodes to its end alone.
    VqVeci shorter(lo.begin(), lo.end() - 1);
    expectFailure(chopper(20, 24, hiImage, coded(shorter, CodecDriver3Base::CodecArithmetic)),
                  "vMSB.size() == vLSB.size()");
    expectFailure(chopper(20, 24, coded(shorter, CodecDriver3Base::CodecArithmetic), hiImage),
                  "vMSB.size() == vLSB.size()");

    // A bit flipped in either code text fails as that packet fails alone.
    for (int part = 0; part < 2; ++part) {
        Bytes bad = (part == 0 ? hiImage : loImage).lsb();
        bad[9 + 40] ^= 0x10;
        VqVeci alone;
        ASSERT_FALSE(read3(bad, alone));
        const std::string text = lastError();
        PacketImage badImage;
        badImage.bytes(bad);
        expectFailure(part == 0 ? chopper(20, 24, badImage, loImage) : chopper(20, 24, hiImage, badImage),
                      text);
        if (part == 1) continue;

        // Top-level choppers read in a batch: the high parts that have no
        // code text of their own packet to decode with (the first and third
        // here) decode together once the last is read; the damaged third
        // fails as it fails alone; a stream ending inside the batch fails
        // with nothing left for the next batch.
        const PacketImage loBits = coded(lo, CodecDriver3Base::CodecBitLength);
        const Bytes good = chopper(20, 24, hiImage, loBits);
        Bytes batch = good;
        batch.insert(batch.end(), nested.begin(), nested.end());
        const Bytes bad3 = chopper(20, 24, badImage, loBits);
        Vq::CodecDriver3 cd;
        std::vector<VqVeci> outs(3);
        const auto readBatch = [&](const Bytes& third) {
            Bytes image = batch;
            image.insert(image.end(), third.begin(), third.end());
            return CodecStream::read(StreamKind::Plain, image, [&](VqObjectStream& os) {
                for (VqVeci& o : outs)
                    if (!cd.deserializeBatched(os, o, n)) return false;
                return cd.finishBatch();
            });
        };
        EXPECT_FALSE(readBatch(bad3));
        EXPECT_EQ(lastError(), text);
        EXPECT_FALSE(readBatch(Bytes(good.begin(), good.end() - 9)));
        EXPECT_EQ(lastCode(), VQ_ERR_SHORT_READ);
        ASSERT_TRUE(readBatch(good)) << lastError();
        EXPECT_EQ(outs[0], expected);
        EXPECT_EQ(outs[1], out);
        EXPECT_EQ(outs[2], expected);
        // A plain arithmetic packet waits in the batch as well, and decodes
        // into its own values; damaged or cut short, it fails as above.
        EXPECT_FALSE(readBatch(bad));
        EXPECT_EQ(lastError(), text);
        const Bytes plain = hiImage.lsb();
        EXPECT_FALSE(readBatch(Bytes(plain.begin(), plain.end() - 9)));
        EXPECT_EQ(lastCode(), VQ_ERR_SHORT_READ);
        ASSERT_TRUE(readBatch(plain)) << lastError();
        EXPECT_EQ(outs[0], expected);
        EXPECT_EQ(outs[2], hi);
    }
}

TEST_F(CodecDriver3Test, BatchedTextsOfDifferentLengthsDecodeTogetherAndFailAsAlone) {
    // Texts decoded together run on past the shortest one's end, so each
    // length and each position must come back whole, and a damaged text
    // must fail as it fails alone wherever it stands in the batch.
    std::mt19937 rng(11);
    std::vector<VqVeci> arrays;
    std::vector<Bytes> images;
    for (int n : {3000, 1200, 2500, 1700}) {
        VqVeci v;
        for (int i = 0; i < n; ++i)
            v.push_back(static_cast<int>(rng() % 7 ? rng() % 24 : rng() % (1 << 20)));
        images.push_back(write3(v, CodecDriver3Base::CodecArithmetic));
        arrays.push_back(v);
    }
    Vq::CodecDriver3 cd;
    const auto readBatch = [&](const std::vector<Bytes>& parts, std::vector<VqVeci>& outs) {
        Bytes image;
        for (const Bytes& b : parts)
            image.insert(image.end(), b.begin(), b.end());
        outs.assign(parts.size(), VqVeci());
        return CodecStream::read(StreamKind::Plain, image, [&](VqObjectStream& os) {
            for (VqVeci& o : outs)
                if (!cd.deserializeBatched(os, o, 4000)) return false;
            return cd.finishBatch();
        });
    };
    for (size_t nBatch = 2; nBatch <= images.size(); ++nBatch) {
        SCOPED_TRACE(nBatch);
        const std::vector<Bytes> parts(images.begin(), images.begin() + nBatch);
        std::vector<VqVeci> outs;
        ASSERT_TRUE(readBatch(parts, outs)) << lastError();
        for (size_t k = 0; k < nBatch; ++k)
            EXPECT_EQ(outs[k], arrays[k]) << k;
        for (size_t k = 0; k < nBatch; ++k) {
            std::vector<Bytes> bad = parts;
            bad[k][9 + 40] ^= 0x10;
            VqVeci alone;
            ASSERT_FALSE(read3(bad[k], alone)) << k;
            const std::string text = lastError();
            EXPECT_FALSE(readBatch(bad, outs)) << k;
            EXPECT_EQ(lastError(), text) << k;
        }
    }
}

// A packet decoded alone asks first for a value that takes most of its
// scale, where texts decoded together look every symbol up; both must give
// the same values, and fail alike on a damaged packet, in either
// instruction set. Its twin, of the same length, keeps every symbol of the
// batch in the loop over both.
TEST_F(CodecDriver3Test, ALikelyValueDecodesAloneAsItDoesTogether) {
    struct FastAgain {
        ~FastAgain() { Vq::CpuIsa::setFast(true); }
    } fastAgain;
    std::mt19937 rng(5);
    const int n = 3000;
    VqVeci likely, twin;
    for (int i = 0; i < n; ++i) {
        const int other = static_cast<int>(rng() % 9 ? rng() % 24 : rng() % (1 << 20));
        likely.push_back(rng() % 100 < 85 ? 6 : other);
        twin.push_back(static_cast<int>(rng() % 24));
    }
    const Bytes image = write3(likely, CodecDriver3Base::CodecArithmetic);
    const Bytes twinImage = write3(twin, CodecDriver3Base::CodecArithmetic);
    Vq::CodecDriver3 cd;
    const auto together = [&](const Bytes& first, VqVeci& out) {
        Bytes both = first;
        both.insert(both.end(), twinImage.begin(), twinImage.end());
        VqVeci other;
        return CodecStream::read(StreamKind::Plain, both, [&](VqObjectStream& os) {
            return cd.deserializeBatched(os, out, n) && cd.deserializeBatched(os, other, n) &&
                   cd.finishBatch();
        });
    };
    for (bool bFast : {false, true}) {
        if (bFast && !Vq::CpuIsa::setFast(true)) continue;
        Vq::CpuIsa::setFast(bFast);
        SCOPED_TRACE(bFast ? "wide" : "baseline");
        VqVeci alone, batched;
        ASSERT_TRUE(read3(image, alone)) << lastError();
        EXPECT_EQ(alone, likely);
        ASSERT_TRUE(together(image, batched)) << lastError();
        EXPECT_EQ(batched, likely);
        int nFailed = 0;
        for (size_t at = 9; at < image.size(); at += 11) {
            Bytes bad = image;
            bad[at] ^= uint8_t(1u << (at % 8));
            const bool okAlone = read3(bad, alone);
            const std::string text = okAlone ? "" : lastError();
            const bool okTogether = together(bad, batched);
            ASSERT_EQ(okTogether, okAlone) << at;
            if (okAlone) {
                EXPECT_EQ(batched, alone) << at;
            } else {
                EXPECT_EQ(lastError(), text) << at;
                ++nFailed;
            }
        }
        EXPECT_GT(nFailed, 0);
    }
}

// A code that lands on the likely interval's end exactly, which random
// texts almost never do, belongs to the next value, as the target says.
TEST_F(CodecDriver3Test, TheLikelyIntervalEndsWhereTheTargetSaysItDoes) {
    for (const uint32_t t : {4u, 3000u, 16383u})
        for (const uint32_t n0 : {t * 3 / 4, t - 1}) {
            // The first symbol's code less low is the text's first 16 bits,
            // against a range of 2^16.
            const uint32_t end = uint32_t((uint64_t(n0) << 16) / t);
            for (const uint32_t code : {end - 1, end}) {
                const uint32_t words[2] = {code << 16, 0};
                const VqArithmeticScale scale(t);
                int viaTarget = -1, viaMostly = -1;
                const auto step = [&](int* got) {
                    return [t, n0, got](int, uint32_t target, uint32_t& c, uint32_t& n) {
                        *got = target < n0 ? 0 : 1;
                        c = *got ? n0 : 0;
                        n = *got ? t - n0 : n0;
                        return true;
                    };
                };
                VqCodeTextReader inA(words, 64), inB(words, 64);
                VqArithmeticDecoder a(inA), b(inB);
                ASSERT_TRUE(a.run(1, scale, step(&viaTarget)));
                ASSERT_TRUE(b.runMostly(1, scale, 0, n0, step(&viaMostly), [&](int) { viaMostly = 0; }));
                EXPECT_EQ(viaTarget, code < end ? 0 : 1) << t << " " << n0 << " " << code;
                EXPECT_EQ(viaMostly, viaTarget) << t << " " << n0 << " " << code;
            }
        }
}

TEST_F(CodecDriver3Test, LowPartsAndOffsetsWaitInTheBatchAndFailAsAlone) {
    // Texts that wait for the batch besides the high parts: a chopper's
    // arithmetic low part, a top-level packet's window offsets and a
    // chopper's move-to-front low part's, until the batch is full and the
    // last chopper's offsets decode as they are read. Six texts wait, more
    // than decode at once. Each array comes back whole, and a damaged low
    // part fails as it fails alone wherever it stands.
    std::mt19937 rng(5);
    const int n = 3000;
    VqVeci hi, lo;
    for (int i = 0; i < n; ++i) {
        hi.push_back(static_cast<int>(rng() % 5 ? rng() % 16 : rng() % (1 << 20)));
        lo.push_back(static_cast<int>(rng() % 3 ? rng() % 4 : rng() % 16));
    }
    const Bytes mtf = write3(lo, CodecDriver3Base::CodecMoveToFront);
    Packet3Walker walker(mtf, 4, false);
    ASSERT_TRUE(walker.walk());
    ASSERT_EQ(walker.packets()[1].codec, CodecDriver3Base::CodecBitLength) << "the literals";
    ASSERT_EQ(walker.packets()[2].codec, CodecDriver3Base::CodecArithmetic) << "the offsets";
    const Bytes arith = write3(lo, CodecDriver3Base::CodecArithmetic);
    // A bit flipped in a code text: the offsets' follows the literals'
    // packet and its own header.
    int32_t litBits = 0;
    std::memcpy(&litBits, &mtf[10], 4);
    const auto damaged = [](Bytes b, size_t text) {
        b[text + 40] ^= 0x10;
        return b;
    };
    const Bytes badMtf = damaged(mtf, 14 + size_t(litBits + 31) / 32 * 4 + 9);
    const Bytes badArith = damaged(arith, 9);
    VqVeci alone;
    ASSERT_FALSE(read3(badMtf, alone));
    const std::string mtfText = lastError();
    ASSERT_FALSE(read3(badArith, alone));
    const std::string arithText = lastError();

    const PacketImage hiImage = PacketImage().bytes(write3(hi, CodecDriver3Base::CodecArithmetic));
    const auto chopper = [&](const Bytes& low) {
        return chopperHead(n, 20, 24).image(hiImage).bytes(low).lsb();
    };
    VqVeci joined;
    for (int i = 0; i < n; ++i)
        joined.push_back(hi[i] << 4 | lo[i]);
    const std::vector<VqVeci> expected = {joined, lo, joined, joined};

    Vq::CodecDriver3 cd;
    std::vector<VqVeci> outs;
    const auto readBatch = [&](int iBad) {
        Bytes image;
        for (int k = 0; k < 4; ++k) {
            const Bytes& low = k == 0 ? (iBad == 0 ? badArith : arith) : (k == iBad ? badMtf : mtf);
            const Bytes part = k == 1 ? low : chopper(low);
            image.insert(image.end(), part.begin(), part.end());
        }
        outs.assign(4, VqVeci());
        return CodecStream::read(StreamKind::Plain, image, [&](VqObjectStream& os) {
            for (VqVeci& o : outs)
                if (!cd.deserializeBatched(os, o, n)) return false;
            return cd.finishBatch();
        });
    };
    ASSERT_TRUE(readBatch(-1)) << lastError();
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(outs[k], expected[k]) << k;
    for (int k = 0; k < 4; ++k) {
        EXPECT_FALSE(readBatch(k)) << k;
        EXPECT_EQ(lastError(), k == 0 ? arithText : mtfText) << k;
    }
    // A failure leaves nothing behind for the next batch.
    ASSERT_TRUE(readBatch(-1)) << lastError();
    EXPECT_EQ(outs[3], joined);
}

TEST_F(CodecDriver3Test, PacketsReadBesideABatchDecodeWithItAndFailAsAlone) {
    // A chopper whose low part is a chopper decodes its two high parts as a
    // pair; read beside a batch, the pair takes along as many of the batch's
    // texts as spare it a group (one of one, none of three, two of five).
    // Every array comes back whole, and a damaged text fails as it fails
    // alone, taken along or left for finishBatch().
    std::mt19937 rng(3);
    const int n = 2000;
    VqVeci hi, lo12;
    for (int i = 0; i < n; ++i) {
        hi.push_back(static_cast<int>(rng() % 5 ? rng() % 16 : rng() % 4096));
        lo12.push_back(static_cast<int>(rng() % 64 * 64 + rng() % 3));
    }
    const Bytes nested = chopperHead(n, 12, 24)
                             .bytes(write3(hi, CodecDriver3Base::CodecArithmetic))
                             .bytes(write3(lo12, CodecDriver3Base::CodecChopper))
                             .lsb();
    VqVeci joined;
    ASSERT_TRUE(read3(nested, joined)) << lastError();
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(joined[i], hi[i] << 12 | lo12[i]) << i;
    std::vector<VqVeci> arrays;
    std::vector<Bytes> images;
    for (int k = 0; k < 5; ++k) {
        VqVeci v;
        for (int i = 0; i < n - 100 * k; ++i)
            v.push_back(static_cast<int>(rng() % 7 ? rng() % 24 : rng() % (1 << 20)));
        images.push_back(write3(v, CodecDriver3Base::CodecArithmetic));
        arrays.push_back(v);
    }
    Vq::CodecDriver3 cd;
    std::vector<VqVeci> outs;
    VqVeci beside;
    const auto read = [&](const std::vector<Bytes>& parked, const Bytes& pair) {
        Bytes image;
        for (const Bytes& b : parked)
            image.insert(image.end(), b.begin(), b.end());
        image.insert(image.end(), pair.begin(), pair.end());
        outs.assign(parked.size(), VqVeci());
        return CodecStream::read(StreamKind::Plain, image, [&](VqObjectStream& os) {
            for (VqVeci& o : outs)
                if (!cd.deserializeBatched(os, o, n)) return false;
            return cd.deserializeBeside(os, beside, n) && cd.finishBatch();
        });
    };
    for (size_t nParked : {1, 3, 5}) {
        SCOPED_TRACE(nParked);
        const std::vector<Bytes> parked(images.begin(), images.begin() + ptrdiff_t(nParked));
        ASSERT_TRUE(read(parked, nested)) << lastError();
        EXPECT_EQ(beside, joined);
        for (size_t k = 0; k < nParked; ++k)
            EXPECT_EQ(outs[k], arrays[k]) << k;
        for (size_t k = 0; k < nParked; ++k) {
            std::vector<Bytes> bad = parked;
            bad[k][9 + 40] ^= 0x10;
            VqVeci alone;
            ASSERT_FALSE(read3(bad[k], alone)) << k;
            const std::string text = lastError();
            EXPECT_FALSE(read(bad, nested)) << k;
            EXPECT_EQ(lastError(), text) << k;
        }
        // A failure leaves nothing behind for the next batch.
        ASSERT_TRUE(read(parked, nested)) << lastError();
        EXPECT_EQ(outs.back(), arrays[nParked - 1]);
    }
    // A plain arithmetic packet read beside the batch joins it: its values
    // come with the batch's, and a damaged text fails as it fails alone.
    Bytes bad = images[0];
    bad[9 + 40] ^= 0x10;
    VqVeci alone;
    ASSERT_FALSE(read3(bad, alone));
    const std::string text = lastError();
    for (size_t nParked : {1, 4}) {
        SCOPED_TRACE("plain, " + std::to_string(nParked));
        const std::vector<Bytes> parked(images.begin() + 1, images.begin() + 1 + ptrdiff_t(nParked));
        ASSERT_TRUE(read(parked, images[0])) << lastError();
        EXPECT_EQ(beside, arrays[0]);
        for (size_t k = 0; k < nParked; ++k)
            EXPECT_EQ(outs[k], arrays[k + 1]) << k;
        EXPECT_FALSE(read(parked, bad));
        EXPECT_EQ(lastError(), text);
        ASSERT_TRUE(read(parked, images[0])) << lastError();
        EXPECT_EQ(beside, arrays[0]);
    }
}

} // namespace
