// Records of the quantizers against bytes written out by hand from their
// layouts. Floats: -1.5 = BFC00000, 2.0 = 40000000, 0.25 = 3E800000,
// 10.0 = 41200000, 10.5 = 41280000, 1.0 = 3F800000, 0.5 = 3F000000,
// -1.0 = BF800000. Writers use the host's order; readers are given both.
#include "VqColorQuantizer.h"
#include "VqLibFixture.h"
#include "VqPointQuantizer.h"
#include "VqTestObjectStream.h"
#include "VqTextureQuantizer.h"
#include "VqUniformQuantizer.h"

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

class QuantizerRecordTest : public VqLibTest {
protected:
    // The same record in each byte order, as lists of the fields' bytes.
    struct Golden {
        Bytes lsb, msb;
        const Bytes& host() const { return VqBaseDataStream::s_systemByteOrder() == LsbFirst ? lsb : msb; }
    };

    template <class Q>
    Bytes written(const Q& q, bool (Q::*write)(VqBaseDataStream&) const) {
        VqTestObjectStream out = VqTestObjectStream::forWriting(10, 0);
        EXPECT_TRUE((q.*write)(*out)) << lastError();
        return out.bytes();
    }
    // Reads the record in both orders into fresh objects; each must consume it all.
    template <class Q, class Check>
    void readBoth(const Golden& g, bool (Q::*read)(VqBaseDataStream&), Check check) {
        for (VqByteOrder order : {LsbFirst, MsbFirst}) {
            SCOPED_TRACE(order == LsbFirst ? "LSB first" : "MSB first");
            VqTestObjectStream in =
                VqTestObjectStream::forReading(order == LsbFirst ? g.lsb : g.msb, 10, 0, order);
            Q q;
            ASSERT_TRUE((q.*read)(*in)) << lastError();
            uint64_t pos = 0;
            in->getPosition(pos);
            EXPECT_EQ(pos, g.lsb.size());
            check(q);
        }
    }
    // Feeds the record to a fresh object and expects a refusal (with any
    // text when text is null: short reads are worded by the stream).
    template <class Q>
    void expectRefused(const Bytes& image, bool (Q::*read)(VqBaseDataStream&), const char* text,
                       int code = VQ_ERR_CORRUPT) {
        VqTestObjectStream in = VqTestObjectStream::forReading(image, 10, 0, LsbFirst);
        Q q;
        EXPECT_FALSE((q.*read)(*in));
        if (text) {
            EXPECT_EQ(lastError(), text);
        }
        EXPECT_EQ(lastCode(), code);
    }
};

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// [-1.5, 2.0] with 12 bits.
const Bytes kUniformLsb = {0x00, 0x00, 0xC0, 0xBF, 0x00, 0x00, 0x00, 0x40, 0x0C};
const Bytes kUniformMsb = {0xBF, 0xC0, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x0C};

TEST_F(QuantizerRecordTest, UniformQuantizer) {
    using Q = Vq::UniformQuantizer<float>;
    const Q q(-1.5f, 2.0f, 12);
    EXPECT_EQ(q.serializedSize(), 9u);
    const Golden g{kUniformLsb, kUniformMsb};
    EXPECT_EQ(written(q, &Q::serialize), g.host());
    readBoth(g, &Q::deserialize, [](const Q& r) {
        float lo, hi;
        r.getRange(lo, hi);
        EXPECT_EQ(lo, -1.5f);
        EXPECT_EQ(hi, 2.0f);
        EXPECT_EQ(r.quantizedSize(), 12u);
        EXPECT_EQ(r.maxCode(), 4095u);
    });

    // 33 bits; minimum above maximum; a NaN end; a record cut short.
    expectRefused(Bytes{0, 0, 0xC0, 0xBF, 0, 0, 0, 0x40, 0x21}, &Q::deserialize, "nBits <= sizeof(T) * 8");
    expectRefused(Bytes{0, 0, 0, 0x40, 0, 0, 0xC0, 0xBF, 0x0C}, &Q::deserialize, "fMin <= fMax");
    expectRefused(Bytes{0, 0, 0xC0, 0x7F, 0, 0, 0, 0x40, 0x0C}, &Q::deserialize,
                  "std::isfinite(fMin) && std::isfinite(fMax)");
    expectRefused(Bytes{0, 0, 0xC0, 0xBF, 0, 0, 0, 0x40}, &Q::deserialize, nullptr, VQ_ERR_SHORT_READ);
    // An unset quantizer is not written: no reader would take its record.
    VqTestObjectStream out = VqTestObjectStream::forWriting(10, 0);
    EXPECT_FALSE(Q().serialize(*out));
    EXPECT_EQ(lastError(), "fMin <= fMax");
    EXPECT_TRUE(out.bytes().empty());
}

