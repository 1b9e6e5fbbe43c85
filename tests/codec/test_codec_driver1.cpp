#include "CodecArrays.h"
#include "CodecStreams.h"
#include "PacketCursor.h"
#include "PacketImage.h"
#include "VqCodecDriver.h"
#include "VqLibFixture.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <random>
#include <string>

namespace {

using Bytes = std::vector<uint8_t>;
using Driver1 = VqCodecDriverBase;

template <class T>
Bytes write1(VqVec<T>& values, Driver1::VqCodecType codec = Driver1::CodecNone,
             Driver1::VqPredictorType pred = Driver1::PredNull) {
    VqCodecDriver<T> driver(values);
    return CodecStream::write(StreamKind::Plain, [&](VqObjectStream& os) {
        if (!driver.serialize(os, codec, pred)) return false;
        uint64_t pos = 0;
        os.getPosition(pos);
        EXPECT_EQ(driver.numBytesWritten(), pos);
        return true;
    });
}

template <class T>
bool read1(const Bytes& image, VqVec<T>& values, Driver1::VqPredictorType pred = Driver1::PredNull,
           VqByteOrder order = VqBaseDataStream::s_systemByteOrder()) {
    VqCodecDriver<T> driver(values);
    return CodecStream::read(
        StreamKind::Plain, image,
        [&](VqObjectStream& os) {
            if (!driver.deserialize(os, pred, INT_MAX)) return false;
            EXPECT_EQ(os._readLimit(), 0u) << "packet did not use every byte";
            return true;
        },
        order);
}

const Driver1::VqCodecType kCodecs1[] = {Driver1::CodecNone, Driver1::CodecNull, Driver1::CodecBitLength,
                                         Driver1::CodecHuffman, Driver1::CodecArithmetic};

class CodecDriver1Test : public VqLibTest {};

TEST_F(CodecDriver1Test, EveryCodecRoundTripsEveryEdgeArray) {
    for (const auto& [name, values] : edgeArrays<int>()) {
        for (Driver1::VqCodecType codec : kCodecs1) {
            SCOPED_TRACE(name + ", codec " + std::to_string(codec));
            VqVeci in = values;
            Bytes image = write1(in, codec);
            ASSERT_FALSE(image.empty()) << lastError();
            if (codec != Driver1::CodecNone) {
                EXPECT_EQ(image[0], codec);
            }
            VqVeci out = {1, 2};
            ASSERT_TRUE(read1(image, out)) << lastError();
            EXPECT_EQ(out, values);
        }
    }
}

// The code-text fields of every packet of an image (little-endian): codec,
// bit count, value count, symbol count and the model's context count, with
// the nesting level.
class Packet1Walker : public PacketCursor {
public:
    struct Packet {
        int level, codec, nCntx;
        int64_t bits, values, symbols;
    };
    explicit Packet1Walker(const Bytes& image) : PacketCursor(image) {}
    bool walk() { return _packet(0) && _pos == _image.size(); }
    const std::vector<Packet>& packets() const { return _packets; }

private:
    bool _packet(int level) {
        if (_pos >= _image.size()) return false;
        Packet p{level, _image[_pos++], 0, 0, 0, 0};
        const size_t self = _packets.size();
        _packets.push_back(p);
        int32_t v = 0;
        if (p.codec == 2 || p.codec == 3) {
            if (_pos >= _image.size()) return false;
            p.nCntx = _image[_pos++];
            size_t bitPos = _pos * 8;
            for (int c = 0; c < p.nCntx; ++c) {
                const uint64_t e = _bits(bitPos, 32);
                int w = 0;
                for (int f = 0; f < (c == 0 ? 4 : 3); ++f)
                    w += static_cast<int>(_bits(bitPos, 6));
                bitPos += (c == 0 ? 32 : 0) + size_t(e) * size_t(w);
            }
            _pos = (bitPos + 7) / 8;
            if (!_i32(v)) return false;
            if (v > 0 && !_packet(level + 1)) return false;
        }
        if (p.codec != 0) {
            int32_t b = 0, n = 0, s = 0;
            if (!_i32(b) || !_i32(n)) return false;
            s = n;
            if (p.nCntx > 1 && !_i32(s)) return false;
            p.bits = b;
            p.values = n;
            p.symbols = s;
        }
        if (!_i32(v) || !_take(size_t(v) * 4)) return false;
        if (p.codec == 0) p.bits = p.values = p.symbols = v;
        _packets[self] = p;
        return true;
    }

