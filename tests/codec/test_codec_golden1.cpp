// Version-1 packets derived by hand from the packet layout, in both byte
// orders: integers and code-text words swap, the model's bit fields do not.
#include "CodecStreams.h"
#include "PacketImage.h"
#include "VqCodecDriver.h"
#include "VqHuffmanCodec.h"
#include "VqLibFixture.h"

#include <climits>

namespace {

using Bytes = std::vector<uint8_t>;
using Driver1 = VqCodecDriverBase;

template <class T>
bool read1(const Bytes& image, VqVec<T>& values, VqByteOrder order) {
    VqCodecDriver<T> driver(values);
    return CodecStream::read(
        StreamKind::Plain, image,
        [&](VqObjectStream& os) {
            if (!driver.deserialize(os, VqCodecDriverBase::PredNull, INT_MAX)) return false;
            EXPECT_EQ(os._readLimit(), 0u) << "packet did not use every byte";
            return true;
        },
        order);
}

template <class T>
Bytes write1(VqVec<T> values, Driver1::VqCodecType codec) {
    VqCodecDriver<T> driver(values);
    return CodecStream::write(StreamKind::Plain,
                              [&](VqObjectStream& os) { return driver.serialize(os, codec); });
}

class CodecGolden1Test : public VqLibTest {
protected:
    template <class T>
    void checkRead(const PacketImage& img, const VqVec<T>& expected) {
        for (auto [image, order] : {std::pair{img.lsb(), LsbFirst}, std::pair{img.msb(), MsbFirst}}) {
            VqVec<T> back = {123};
            ASSERT_TRUE(read1(image, back, order)) << lastError();
            EXPECT_EQ(back, expected);
        }
    }
};

TEST_F(CodecGolden1Test, NullAndBitLengthPacketsAsWritten) {
    // Null codec: the code text vector alone, one word a value.
    const PacketImage null = PacketImage().u8(0).i32(2).i32(1).i32(-2);
    EXPECT_EQ(write1(VqVeci{1, -2}, Driver1::CodecNull), null.lsb());
    checkRead(null, VqVeci{1, -2});

    // Bit-length: 0 1 -1 5 0, which no model would beat, so also the
    // automatic choice. Widths (even, with one value of look-ahead):
    //   0: keep width 0, no bits                         0
    //   1: up 2 to width 2 (1, run 1, end 0), value 01   110 01
    //   -1: keep 2 (widening to 4 for the 5 after it costs more), 11   0 11
    //   5: up 2 to 4, value 0101                          110 0101
    //   0: down 4 to 0 (1, run 00, end 1), no bits        1001
    //   B = 20: 0x65E59000; then N = 5 and the vector of one word.
    const PacketImage bitLength = PacketImage().u8(1).i32(20).i32(5).i32(1).words({0x65E59000});
    EXPECT_EQ(write1(VqVeci{0, 1, -1, 5, 0}, Driver1::CodecBitLength), bitLength.lsb());
    EXPECT_EQ(write1(VqVeci{0, 1, -1, 5, 0}, Driver1::CodecNone), bitLength.lsb());
    checkRead(bitLength, VqVeci{0, 1, -1, 5, 0});

    // A double is its bits as two values, the low half first: 1.0 is
    // 0x3FF0000000000000.
    const PacketImage one = PacketImage().u8(0).i32(2).i32(0).i32(0x3FF00000);
    EXPECT_EQ(write1(VqVec<double>{1.0}, Driver1::CodecNull), one.lsb());
    checkRead(one, VqVec<double>{1.0});
}

TEST_F(CodecGolden1Test, HuffmanCodesFollowTheHeapsTieRules) {
    // One context, entries in table order e0 (10, count 2), e1 (20, 1),
    // e2 (30, 1), e3 (40, 2). Pushed in that order the heap is
    // [e1 e0 e2 e3] (e2 does not rise over an equal e1, e3 not over e0).
    //   pop e1; e3 goes to the root and sinks to the right child e2 (1 is
    //     strictly less than e0's 2): [e2 e0 e3]
    //   pop e2; e3 sinks below e0 although they are equal: [e0 e3]
    //   push n4 = (2, e1, e2): [e0 e3 n4]
    //   pop e0; n4 sinks below the equal e3: [e3 n4]; pop e3
    //   push n5 = (4, e0, e3); pop n4, pop n5; root (6, n4, n5).
    // Left is 1, right 0: e1 = 11, e2 = 10, e0 = 01, e3 = 00.
    // Values 10 20 30 40 10: 01 11 10 00 01, B = 10: 0x78400000.
    // Model: one context; 32-bit E = 4; widths: symbol 3 (symbols 0-3 are
    // stored + 2), count 2, value 5 (40 - 10), next 0; minimum 10; entries
    // (010 10 00000) (011 01 01010) (100 01 10100) (101 10 11110).
    const PacketImage img = PacketImage()
                                .u8(2)
                                .u8(1)
                                .bytes({0x00, 0x00, 0x00, 0x04, 0x0C, 0x21, 0x40, 0x00, 0x00, 0x00, 0x0A,
                                        0x50, 0x1A, 0xA8, 0xD2, 0xDE})
                                .i32({0, 10, 5, 1}) // no out-of-band values; B, N, one word
                                .words({0x78400000});
    checkRead(img, VqVeci{10, 20, 30, 40, 10});
}

TEST_F(CodecGolden1Test, HigherContextsEscapeBackToContextZero) {
    // Context 0: e0 (symbol 0, 7, count 1, next 1), e1 (symbol 1, 8, count
    // 1, next 0). Context 1, after a 7: f0 (symbol 1, that is 8, count 1,
    // next 0), f1 (escape, count 1, next 0). Two-leaf trees: first entry 1,
    // second 0.
    // 7 8 7 7 8: e0 (1) -> context 1; f0 (1) -> 0; e0 (1) -> 1; 7 is not in
    // context 1: f1 (0) -> 0, e0 (1) -> 1; f0 (1). Six symbols for five
    // values: 111011, B = 6: 0xEC000000.
    // Model: two contexts. Context 0: E = 2, widths 2, 1, 1, 1, minimum 7,
    // entries (10 1 0 1) (11 1 1 0). Context 1: E = 2, widths 2, 1, 0,
    // entries (11 1) (00 1).
    const PacketImage img = PacketImage()
                                .u8(2)
                                .u8(2)
                                .bytes({0x00, 0x00, 0x00, 0x02, 0x08, 0x10, 0x41, 0x00, 0x00, 0x00,
                                        0x07, 0xAF, 0x80, 0x00, 0x00, 0x00, 0x82, 0x04, 0x0E, 0x40})
                                .i32({0, 6, 5, 6, 1}) // B, N and, as there are two contexts, the symbol count
                                .words({0xEC000000});
    checkRead(img, VqVeci{7, 8, 7, 7, 8});
}

TEST_F(CodecGolden1Test, ContextZeroEscapesTakeTheOutOfBandPacket) {
    // e0 (3, count 1) and an escape (count 1): codes 1 and 0. 3 1000 3:
    // 1 0 1, B = 3: 0xA0000000; 1000 travels in a nested null packet.
    // Model: E = 2, widths 2, 1, 0, 0, minimum 3, entries (10 1) (00 1).
    const PacketImage img =
        PacketImage()
            .u8(2)
            .u8(1)
            .bytes({0x00, 0x00, 0x00, 0x02, 0x08, 0x10, 0x00, 0x00, 0x00, 0x00, 0x03, 0xA4})
            .i32(1)
            .image(PacketImage().u8(0).i32(1).i32(1000))
            .i32({3, 3, 1})
            .words({0xA0000000});
    checkRead(img, VqVeci{3, 1000, 3});
}

TEST_F(CodecGolden1Test, ArithmeticCodeTextsAreWholeWords) {
    // e0 (5, count 3), e1 (9, count 1); 5 5 9 5 codes as 0111 and 16 zeros
    // (as in every generation), padded to a word: B = 32.
    // Model: E = 2, widths 2, 2, 3, 0, minimum 5, entries (10 11 000) (11 01 100).
    const auto packet = [](int bits) {
        return PacketImage()
            .u8(3)
            .u8(1)
            .bytes({0x00, 0x00, 0x00, 0x02, 0x08, 0x20, 0xC0, 0x00, 0x00, 0x00, 0x05, 0xB1, 0xB0})
            .i32({0, bits, 4, 1})
            .words({0x70000000});
    };
    checkRead(packet(32), VqVeci{5, 5, 9, 5});
    // The same code text counted to its last bit leaves a partial word.
    VqVeci out;
    EXPECT_FALSE(read1(packet(20).lsb(), out, LsbFirst));
    EXPECT_EQ(lastError(), "nBits == 32");
}

} // namespace
