// Version-3 packets derived by hand from the packet layout, in both byte
// orders. The writer must produce the little-endian image (the host's order)
// and the reader must read both.
#include "Codec3TestUtil.h"

#include <climits>

namespace {

class CodecGolden3Test : public VqLibTest {
protected:
    template <class T>
    void checkGolden(const VqVec<T>& values, CodecDriver3Base::VqCodecType codec, const PacketImage& img,
                     StreamKind kind = StreamKind::Plain) {
        ASSERT_EQ(VqBaseDataStream::s_systemByteOrder(), LsbFirst);
        const Bytes written = write3(values, codec, kind);
        ASSERT_FALSE(written.empty()) << lastError();
        EXPECT_EQ(CodecStream::content(kind, written), img.lsb());
        for (auto [image, order] : {std::pair{img.lsb(), LsbFirst}, std::pair{img.msb(), MsbFirst}}) {
            VqVec<T> back = {123}; // replaced, not appended to
            ASSERT_TRUE(read3(CodecStream::segment(kind, image, order), back, kind, order)) << lastError();
            EXPECT_EQ(back, values);
        }
    }
};

TEST_F(CodecGolden3Test, FixedWidthBitLengthWithNibbleNumbers) {
    // 7 8: w = significant bits of 8 - 7 = 1. The fixed mode is estimated at
    // 1 * (2 + 2) + 15 = 19 bits, the variable mode (widths 1 and 2, merged
    // into one run of 2) at 20 rounded up to 32; 19 > w N = 2: fixed.
    //   0 | min 7: one group 0111, end 0 | max 8 needs a sign bit: 1000, more 1, 0000, end 0
    //   | 7 - 7 in one bit: 0 | 8 - 7: 1           B = 18: 0x3A204000
    checkGolden(VqVec<int>{7, 8}, CodecDriver3Base::CodecBitLength, packet3(2, 1, 18, {0x3A204000}));
    // -9 -8 in a long packet: -9 takes two groups (0111, then 1111), -8 one
    // (1000); both sign-extend from their groups' bits to 64.
    //   0 | 0111 1 1111 0 | 1000 0 | 0 | 1        B = 18: 0x3FD04000
    checkGolden(VqVec<long>{-9, -8}, CodecDriver3Base::CodecBitLength, packet3(2, 1, 18, {0x3FD04000}));
    // 5 5 5: w = 0, and no value follows the bounds.
    //   0 | 0101 0 | 0101 0                         B = 11: 0x29400000
    checkGolden(VqVec<int>{5, 5, 5}, CodecDriver3Base::CodecBitLength, packet3(3, 1, 11, {0x29400000}));
}

TEST_F(CodecGolden3Test, VariableWidthBitLength) {
    // 0 1 -1 0 100000 -100000 2 0. Mean 2 / 8 -> 0, also the minimum raised
    // to 0. Widths 1 + significant bits of v, or of ~v for negative v:
    // 1 2 1 1 18 18 3 1, smoothed (never lowered) into runs (2 x4) (18 x2)
    // (3 x2): 86 bits of groups, + 8 -> 96 against w N = 18 * 8 = 144, so
    // the variable mode.
    //   1 | centre 0: 0000 0
    //   +2: 0010 | run 4: 0100 | 00 01 11 00
    //   +16 as +7 +7 +2: 0111 0111 0010 | run 2: 0010
    //     100000 in 18 bits: 011000011010100000 | -100000: 100111100101100000
    //   -15 as -8 -7: 1000 1001 | run 2: 0010 | 2: 010 | 0: 000
    //   B = 92: 0x809071DC 0x8986A09E 0x58224900
    checkGolden(VqVec<int>{0, 1, -1, 0, 100000, -100000, 2, 0}, CodecDriver3Base::CodecBitLength,
                packet3(8, 1, 92, {0x809071DC, 0x8986A09E, 0x58224900}));
}

TEST_F(CodecGolden3Test, ArithmeticPacketWithoutEscape) {
    // 5 5 9 5: the histogram gives (5, count 3, cum 0), (9, count 1, cum 3),
    // total 4; the coder's bits are those of every generation:
    //   0111 then 16 zeros, B = 20: 0x70000000
    // Context: E = 2 (16 bits), bc = 2 (6), bv = bits(9 - 5) = 3 (7), mv = 5
    // (32 bits), entries (0, 11, 000) and (0, 01, 100), padding 7 bits:
    //   00 02 08 18 00 00 00 2B 06 00
    // No escape entry, so nothing follows.
    checkGolden(
        VqVec<int>{5, 5, 9, 5}, CodecDriver3Base::CodecArithmetic,
        packet3(4, 3, 20, {0x70000000}).bytes({0x00, 0x02, 0x08, 0x18, 0x00, 0x00, 0x00, 0x2B, 0x06, 0x00}));
    // A long context stores mv in 64 bits, the low half first:
    //   ... 0000000000000000000000000000101 then 32 zeros, then the entries.
    checkGolden(
        VqVec<long>{5, 5, 9, 5}, CodecDriver3Base::CodecArithmetic,
        packet3(4, 3, 20, {0x70000000})
            .bytes({0x00, 0x02, 0x08, 0x18, 0x00, 0x00, 0x00, 0x28, 0x00, 0x00, 0x00, 0x03, 0x06, 0x00}));
}

TEST_F(CodecGolden3Test, EscapedValuesNestInPlainStreamsAndStayRawInSegments) {
    // 7 7 7 5000: a span of 4993 with one repeated value: (7, count 3),
    // (escape, count 1). Coder: B = 21, 01011 then zeros: 0x58000000.
    // Context: E = 2, bc = 2, bv = 0 (the escape carries 7 too), mv = 7;
    // entries (0, 11) and (1, 01): 00 02 08 00 00 00 00 3B A0.
    const auto head = [] {
        return packet3(4, 3, 21, {0x58000000}).bytes({0x00, 0x02, 0x08, 0x00, 0x00, 0x00, 0x00, 0x3B, 0xA0});
    };
    // In a plain stream the out-of-band 5000 is a nested packet, never
    // arithmetic: bit-length, fixed, 5000 = 0x1388 needing 14 bits with the
    // sign, so four groups 1000 1000 0011 0001 (more, more, more, end):
    //   0 | 10001 10001 00111 00010 | the same again; B = 41
    checkGolden(VqVec<int>{7, 7, 7, 5000}, CodecDriver3Base::CodecArithmetic,
                head().image(packet3(1, 1, 41, {0x46271462, 0x71000000})));
    // In zlib and LZMA segment streams: an int32 count and the raw values,
    // 64-bit ones for a long packet, whose mv is 64 bits (low half first):
    //   00 02 08 00 00 00 00 38 00 00 00 03 A0
    for (StreamKind kind : {StreamKind::Zlib, StreamKind::Lzma}) {
        SCOPED_TRACE(kindName(kind));
        checkGolden(VqVec<int>{7, 7, 7, 5000}, CodecDriver3Base::CodecArithmetic, head().i32(1).i32(5000),
                    kind);
        checkGolden(VqVec<long>{7, 7, 7, 5000}, CodecDriver3Base::CodecArithmetic,
                    packet3(4, 3, 21, {0x58000000})
                        .bytes({0x00, 0x02, 0x08, 0x00, 0x00, 0x00, 0x00, 0x38, 0x00, 0x00, 0x00, 0x03, 0xA0})
                        .i32(1)
                        .i64(5000),
                    kind);
    }
}

TEST_F(CodecGolden3Test, ChopperPacket) {
    // 0 5 10 15: span bits s = 4. The estimates favour one chop bit
    // (321 bits, against 329 for two and 325 for three).
    //   k = 1, bias 0 (int32), s = 4
    // High parts (v - 0) >> 3 = 0 0 1 1, arithmetic over the level-1
    // histogram: (0, 2), (1, 2), total 4. Each symbol halves the range and
    // shifts out its bit: 0 0 1 1; flush: 0, one 1, 16 zeros; B = 22:
    // 0x34000000. Context: E = 2, bc = 2, bv = 1, mv = 0, entries (0, 10, 0)
    // and (0, 10, 1): 00 02 08 08 00 00 00 02 28.
    // Low parts 0 5 2 7, a fresh choice: bit-length (104 bits estimated;
    // arithmetic 178, the chopper 317, move-to-front 279), fixed mode:
    //   0 | min 0: 0000 0 | max 7: 0111 0 | 000 101 010 111; B = 23: 0x01C2AE00
    checkGolden(
        VqVec<int>{0, 5, 10, 15}, CodecDriver3Base::CodecChopper,
        PacketImage()
            .i32(4)
            .u8(4)
            .u8(1)
            .i32(0)
            .u8(4)
            .image(
                packet3(4, 3, 22, {0x34000000}).bytes({0x00, 0x02, 0x08, 0x08, 0x00, 0x00, 0x00, 0x02, 0x28}))
            .image(packet3(4, 1, 23, {0x01C2AE00})));
}

TEST_F(CodecGolden3Test, MoveToFrontPacket) {
    // 3 3 4 3: 3 is new (-1, literal), then at entry 0; 4 is new (-1), and 3
    // is then at entry 1. Literals 3 4, offsets -1 0 -1 1.
    // Literals, bit-length (the chopper needs two span bits, move-to-front
    // may not nest): fixed, 0 | 0011 0 | 0100 0 | 0 | 1; B = 13: 0x19080000
    // Offsets: fixed, min -1: 1111 0, max 1: 0001 0, then v + 1 in two
    // bits: 00 01 00 10; B = 19: 0x78424000
    const PacketImage img = PacketImage()
                                .i32(4)
                                .u8(5)
                                .image(packet3(2, 1, 13, {0x19080000}))
                                .image(packet3(4, 1, 19, {0x78424000}));
    checkGolden(VqVec<int>{3, 3, 4, 3}, CodecDriver3Base::CodecMoveToFront, img);
    // The nested packets of a long driver are long packets: the same bytes here.
    checkGolden(VqVec<long>{3, 3, 4, 3}, CodecDriver3Base::CodecMoveToFront, img);
}

} // namespace
