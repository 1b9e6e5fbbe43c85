// The coded vertex arrays of the VQ 10 records against bytes worked out by
// hand: the array layouts with the version-3 driver's packets inside, and the
// bounds on counts read from a file.
//
// Every packet below is a bit-length packet in fixed mode (int32 count, u8
// codec 1, int32 bit count B, ceil(B / 32) words): for so few values it is
// the cheapest by far, and fixed mode is chosen because no variable-mode
// code fits in (significant bits of max - min) x N bits. Its code text is
// 0 | min | max | each v - min in w = significant bits of (max - min) bits,
// min and max as nibble numbers: 4-bit groups, least significant first,
// each followed by 1 when another group follows, as few as sign extension
// from the groups' bits allows.
#include "PoolCodedTestUtil.h"
#include "VqLookup2.h"

namespace {

class Coded10Test : public CodedArrayTest {
protected:
    // The check value after an array: lookup2 chained over its values
    // before residual packing.
    static uint32_t chainValues(std::initializer_list<uint32_t> values, uint32_t h) {
        const std::vector<uint32_t> v(values);
        return vqLookup2Words(v.data(), uint32_t(v.size()), h);
    }
    static void appendU32(Bytes& b, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            b.push_back(uint8_t(v >> (8 * i)));
    }
    // A bit-length packet (little-endian, the library's platform order).
    static void appendPacket(Bytes& b, uint32_t n, uint32_t nBits, std::initializer_list<uint32_t> words) {
        appendU32(b, n);
        b.push_back(1);
        appendU32(b, nBits);
        for (uint32_t w : words)
            appendU32(b, w);
    }
    static Bytes written(const std::function<bool(VqObjectStream&)>& fn) {
        VqTestObjectStream os = VqTestObjectStream::forWriting(10, 0);
        EXPECT_TRUE(fn(*os)) << lastError();
        return os.bytes();
    }
    static bool readBack(const Bytes& image, const std::function<bool(VqObjectStream&)>& fn) {
        VqTestObjectStream os = VqTestObjectStream::forReading(image, 10, 0);
        return fn(*os);
    }
};

// One record (1, 2, 3) at 0 bits: count 1, 3 components, the point quantizer
// (x, y, z as f32 minimum, f32 maximum, u8 bits), then per component a packet
// of the raw pattern and the check value. A first value is never predicted.
// 0x3F800000 needs all eight groups (seven would sign-extend 0xF800000):
//   0 | 0000 1 0000 1 0000 1 0000 1 0000 1 1000 1 1111 1 0011 0 | the same
//   B = 81: 0x04210863 0xF3042108 0x63F30000
// 2.0 = 0x40000000: groups 0 0 0 0 0 0 0 4:  0x04210842 0x14042108 0x42140000
// 3.0 = 0x40400000: groups 0 0 0 0 0 4 0 4:  0x04210852 0x14042108 0x52140000
TEST_F(Coded10Test, RawCoordinateArrayMatchesItsLayout) {
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3);
    Records r;
    r.coords = {1, 2, 3};
    ASSERT_TRUE(r.addTo(pool, 1));
    const uint32_t idx = 0;
    uint32_t h = 0;
    const Bytes got = written([&](VqObjectStream& os) {
        Vq::CodecDriver3T<int> cd;
        return pool._writeQuantizedVertexArray(os, cd, &idx, 1, VqBox3<float>(), 0, h);
    });

    const Bytes record = {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x80, 0x3F, 0x00,  // x: [1, 1], 0 bits
                          0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x40, 0x00,  // y: [2, 2]
                          0x00, 0x00, 0x40, 0x40, 0x00, 0x00, 0x40, 0x40, 0x00}; // z: [3, 3]
    Bytes want = {0x01, 0x00, 0x00, 0x00, 0x03};
    want.insert(want.end(), record.begin(), record.end());
    const uint32_t header[3] = {1, 3, 0};
    uint32_t chain = vqLookup2(record.data(), uint32_t(record.size()), vqLookup2Words(header, 3, 0));
    appendPacket(want, 1, 81, {0x04210863, 0xF3042108, 0x63F30000});
    appendU32(want, chain = chainValues({0x3F800000}, chain));
    appendPacket(want, 1, 81, {0x04210842, 0x14042108, 0x42140000});
    appendU32(want, chain = chainValues({0x40000000}, chain));
    appendPacket(want, 1, 81, {0x04210852, 0x14042108, 0x52140000});
    appendU32(want, chain = chainValues({0x40400000}, chain));
    EXPECT_EQ(got, want);
    EXPECT_EQ(h, chain);

