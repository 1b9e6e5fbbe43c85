// Format-8 and 6.4-7.x vertex data: records whose bytes were worked out by
// hand from the layouts (in both byte orders), round trips of strips and
// polygons lossless and quantized, and damaged records refused without
// leaving anything in the mesh.
#include "VqCompressedRepHelper.h"
#include "VqInterleavedPrimDataIter.h"
#include "VqInterleavedRepHelper.h"
#include "VqLibFixture.h"
#include "VqPackedPrimDataIter.h"
#include "VqPackedRepHelper.h"
#include "VqPointTopoMesh.h"
#include "VqPolygonTopoMesh.h"
#include "VqTestObjectStream.h"
#include "VqTriStripTopoMesh.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>

namespace {

using Bytes = std::vector<uint8_t>;

// A record image in both byte orders at once.
class Img {
public:
    Img& u8(int v) {
        _lsb.push_back(uint8_t(v));
        _msb.push_back(uint8_t(v));
        return *this;
    }
    Img& i16(int v) { return _int(uint16_t(v), 2); }
    Img& i32(int64_t v) { return _int(uint32_t(v), 4); }
    Img& f32(float f) { return _int(std::bit_cast<uint32_t>(f), 4); }
    Img& raw(const Bytes& b) {
        _lsb.insert(_lsb.end(), b.begin(), b.end());
        _msb.insert(_msb.end(), b.begin(), b.end());
        return *this;
    }
    // A version-1 packet of the null codec: the values as a uint32 vector.
    Img& nullPacket(std::initializer_list<int> values) {
        u8(0).i32(int(values.size()));
        for (int v : values)
            i32(v);
        return *this;
    }
    const Bytes& bytes(VqByteOrder o) const { return o == LsbFirst ? _lsb : _msb; }

private:
    Img& _int(uint32_t v, int n) {
        for (int i = 0; i < n; ++i) {
            _lsb.push_back(uint8_t(v >> (8 * i)));
            _msb.push_back(uint8_t(v >> (8 * (n - 1 - i))));
        }
        return *this;
    }
    Bytes _lsb, _msb;
};

constexpr VqByteOrder kOrders[] = {LsbFirst, MsbFirst};

// The helper's record read from image into mesh; the whole image must be used.
bool readRecord(const Bytes& image, VqByteOrder order, VqTopoMesh* mesh,
                const std::function<bool(VqObjectStream&, VqTopoMesh*)>& fn) {
    VqTestObjectStream s = VqTestObjectStream::forReading(image, 8, 1, order);
    if (!fn(*s, mesh)) return false;
    EXPECT_EQ(s->_readLimit(), 0u) << "record did not use every byte";
    return true;
}

bool readV8(const Bytes& image, VqByteOrder order, VqTopoMesh* mesh) {
    return readRecord(image, order, mesh, [](VqObjectStream& os, VqTopoMesh* m) {
        VqCompressedRepHelper* h = VqCompressedRepHelper::s_acquireCompressedRepHelper();
        const bool ok = h && h->readV8Format(os, m);
        VqCompressedRepHelper::s_releaseCompressedRepHelper(h);
        return ok;
    });
}

Bytes writeV8(const VqTopoMesh& mesh, int vtx, int norm, int tex, int col, int colFloats = 3) {
    VqTestObjectStream s = VqTestObjectStream::forWriting(8, 1);
    VqCompressedRepHelper* h = VqCompressedRepHelper::s_acquireCompressedRepHelper();
    EXPECT_TRUE(h && h->setPrec(vtx, norm, tex, col) && h->setNumColorFloats(colFloats)) << lastError();
    EXPECT_TRUE(h->writeV8Format(*s, &mesh)) << lastError();
    VqCompressedRepHelper::s_releaseCompressedRepHelper(h);
    return s.bytes();
}

// Every index position's attributes, in index order (8 floats: coordinates,
// normal, colour, missing ones 0; texture coordinates appended when bound).
std::vector<std::vector<float>> rowsOf(const VqTopoMesh& m) {
    const Vq::VertexRecordFields& f = *m.vtxRecPool()->fields();
    std::vector<std::vector<float>> rows;
    for (uint32_t j = 0; j < m.numIndices(); ++j) {
        const size_t r = m.indices()[j];
        std::vector<float> row(9, 0.0f);
        std::copy_n(f.vtxCoords() + r * 3, 3, row.begin());
        if (f.numNormalComps()) std::copy_n(f.normals() + r * 3, 3, row.begin() + 3);
        if (f.numColorComps()) std::copy_n(f.colors() + r * f.numColorComps(), 3, row.begin() + 6);
        if (f.numTexCoordComps(0)) row.insert(row.end(), f.texCoords(0) + r * 2, f.texCoords(0) + r * 2 + 2);
        rows.push_back(row);
    }
    return rows;
}

std::vector<uint32_t> primSizes(const VqTopoMesh& m) {
    std::vector<uint32_t> s;
    for (uint32_t p = 0; p < m.numPrims(); ++p)
        s.push_back(m.primStarts()[p + 1] - m.primStarts()[p]);
    return s;
}

void expectRows(const VqTopoMesh& m, const std::vector<std::vector<float>>& want, float tol) {
    const auto got = rowsOf(m);
    ASSERT_EQ(got.size(), want.size());
    for (size_t j = 0; j < got.size(); ++j) {
        ASSERT_EQ(got[j].size(), want[j].size()) << "row " << j;
        for (size_t c = 0; c < got[j].size(); ++c)
            EXPECT_NEAR(got[j][c], want[j][c], tol) << "row " << j << " component " << c;
    }
}

// A mesh of the given primitives, one new record per index position.
template <class Mesh>
Vq::SharedPtr<VqTopoMesh> meshOf(uint64_t bindings, const std::vector<uint32_t>& sizes,
                                 const std::vector<float>& coords, const std::vector<float>& normals = {},
                                 const std::vector<float>& colors = {}, const std::vector<float>& tex = {}) {
    Vq::SharedPtr<VqTopoMesh> m = new Mesh(bindings);
    EXPECT_TRUE(m->lockWrite(true));
    const float* units[8] = {tex.empty() ? nullptr : tex.data()};
    EXPECT_TRUE(m->addPrimitives(0, uint32_t(sizes.size()), sizes.data(), coords.data(),
                                 normals.empty() ? nullptr : normals.data(),
                                 colors.empty() ? nullptr : colors.data(), units, nullptr))
        << lastError();
    m->lockWrite(false);
    return m;
}

// The lossless record of one triangle of three coordinates a vertex, stored
// as it is (negative length), with an empty primitive list.
Img losslessTriangle() {
    Img img;
    img.i16(1).u8(0).u8(0).u8(0); // version, bindings normal/texture/colour
    img.u8(0).u8(8).u8(16).u8(8); // precisions: vertex 0 is lossless
    img.nullPacket({});           // primitive list: empty
    img.i32(36).i32(-36);         // 9 floats, stored as they are
    for (float f : {0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f, 0.f})
        img.f32(f);
    return img;
}

class V8RepTest : public VqLibTest {};

TEST_F(V8RepTest, LosslessRecordStoredAsIsGivesOnePrimitiveOverAllVertices) {
    for (VqByteOrder o : kOrders) {
        Vq::SharedPtr<VqTopoMesh> m = new VqTriStripTopoMesh();
        ASSERT_TRUE(readV8(losslessTriangle().bytes(o), o, m.get())) << lastError();
        EXPECT_EQ(m->getBindings(), VQ_GEOMBIND_VTXCOORD3);
        EXPECT_EQ(primSizes(*m), (std::vector<uint32_t>{3}));
        expectRows(
            *m, {{0, 0, 0, 0, 0, 0, 0, 0, 0}, {1, 0, 0, 0, 0, 0, 0, 0, 0}, {0, 1, 0, 0, 0, 0, 0, 0, 0}}, 0);
    }
}

// A zlib stream of one stored deflate block: header 78 01, block header 01
// (final, stored), LEN and its complement little-endian, the bytes, then the
// Adler-32 of the bytes most significant byte first.
Bytes storedZlib(const Bytes& data) {
    Bytes z = {0x78,
               0x01,
               0x01,
               uint8_t(data.size()),
               uint8_t(data.size() >> 8),
               uint8_t(~data.size()),
               uint8_t(~data.size() >> 8)};
    z.insert(z.end(), data.begin(), data.end());
    uint32_t a = 1, b = 0;
    for (uint8_t c : data) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    const uint32_t adler = b << 16 | a;
    for (int i = 3; i >= 0; --i)
        z.push_back(uint8_t(adler >> (8 * i)));
    return z;
}

TEST_F(V8RepTest, LosslessRecordInflatesToTheStatedLengthInTheStreamsByteOrder) {
    for (VqByteOrder o : kOrders) {
        // The floats in the stream's byte order, as the deflated bytes hold them.
        const Bytes floats =
            Img().f32(2.f).f32(0.f).f32(0.f).f32(0.f).f32(2.f).f32(0.f).f32(0.f).f32(0.f).f32(2.f).bytes(o);
        const Bytes z = storedZlib(floats);
        Img img;
        img.i16(1).u8(0).u8(0).u8(0).u8(0).u8(8).u8(16).u8(8);
        img.nullPacket({0, 3}).i32(36).i32(int(z.size())).raw(z);
        Vq::SharedPtr<VqTopoMesh> m = new VqPolygonTopoMesh();
        ASSERT_TRUE(readV8(img.bytes(o), o, m.get())) << lastError();
        expectRows(
            *m, {{2, 0, 0, 0, 0, 0, 0, 0, 0}, {0, 2, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 2, 0, 0, 0, 0, 0, 0}}, 0);

        // Inflating to fewer bytes than stated is refused.
        Img shortImg;
        shortImg.i16(1).u8(0).u8(0).u8(0).u8(0).u8(8).u8(16).u8(8);
        shortImg.nullPacket({0, 3}).i32(40).i32(int(z.size())).raw(z);
        Vq::SharedPtr<VqTopoMesh> m2 = new VqPolygonTopoMesh();
        EXPECT_FALSE(readV8(shortImg.bytes(o), o, m2.get()));
        EXPECT_EQ(lastError(), "c32OutBufSize == cUCmprsLen");
        EXPECT_EQ(m2->numPrims(), 0u);
    }
}

TEST_F(V8RepTest, StoredLengthZeroIsAnEmptyShapeAndANullMeshReadsNothing) {
    Img img;
    img.i16(1).u8(0).u8(0).u8(0).u8(0).u8(8).u8(16).u8(8).nullPacket({}).i32(0).i32(0);
    Vq::SharedPtr<VqTopoMesh> m = new VqTriStripTopoMesh();
    ASSERT_TRUE(readV8(img.bytes(LsbFirst), LsbFirst, m.get())) << lastError();
    EXPECT_EQ(m->numPrims(), 0u);
    VqTestObjectStream s = VqTestObjectStream::forReading(img.bytes(LsbFirst), 8, 1);
    VqCompressedRepHelper h;
    ASSERT_TRUE(h.init());
    EXPECT_TRUE(h.readV8Format(*s, nullptr));
    EXPECT_TRUE(VqInterleavedRepHelper::readDBNeutralFormat(*s, nullptr));
}

// Two triangles' worth of quantized data: one triangle with normals and
// colours, one-bit coordinates, normals of 0 angle bits, 8-bit colours
// coded by component.
Img quantizedTriangle(int colFloats) {
    Img img;
    img.i16(1).u8(1).u8(0).u8(1); // normals and colours bound
    img.u8(1).u8(0).u8(16).u8(8); // precisions
    img.nullPacket({});           // primitive list: empty
    // Vertices: quantizers x, y over [0, 1] and z over [0, 0], 1 bit each.
    img.f32(0).f32(1).u8(1).f32(0).f32(1).u8(1).f32(0).f32(0).u8(1);
    img.i32(3).nullPacket({0, 1, 0}).nullPacket({0, 0, 1}).nullPacket({0, 0, 0});
    // Normals: 0 angle bits; (0, 0, 1) is sextant 1 (switched from 2 since
    // psi + theta reached 1), octant 7, theta 0, psi 0.
    img.u8(0).i32(3).nullPacket({1, 1, 1}).nullPacket({7, 7, 7}).nullPacket({0, 0, 0}).nullPacket({0, 0, 0});
    // Colours: RGB quantizers [0, 1] of 8, 8, 8 and 0 (alpha) bits;
    // precision 8, colour floats, components apart.
    img.u8(0).f32(0).f32(1).u8(8).f32(0).f32(1).u8(8).f32(0).f32(1).u8(8).f32(0).f32(1).u8(0);
    img.u8(8).u8(colFloats).u8(1);
    img.nullPacket({255, 0, 0}).nullPacket({0, 255, 0}).nullPacket({0, 0, 255}).nullPacket({0, 0, 0});
    img.nullPacket({0, 1, 2}); // index list
    return img;
}

TEST_F(V8RepTest, QuantizedRecordOfATriangleWithNormalsAndColours) {
    const std::vector<std::vector<float>> want = {
        {0, 0, 0, 0, 0, 1, 1, 0, 0}, {1, 0, 0, 0, 0, 1, 0, 1, 0}, {0, 1, 0, 0, 0, 1, 0, 0, 1}};
    for (int colFloats : {3, 1})
        for (VqByteOrder o : kOrders) {
            Vq::SharedPtr<VqTopoMesh> m = new VqTriStripTopoMesh();
            ASSERT_TRUE(readV8(quantizedTriangle(colFloats).bytes(o), o, m.get())) << lastError();
            EXPECT_EQ(m->getBindings(), VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3 | VQ_GEOMBIND_VTXCOLOR3);
            EXPECT_EQ(primSizes(*m), (std::vector<uint32_t>{3}));
            expectRows(*m, want, 1e-6f);
        }
}

TEST_F(V8RepTest, WholeColourCodesAreOnePacketWithoutPrediction) {
    Img img;
    img.i16(1).u8(0).u8(0).u8(1).u8(1).u8(0).u8(16).u8(8).nullPacket({0, 3});
    img.f32(0).f32(1).u8(1).f32(0).f32(1).u8(1).f32(0).f32(0).u8(1);
    img.i32(3).nullPacket({0, 1, 0}).nullPacket({0, 0, 1}).nullPacket({0, 0, 0});
    img.u8(0).f32(0).f32(1).u8(8).f32(0).f32(1).u8(8).f32(0).f32(1).u8(8).f32(0).f32(1).u8(0);
    // Red, green, blue: c1 in the highest bits of 24; five values would be
    // predicted from the fifth on, so a sixth packet value would show it.
    img.u8(8).u8(3).u8(0).nullPacket({0xFF0000, 0x00FF00, 0x0000FF});
    img.nullPacket({0, 1, 2});
    Vq::SharedPtr<VqTopoMesh> m = new VqPolygonTopoMesh();
    ASSERT_TRUE(readV8(img.bytes(MsbFirst), MsbFirst, m.get())) << lastError();
    expectRows(*m, {{0, 0, 0, 0, 0, 0, 1, 0, 0}, {1, 0, 0, 0, 0, 0, 0, 1, 0}, {0, 1, 0, 0, 0, 0, 0, 0, 1}},
               1e-6f);
}

// The neutral record of a triangle with normals: normal then coordinates.
Img neutralTriangle() {
    Img img;
    img.i32(1).i32(0).i32(0); // bindings
    img.i32(2).i32(0).i32(3); // primitive list
    img.i32(18);
    for (float f : {0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 0.f, 0.f, 1.f, 1.f, 0.f, 0.f, 0.f, 0.f, 1.f, 0.f, 1.f, 0.f})
        img.f32(f);
    return img;
}

TEST_F(V8RepTest, NeutralRecordReadsAndIsWrittenByteForByte) {
    const std::vector<std::vector<float>> want = {
        {0, 0, 0, 0, 0, 1, 0, 0, 0}, {1, 0, 0, 0, 0, 1, 0, 0, 0}, {0, 1, 0, 0, 0, 1, 0, 0, 0}};
    for (VqByteOrder o : kOrders) {
        Vq::SharedPtr<VqTopoMesh> m = new VqPolygonTopoMesh();
        ASSERT_TRUE(
            readRecord(neutralTriangle().bytes(o), o, m.get(), VqInterleavedRepHelper::readDBNeutralFormat))
            << lastError();
        EXPECT_EQ(m->getBindings(), VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3);
        expectRows(*m, want, 0);
    }
    Vq::SharedPtr<VqTopoMesh> m =
        meshOf<VqPolygonTopoMesh>(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3, {3},
                                  {0, 0, 0, 1, 0, 0, 0, 1, 0}, {0, 0, 1, 0, 0, 1, 0, 0, 1});
    VqTestObjectStream s = VqTestObjectStream::forWriting(7, 0);
    ASSERT_TRUE(VqInterleavedRepHelper::writeDBNeutralFormat(*s, m.get())) << lastError();
    EXPECT_EQ(s.bytes(), neutralTriangle().bytes(VqBaseDataStream::s_systemByteOrder()));
}

TEST_F(V8RepTest, LayoutsGiveColoursFourFloatsBeforeANormalOnlyInTheGraphicsLayout) {
    using H = VqInterleavedRepHelper;
    auto eq = [](H::Offsets o, int stride, int tex, int col, int norm, int vtx) {
        EXPECT_EQ(o.stride, stride);
        EXPECT_EQ(o.texture, tex);
        EXPECT_EQ(o.color, col);
        EXPECT_EQ(o.normal, norm);
        EXPECT_EQ(o.vertex, vtx);
    };
    eq(H::computeOffsets(1, 1, 1), 12, 0, 2, 6, 9);
    eq(H::computeNeutralOffsets(1, 1, 1), 11, 0, 2, 5, 8);
    eq(H::computeOffsets(0, 0, 1), 6, -1, 0, -1, 3);
    eq(H::computeNeutralOffsets(0, 0, 1), 6, -1, 0, -1, 3);
    eq(H::computeOffsets(2, 0, 0), 6, -1, -1, 0, 3);
    eq(H::computeNeutralOffsets(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_TEXCOORD2_C0), 5, 0, -1, -1, 2);
    EXPECT_EQ(H::s_convertVtxBindings(3, 1, 2), 0x21Au);
    VqCompressedRepHelper h;
    ASSERT_TRUE(h.init());
    ASSERT_TRUE(h.setLayout(VqCompressedRepHelper::VQ_GRAPHICS_OPENGL, 1, 0, 1));
    EXPECT_EQ(h.numColorFloats(), 4);
    EXPECT_EQ(h.offsets().color, 0);
    EXPECT_EQ(h.offsets().normal, 3);
    ASSERT_TRUE(h.setLayout(0x10ul));
    EXPECT_EQ(h.numColorFloats(), 3);
    // Any API but the one there is, within the enumeration's range (0 and 1).
    EXPECT_FALSE(h.setLayout(VqCompressedRepHelper::GraphicsAPI(0), 0, 0, 0));
    EXPECT_EQ(lastError(), "Invalid graphics API");
    EXPECT_FALSE(h.setNumColorFloats(2));
    EXPECT_EQ(lastError(), "(_nColFloats == 4) || (_nColFloats == 3) || (_nColFloats == 1)");
    EXPECT_FALSE(h.setPrec(33, 0, 0, 0));
    EXPECT_EQ(lastError(), "(0 <= vtxPrec ) && (vtxPrec <= 32)");
    EXPECT_FALSE(h.setPrec(1, 14, 0, 0));
    EXPECT_EQ(lastError(), "(0 <= normPrec) && (normPrec <= 13)");
    EXPECT_FALSE(h.setPrec(1, 0, -1, 0));
    EXPECT_EQ(lastError(), "(0 <= texPrec ) && (texPrec <= 32)");
    EXPECT_FALSE(h.setPrec(1, 0, 0, 9));
    EXPECT_EQ(lastError(), "(0 <= colPrec ) && (colPrec <= 8 )");
}

TEST_F(V8RepTest, OneColourFloatIsPackedRgbaWithRedHighest) {
    EXPECT_EQ(VqPackedRepHelper::s_packRGBA(1, 0, 0, 0), 0xFF000000u);
    EXPECT_EQ(VqPackedRepHelper::s_packRGBA(0, 0.5f, 2.f, 1), 0x0080FFFFu);
    // A neutral record whose colour is packed: 0x00FF00FF then -1, -1.
    Img img;
    img.i32(0).i32(0).i32(1).i32(0).i32(12);
    for (int v = 0; v < 2; ++v)
        img.i32(0x00FF00FF).f32(-1).f32(-1).f32(float(v)).f32(0).f32(0);
    Vq::SharedPtr<VqTopoMesh> m = new VqPointTopoMesh();
    ASSERT_TRUE(
        readRecord(img.bytes(MsbFirst), MsbFirst, m.get(), VqInterleavedRepHelper::readDBNeutralFormat))
        << lastError();
    expectRows(*m, {{0, 0, 0, 0, 0, 0, 0, 1, 0}, {1, 0, 0, 0, 0, 0, 0, 1, 0}}, 0);

    // Written with one colour float, lossless, the floats carry the packed value.
    Vq::SharedPtr<VqTopoMesh> c = meshOf<VqPointTopoMesh>(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_VTXCOLOR3, {1},
                                                          {1, 2, 3}, {}, {1, 0.5f, 0});
    const Bytes b = writeV8(*c, 0, 0, 0, 8, 1);
    Vq::SharedPtr<VqTopoMesh> back = new VqPointTopoMesh();
    ASSERT_TRUE(readV8(b, VqBaseDataStream::s_systemByteOrder(), back.get())) << lastError();
    expectRows(*back, {{1, 2, 3, 0, 0, 0, 1, 128.f / 255, 0}}, 0);
    // Quantized, the colour goes through bytes as well.
    const Bytes q = writeV8(*c, 12, 0, 0, 8, 1);
    Vq::SharedPtr<VqTopoMesh> qb = new VqPointTopoMesh();
    ASSERT_TRUE(readV8(q, VqBaseDataStream::s_systemByteOrder(), qb.get())) << lastError();
    expectRows(*qb, {{1, 2, 3, 0, 0, 0, 1, 128.f / 255, 0}}, 1e-6f);

    // Packed colours and the floats apart, and back.
    VqPackedRepHelper::Data d;
    const VqVecf neutral = {0.1f, 0.2f, 1, 0, 0, 7, 8, 9};
    ASSERT_TRUE(VqPackedRepHelper::convertfromDBNeutralFormat(neutral, 0, 1, 1, d));
    EXPECT_EQ(d.floats, (VqVecf{0.1f, 0.2f, 7, 8, 9}));
    EXPECT_EQ(d.colors, (VqVecu{0xFF0000FFu}));
    VqVecf again;
    ASSERT_TRUE(VqPackedRepHelper::convert2DBNeutralFormat(d, again));
    EXPECT_EQ(again, neutral);
    // Through the neutral record: an empty list read gives one primitive.
    VqTestObjectStream w = VqTestObjectStream::forWriting(7, 0);
    ASSERT_TRUE(VqPackedRepHelper::writeDBNeutralFormat(*w, d)) << lastError();
    VqTestObjectStream r = VqTestObjectStream::forReading(w.bytes(), 7, 0);
    VqPackedRepHelper::Data e;
    ASSERT_TRUE(VqPackedRepHelper::readDBNeutralFormat(*r, e)) << lastError();
    EXPECT_EQ(e.primList, (VqVecu{0, 1}));
    EXPECT_EQ(e.floats, d.floats);
    EXPECT_EQ(e.colors, d.colors);
}

// ---- Round trips

struct Shape {
    std::vector<uint32_t> sizes;
    std::vector<float> coords, normals, colors, tex;
};

Shape randomShape(std::mt19937& rng, uint32_t nPrims, uint32_t minSize) {
    std::uniform_real_distribution<float> u(-5.f, 5.f), c(0.f, 1.f);
    Shape s;
    for (uint32_t p = 0; p < nPrims; ++p) {
        const uint32_t n = minSize + rng() % 5;
        s.sizes.push_back(n);
        for (uint32_t i = 0; i < n; ++i) {
            float nx = u(rng), ny = u(rng), nz = u(rng);
            const float len = std::sqrt(nx * nx + ny * ny + nz * nz) + 1e-3f;
            s.coords.insert(s.coords.end(), {u(rng), u(rng), u(rng)});
            s.normals.insert(s.normals.end(), {nx / len, ny / len, nz / len});
            s.colors.insert(s.colors.end(), {c(rng), c(rng), c(rng)});
            s.tex.insert(s.tex.end(), {c(rng), 2 * c(rng)});
        }
    }
    return s;
}

template <class Mesh>
void roundTrip(uint64_t bindings, uint32_t minSize) {
    std::mt19937 rng(7);
    const Shape s = randomShape(rng, 6, minSize);
    Vq::SharedPtr<VqTopoMesh> m = meshOf<Mesh>(bindings, s.sizes, s.coords, s.normals, s.colors, s.tex);
    const auto want = rowsOf(*m);

    // Lossless: exact.
    Vq::SharedPtr<VqTopoMesh> a = new Mesh();
    ASSERT_TRUE(readV8(writeV8(*m, 0, 8, 16, 8), VqBaseDataStream::s_systemByteOrder(), a.get()))
        << lastError();
    EXPECT_EQ(primSizes(*a), s.sizes);
    expectRows(*a, want, 0);

    // Quantized with 16-bit coordinates over a box of 10: half a step of
    // 10 / 65535; 10 angle bits, 8-bit colours, 12-bit texture coordinates.
    Vq::SharedPtr<VqTopoMesh> q = new Mesh();
    ASSERT_TRUE(readV8(writeV8(*m, 16, 10, 12, 8), VqBaseDataStream::s_systemByteOrder(), q.get()))
        << lastError();
    EXPECT_EQ(primSizes(*q), s.sizes);
    const auto got = rowsOf(*q);
    ASSERT_EQ(got.size(), want.size());
    for (size_t j = 0; j < got.size(); ++j) {
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(got[j][c], want[j][c], 0.5f * 10.f / 65535 + 1e-5f);
        if (bindings & VQ_GEOMBIND_NORMVEC3) {
            for (int c = 3; c < 6; ++c)
                EXPECT_NEAR(got[j][c], want[j][c], 2e-3f);
        }
        if (bindings & VQ_GEOMBIND_VTXCOLOR3) {
            for (int c = 6; c < 9; ++c)
                EXPECT_NEAR(got[j][c], want[j][c], 0.5f / 255 + 1e-6f);
        }
        if (bindings & VQ_GEOMBIND_TEXCOORD2_C0) {
            EXPECT_NEAR(got[j][9], want[j][9], 1.f / 4095);
            EXPECT_NEAR(got[j][10], want[j][10], 2.f / 4095);
        }
    }
}

TEST_F(V8RepTest, StripsAndPolygonsRoundTripLosslessExactlyAndQuantizedWithinHalfAStep) {
    const uint64_t all =
        VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3 | VQ_GEOMBIND_VTXCOLOR3 | VQ_GEOMBIND_TEXCOORD2_C0;
    roundTrip<VqTriStripTopoMesh>(all, 3);
    roundTrip<VqPolygonTopoMesh>(all, 3);
    roundTrip<VqTriStripTopoMesh>(VQ_GEOMBIND_VTXCOORD3, 3);
    roundTrip<VqPolygonTopoMesh>(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_VTXCOLOR3, 3);
}

TEST_F(V8RepTest, CleanUpKeepsStripParityAndDropsWhatDrawsNothing) {
    using H = VqCompressedRepHelper;
    // A strip with a long run inside and at its end, then a strip of only
    // degenerate triangles.
    VqVecu prims = {0, 11, 15, 20}, idx = {0, 1, 2, 2, 2, 2, 3, 4, 5, 5, 5, 6, 6, 7, 7, 8, 8, 8, 9, 10};
    H::cleanDoubleVerts(VqTopoMesh::VQ_PRIM_TRISTRIP, prims, idx);
    EXPECT_EQ(idx, (VqVecu{0, 1, 2, 2, 3, 4, 5, 6, 6, 7, 7, 8, 9, 10}));
    EXPECT_EQ(prims, (VqVecu{0, 7, 11, 14}));
    H::cleanShortStrips(VqTopoMesh::VQ_PRIM_TRISTRIP, prims, idx);
    EXPECT_EQ(prims, (VqVecu{0, 7, 10}));
    EXPECT_EQ(idx, (VqVecu{0, 1, 2, 2, 3, 4, 5, 8, 9, 10}));
    // Polygons lose repeated corners, wrapping round, and then collapsed ones.
    prims = {0, 5, 8};
    idx = {4, 4, 5, 6, 4, 1, 1, 2};
    H::Tuples unique{1, {10, 11, 12, 13, 14, 15, 16}};
    ASSERT_TRUE(H::cleanIndexedRep(VqTopoMesh::VQ_PRIM_POLYGON, prims, idx, unique));
    EXPECT_EQ(prims, (VqVecu{0, 3}));
    EXPECT_EQ(idx, (VqVecu{0, 1, 2}));
    EXPECT_EQ(unique.codes, (VqVecu{14, 15, 16}));
}

TEST_F(V8RepTest, QuantizedWriterMergesEqualTuplesAndDropsCollapsedTriangles) {
    // Two triangles of a polygon mesh; the second collapses at 1 bit.
    Vq::SharedPtr<VqTopoMesh> m = meshOf<VqPolygonTopoMesh>(
        VQ_GEOMBIND_VTXCOORD3, {3, 3}, {0, 0, 0, 4, 0, 0, 0, 4, 0, 0, 0, 0, 0.1f, 0, 0, 0, 0.2f, 0});
    Vq::SharedPtr<VqTopoMesh> q = new VqPolygonTopoMesh();
    ASSERT_TRUE(readV8(writeV8(*m, 1, 0, 0, 0), VqBaseDataStream::s_systemByteOrder(), q.get()))
        << lastError();
    EXPECT_EQ(primSizes(*q), (std::vector<uint32_t>{3}));
    EXPECT_EQ(q->vtxRecPool()->numVtxRecords(), 3u);
}

// ---- Damage

TEST_F(V8RepTest, TruncatedRecordsFailAndLeaveTheMeshEmpty) {
    const Img imgs[] = {losslessTriangle(), quantizedTriangle(3)};
    for (const Img& img : imgs) {
        const Bytes& full = img.bytes(LsbFirst);
        for (size_t n = 0; n < full.size(); ++n) {
            Vq::SharedPtr<VqTopoMesh> m = new VqTriStripTopoMesh();
            VqTestObjectStream s =
                VqTestObjectStream::forReading(Bytes(full.begin(), full.begin() + n), 8, 1);
            VqCompressedRepHelper h;
            ASSERT_TRUE(h.init());
            EXPECT_FALSE(h.readV8Format(*s, m.get())) << n;
            EXPECT_EQ(m->numPrims(), 0u) << n;
            EXPECT_EQ(m->vtxRecPool()->numVtxRecords(), 0u) << n;
            VqErrorState::clearError();
        }
    }
    const Bytes full = neutralTriangle().bytes(LsbFirst);
    for (size_t n = 0; n < full.size(); ++n) {
        Vq::SharedPtr<VqTopoMesh> m = new VqPolygonTopoMesh();
        VqTestObjectStream s = VqTestObjectStream::forReading(Bytes(full.begin(), full.begin() + n), 7, 0);
        EXPECT_FALSE(VqInterleavedRepHelper::readDBNeutralFormat(*s, m.get())) << n;
        EXPECT_EQ(m->numPrims(), 0u) << n;
    }
}

TEST_F(V8RepTest, DamagedRecordsAreRefusedWithTheirTexts) {
    struct Case {
        std::function<void(Img&)> build;
        const char* text;
    };
    auto head = [](Img& i, int version, int vtxPrec) {
        i.i16(version).u8(0).u8(0).u8(0).u8(vtxPrec).u8(0).u8(0).u8(0);
    };
    auto threeVerts = [](Img& i) {
        i.f32(0).f32(1).u8(1).f32(0).f32(1).u8(1).f32(0).f32(0).u8(1);
        i.i32(3).nullPacket({0, 1, 0}).nullPacket({0, 0, 1}).nullPacket({0, 0, 0});
    };
    const Case cases[] = {
        {[&](Img& i) { head(i, 2, 0); }, "iVersion == 1"},
        {[&](Img& i) { head(i, 1, 0), i.nullPacket({}).i32(6).i32(-6); }, "(c32OutBufSize & 3) == 0"},
        {[&](Img& i) { head(i, 1, 0), i.nullPacket({}).i32(8).i32(-4); }, "c32OutBufSize == cUCmprsLen"},
        {[&](Img& i) { head(i, 1, 0), i.nullPacket({}).i32(1 << 30).i32(1).u8(0); },
         "c32OutBufSize == cUCmprsLen"},
        {[&](Img& i) {
             head(i, 1, 0);
             i.nullPacket({0, 2}).i32(36).i32(-36);
             for (int k = 0; k < 9; ++k)
                 i.f32(float(k));
         },
         "vPrim.back() * stride == vNlist.length()"},
        {[&](Img& i) { head(i, 1, 33); }, "(0 <= vtxPrec ) && (vtxPrec <= 32)"},
        {[&](Img& i) { i.i16(1).u8(0).u8(4).u8(0).u8(0).u8(0).u8(0).u8(0); }, "Invalid binding"},
        {[&](Img& i) {
             head(i, 1, 1);
             i.nullPacket({0, 4});
             threeVerts(i);
             i.nullPacket({0, 1, 2});
         },
         "vPrim.back() == vIndices.length()"},
        {[&](Img& i) {
             head(i, 1, 1);
             i.nullPacket({});
             threeVerts(i);
             i.nullPacket({0, 1, 3});
         },
         "vIndices[i] < nVerts"},
        {[&](Img& i) {
             head(i, 1, 1);
             i.nullPacket({}).f32(0).f32(1).u8(1).f32(0).f32(1).u8(1).f32(0).f32(0).u8(1);
             i.i32(3).nullPacket({0, 1, 0}).nullPacket({0, 0});
         },
         "nVerts == v[ii].length()"},
        {[&](Img& i) {
             i.i16(1).u8(0).u8(0).u8(1).u8(1).u8(0).u8(0).u8(8).nullPacket({});
             threeVerts(i);
             i.u8(0).f32(0).f32(1).u8(8).f32(0).f32(1).u8(8).f32(0).f32(1).u8(8).f32(0).f32(1).u8(0);
             i.u8(8).u8(2).u8(0);
         },
         "(_nColFloats == 4) || (_nColFloats == 3) || (_nColFloats == 1)"},
        // Packets of 10^8 zeros (bit-length codec, no code text: 13 bytes
        // that would decode into 400 MB) where the vertex count, or the
        // primitive list's end, allows three: refused from their count.
        {[&](Img& i) {
             head(i, 1, 1);
             i.nullPacket({}).f32(0).f32(1).u8(1).f32(0).f32(1).u8(1).f32(0).f32(0).u8(1);
             i.i32(3).u8(1).i32(0).i32(100000000).i32(0);
         },
         "nValues <= nMaxValues"},
        {[&](Img& i) {
             head(i, 1, 1);
             i.nullPacket({0, 3});
             threeVerts(i);
             i.u8(1).i32(0).i32(100000000).i32(0);
         },
         "nValues <= nMaxValues"},
    };
    for (const Case& c : cases) {
        Img img;
        c.build(img);
        Vq::SharedPtr<VqTopoMesh> m = new VqTriStripTopoMesh();
        EXPECT_FALSE(readV8(img.bytes(LsbFirst), LsbFirst, m.get())) << c.text;
        EXPECT_EQ(lastError(), c.text);
        EXPECT_EQ(m->numPrims(), 0u) << c.text;
        VqErrorState::clearError();
    }
    // The neutral record checks its list against the floats too.
    Img n;
    n.i32(0).i32(0).i32(0).i32(2).i32(0).i32(2).i32(3).f32(0).f32(0).f32(0);
    Vq::SharedPtr<VqTopoMesh> m = new VqPointTopoMesh();
    VqTestObjectStream s = VqTestObjectStream::forReading(n.bytes(LsbFirst), 7, 0, LsbFirst);
    EXPECT_FALSE(VqInterleavedRepHelper::readDBNeutralFormat(*s, m.get()));
    EXPECT_EQ(lastError(), "primIndexList.back() * stride == iList.length()");
}

TEST_F(V8RepTest, HelpersComeFromAPoolThatShrinks) {
    VqCompressedRepHelper::s_shrinkCompressedRepHelperPool();
    VqCompressedRepHelper* a = VqCompressedRepHelper::s_acquireCompressedRepHelper();
    ASSERT_TRUE(a && a->setPrec(0, 0, 0, 0));
    VqCompressedRepHelper::s_releaseCompressedRepHelper(a);
    EXPECT_EQ(VqCompressedRepHelper::s_numPooledCompressedRepHelpers(), 1);
    VqCompressedRepHelper* b = VqCompressedRepHelper::s_acquireCompressedRepHelper();
    EXPECT_EQ(b, a);
    int v = 0, n = 0, t = 0, c = 0;
    b->getPrec(v, n, t, c);
    EXPECT_EQ(v, 24) << "a pooled helper starts from the defaults";
    VqCompressedRepHelper::s_releaseCompressedRepHelper(b);
    VqCompressedRepHelper::s_shrinkCompressedRepHelperPool();
    EXPECT_EQ(VqCompressedRepHelper::s_numPooledCompressedRepHelpers(), 0);
}

} // namespace