TEST_F(QuantizerRecordTest, PointQuantizer) {
    // x [-1.5, 2] 12 bits, y [0, 0.25] 8 bits, z [10, 10.5] 16 bits.
    const Golden g{cat({kUniformLsb,
                        {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x3E, 0x08},
                        {0x00, 0x00, 0x20, 0x41, 0x00, 0x00, 0x28, 0x41, 0x10}}),
                   cat({kUniformMsb,
                        {0x00, 0x00, 0x00, 0x00, 0x3E, 0x80, 0x00, 0x00, 0x08},
                        {0x41, 0x20, 0x00, 0x00, 0x41, 0x28, 0x00, 0x00, 0x10}})};
    const VqBox3<float> box(VqVec3f(-1.5f, 0.0f, 10.0f), VqVec3f(2.0f, 0.25f, 10.5f));
    VqPointQuantizer pq;
    ASSERT_TRUE(pq.setBBox(box));
    ASSERT_TRUE(pq.setNumBitsPrecision(12, 8, 16));
    EXPECT_EQ(written(pq, &VqPointQuantizer::serialize), g.host());
    EXPECT_EQ(g.lsb.size(), 27u);
    readBoth(g, &VqPointQuantizer::deserialize, [&](const VqPointQuantizer& r) {
        EXPECT_EQ(r.getBBox(), box);
        int x, y, z;
        r.getNumBitsPrecision(x, y, z);
        EXPECT_EQ(x * 10000 + y * 100 + z, 120816);
        uint32_t cx, cy, cz;
        ASSERT_TRUE(r.convertVecToCode(VqVec3f(2.0f, 0.125f, 10.0f), cx, cy, cz));
        EXPECT_EQ(cx, 4095u);
        EXPECT_EQ(cy, 128u);
        EXPECT_EQ(cz, 0u);
    });

    // Once the box is emptied there is nothing to write.
    VqPointQuantizer emptied = pq;
    ASSERT_TRUE(emptied.setBBox(VqBox3<float>()));
    VqTestObjectStream out = VqTestObjectStream::forWriting(10, 0);
    EXPECT_FALSE(emptied.serialize(*out));
    EXPECT_EQ(lastError(), "_bbox.isValid()");

    // A damaged z quantizer: refused, and what was read before is not kept.
    Bytes bad = g.lsb;
    bad.back() = 0x40;
    VqTestObjectStream in = VqTestObjectStream::forReading(bad, 10, 0, LsbFirst);
    EXPECT_FALSE(pq.deserialize(*in));
    EXPECT_EQ(lastError(), "nBits <= sizeof(T) * 8");
    VqPointQuantizer fresh;
    VqTestObjectStream in2 = VqTestObjectStream::forReading(bad, 10, 0, LsbFirst);
    EXPECT_FALSE(fresh.deserialize(*in2));
    EXPECT_TRUE(fresh.getBBox().isEmpty());
}

TEST_F(QuantizerRecordTest, ColorQuantizerRgbAndHsv) {
    // RGB: flag 0; c1 [0, 1] 5 bits, c2 [0, 1] 6, c3 [0.5, 1] 5, alpha [0, 1] 4.
    // (0.5 and 1.0 with an M are most significant byte first.)
    const Bytes zero = {0, 0, 0, 0}, half = {0x00, 0x00, 0x00, 0x3F}, halfM = {0x3F, 0x00, 0x00, 0x00};
    const Bytes one = {0x00, 0x00, 0x80, 0x3F}, oneM = {0x3F, 0x80, 0x00, 0x00};
    // One component's range and bit count.
    const auto part = [](const Bytes& lo, const Bytes& hi, uint8_t bits) { return cat({lo, hi, {bits}}); };
    const Golden rgb{
        cat({{0x00}, part(zero, one, 5), part(zero, one, 6), part(half, one, 5), part(zero, one, 4)}),
        cat({{0x00}, part(zero, oneM, 5), part(zero, oneM, 6), part(halfM, oneM, 5), part(zero, oneM, 4)})};
    VqColorQuantizer cq;
    ASSERT_TRUE(cq.setRange(0.0f, 1.0f, 0.0f, 1.0f, 0.5f, 1.0f, 0.0f, 1.0f));
    ASSERT_TRUE(cq.setPrec(5, 6, 5, 4));
    EXPECT_EQ(written(cq, &VqColorQuantizer::serialize), rgb.host());
    EXPECT_EQ(rgb.lsb.size(), 37u);
    readBoth(rgb, &VqColorQuantizer::deserialize, [](const VqColorQuantizer& r) {
        EXPECT_FALSE(r.getEncodeWithHSV());
        int p[4];
        r.getPrec(p[0], p[1], p[2], p[3]);
        EXPECT_EQ(p[0] * 1000 + p[1] * 100 + p[2] * 10 + p[3], 5654);
        float f[8];
        r.getRange(f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7]);
        EXPECT_EQ(f[4], 0.5f);
        uint32_t code;
        ASSERT_TRUE(r.convertRGBtoCode(VqVec4f(1.0f, 0.0f, 0.5f, 1.0f), code));
        EXPECT_EQ(code, 0xF800Fu); // 31 << 15 | 0 << 9 | 0 << 4 | 15
    });

    // HSV: flag 1 and the four bit counts; the ranges are implied.
    const Golden hsv{{0x01, 0x06, 0x05, 0x05, 0x00}, {0x01, 0x06, 0x05, 0x05, 0x00}};
    cq.setEncodeWithHSV(true);
    ASSERT_TRUE(cq.setPrec(6, 5, 5, 0));
    EXPECT_EQ(written(cq, &VqColorQuantizer::serialize), hsv.host());
    readBoth(hsv, &VqColorQuantizer::deserialize, [](const VqColorQuantizer& r) {
        EXPECT_TRUE(r.getEncodeWithHSV());
        float f[8];
        r.getRange(f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7]);
        EXPECT_EQ(f[1], 6.0f);
        uint32_t code;
        ASSERT_TRUE(r.convertRGBtoCode(VqVec3f(0.0f, 0.0f, 1.0f), code));
        EXPECT_EQ(code, 42u << 10 | 31u << 5 | 31u); // hue 4 of 6 at 6 bits: 42
    });

    const char* precs = "(c1>=0) && (c2>=0) && (c3>=0) && (a>=0) && (c1+c2+c3+a<=32)";
    expectRefused({0x02, 6, 5, 5, 0}, &VqColorQuantizer::deserialize, "nHSV <= 1");
    expectRefused({0x01, 16, 16, 1, 0}, &VqColorQuantizer::deserialize, precs);
    Bytes wide = rgb.lsb;
    for (size_t at : {9u, 18u, 27u, 36u})
        wide[at] = 9;
    expectRefused(wide, &VqColorQuantizer::deserialize, precs);
    expectRefused({0x01, 6, 5}, &VqColorQuantizer::deserialize, nullptr, VQ_ERR_SHORT_READ);
}