    VqVertexRecordPool back;
    blankLike(pool, back);
    uint32_t hBack = 0;
    ASSERT_TRUE(readBack(want, [&](VqObjectStream& os) {
        Vq::CodecDriver3T<int> cd;
        WriteLock lock(back);
        return back._readQuantizedVertexArray(os, cd, &idx, 1, hBack);
    })) << lastError();
    EXPECT_EQ(hBack, chain);
    EXPECT_EQ(std::vector<float>(back.fields()->vtxCoords(), back.fields()->vtxCoords() + 3),
              (std::vector<float>{1, 2, 3}));
}

// Five records at 2 bits over the box of the points, x in [0, 3], y = 3,
// z in [0, 3]: the codes are x 0 1 2 3 1, y all 0 (an empty range), z
// 0 3 0 3 0. Residuals subtract the previous value from the fifth on:
// x 0 1 2 3 -2, z 0 3 0 3 -3.
//   x: 0 | min -2: 1110 0 | max 3: 0011 0 | w 3: 010 011 100 101 000
//      B = 26: 0x70C9CA00
//   y: 0 | 0000 0 | 0000 0, w 0             B = 11: 0x00000000
//   z: 0 | min -3: 1101 0 | max 3: 0011 0 | 011 110 011 110 000
//      B = 26: 0x68CF3C00
TEST_F(Coded10Test, QuantisedCoordinateArrayMatchesItsLayout) {
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3);
    Records r;
    r.coords = {0, 3, 0, 1, 3, 3, 2, 3, 0, 3, 3, 3, 1, 3, 0};
    ASSERT_TRUE(r.addTo(pool, 5));
    const std::vector<uint32_t> idx = {0, 1, 2, 3, 4};
    uint32_t h = 0;
    const Bytes got = written([&](VqObjectStream& os) {
        Vq::CodecDriver3T<int> cd;
        return pool._writeQuantizedVertexArray(os, cd, idx.data(), 5, VqBox3<float>(), 2, h);
    });

    const Bytes record = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x40, 0x02,  // x: [0, 3], 2 bits
                          0x00, 0x00, 0x40, 0x40, 0x00, 0x00, 0x40, 0x40, 0x02,  // y: [3, 3]
                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x40, 0x02}; // z: [0, 3]
    Bytes want = {0x05, 0x00, 0x00, 0x00, 0x03};
    want.insert(want.end(), record.begin(), record.end());
    const uint32_t header[3] = {5, 3, 2};
    uint32_t chain = vqLookup2(record.data(), uint32_t(record.size()), vqLookup2Words(header, 3, 0));
    appendPacket(want, 5, 26, {0x70C9CA00});
    appendU32(want, chain = chainValues({0, 1, 2, 3, 1}, chain));
    appendPacket(want, 5, 11, {0x00000000});
    appendU32(want, chain = chainValues({0, 0, 0, 0, 0}, chain));
    appendPacket(want, 5, 26, {0x68CF3C00});
    appendU32(want, chain = chainValues({0, 3, 0, 3, 0}, chain));
    EXPECT_EQ(got, want);
    EXPECT_EQ(h, chain);

    VqVertexRecordPool back;
    blankLike(pool, back);
    ASSERT_TRUE(readBack(want, [&](VqObjectStream& os) {
        Vq::CodecDriver3T<int> cd;
        uint32_t hBack = 0;
        WriteLock lock(back);
        return back._readQuantizedVertexArray(os, cd, idx.data(), 5, hBack);
    })) << lastError();
    // Every coordinate lies on the 2-bit grid of its range.
    for (uint32_t i = 0; i < 15; ++i)
        EXPECT_EQ(back.fields()->vtxCoords()[i], r.coords[i]) << i;
}