namespace {

TEST_F(V8RepTest, LosslessWriterDeflatesOnlyWhenItHelps) {
    // 100 vertices of one strip: equal ones deflate to a fraction, random
    // ones cannot and are stored as they are (U + 8 bytes of lengths + the
    // rest of the record).
    std::mt19937 rng(3);
    std::vector<float> same(300, 0.25f), noise(300);
    // Random bits (the exponent kept finite) leave deflate nothing to find.
    for (float& f : noise)
        f = std::bit_cast<float>(uint32_t(rng()) & 0xFF7FFFFFu);
    const Bytes a = writeV8(*meshOf<VqTriStripTopoMesh>(VQ_GEOMBIND_VTXCOORD3, {100}, same), 0, 0, 0, 0);
    const Bytes b = writeV8(*meshOf<VqTriStripTopoMesh>(VQ_GEOMBIND_VTXCOORD3, {100}, noise), 0, 0, 0, 0);
    EXPECT_LT(a.size(), 200u);
    ASSERT_GT(b.size(), 1208u);
    int32_t stored = 0;
    std::memcpy(&stored, b.data() + b.size() - 1204, 4);
    EXPECT_EQ(stored, -1200);
    for (const Bytes* image : {&a, &b}) {
        Vq::SharedPtr<VqTopoMesh> m = new VqTriStripTopoMesh();
        ASSERT_TRUE(readV8(*image, VqBaseDataStream::s_systemByteOrder(), m.get())) << lastError();
        EXPECT_EQ(m->numIndices(), 100u);
    }
}

} // namespace