TEST_F(QuantizerRecordTest, TextureQuantizerWritesTheFirstComponents) {
    // [-1, 1] 16 bits, [0, 2] 12 bits, [0, 1] 10 bits, [0, 1] 8 bits.
    const Bytes lsb = {0x00, 0x00, 0x80, 0xBF, 0x00, 0x00, 0x80, 0x3F, 0x10, 0x00, 0x00, 0x00,
                       0x00, 0x00, 0x00, 0x00, 0x40, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                       0x80, 0x3F, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x3F, 0x08};
    const Bytes msb = {0xBF, 0x80, 0x00, 0x00, 0x3F, 0x80, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00,
                       0x00, 0x40, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x3F, 0x80,
                       0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x3F, 0x80, 0x00, 0x00, 0x08};
    VqTextureQuantizer tq;
    ASSERT_TRUE(tq.setRange(-1.0f, 1.0f, 0.0f, 2.0f, 0.0f, 1.0f, 0.0f, 1.0f));
    ASSERT_TRUE(tq.setPrec(16, 12, 10, 8));
    using T = VqTextureQuantizer;
    bool (T::*writers[])(VqBaseDataStream&)
        const = {&T::serialize1, &T::serialize2, &T::serialize3, &T::serialize4};
    bool (T::*readers[])(VqBaseDataStream&) = {&T::deserialize1, &T::deserialize2, &T::deserialize3,
                                               &T::deserialize4};
    for (int k = 1; k <= 4; ++k) {
        SCOPED_TRACE(k);
        const Golden g{Bytes(lsb.begin(), lsb.begin() + 9 * k), Bytes(msb.begin(), msb.begin() + 9 * k)};
        EXPECT_EQ(written(tq, writers[k - 1]), g.host());
        readBoth(g, readers[k - 1], [k](const T& r) {
            // Components not read keep the defaults: 24 bits over [0, 1].
            const int expected[4] = {16, 12, 10, 8};
            int p[4];
            r.getPrec(p[0], p[1], p[2], p[3]);
            for (int i = 0; i < 4; ++i)
                EXPECT_EQ(p[i], i < k ? expected[i] : 24);
            uint32_t code;
            ASSERT_TRUE(r.convertFloatToCode(-1.0f, code));
            EXPECT_EQ(code, 0u);
        });
    }
    // Plain serialize and deserialize are the two-component forms.
    EXPECT_EQ(written(tq, &T::serialize), written(tq, &T::serialize2));
    readBoth(Golden{Bytes(lsb.begin(), lsb.begin() + 18), Bytes(msb.begin(), msb.begin() + 18)},
             &T::deserialize, [](const T& r) {
                 int p[4];
                 r.getPrec(p[0], p[1], p[2], p[3]);
                 EXPECT_EQ(p[1] * 100 + p[2], 1224);
             });
    expectRefused(Bytes(lsb.begin(), lsb.begin() + 30), &T::deserialize4, nullptr, VQ_ERR_SHORT_READ);
}

} // namespace