// Vertex flags 1 0: count 2, then the packet of the flags and its check
// value (the chain starts with the count):
//   0 | min 0: 0000 0 | max 1: 0001 0 | 1 0     B = 13: 0x00500000
// An auxiliary section with one u16 field (type 9, one component, 0 bits,
// one step) over the same records, values 5 7: u32 field count, the GUID,
// u8 type, u8 components, u8 bits, u32 steps, the values' packet and check
// value, then the section's check value. The chain takes the count, then the
// header as eight words (Data1, Data2 | Data3 << 16, Data4 as two
// little-endian words, type, components, bits, steps), then the values:
//   0 | min 5: 0101 0 | max 7: 0111 0 | 00 10    B = 15: 0x29C40000
TEST_F(Coded10Test, FlagAndAuxiliaryArraysMatchTheirLayout) {
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_VTXFLAG_MASK);
    Records r;
    r.coords.assign(6, 0.0f);
    r.flags = {1, 0};
    ASSERT_TRUE(r.addTo(pool, 2));
    const VqGUID guid(0x04030201, 0x0605, 0x0807, 9, 10, 11, 12, 13, 14, 15, 16);
    Vq::SharedPtr<Vq::AuxVertexField> fld;
    ASSERT_TRUE(Vq::AuxVertexField::s_create(VQ_AUXTYPE_U16_V1, guid, 1, 2, fld));
    const uint16_t values[2] = {5, 7};
    std::memcpy(fld->stepData(0), values, 4);
    {
        WriteLock lock(pool);
        ASSERT_TRUE(pool.bindAuxField(fld.get()));
    }
    const uint32_t idx[2] = {0, 1};

    uint32_t h = 0;
    Bytes want = {0x02, 0x00, 0x00, 0x00};
    appendPacket(want, 2, 13, {0x00500000});
    const uint32_t count = 2;
    uint32_t chain = chainValues({1, 0}, vqLookup2Words(&count, 1, 0));
    appendU32(want, chain);
    EXPECT_EQ(written([&](VqObjectStream& os) {
                  Vq::CodecDriver3T<int> cd;
                  return pool._writeVtxFlagArray(os, cd, idx, 2, h);
              }),
              want);
    EXPECT_EQ(h, chain);

    want = {0x01, 0x00, 0x00, 0x00,                         // one field
            0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, // GUID
            0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, //
            0x09, 0x01, 0x00,                               // type 9, 1 component, 0 bits
            0x01, 0x00, 0x00, 0x00};                        // 1 step
    appendPacket(want, 2, 15, {0x29C40000});
    const uint32_t nFields = 1;
    const uint32_t fieldHeader[8] = {0x04030201, 0x08070605, 0x0C0B0A09, 0x100F0E0D, 9, 1, 0, 1};
    chain = vqLookup2Words(fieldHeader, 8, vqLookup2Words(&nFields, 1, 0));
    chain = chainValues({5, 7}, chain);
    appendU32(want, chain);
    appendU32(want, chain);
    h = 0;
    EXPECT_EQ(written([&](VqObjectStream& os) {
                  Vq::CodecDriver3T<int> cd;
                  return pool._writeAuxiliaryFields(os, cd, idx, 2, h);
              }),
              want);
    EXPECT_EQ(h, chain);

    VqVertexRecordPool back;
    blankLike(pool, back);
    ASSERT_TRUE(readBack(want, [&](VqObjectStream& os) {
        Vq::CodecDriver3T<int> cd;
        uint32_t hBack = 0;
        WriteLock lock(back);
        return back._readAuxiliaryFields(os, cd, idx, 2, hBack);
    })) << lastError();
    const Vq::AuxVertexField* got = back.auxField(guid);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->type(), VQ_AUXTYPE_U16_V1);
    EXPECT_EQ(std::memcmp(got->stepData(0), values, 4), 0);
}

// Field and step counts are held to the bytes the element still holds
// before anything is allocated for them: a step allocates a record for every
// record of the pool, however few the coder lists.
TEST_F(Coded10Test, AuxiliaryCountsAreBoundedByTheStream) {
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3);
    {
        WriteLock lock(pool);
        ASSERT_TRUE(pool.allocate(100000));
    }
    const uint32_t idx = 0;
    auto readSection = [&](const Bytes& content) {
        const Bytes image = writeWith(Kind::Plain, 10, 0, [&](VqObjectStream& os) {
            return os.write(content.data(), int(content.size()));
        });
        return readWith(Kind::Plain, 10, 0, image, [&](VqObjectStream& os) {
            Vq::CodecDriver3T<int> cd;
            uint32_t h = 0;
            WriteLock lock(pool);
            return pool._readAuxiliaryFields(os, cd, &idx, 1, h);
        });
    };
    Bytes fields = {0x00, 0x00, 0x00, 0x10}; // 2^28 fields
    fields.resize(64, 0);
    EXPECT_FALSE(readSection(fields));
    EXPECT_EQ(lastError(), "nFields * 23 <= nBytesLeft");

    Bytes steps = {0x01, 0x00, 0x00, 0x00};
    steps.resize(4 + 16, 0x11);                          // GUID
    steps.insert(steps.end(), {40, 16, 0});              // f32 4x4 matrices, 64 bytes a record
    steps.insert(steps.end(), {0x00, 0x00, 0x01, 0x00}); // 65536 steps
    steps.resize(steps.size() + 64, 0);
    EXPECT_FALSE(readSection(steps));
    EXPECT_EQ(lastError(), "nSteps * nComps * 8 <= nBytesLeft");
    EXPECT_EQ(pool.numAuxFields(), 0u);
}

} // namespace
