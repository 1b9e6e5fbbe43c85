// The pieces under the drivers: code text, arithmetic coder, contexts,
// bit-length codec and predictors.
#include "CodecTestUtil.h"
#include "VqArithmeticCodec2.h"
#include "VqArithmeticScale.h"
#include "VqBitLengthCodec2.h"
#include "VqCodeTextReader.h"
#include "VqCodeTextWriter.h"
#include "VqNullCodec2.h"
#include "VqProbContext2.h"
#include "VqResidualPredictor.h"

#include <array>
#include <climits>
#include <cmath>
#include <random>

namespace {

class CodecCoreTest : public VqLibTest {};

TEST_F(CodecCoreTest, CodeTextRunsMatchSingleBits) {
    std::mt19937 rng(1);
    for (int trial = 0; trial < 200; ++trial) {
        VqVecu a, b;
        VqCodeTextWriter wa(a), wb(b);
        std::vector<int> bits;
        for (int k = 0; k < 20; ++k) {
            const bool bit = rng() & 1;
            const int n = static_cast<int>(rng() % 70);
            wa.writeRun(bit, static_cast<uint64_t>(n));
            for (int i = 0; i < n; ++i) {
                wb.writeBits(bit, 1);
                bits.push_back(bit);
            }
            const int m = static_cast<int>(rng() % 33);
            const uint32_t v = static_cast<uint32_t>(rng());
            wa.writeBits(v, m);
            wb.writeBits(v, m);
            for (int i = m - 1; i >= 0; --i)
                bits.push_back((v >> i) & 1);
        }
        wa.finish();
        wb.finish();
        ASSERT_EQ(a, b);
        ASSERT_EQ(wa.numBits(), static_cast<int64_t>(bits.size()));
        VqCodeTextReader r(a.data(), wa.numBits());
        for (int bit : bits)
            ASSERT_EQ(r.readBit(), static_cast<uint32_t>(bit));
        EXPECT_TRUE(r.exhausted());
        EXPECT_TRUE(r.padIsZero());
        r.readBits(32);
        EXPECT_TRUE(r.overrun());
    }
}

// The window a decoder borrows hands out the bits plain reads would, from
// any buffer state (a window opened on a full buffer gives a word back),
// and the reader takes up where the window left off, past the end too.
TEST_F(CodecCoreTest, CodeTextWindowLendsTheBitsReadsWould) {
    std::mt19937 rng(3);
    for (int trial = 0; trial < 300; ++trial) {
        VqVecu words;
        for (int i = 0; i < 6; ++i)
            words.push_back(static_cast<uint32_t>(rng()));
        const int64_t nBits = 6 * 32 - static_cast<int64_t>(rng() % 32);
        VqCodeTextReader plain(words.data(), nBits), r(words.data(), nBits);
        while (plain.numBitsRead() < nBits + 40) {
            if (rng() % 2) {
                const int n = static_cast<int>(rng() % 33);
                ASSERT_EQ(r.readBits(n), plain.readBits(n));
                continue;
            }
            const uint32_t top = static_cast<uint32_t>(rng() & 0xFFFF);
            VqCodeTextReader::Window w = r.openWindow(top);
            ASSERT_EQ(w.bits >> 48, top);
            for (int k = static_cast<int>(rng() % 5); k > 0; --k) {
                const int m = static_cast<int>(rng() % 17);
                ASSERT_GE(w.n, m);
                w.bits = (w.bits & ((uint64_t(1) << 48) - 1)) << m;
                w.n -= m;
                w.refill();
                ASSERT_EQ(w.bits >> 48, plain.readBits(m)) << trial;
            }
            r.closeWindow(w);
            ASSERT_EQ(r.numBitsRead(), plain.numBitsRead());
        }
        EXPECT_TRUE(r.overrun());
    }
}

// A random context: up to maxEntries entries with counts from 0 to maxCount
// (zero counts included), sometimes an escape entry, sometimes one of count
// 0; rescaled when its total reaches 8192.
VqProbContext2 randomContext(std::mt19937& rng, int maxEntries, int maxCount) {
    VqProbContext2 c;
    const int n = 1 + static_cast<int>(rng() % static_cast<unsigned>(maxEntries));
    const int esc = rng() % 3 == 0 ? static_cast<int>(rng() % static_cast<unsigned>(n)) : -1;
    for (int i = 0; i < n; ++i) {
        VqCntxEntry2 e;
        e._cCount = rng() % 5 == 0 ? 0 : static_cast<int>(rng() % static_cast<unsigned>(maxCount)) + 1;
        e._iValue = i * 37 - 1000;
        if (i == esc) e._iSymbol = VqCntxEntry2::s_iEscapeSymbol;
        c.addEntry(e);
    }
    c.entry(0)._cCount += 1; // at least one codable entry
    c.accumulateCounts();
    EXPECT_TRUE(c.rescale());
    return c;
}

TEST_F(CodecCoreTest, ArithmeticDecoderConsumesExactlyTheCodeText) {
    std::mt19937 rng(42);
    VqArithmeticCodec2 codec;
    for (int trial = 0; trial < 10000; ++trial) {
        VqProbContext2 cntx = randomContext(rng, trial % 10 == 0 ? 2000 : 40, trial % 7 == 0 ? 9000 : 60);
        const uint32_t t = cntx.totalCount();
        ASSERT_GT(t, 0u);
        ASSERT_LT(t, 8192u);
        // Values drawn in proportion to the counts; escapes carry values
        // of their own.
        const int n = 1 + static_cast<int>(rng() % 300);
        VqVeci values;
        double ideal = 0;
        for (int i = 0; i < n; ++i) {
            const int idx = cntx.lookupEntryByCumCount(static_cast<uint32_t>(rng() % t));
            ASSERT_GE(idx, 0);
            const VqCntxEntry2& e = cntx.entry(idx);
            values.push_back(e.isEscape() ? static_cast<int>(rng()) | 1 : e._iValue);
            ideal -= std::log2(double(e._cCount) / t);
        }
        VqVeci oob;
        VqVecu words;
        int64_t nBits = 0;
        ASSERT_TRUE(codec.encode(values.data(), n, oob, words, nBits, &cntx)) << lastError();
        ASSERT_EQ(words.length(), (nBits + 31) / 32);
        EXPECT_LE(nBits, ideal * 1.01 + 20);
        VqVeci out;
        ASSERT_TRUE(codec.decode(n, oob.data(), oob.length(), words.data(), nBits, out, &cntx))
            << lastError();
        ASSERT_EQ(out, values);
        // One more bit (a zero from the padding) is one the decoder never reads.
        if (nBits % 32 != 0) {
            ASSERT_FALSE(codec.decode(n, oob.data(), oob.length(), words.data(), nBits + 1, out, &cntx));
            EXPECT_EQ(lastError(), "_uBitBuff == 0");
        }
    }
}

// The interval updates divide by the scale through its reciprocal: exact up
// to the largest product, t 2^16, of every scale, where a reciprocal short
// by one bit first rounds a quotient up at the multiples of t. The decoder's
// form, the range scaled first, must give the same quotients.
TEST_F(CodecCoreTest, ScaleDividesExactlyUpToTheLargestProduct) {
    for (uint32_t t = 1; t < 16384; ++t) {
        const VqArithmeticScale scale(t);
        for (uint32_t q : {1u, 255u, 0xFFFFu, 0x10000u}) {
            ASSERT_EQ(scale.divide(q * t), q) << t;
            ASSERT_EQ(scale.divide(q * t - 1), q - 1) << t;
            ASSERT_EQ(VqArithmeticScale::divideScaled(t, scale.scaled(q)), q) << t;
            ASSERT_EQ(VqArithmeticScale::divideScaled(t - 1, scale.scaled(q)), (q * (t - 1)) / t) << t;
        }
    }
}

// A tiny interval in the middle of the range leaves low just below and high
// just above the midpoint: the decoder then takes a dozen straddle steps at
// once, which random contexts hardly ever ask for.
TEST_F(CodecCoreTest, ArithmeticDecoderTakesLongStraddleRuns) {
    VqProbContext2 cntx;
    for (int count : {4095, 1, 4095}) {
        VqCntxEntry2 e;
        e._cCount = count;
        e._iValue = cntx.numEntries();
        cntx.addEntry(e);
    }
    cntx.accumulateCounts();
    VqArithmeticCodec2 codec;
    std::mt19937 rng(7);
    for (int trial = 0; trial < 200; ++trial) {
        // Mostly the middle entry, with the outer ones now and then so that
        // the straddles start from many different registers.
        VqVeci values;
        for (int i = 0, n = 1 + trial % 60; i < n; ++i)
            values.push_back(rng() % 4 == 0 ? static_cast<int>(rng() % 3) : 1);
        VqVeci oob, out;
        VqVecu words;
        int64_t nBits = 0;
        ASSERT_TRUE(codec.encode(values.data(), values.length(), oob, words, nBits, &cntx)) << lastError();
        ASSERT_TRUE(codec.decode(values.length(), nullptr, 0, words.data(), nBits, out, &cntx))
            << lastError();
        ASSERT_EQ(out, values);
        // Every bit counts: a code text one bit shorter is refused.
        ASSERT_FALSE(codec.decode(values.length(), nullptr, 0, words.data(), nBits - 1, out, &cntx));
    }
}

TEST_F(CodecCoreTest, ArithmeticCodecRefusesUnusableContexts) {
    VqArithmeticCodec2 codec;
    VqVeci oob, out;
    VqVecu words = {0};
    int64_t nBits = 0;
    VqVeci one = {5};
    EXPECT_FALSE(codec.encode(one.data(), 1, oob, words, nBits, nullptr));
    EXPECT_EQ(lastError(), "pProbCntx");

    VqProbContext2 big;
    VqCntxEntry2 e;
    e._cCount = 8192;
    e._iValue = 5;
    big.addEntry(e);
    big.accumulateCounts();
    EXPECT_FALSE(codec.decode(1, nullptr, 0, words.data(), 18, out, &big));
    EXPECT_EQ(lastError(), "t > 0 && t < cMaxTotalCount");

    // A value with no entry, and an escape with no out-of-band value left.
    VqProbContext2 small;
    e._cCount = 3;
    small.addEntry(e);
    small.accumulateCounts();
    VqVeci other = {6};
    EXPECT_FALSE(codec.encode(other.data(), 1, oob, words, nBits, &small));
    EXPECT_EQ(lastError(), "Value not in probability table");
    VqCntxEntry2 esc;
    esc._iSymbol = VqCntxEntry2::s_iEscapeSymbol;
    esc._cCount = 1;
    small.addEntry(esc);
    small.accumulateCounts();
    oob.clear();
    ASSERT_TRUE(codec.encode(other.data(), 1, oob, words, nBits, &small));
    EXPECT_EQ(oob, VqVeci{6});
    EXPECT_FALSE(codec.decode(1, nullptr, 0, words.data(), nBits, out, &small));
    EXPECT_EQ(lastError(), "iOOB < nOOBValues");
    // Cut short.
    EXPECT_FALSE(codec.decode(1, oob.data(), 1, words.data(), nBits - 3, out, &small));
    EXPECT_EQ(lastError(), "Code text too short");
}

// Context bit fields read back from the given field values.
bool readContext(VqProbContext2& c, uint32_t e, uint32_t bs, uint32_t bc, uint32_t bv, uint32_t mv,
                 const std::vector<std::array<uint32_t, 3>>& entries) {
    VqTestObjectStream w = VqTestObjectStream::forWriting(9, 5, false);
    EXPECT_TRUE(w->writeBits(e, 16) && w->writeBits(bs, 6) && w->writeBits(bc, 6) && w->writeBits(bv, 6) &&
                w->writeBits(mv, 32));
    for (const auto& en : entries)
        EXPECT_TRUE(w->writeBits(en[0], std::min<int>(bs, 32)) &&
                    w->writeBits(en[1], std::min<int>(bc, 32)) && w->writeBits(en[2], std::min<int>(bv, 32)));
    EXPECT_TRUE(w->writeAlignmentBits());
    VqTestObjectStream r = VqTestObjectStream::forReading(w.bytes(), 9, 5, LsbFirst, false);
    return c.deserialize(*r);
}

TEST_F(CodecCoreTest, ContextReadingRefusesWhatTheCoderCannotUse) {
    VqProbContext2 c;
    ASSERT_TRUE(readContext(c, 3, 1, 2, 3, 0xFFFFFFF0u, {{1, 3, 0}, {0, 0, 7}, {1, 1, 2}})) << lastError();
    ASSERT_EQ(c.numEntries(), 3);
    EXPECT_EQ(c.entry(1)._iSymbol, -2);
    EXPECT_EQ(c.entry(1)._cCount, 0);
    EXPECT_EQ(c.entry(1)._iValue, -9); // mv + 7 wraps
    EXPECT_EQ(c.entry(2)._cCumCount, 3);
    EXPECT_EQ(c.totalCount(), 4u);

    EXPECT_FALSE(readContext(c, 1, 1, 1, 0, 0, {{1, 0, 0}}));
    EXPECT_EQ(lastError(), "totalCount() > 0");
    EXPECT_EQ(lastCode(), VQ_ERR_CORRUPT);
    EXPECT_FALSE(readContext(c, 2, 1, 13, 0, 0, {{1, 8000, 0}, {1, 192, 0}}));
    EXPECT_EQ(lastError(), "total < cMaxTotalCount");
    EXPECT_FALSE(readContext(c, 8192, 0, 0, 0, 0, {}));
    EXPECT_EQ(lastError(), "nEntries < cMaxCntxCount");
    EXPECT_FALSE(readContext(c, 1, 1, 33, 0, 0, {}));
    EXPECT_EQ(lastError(), "bs <= 32 && bc <= 32 && bv <= 32");
}

TEST_F(CodecCoreTest, ContextWritingChecksItsTable) {
    VqTestObjectStream w = VqTestObjectStream::forWriting(9, 5, false);
    size_t nBytes = 0;
    VqProbContext2 c;
    VqCntxEntry2 e;
    e._cCount = -1;
    c.addEntry(e);
    EXPECT_FALSE(c.serialize(*w, nBytes));
    EXPECT_EQ(lastError(), "pEntry->_cCount >= 0");
    c.entry(0)._cCount = 1;
    c.entry(0)._iSymbol = VqCntxEntry2::s_iEscapeSymbol;
    c.addEntry(c.entry(0));
    EXPECT_FALSE(c.serialize(*w, nBytes));
    EXPECT_EQ(lastError(), "iEscCode == -1");
    c.clear();
    for (int i = 0; i < 0x10000; ++i)
        c.addEntry(VqCntxEntry2());
    EXPECT_FALSE(c.serialize(*w, nBytes));
    EXPECT_EQ(lastError(), "nEntry <= 0x0000ffff");
    EXPECT_FALSE(c.rescale());
    EXPECT_EQ(lastError(), "nEntries < cMaxCntxCount");
}

TEST_F(CodecCoreTest, RescaleKeepsEveryEntryAndShrinksTheTotal) {
    VqProbContext2 c;
    for (int count : {10000, 5000, 1, 0}) {
        VqCntxEntry2 e;
        e._cCount = count;
        e._iValue = count;
        c.addEntry(e);
    }
    c.entry(3)._iSymbol = VqCntxEntry2::s_iEscapeSymbol;
    c.accumulateCounts();
    ASSERT_TRUE(c.rescale());
    // Times 8191 / 15001: 5460, 2730, 0 and 0 raised to 1: 8192, still too
    // large; times 8191 / 8192: 5459, 2729, 1, 1.
    EXPECT_EQ(c.entry(0)._cCount, 5459);
    EXPECT_EQ(c.entry(1)._cCount, 2729);
    EXPECT_EQ(c.entry(2)._cCount, 1);
    EXPECT_EQ(c.entry(3)._cCount, 1);
    EXPECT_EQ(c.totalCount(), 8190u);
    EXPECT_EQ(c.entry(3)._cCumCount, 8189);
}

TEST_F(CodecCoreTest, LookupFindsTheIntervalOfEveryTarget) {
    std::mt19937 rng(9);
    for (int trial = 0; trial < 300; ++trial) {
        VqProbContext2 c = randomContext(rng, trial % 2 ? 8 : 300, 40);
        const uint32_t t = c.totalCount();
        for (uint32_t target = 0; target < t; ++target) {
            const int i = c.lookupEntryByCumCount(target);
            ASSERT_GE(i, 0);
            const VqCntxEntry2& e = c.entry(i);
            ASSERT_LE(static_cast<uint32_t>(e._cCumCount), target);
            ASSERT_LT(target, static_cast<uint32_t>(e._cCumCount + e._cCount));
        }
        EXPECT_EQ(c.lookupEntryByCumCount(t), -1);
        // Every ordinary value maps to its first entry; others to the escape.
        for (int i = 0; i < c.numEntries(); ++i) {
            if (c.entry(i).isEscape()) continue;
            EXPECT_EQ(c.entry(c.lookupEntryByValue(c.entry(i)._iValue))._iValue, c.entry(i)._iValue);
        }
        EXPECT_EQ(c.lookupEntryByValue(INT_MAX), c.escapeIndex());
    }
}

// ---------------------------------------------------------------------------------------------------------------
// Bit-length codec

TEST_F(CodecCoreTest, BitLengthWidthChangesAndRunsRoundTrip) {
    VqBitLengthCodec2 codec;
    std::vector<VqVeci> arrays;
    // Jumps needing several extreme codes up and down, runs at the 15 cut.
    VqVeci jumps;
    for (int rep = 0; rep < 3; ++rep) {
        jumps.insert(jumps.end(), 15, 1);
        jumps.insert(jumps.end(), 16, 1 << 30);
        jumps.insert(jumps.end(), 31, -2);
        jumps.push_back(INT_MIN);
        jumps.insert(jumps.end(), 30, 0);
    }
    arrays.push_back(jumps);
    std::mt19937 rng(3);
    for (int trial = 0; trial < 200; ++trial) {
        VqVeci v;
        const int n = 1 + static_cast<int>(rng() % 400);
        for (int i = 0; i < n; ++i) {
            const int w = static_cast<int>(rng() % 32);
            // Values of about w bits around 0 (computed unsigned, as they wrap).
            const uint32_t u = static_cast<uint32_t>(rng()) >> (31 - w);
            v.push_back(static_cast<int>(u - (uint32_t(1) << w) / 2));
        }
        arrays.push_back(v);
    }
    bool sawVariable = false;
    for (const VqVeci& v : arrays) {
        VqVeci oob, out;
        VqVecu words;
        int64_t nBits = 0;
        ASSERT_TRUE(codec.encode(v.data(), v.length(), oob, words, nBits, nullptr));
        EXPECT_TRUE(oob.empty());
        sawVariable |= (words[0] >> 31) == 1;
        ASSERT_TRUE(codec.decode(v.length(), nullptr, 0, words.data(), nBits, out, nullptr)) << lastError();
        ASSERT_EQ(out, v);
    }
    EXPECT_TRUE(sawVariable);
}

// A code text written field by field.
struct Text {
    VqVecu words;
    VqCodeTextWriter w{words};
    Text& operator()(uint32_t v, int n) {
        w.writeBits(v, n);
        return *this;
    }
    int64_t finish() {
        w.finish();
        return w.numBits();
    }
};

void expectBitLengthFailure(Text& t, int n, const std::string& text, int64_t bitsDelta = 0) {
    VqBitLengthCodec2 codec;
    const int64_t nBits = t.finish() + bitsDelta;
    t.words.push_back(0); // room for a longer claimed count
    VqVeci out;
    EXPECT_FALSE(codec.decode(n, nullptr, 0, t.words.data(), nBits, out, nullptr));
    EXPECT_EQ(lastError(), text);
    EXPECT_EQ(lastCode(), VQ_ERR_CORRUPT);
}

TEST_F(CodecCoreTest, BitLengthDecodingRefusesBadCodeTexts) {
    // Fixed mode, 2 values of 2 bits; the bounds are the values' own, in
    // their narrowest widths, as a writer gives them.
    auto fixed = [] {
        Text t;
        t(0, 1)(4, 6)(4, 6)(4, 4)(6, 4)(0, 2)(2, 2); // min 4, max 6 (w = 2): 4 + 0, 4 + 2
        return t;
    };
    {
        Text t = fixed();
        VqBitLengthCodec2 codec;
        VqVeci out;
        const int64_t nBits = t.finish();
        ASSERT_TRUE(codec.decode(2, nullptr, 0, t.words.data(), nBits, out, nullptr)) << lastError();
        EXPECT_EQ(out, (VqVeci{4, 6}));
    }
    {
        Text t = fixed();
        expectBitLengthFailure(t, 2, "nValBits == 0", 1);
    }
    {
        Text t = fixed();
        t(1, 1); // a set bit in the padding
        VqBitLengthCodec2 codec;
        VqVeci out;
        t.finish();
        EXPECT_FALSE(codec.decode(2, nullptr, 0, t.words.data(), 25, out, nullptr));
        EXPECT_EQ(lastError(), "uVal == 0");
    }
    {
        Text t = fixed();
        expectBitLengthFailure(t, 3, "Code text too short");
    }
    {
        Text t;
        t(0, 1)(33, 6)(1, 6);
        expectBitLengthFailure(t, 1, "wMin <= 32 && wMax <= 32");
    }
    // Variable mode: mean 0, dw 4, rw 4.
    {
        Text t;
        t(1, 1)(0, 32)(4, 3)(4, 3)(2, 4)(3, 4)(1, 2)(1, 2)(1, 2);
        expectBitLengthFailure(t, 2, "_pvValues->length() == nExpectedValues");
    }
    {
        Text t;
        t(1, 1)(0, 32)(4, 3)(4, 3)(7, 4)(7, 4)(7, 4)(7, 4)(7, 4)(0, 4);
        expectBitLengthFailure(t, 1, "iWidth >= 0 && iWidth <= 32");
    }
    {
        Text t;
        t(1, 1)(0, 32)(0, 3)(4, 3);
        expectBitLengthFailure(t, 1, "nDeltaBits > 0 && nRunBits > 0");
    }
    {
        // Runs of length 0 make no progress: the text runs out.
        Text t;
        t(1, 1)(0, 32)(4, 3)(4, 3)(0, 4)(0, 4)(0, 4)(0, 4);
        expectBitLengthFailure(t, 1, "Code text too short");
    }
    VqBitLengthCodec2 codec;
    VqProbContext2 cntx;
    VqVeci out;
    EXPECT_FALSE(codec.decode(0, nullptr, 0, nullptr, 0, out, &cntx));
    EXPECT_EQ(lastError(), "pProbCntx == __null");
}

TEST_F(CodecCoreTest, NullCodecCopiesWords) {
    VqNullCodec2 codec;
    VqVeci in = {1, -1, INT_MIN}, oob, out;
    VqVecu words;
    int64_t nBits = 0;
    ASSERT_TRUE(codec.encode(in.data(), 3, oob, words, nBits, nullptr));
    EXPECT_EQ(nBits, 96);
    EXPECT_EQ(words, (VqVecu{1u, 0xFFFFFFFFu, 0x80000000u}));
    ASSERT_TRUE(codec.decode(3, nullptr, 0, words.data(), nBits, out, nullptr));
    EXPECT_EQ(out, in);
    EXPECT_FALSE(codec.decode(3, nullptr, 0, words.data(), 95, out, nullptr));
}

// ---------------------------------------------------------------------------------------------------------------
// Predictors

using Driver = VqCodecDriver2;

TEST_F(CodecCoreTest, EveryPredictorRoundTripsWrappingData) {
    std::mt19937 rng(8);
    VqVeci v;
    for (int i = 0; i < 503; ++i) {
        const int pick = static_cast<int>(rng() % 4);
        v.push_back(pick == 0   ? INT_MAX - static_cast<int>(rng() % 3)
                    : pick == 1 ? INT_MIN + static_cast<int>(rng() % 3)
                                : static_cast<int>(rng()));
    }
    for (int type = 0; type < VqResidualPredictor::NumPredictorTypes; ++type) {
        SCOPED_TRACE(type);
        const auto t = static_cast<Driver::VqPredictorType>(type);
        VqVeci packed, back;
        ASSERT_TRUE(Driver::packResiduals(v, packed, t));
        EXPECT_TRUE(std::equal(v.begin(), v.begin() + 4, packed.begin())); // first four untouched
        ASSERT_TRUE(Driver::unpackResiduals(packed, back, t));
        EXPECT_EQ(back, v);
        // In place, both ways.
        VqVeci inPlace = v;
        ASSERT_TRUE(Driver::packResiduals(inPlace, inPlace, t));
        EXPECT_EQ(inPlace, packed);
        ASSERT_TRUE(Driver::unpackResiduals(inPlace, inPlace, t));
        EXPECT_EQ(inPlace, v);
        // Unsigned vectors carry the same bits.
        VqVecu u(v.begin(), v.end()), up, ub;
        ASSERT_TRUE(Driver::packResiduals(u, up, t));
        EXPECT_TRUE(std::equal(up.begin(), up.end(), packed.begin(),
                               [](unsigned a, int b) { return a == static_cast<unsigned>(b); }));
        ASSERT_TRUE(Driver::unpackResiduals(up, ub, t));
        EXPECT_EQ(ub, u);
    }
}

TEST_F(CodecCoreTest, PredictorsRoundAsDefined) {
    // residual[4] = v[4] - p(4), with v[0..3] the previous values.
    auto residual4 = [](Driver::VqPredictorType t, VqVeci v) {
        VqVeci out;
        EXPECT_TRUE(Driver::packResiduals(v, out, t));
        return out[4];
    };
    // (v[3] + v[2]) >> 1 rounds down; (v[3] + v[2] + v[1]) / 3 toward zero.
    EXPECT_EQ(residual4(Driver::PredAvg2, {9, 9, 0, -1, 10}), 10 - (-1));
    EXPECT_EQ(residual4(Driver::PredAvg3, {9, 0, -1, -1, 10}), 10 - 0);
    EXPECT_EQ(residual4(Driver::PredAvg4, {-1, -1, -1, -2, 10}), 10 - (-2));
    EXPECT_EQ(residual4(Driver::PredAvg2, {0, 0, INT_MAX, INT_MAX, 0}), 1); // the sum wraps to -2
    // Strip index: d = v[2] - v[0] within +-7 extends the step, else +2.
    EXPECT_EQ(residual4(Driver::PredStripIndex, {10, 0, 17, 0, 30}), 30 - 24);
    EXPECT_EQ(residual4(Driver::PredStripIndex, {10, 0, 3, 0, 30}), 30 - (-4));
    EXPECT_EQ(residual4(Driver::PredStripIndex, {10, 0, 18, 0, 30}), 30 - 20);
    EXPECT_EQ(residual4(Driver::PredStripIndex, {10, 0, 2, 0, 30}), 30 - 4);
    EXPECT_EQ(residual4(Driver::PredStride1, {0, 0, 3, 5, 10}), 10 - 7);
    EXPECT_EQ(residual4(Driver::PredStride2, {1, 0, 5, 0, 10}), 10 - 9);
    EXPECT_EQ(residual4(Driver::PredRamp, {0, 0, 0, 0, 10}), 6);
    EXPECT_EQ(residual4(Driver::PredXor1, {0, 0, 0, 6, 5}), 3);
    EXPECT_EQ(residual4(Driver::PredXor2, {0, 0, 6, 0, 5}), 3);
    EXPECT_EQ(residual4(Driver::PredNull, {0, 0, 6, 0, 5}), 5);
    EXPECT_EQ(residual4(Driver::PredLag2, {0, 0, 6, 0, 5}), -1);

    VqVeci a = {1, 2}, out;
    EXPECT_FALSE(Driver::packResiduals(a, out, static_cast<Driver::VqPredictorType>(12)));
    EXPECT_EQ(lastError(), "VqResidualPredictor::isValid(ePredType)");
}

TEST_F(CodecCoreTest, DoubleAndTriplePredictors) {
    VqVec<double> d = {1.5, 2.5, 4.0, 8.0, 16.0, 31.0, 64.25}, pd, bd;
    for (auto t :
         {Driver::PredLag1, Driver::PredLag2, Driver::PredStride1, Driver::PredStride2, Driver::PredNull}) {
        ASSERT_TRUE(Driver::packResiduals(d, pd, t));
        ASSERT_TRUE(Driver::unpackResiduals(pd, bd, t));
        EXPECT_EQ(bd, d); // exact for these binary fractions
    }
    ASSERT_TRUE(Driver::packResiduals(d, pd, Driver::PredStride1));
    EXPECT_EQ(pd[5], 31.0 - 24.0);
    EXPECT_FALSE(Driver::packResiduals(d, pd, Driver::PredXor1));
    EXPECT_EQ(lastError(), "ePredType != PredXor1 && ePredType != PredXor2");
    EXPECT_FALSE(Driver::unpackResiduals(d, pd, Driver::PredRamp));
    EXPECT_EQ(lastError(), "VqResidualPredictor::isValidForDouble(ePredType)");

    // Each component of a triple is a sequence of its own.
    const int in[18] = {0, 100, -5, 1, 200, -6, 2, 300, -7, 3, 400, -8, 5, 500, -9, 8, 600, -10};
    int packed[18], back[18];
    ASSERT_TRUE(Driver::packTripleResiduals(in, packed, 6, Driver::PredLag1));
    EXPECT_EQ(packed[12], 5 - 3);
    EXPECT_EQ(packed[13], 500 - 400);
    EXPECT_EQ(packed[17], -10 - (-9));
    ASSERT_TRUE(Driver::unpackTripleResiduals(packed, back, 6, Driver::PredLag1));
    EXPECT_TRUE(std::equal(in, in + 18, back));
    // An empty array has no buffer.
    EXPECT_TRUE(Driver::unpackTripleResiduals(nullptr, nullptr, 0, Driver::PredLag1));
}

} // namespace
