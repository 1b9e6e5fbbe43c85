// Packets derived by hand from the packet layout, in both byte orders. The
// writer must produce the little-endian image (the host's order) and the
// reader must read both.
#include "CodecTestUtil.h"

namespace {

class CodecGoldenTest : public VqLibTest {
protected:
    template <class T>
    void checkGolden(VqVec<T> values, VqCodecDriver2::VqCodecType codec, const Bytes& lsb, const Bytes& msb) {
        ASSERT_EQ(VqBaseDataStream::s_systemByteOrder(), LsbFirst);
        EXPECT_EQ(writePacket(values, codec), lsb);
        for (auto [image, order] : {std::pair{lsb, LsbFirst}, std::pair{msb, MsbFirst}}) {
            VqVec<T> back = {123}; // replaced, not appended to
            ASSERT_TRUE(readPacket(image, back, order)) << lastError();
            EXPECT_EQ(back, values);
        }
    }
};

TEST_F(CodecGoldenTest, EmptyPacketIsTheCountAlone) {
    // int32 N = 0, and nothing follows.
    const Bytes image = {0x00, 0x00, 0x00, 0x00};
    checkGolden(VqVec<int>{}, VqCodecDriver2::CodecAuto, image, image);
    checkGolden(VqVec<unsigned int>{}, VqCodecDriver2::CodecAuto, image, image);
}

TEST_F(CodecGoldenTest, AllEqualValuesUseFixedWidthZero) {
    // Five 7s. N = 5; codec 1 (bit-length); code text, mode 0 (fixed):
    //   0 | wmin = 1 + bits(7) = 4: 000100 | wmax: 000100 | min 7 in 4 bits: 0111 | max: 0111
    //   and w = bits(7 - 7) = 0, so no value bits: B = 1 + 6 + 6 + 4 + 4 = 21
    //   0000 1000 0010 0011 1011 1|000 0000 0000 = 0x0823B800
    const Bytes lsb = {0x05, 0x00, 0x00, 0x00, 0x01, 0x15, 0x00, 0x00, 0x00, 0x00, 0xB8, 0x23, 0x08};
    const Bytes msb = {0x00, 0x00, 0x00, 0x05, 0x01, 0x00, 0x00, 0x00, 0x15, 0x08, 0x23, 0xB8, 0x00};
    checkGolden(VqVec<int>{7, 7, 7, 7, 7}, VqCodecDriver2::CodecAuto, lsb, msb);
}

TEST_F(CodecGoldenTest, VariableWidthBitLengthPacket) {
    // 0 1 -1 0 100000 -100000 2 0, bit-length codec. Mean 2/8 -> 0. Widths
    // 1 + bits(|v|): 1 2 2 1 18 18 3 1; smoothed (never lowered) to runs
    // (2 x4) (18 x2) (3 x2). Variable mode costs 125 bits, fixed mode
    // 13 + 18 + 18 + 8 * 18 = 193.
    //   1 | mean: 32 zeros | dw = 4: 100 | rw = 4: 100
    //   +2: 0010 | run 4: 0100 | 00 01 11 00
    //   +16 as +7 +7 +2: 0111 0111 0010 | run 2: 0010
    //     100000 in 18 bits: 011000011010100000 | -100000: 100111100101100000
    //   -15 as -8 -7: 1000 1001 | run 2: 0010 | 2: 010 | 0: 000
    //   B = 125: 0x80000000 0x484838EE 0x44C3504F 0x2C112480
    const Bytes lsb = {0x08, 0x00, 0x00, 0x00, 0x01, 0x7D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                       0x80, 0xEE, 0x38, 0x48, 0x48, 0x4F, 0x50, 0xC3, 0x44, 0x80, 0x24, 0x11, 0x2C};
    const Bytes msb = {0x00, 0x00, 0x00, 0x08, 0x01, 0x00, 0x00, 0x00, 0x7D, 0x80, 0x00, 0x00,
                       0x00, 0x48, 0x48, 0x38, 0xEE, 0x44, 0xC3, 0x50, 0x4F, 0x2C, 0x11, 0x24, 0x80};
    checkGolden(VqVec<int>{0, 1, -1, 0, 100000, -100000, 2, 0}, VqCodecDriver2::CodecBitLength, lsb, msb);
}

TEST_F(CodecGoldenTest, ArithmeticPacketWithItsContext) {
    // 5 5 9 5 with the arithmetic codec. Context from the histogram, by
    // descending count: (5, count 3, cum 0), (9, count 1, cum 3), total 4.
    // Coder (low, high):
    //   5: r = 65536, high = 3 * 65536 / 4 - 1 = 0xBFFF, low = 0
    //   5: r = 0xC000, high = 0x8FFF
    //   9: r = 0x9000, high = 0x8FFF, low = 3 * 0x9000 / 4 = 0x6C00; straddle
    //      twice (pending 2): low 0x5800 high 0x9FFF, then low 0x3000 high 0xBFFF
    //   5: r = 0x9000, high = 0x3000 + 0x6C00 - 1 = 0x9BFF, low = 0x3000
    //   flush: bit 14 of low = 0, pending + 1 = 3 ones, 16 zeros
    //   B = 20: 0111 0000 ... = 0x70000000
    // Context bit fields: E = 2 (16 bits); bs = 1 (symbols + 2 are 1); bc =
    // bits(3) = 2; bv = bits(9 - 5) = 3; mv = 5 (32 bits); entries (1, 11,
    // 000) and (1, 01, 100); two bits of padding:
    //   00 02 04 20 C0 00 00 01 78 B0
    // Then the out-of-band packet: N = 0.
    const Bytes lsb = {0x04, 0x00, 0x00, 0x00, 0x03, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x70,
                       0x00, 0x02, 0x04, 0x20, 0xC0, 0x00, 0x00, 0x01, 0x78, 0xB0, 0x00, 0x00, 0x00, 0x00};
    const Bytes msb = {0x00, 0x00, 0x00, 0x04, 0x03, 0x00, 0x00, 0x00, 0x14, 0x70, 0x00, 0x00, 0x00,
                       0x00, 0x02, 0x04, 0x20, 0xC0, 0x00, 0x00, 0x01, 0x78, 0xB0, 0x00, 0x00, 0x00, 0x00};
    checkGolden(VqVec<int>{5, 5, 9, 5}, VqCodecDriver2::CodecArithmetic, lsb, msb);
    checkGolden(VqVec<unsigned int>{5, 5, 9, 5}, VqCodecDriver2::CodecArithmetic, lsb, msb);
}

TEST_F(CodecGoldenTest, ArithmeticPacketWithEscapeAndOutOfBandPacket) {
    // 7 7 7 5000: span 4993 > 1024, so the table holds the repeated value
    // and an escape: (7, count 3, cum 0), (escape, count 1, cum 3).
    //   7 7: as above, high 0xBFFF then 0x8FFF
    //   7: high = 0x6BFF: the top bit 0 is final; low 0 high 0xD7FF
    //   escape: low = 3 * 0xD800 / 4 = 0xA200, high 0xD7FF: bit 1 is final;
    //      low 0x4400 high 0xAFFF straddle (pending 1): low 0x0800 high 0xDFFF
    //   flush: 0, then two 1s, then 16 zeros; B = 21: 01011 0... = 0x58000000
    // Context: E = 2, bs = 1, bc = 2, bv = 0 (the escape carries the value 7
    // too, so values have no field), mv = 7; entries (1, 11) and (0, 01):
    //   00 02 04 20 00 00 00 01 F9
    // The out-of-band values, 5000, as a nested packet: N = 1, bit-length,
    // fixed: 0 | 001110 | 001110 | 5000 in 14 bits twice, B = 41:
    //   0 001110 001110 01001110001000 01001110001000 = 0x1C727109 0xC4000000
    const Bytes lsb = {0x04, 0x00, 0x00, 0x00, 0x03, 0x15, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x58,
                       0x00, 0x02, 0x04, 0x20, 0x00, 0x00, 0x00, 0x01, 0xF9,
                       0x01, 0x00, 0x00, 0x00, 0x01, 0x29, 0x00, 0x00, 0x00, 0x09, 0x71, 0x72, 0x1C,
                       0x00, 0x00, 0x00, 0xC4};
    const Bytes msb = {0x00, 0x00, 0x00, 0x04, 0x03, 0x00, 0x00, 0x00, 0x15, 0x58, 0x00, 0x00, 0x00,
                       0x00, 0x02, 0x04, 0x20, 0x00, 0x00, 0x00, 0x01, 0xF9,
                       0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x29, 0x1C, 0x72, 0x71, 0x09,
                       0xC4, 0x00, 0x00, 0x00};
    checkGolden(VqVec<int>{7, 7, 7, 5000}, VqCodecDriver2::CodecArithmetic, lsb, msb);
}

} // namespace