    std::vector<Packet> _packets;
};

TEST_F(CodecDriver1Test, ModelsFollowTheData) {
    // A value that depends on the one before: an order-1 model, and escapes
    // from its higher contexts add symbols.
    VqVeci markov = edgeArray<int>("markov");
    Packet1Walker w(write1(markov));
    ASSERT_TRUE(w.walk());
    const auto& top = w.packets()[0];
    EXPECT_EQ(top.codec, Driver1::CodecArithmetic);
    EXPECT_GT(top.nCntx, 1);
    EXPECT_GT(top.symbols, top.values);
    // Every arithmetic code text is whole words.
    for (const auto& p : w.packets())
        if (p.codec == Driver1::CodecArithmetic) {
            EXPECT_EQ(p.bits % 32, 0);
        }

    // Independent values: one context, no symbol count.
    VqVeci laplace = edgeArray<int>("laplace");
    Packet1Walker l(write1(laplace));
    ASSERT_TRUE(l.walk());
    EXPECT_EQ(l.packets()[0].codec, Driver1::CodecArithmetic);
    EXPECT_EQ(l.packets()[0].nCntx, 1);
    EXPECT_EQ(l.packets()[0].symbols, l.packets()[0].values);

    // Spread values: no table pays.
    VqVeci full = edgeArray<int>("full range");
    Packet1Walker f(write1(full));
    ASSERT_TRUE(f.walk());
    EXPECT_EQ(f.packets()[0].codec, Driver1::CodecBitLength);
}

TEST_F(CodecDriver1Test, OrderOneModelsAddContextsWhereTheyPay) {
    const VqVeci markov = edgeArray<int>("markov");
    VqProbModel<int> order0;
    VqPartialOrder1ProbModel<int> order1;
    ASSERT_TRUE(order0.build(markov.data(), markov.length(), false, 1e30)) << lastError();
    ASSERT_TRUE(order1.build(markov.data(), markov.length(), false, 1e30)) << lastError();
    EXPECT_EQ(order0.numContexts(), 1);
    EXPECT_GT(order1.numContexts(), 1);
    EXPECT_LT(order1.estimatedBits(), 0.5 * order0.estimatedBits());
    // Neither is built when it would not beat the size offered without one.
    ASSERT_TRUE(order1.build(markov.data(), markov.length(), false, 100));
    EXPECT_EQ(order1.numContexts(), 0);

    // Every context total fits the coder, and the stored model reads back
    // with the values of higher contexts taken from context 0.
    ASSERT_TRUE(order1.build(markov.data(), markov.length(), false, 1e30));
    VqProbModel<int> back;
    const Bytes image = CodecStream::write(StreamKind::Plain, [&](VqObjectStream& os) {
        uint64_t n = 0;
        return order1.serialize(os, n);
    });
    ASSERT_TRUE(CodecStream::read(StreamKind::Plain, image, [&](VqObjectStream& os) {
        return back.deserialize(os);
    })) << lastError();
    ASSERT_EQ(back.numContexts(), order1.numContexts());
    for (int c = 0; c < back.numContexts(); ++c) {
        EXPECT_LE(order1.context(c).totalCount(), VqProbContext<int>::cMaxScale);
        ASSERT_EQ(back.context(c).numEntries(), order1.context(c).numEntries());
        for (int i = 0; i < back.context(c).numEntries(); ++i) {
            const auto &a = back.context(c).entry(i), &b = order1.context(c).entry(i);
            EXPECT_EQ(a._iSymbol, b._iSymbol);
            EXPECT_EQ(a._cCount, b._cCount);
            EXPECT_EQ(a._iNextCntx, b._iNextCntx);
            if (!a.isEscape()) {
                EXPECT_EQ(a._value, b._value);
            }
        }
    }
}

TEST_F(CodecDriver1Test, OneEntryContextsCodeWithNoBits) {
    // Equal values under a forced Huffman model: one entry, an empty code.
    VqVeci same(1000, -5);
    Packet1Walker w(write1(same, Driver1::CodecHuffman));
    ASSERT_TRUE(w.walk());
    EXPECT_EQ(w.packets()[0].bits, 0);
    VqVeci out;
    ASSERT_TRUE(read1(write1(same, Driver1::CodecHuffman), out)) << lastError();
    EXPECT_EQ(out, same);
    // A few spread values: the table would not pay, so the one entry is the
    // escape and every value goes out of band.
    VqVeci few = {1, 200000, -3};
    Packet1Walker e(write1(few, Driver1::CodecHuffman));
    ASSERT_TRUE(e.walk());
    ASSERT_EQ(e.packets().size(), 2u);
    EXPECT_EQ(e.packets()[0].bits, 0);
    EXPECT_EQ(e.packets()[1].values, 3);
    ASSERT_TRUE(read1(write1(few, Driver1::CodecHuffman), out)) << lastError();
    EXPECT_EQ(out, few);
}

TEST_F(CodecDriver1Test, PredictorsRoundTrip) {
    std::mt19937 rng(8);
    VqVeci v;
    for (int i = 0; i < 2000; ++i)
        v.push_back(static_cast<int>(rng() % 1000) + i * 13 + (i % 7 == 0 ? INT_MIN : 0));
    for (int t = Driver1::PredLag1; t <= Driver1::PredNull; ++t) {
        const auto pred = static_cast<Driver1::VqPredictorType>(t);
        VqVeci in = v, out;
        const Bytes image = write1(in, Driver1::CodecNone, pred);
        ASSERT_FALSE(image.empty()) << lastError();
        EXPECT_EQ(in, v); // the bound vector is left as it was
        ASSERT_TRUE(read1(image, out, pred)) << lastError();
        EXPECT_EQ(out, v) << t;
    }
    // Doubles: small integers, so that residuals are exact; NaN payloads and
    // signed zeros survive without a predictor.
    VqVec<double> d;
    for (int i = 0; i < 500; ++i)
        d.push_back(static_cast<double>(i * i % 97));
    for (auto pred : {Driver1::PredLag1, Driver1::PredLag2, Driver1::PredStride1, Driver1::PredStride2}) {
        VqVec<double> out;
        ASSERT_TRUE(read1(write1(d, Driver1::CodecArithmetic, pred), out, pred)) << lastError();
        EXPECT_EQ(out, d);
    }
    VqVec<double> odd = {std::bit_cast<double>(0x7FF8000000001234ull), -0.0, 1e-310, -INFINITY};
    VqVec<double> out;
    for (Driver1::VqCodecType codec : kCodecs1) {
        ASSERT_TRUE(read1(write1(odd, codec), out)) << lastError();
        EXPECT_EQ(std::memcmp(out.data(), odd.data(), sizeof(double) * odd.size()), 0);
    }
    // Xor on doubles, and predictors of later generations, are refused.
    VqCodecDriver<double> dd(d);
    VqCodecDriver<int> di(v);
    const Bytes none = CodecStream::write(StreamKind::Plain, [&](VqObjectStream& os) {
        EXPECT_FALSE(dd.serialize(os, Driver1::CodecNone, Driver1::PredXor1));
        EXPECT_EQ(lastError(), "ePredType != PredXor1 && ePredType != PredXor2");
        EXPECT_FALSE(di.serialize(os, Driver1::CodecNone, VqResidualPredictor::PredAvg2));
        EXPECT_EQ(lastError(), "isValidPredictor(ePredType)");
        return true;
    });
    EXPECT_TRUE(none.empty());
}

// ---------------------------------------------------------------------------------------------------------------
// Corrupt packets

void expectFailure(const Bytes& image, const std::string& text, int code = VQ_ERR_CORRUPT) {
    VqVeci out;
    EXPECT_FALSE(read1(image, out));
    EXPECT_EQ(lastError(), text);
    EXPECT_EQ(lastCode(), code);
}

// A Huffman packet's start: the codec, the number of contexts and their bit fields.
PacketImage huffman(int nCntx, std::initializer_list<uint8_t> model) {
    return PacketImage().u8(Driver1::CodecHuffman).u8(nCntx).bytes(model);
}

// One context of one entry, 3 (count 1), coded with no bits, or an escape
// entry alone. E = 1, widths: symbol 2, count 1, value 0, next 0, minimum 3;
// entry (10 1) or (00 1).
PacketImage oneEntryModel(bool escape) {
    return huffman(1, {0x00, 0x00, 0x00, 0x01, 0x08, 0x10, 0x00, 0x00, 0x00, 0x00, 0x03,
                       static_cast<uint8_t>(escape ? 0x20 : 0xA0)});
}

TEST_F(CodecDriver1Test, CorruptPacketsFailWithTheirReasons) {
    // Two values of the one entry, with no code text.
    VqVeci out;
    ASSERT_TRUE(read1(oneEntryModel(false).i32({0, 0, 2, 0}).lsb(), out)) << lastError();
    EXPECT_EQ(out, (VqVeci{3, 3}));

    // Escapes with out-of-band values too few, or a count that disagrees
    // with the nested packet.
    const PacketImage oob = PacketImage().u8(0).i32({1, 1000});
    expectFailure(oneEntryModel(true).i32(1).image(oob).i32({0, 2, 0}).lsb(),
                  "_iCurOOBEntry < _vOOBValues.length()");
    expectFailure(oneEntryModel(true).i32(2).image(oob).i32({0, 1, 0}).lsb(),
                  "pThis->_vOOBValues.length() == nOOBValues");
    ASSERT_TRUE(read1(oneEntryModel(true).i32(1).image(oob).i32({0, 1, 0}).lsb(), out)) << lastError();
    EXPECT_EQ(out, VqVeci{1000});

    // Out-of-band packets nest no deeper than the driver's levels.
    PacketImage deep = PacketImage().u8(0).i32({1, 7});
    for (int level = 1; level < Driver1::cMaxNesting; ++level)
        deep = oneEntryModel(true).i32(1).image(deep).i32({0, 1, 0});
    ASSERT_TRUE(read1(deep.lsb(), out)) << lastError();
    EXPECT_EQ(out, VqVeci{7});
    expectFailure(oneEntryModel(true).i32(1).image(deep).i32({0, 1, 0}).lsb(), "iDepth < cMaxNesting");

    // Fewer symbols than the values need: the order-1 packet of the golden
    // tests (7 8 7 7 8) cut to five symbols, 11101, which decode four values.
    expectFailure(huffman(2, {0x00, 0x00, 0x00, 0x02, 0x08, 0x10, 0x41, 0x00, 0x00, 0x00,
                              0x07, 0xAF, 0x80, 0x00, 0x00, 0x00, 0x82, 0x04, 0x0E, 0x40})
                      .i32({0, 5, 5, 5, 1})
                      .words({0xE8000000})
                      .lsb(),
                  "numValues() == nExpectedValues");

    // Unknown codec type; word count and bit count that disagree.
    expectFailure(PacketImage().u8(4).lsb(), "eCodecType <= CodecArithmetic");
    expectFailure(PacketImage().u8(1).i32({33, 1, 1}).words({0}).lsb(),
                  "cWordsCodeText == vCodeText.length()");
    expectFailure(PacketImage().u8(1).i32({-1, 1, 0}).lsb(), "nBits >= 0");
    expectFailure(PacketImage().u8(0).i32(1 << 30).lsb(), "Short read", VQ_ERR_SHORT_READ);

    // A model whose next-context index leaves the model (E = 1, widths 2, 1,
    // 0, 1, minimum 3, entry (10 1 1): next context 1 of 1); entries of no
    // bits at all (two of them say nothing a decoder can use); two contexts
    // where context 1 (E = 1, widths 2, 1, 0) holds symbol 1 (11 1), which
    // context 0 (symbol 0 only) lacks; the contexts' bit fields run on
    // without padding between them.
    for (const PacketImage& bad :
         {huffman(1, {0x00, 0x00, 0x00, 0x01, 0x08, 0x10, 0x01, 0x00, 0x00, 0x00, 0x03, 0xB0}),
          huffman(1, {0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}),
          huffman(2, {0x00, 0x00, 0x00, 0x01, 0x08, 0x10, 0x00, 0x00, 0x00, 0x00, 0x03, 0xA0, 0x00, 0x00,
                      0x00, 0x21, 0x02, 0x07})})
        expectFailure(bad.lsb(), "Bad probability model");
}

} // namespace