namespace {

// ---- Primitive builders

// Signed volume enclosed by the strips (odd triangles turned as the mesh
// turns them), and whether every normal points away from the centre of the
// face it lies on, seen from the shape's centre c.
struct Solid {
    double volume = 0;
    bool bNormalsOut = true;
    size_t nVerts = 0;
};

Solid solidOf(const VqVecu& prims, const VqVecf& floats, const VqInterleavedRepHelper::Offsets& o,
              const float* c) {
    Solid s;
    auto at = [&](size_t v) { return floats.data() + v * o.stride; };
    for (size_t p = 0; p + 1 < prims.size(); ++p)
        for (size_t v = prims[p]; v + 2 < prims[p + 1]; ++v) {
            const bool bOdd = (v - prims[p]) % 2 == 1;
            const float* a = at(bOdd ? v + 1 : v) + o.vertex;
            const float* b = at(bOdd ? v : v + 1) + o.vertex;
            const float* d = at(v + 2) + o.vertex;
            s.volume += (double(a[0]) * (double(b[1]) * d[2] - double(b[2]) * d[1]) -
                         double(a[1]) * (double(b[0]) * d[2] - double(b[2]) * d[0]) +
                         double(a[2]) * (double(b[0]) * d[1] - double(b[1]) * d[0])) /
                        6;
        }
    s.nVerts = floats.size() / o.stride;
    for (size_t v = 0; v < s.nVerts && o.normal >= 0; ++v) {
        const float* q = at(v);
        double dot = 0;
        for (int i = 0; i < 3; ++i)
            dot += double(q[o.normal + i]) * (q[o.vertex + i] - c[i]);
        // Flat faces through the centre (none here) would give 0.
        if (!(dot > -1e-6)) s.bNormalsOut = false;
    }
    return s;
}

TEST_F(V8RepTest, PrimitiveBuildersGiveClosedSolidsWithOutwardNormals) {
    using H = VqInterleavedRepHelper;
    const H::Offsets o = H::computeNeutralOffsets(1, 1, 1);
    const float red[3] = {1, 0, 0};
    const double pi = 3.14159265358979323846;
    struct Case {
        std::function<bool(VqVecu&, VqVecf&)> build;
        float centre[3];
        double volume, tol;
    };
    const Case cases[] = {
        {[&](VqVecu& p, VqVecf& f) {
             return H::appendPrimBox(p, f, o, VqBox3<float>({-1, 0, 2}, {1, 3, 6}), red);
         },
         {0, 1.5f, 4},
         24,
         1e-9},
        {[&](VqVecu& p, VqVecf& f) { return H::appendPrimCyl(p, f, o, 2, 3, 64, true); },
         {0, 0, 1.5f},
         64 / 2.0 * 4 * std::sin(2 * pi / 64) * 3,
         1e-4},
        {[&](VqVecu& p, VqVecf& f) { return H::appendPrimSphere(p, f, o, 1, 64, 32); },
         {0, 0, 0},
         4 / 3.0 * pi,
         0.05},
        {[&](VqVecu& p, VqVecf& f) { return H::appendPrimPyramid(p, f, o, 2, 3); }, {0, 0, 0.75f}, 4.0, 1e-6},
        {[&](VqVecu& p, VqVecf& f) { return H::appendPrimTriPrism(p, f, o, 2, 5); },
         {0, 0, 2.5f},
         std::sqrt(3.0) * 5,
         1e-5},
    };
    for (const Case& c : cases) {
        VqVecu prims;
        VqVecf floats;
        ASSERT_TRUE(c.build(prims, floats)) << lastError();
        const Solid s = solidOf(prims, floats, o, c.centre);
        EXPECT_NEAR(s.volume, c.volume, c.tol * c.volume);
        EXPECT_TRUE(s.bNormalsOut);
        // Each builder's strips read into a mesh as a closed solid.
        Vq::SharedPtr<VqTopoMesh> m = new VqTriStripTopoMesh();
        VqVecu p = prims;
        VqVecf f = floats;
        ASSERT_TRUE(H::s_addNeutral(*m, H::s_convertVtxBindings(1, 1, 1), p, f, "test", "add", "check"))
            << lastError();
        EXPECT_TRUE(m->isClosedSolid());
    }
    // The box's colour, and its faces' texture corners.
    VqVecu prims;
    VqVecf floats;
    ASSERT_TRUE(H::appendPrimBox(prims, floats, o, VqBox3<float>({0, 0, 0}, {1, 1, 1}), red));
    EXPECT_EQ(prims, (VqVecu{0, 4, 8, 12, 16, 20, 24}));
    EXPECT_EQ(std::vector<float>(floats.begin() + o.color, floats.begin() + o.color + 3),
              (std::vector<float>{1, 0, 0}));
    EXPECT_EQ(std::vector<float>(floats.begin() + 3 * o.stride, floats.begin() + 3 * o.stride + 2),
              (std::vector<float>{1, 1}));
    EXPECT_FALSE(H::appendPrimCyl(prims, floats, o, 1, 1, 2, false));
    EXPECT_FALSE(H::appendPrimBox(prims, floats, o, VqBox3<float>()));

    // The packed arrays hold the same shape, colours apart.
    VqPackedRepHelper::Data d;
    d.normal = d.color = 1;
    ASSERT_TRUE(VqPackedRepHelper::appendPrimPyramid(d, 2, 3, red));
    ASSERT_TRUE(VqPackedRepHelper::appendPrimTriPrism(d, 2, 5));
    EXPECT_EQ(d.primList, (VqVecu{0, 3, 6, 9, 12, 16, 20, 24, 28, 31, 34}));
    EXPECT_EQ(d.colors.size(), 34u);
    EXPECT_EQ(d.colors.front(), 0xFF0000FFu);
    EXPECT_EQ(d.colors.back(), 0xFFFFFFFFu);
    VqVecf neutral;
    ASSERT_TRUE(VqPackedRepHelper::convert2DBNeutralFormat(d, neutral));
    const float c0[3] = {0, 0, 1.5f};
    EXPECT_NEAR(solidOf(d.primList, neutral, H::computeNeutralOffsets(1, 0, 1), c0).volume,
                4.0 + std::sqrt(3.0) * 5, 1e-4);
}

} // namespace

namespace {

TEST_F(V8RepTest, IteratorsWalkPrimitivesAndReadPackedColours) {
    using H = VqInterleavedRepHelper;
    const H::Offsets o = H::computeNeutralOffsets(0, 1, 1);
    // Two primitives; the second vertex's colour is packed (green).
    const VqVecu prims = {0, 1, 3};
    VqVecf floats = {0.5f, 0.25f, 1, 0, 0, 1, 2, 3};
    floats.insert(floats.end(), {0, 1, VqPackedRepHelper::s_packedToFloat(0x00FF00FFu), -1, -1, 4, 5, 6});
    floats.insert(floats.end(), {0, 0, 0, 0, 1, 7, 8, 9});
    VqInterleavedPrimDataIter it(prims, floats, o);
    std::vector<uint32_t> sizes;
    std::vector<float> seen;
    for (; it.valid(); it.next()) {
        sizes.push_back(it.numVertices());
        for (uint32_t i = 0; i < it.numVertices(); ++i) {
            float c[3], k[3], t[2];
            ASSERT_TRUE(it.coord(i, c) && it.color(i, k) && it.texCoord(i, t));
            seen.insert(seen.end(), {c[0], k[1], t[1]});
        }
        float n[3];
        EXPECT_FALSE(it.normal(0, n));
        EXPECT_FALSE(it.coord(it.numVertices(), n));
    }
    EXPECT_EQ(sizes, (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(seen, (std::vector<float>{1, 0, 0.25f, 4, 1, 1, 7, 0, 0}));
    // A list that does not end at the vertex count walks nothing.
    EXPECT_FALSE(VqInterleavedPrimDataIter(VqVecu{0, 2}, floats, o).valid());

    VqPackedRepHelper::Data d;
    ASSERT_TRUE(VqPackedRepHelper::convertfromDBNeutralFormat(floats, 0, 1, 1, d));
    d.primList = prims;
    VqPackedPrimDataIter pit(d);
    pit.next();
    ASSERT_TRUE(pit.valid());
    float rgba[4];
    ASSERT_TRUE(pit.color(0, rgba));
    EXPECT_EQ(std::vector<float>(rgba, rgba + 4), (std::vector<float>{0, 1, 0, 1}));
    pit.next();
    EXPECT_FALSE(pit.valid());
}

} // namespace
