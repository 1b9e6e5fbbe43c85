// The primitive, wire-harness, wire-set and volume shapes: their records
// against fixtures derived by hand from their layouts, in each version that
// holds them; the records this library keeps unread coming back byte for
// byte, and refused where they would have to be rewritten; the primitive
// builders' strips fed to vertex shapes.
#include "ShapeTestUtil.h"
#include "VqGeomBindings.h"
#include "VqInterleavedPrimSeq.h"
#include "VqInterleavedRepHelper.h"
#include "VqLibFixture.h"
#include "VqPartition.h"
#include "VqPolygonSet.h"
#include "VqPrimitiveShapeImpl.h"
#include "VqTempDir.h"
#include "VqTestObjectStream.h"
#include "VqTestSegment.h"
#include "VqTriStripSet.h"
#include "VqVolumeShape.h"
#include "VqVolumeShapeImpl.h"
#include "VqWireSet.h"
#include "VqWireSetImpl.h"
#include "VqWrepShape.h"
#include "VqWrepShapeImpl.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

struct Format {
    int major, minor;
};

std::string name(Format f) {
    return std::to_string(f.major) + "." + std::to_string(f.minor);
}

// Little-endian bytes, or big-endian for the byte-order cases (single
// bytes and the GUID's last eight are the same either way).
struct Image {
    Bytes b;
    bool big = false;
    Image& u8(uint8_t v) {
        b.push_back(v);
        return *this;
    }
    Image& un(uint64_t v, int n) {
        for (int k = 0; k < n; ++k)
            u8(uint8_t(v >> (8 * (big ? n - 1 - k : k))));
        return *this;
    }
    Image& u16(uint16_t v) { return un(v, 2); }
    Image& u32(uint32_t v) { return un(v, 4); }
    Image& u64(uint64_t v) { return un(v, 8); }
    Image& bytes(const Bytes& x) {
        b.insert(b.end(), x.begin(), x.end());
        return *this;
    }
    // A GUID as stored: the 32-bit field, the two 16-bit fields, eight bytes.
    Image& guid(uint32_t a, uint16_t c, uint16_t d, const Bytes& rest) {
        return u32(a).u16(c).u16(d).bytes(rest);
    }
    // A local version as the generation writes it; none before 9.
    Image& lv(Format f, int v) {
        if (f.major >= 10) return u8(uint8_t(v));
        if (f.major == 9) return u16(uint16_t(v));
        return *this;
    }
};

// The element header: length of what follows, type GUID, base type 4 (a
// shape implementation) or 2 (a shape), from format 9 on the object ID 0.
Bytes element(Format f, const Image& guid, uint8_t baseType, const Bytes& body, bool big = false) {
    Image h;
    h.big = big;
    h.u32(uint32_t(guid.b.size() + 1 + (f.major >= 9 ? 4 : 0) + body.size())).bytes(guid.b).u8(baseType);
    if (f.major >= 9) h.u32(0);
    return h.bytes(body).b;
}

Image wrepImplGuid(bool big = false) {
    Image g;
    g.big = big;
    return g.guid(0x47176958, 0xD1E7, 0x4E29, {0x9F, 0xA1, 0x0E, 0xDD, 0xAD, 0x64, 0x55, 0xA3});
}
Image wrepGuid() {
    return Image().guid(0x5D1EAABC, 0x0408, 0x4A64, {0x95, 0x62, 0x2D, 0xB8, 0x75, 0xD6, 0x27, 0x60});
}
Image wireSetImplGuid() {
    return Image().guid(0x4CC7A523, 0x0728, 0x11D3, {0x9D, 0x8B, 0x00, 0xA0, 0xC9, 0xC7, 0xDD, 0xC2});
}
Image volumeImplGuid() {
    return Image().guid(0x67DEA4C0, 0x1D14, 0x479B, {0xBE, 0xAA, 0x8B, 0xD3, 0xB3, 0xD0, 0x3D, 0x78});
}

// What this library keeps unread: a harness record as its writer starts it
// (local version 1, no harnesses), a wire representation and an octree of
// arbitrary bytes.
const Bytes kHarness = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
const Bytes kWires = {0xDE, 0xAD, 0xBE, 0xEF, 0x07};
const Bytes kOctree = {0x10, 0x20, 0x30};

Bytes writeElement(const VqBase& obj, Format f) {
    VqTestObjectStream os = VqTestObjectStream::forWriting(f.major, f.minor);
    if (!VqTestSegment::writeElement(*os, f.major, &obj)) return {};
    return os.bytes();
}

Vq::SharedPtr<VqBase> readElement(const Bytes& image, Format f, VqByteOrder order = LsbFirst) {
    VqTestObjectStream os = VqTestObjectStream::forReading(image, f.major, f.minor, order);
    Vq::SharedPtr<VqBase> obj;
    if (!VqTestSegment::readElement(*os, f.major, obj)) return nullptr;
    EXPECT_FALSE(os->dataSkipped()) << "the reader left bytes of the element unread";
    return obj;
}

class ShapeKindsTest : public VqLibTest {
protected:
    void SetUp() override {
        VqLibTest::SetUp();
        ASSERT_EQ(VqBaseDataStream::s_systemByteOrder(), LsbFirst);
    }
    void TearDown() override {
        VqPartition::setVersion(9, 5);
        VqLibTest::TearDown();
    }
};

// ---- The primitive level, shared by node and implementation
//
// Bindings: coordinates, normals and texture unit 0 (0x20A); texture
// generation type 3.

TEST_F(ShapeKindsTest, ThePrimitiveLevelFollowsItsLayoutInEveryFormat) {
    const uint64_t bindings = VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3 | VQ_GEOMBIND_TEXCOORD2_C0;
    struct Case {
        Format f;
        Bytes want;
    };
    Image v64, v81, v10;
    v64.u32(1).u32(0);        // texture per vertex, no colours
    v81.u32(1).u32(0).u32(3); // and the texture generation type
    v10.u64(bindings).u8(3);  // the mask itself, one byte of type
    for (const Case& c : {Case{{6, 4}, v64.b}, Case{{7, 0}, v64.b}, Case{{8, 0}, v81.b}, Case{{8, 1}, v81.b},
                          Case{{9, 0}, v81.b}, Case{{10, 0}, v10.b}}) {
        SCOPED_TRACE(name(c.f));
        VqTestObjectStream os = VqTestObjectStream::forWriting(c.f.major, c.f.minor);
        Vq::RecordFormat fmt{c.f.major, c.f.minor};
        ASSERT_TRUE(VqPrimitiveShape::s_writePrimitiveLevel(*os, fmt, bindings, 3));
        EXPECT_EQ(os.bytes(), c.want);
        VqTestObjectStream in = VqTestObjectStream::forReading(c.want, c.f.major, c.f.minor, LsbFirst);
        uint64_t e = 0;
        uint8_t tg = 0;
        ASSERT_TRUE(VqPrimitiveShape::s_readPrimitiveLevel(*in, fmt, "test", e, tg)) << lastError();
        EXPECT_EQ(e, bindings);
        // Formats before 8 have no place for the type.
        EXPECT_EQ(tg, c.f.major >= 8 ? 3 : 0);
    }
}

TEST_F(ShapeKindsTest, PrimitiveLevelsWithBadBindingsOrTypesAreRefused) {
    const Vq::RecordFormat f81{8, 1};
    auto read = [&](const Image& i) {
        VqTestObjectStream in = VqTestObjectStream::forReading(i.b, 8, 1, LsbFirst);
        uint64_t e = 0;
        uint8_t tg = 0;
        return VqPrimitiveShape::s_readPrimitiveLevel(*in, f81, "test", e, tg);
    };
    EXPECT_FALSE(read(Image().u32(4).u32(0).u32(0)));
    EXPECT_NE(lastError().find("tb==VqPrimitiveShape::NoBind"), std::string::npos) << lastError();
    EXPECT_FALSE(read(Image().u32(0).u32(uint32_t(-1)).u32(0)));
    EXPECT_NE(lastError().find("cb==VqPrimitiveShape::NoBind"), std::string::npos) << lastError();
    // Format 10 keeps the type in one byte: a larger one has no place there.
    EXPECT_FALSE(read(Image().u32(0).u32(0).u32(256)));
    EXPECT_EQ(lastError(), "iTexGenType >= 0 && iTexGenType <= 255");
    EXPECT_FALSE(read(Image().u32(0).u32(0)));

    Vq::SharedPtr<VqWrepShape> s = new VqWrepShape();
    EXPECT_FALSE(s->setTexGenType(256));
    EXPECT_FALSE(s->setBindings(0x3)); // two-and-three-component coordinates at once
    EXPECT_EQ(lastError(), "Incorrect vertex coord bindings specified");
}

// A primitive implementation of no particular kind, to see the texture
// generation type's rule apart from the harness's.
class PlainPrims : public VqPrimitiveShapeImpl {
public:
    bool removeAllPrims() override { return true; }
    uint32_t numPrims() const override { return 0; }
    int atomPrim(uint32_t) const override { return -1; }
    bool numVertices(VqFixedVec<int, 2>&) const override { return true; }
    bool numPolygons(VqFixedVec<int, 2>&) const override { return true; }
    bool computeBBox(VqBox3<float>&) const override { return true; }
    float computeArea() const override { return 0; }
    int computeSize() const override { return 0; }
};

std::string minimum(const VqBase& b) {
    int ma = 0, mi = 0;
    b._getMinimumVQVersion(ma, mi);
    return std::to_string(ma) + "." + std::to_string(mi);
}

// A texture generation type needs 8.1; wire harnesses 9.3, volumes 9.0.
TEST_F(ShapeKindsTest, EachKindSaysTheOldestVersionThatHoldsIt) {
    Vq::SharedPtr<PlainPrims> plain = new PlainPrims();
    EXPECT_EQ(minimum(*plain), "7.0");
    ASSERT_TRUE(plain->setTexGenType(2));
    EXPECT_EQ(minimum(*plain), "8.1");
    Vq::SharedPtr<VqWireSet> wires = new VqWireSet();
    EXPECT_EQ(minimum(*wires), "7.0");
    Vq::SharedPtr<VqVolumeShape> volume = new VqVolumeShape();
    EXPECT_EQ(minimum(*volume), "9.0");
    Vq::SharedPtr<VqWrepShape> harness = new VqWrepShape();
    EXPECT_EQ(minimum(*harness), "9.3");
    // The shape answers for its implementation too.
    Vq::SharedPtr<VqWireSet> holder = new VqWireSet();
    Vq::SharedPtr<VqVolumeShapeImpl> octree = new VqVolumeShapeImpl();
    ASSERT_TRUE(holder->setImpl(octree.get()));
    EXPECT_EQ(minimum(*holder), "9.0");
}

// ---- Wire-harness shapes (9.3 and later)
//
// The implementation: the implementation's local version, the primitive
// level (coordinates and normals, 0xA: no texture or colour binding; type
// 0), then no local version, the bool (4 bytes) and the harness record.

Bytes wrepImpl(Format f, bool withHarness = true) {
    Image b;
    b.lv(f, 1).lv(f, 1);
    if (f.major >= 10)
        b.u64(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3).u8(0);
    else
        b.u32(0).u32(0).u32(0);
    b.u32(withHarness ? 1 : 0);
    if (withHarness) b.bytes(kHarness);
    return element(f, wrepImplGuid(), 4, b.b);
}

TEST_F(ShapeKindsTest, HarnessImplementationsComeBackByteForByte) {
    for (Format f : {Format{9, 3}, Format{9, 5}, Format{10, 0}, Format{10, 1}}) {
        SCOPED_TRACE(name(f));
        for (bool withHarness : {true, false}) {
            const Bytes want = wrepImpl(f, withHarness);
            Vq::SharedPtr<VqBase> obj = readElement(want, f);
            auto* impl = Vq::typeCast<VqWrepShapeImpl>(obj.get());
            ASSERT_NE(impl, nullptr) << lastError();
            EXPECT_EQ(impl->hasWireRep(), withHarness);
            EXPECT_EQ(impl->wireRepRecord().bytes(), withHarness ? kHarness : Bytes());
            EXPECT_EQ(impl->bindings(), VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3);
            EXPECT_EQ(writeElement(*impl, f), want);
        }
    }
}

TEST_F(ShapeKindsTest, HarnessNodesFollowTheirLayout) {
    Vq::SharedPtr<VqWrepShape> s = new VqWrepShape();
    ASSERT_TRUE(s->setBindings(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3 | VQ_GEOMBIND_VTXCOLOR3));
    ASSERT_TRUE(s->setTexGenType(5));
    for (Format f : {Format{9, 3}, Format{9, 7}, Format{10, 0}}) {
        SCOPED_TRACE(name(f));
        // From the primitive level on: its local version, the level, then
        // the harness shape's own local version and nothing more.
        Image tail;
        tail.lv(f, 1);
        if (f.major >= 10)
            tail.u64(0x1A).u8(5);
        else
            tail.u32(0).u32(1).u32(5);
        tail.lv(f, 1);
        const Bytes got = writeElement(*s, f);
        ASSERT_GE(got.size(), tail.b.size()) << lastError();
        EXPECT_EQ(Bytes(got.end() - std::ptrdiff_t(tail.b.size()), got.end()), tail.b);
        const Bytes guid = wrepGuid().b;
        EXPECT_EQ(Bytes(got.begin() + 4, got.begin() + 20), guid);
        Vq::SharedPtr<VqBase> obj = readElement(got, f);
        auto* back = Vq::typeCast<VqWrepShape>(obj.get());
        ASSERT_NE(back, nullptr) << lastError();
        EXPECT_EQ(back->getBindings(), 0x1Au);
        EXPECT_EQ(back->texGenType(), 5);
    }
}

TEST_F(ShapeKindsTest, HarnessRecordsAreNotRewrittenWhereTheyWouldChangeMeaning) {
    // Read from a 9.5 file: 9.x files take it, a 10 file does not.
    Vq::SharedPtr<VqBase> obj = readElement(wrepImpl({9, 5}), {9, 5});
    ASSERT_NE(obj, nullptr) << lastError();
    EXPECT_EQ(writeElement(*obj, {9, 7}), wrepImpl({9, 7}));
    EXPECT_TRUE(writeElement(*obj, {10, 0}).empty());
    EXPECT_NE(lastError().find("VqWrepShapeImpl holds a wire-harness representation as stored in a format 9 "
                               "file"),
              std::string::npos)
        << lastError();
    EXPECT_NE(lastError().find("not to a 10.0 file"), std::string::npos) << lastError();

    // Read on a host of the other byte order: its bytes keep that order.
    Image body;
    body.big = true;
    body.u16(1).u16(1).u32(0).u32(0).u32(0).u32(1).bytes(kHarness);
    obj = readElement(element({9, 5}, wrepImplGuid(true), 4, body.b, true), {9, 5}, MsbFirst);
    ASSERT_NE(obj, nullptr) << lastError();
    EXPECT_TRUE(writeElement(*obj, {9, 5}).empty());
    EXPECT_NE(lastError().find("of the other byte order"), std::string::npos) << lastError();

    // Dropping the harness leaves nothing that would need it.
    ASSERT_TRUE(Vq::typeCast<VqWrepShapeImpl>(obj.get())->removeAllPrims());
    EXPECT_FALSE(writeElement(*obj, {10, 0}).empty()) << lastError();
}

TEST_F(ShapeKindsTest, HarnessRecordsOutsideTheirVersionsOrCutShortAreRefused) {
    Vq::SharedPtr<VqWrepShapeImpl> impl = new VqWrepShapeImpl();
    EXPECT_TRUE(writeElement(*impl, {9, 2}).empty());
    EXPECT_NE(lastError().find("need a format 9.3 or later file, not 9.2"), std::string::npos) << lastError();
    Vq::SharedPtr<VqWrepShape> s = new VqWrepShape();
    EXPECT_TRUE(writeElement(*s, {8, 1}).empty());
    EXPECT_EQ(readElement(wrepImpl({9, 2}), {9, 2}), nullptr);
    // The flag says a harness follows, and none does.
    Bytes cut = wrepImpl({9, 5}, false);
    cut[cut.size() - 4] = 1;
    EXPECT_EQ(readElement(cut, {9, 5}), nullptr);
    EXPECT_EQ(lastError(), "The wire-harness record is missing");
}

// ---- Wire sets (every format) and volumes (9 and 10)

Bytes wireSetImpl(Format f, int n, int t, int c) {
    Image b;
    b.lv(f, 1);                 // the implementation's level: none before 9
    if (f.major >= 10) b.u8(1); // this level's local version, in 10 only
    b.u32(uint32_t(n)).u32(uint32_t(t)).u32(uint32_t(c)).bytes(kWires);
    return element(f, wireSetImplGuid(), 4, b.b);
}

TEST_F(ShapeKindsTest, WireSetsComeBackByteForByteInEveryVersion) {
    for (Format f : {Format{6, 4}, Format{7, 0}, Format{8, 1}, Format{9, 0}, Format{9, 5}, Format{10, 0},
                     Format{10, 1}}) {
        SCOPED_TRACE(name(f));
        const Bytes want = wireSetImpl(f, 1, 0, 3);
        Vq::SharedPtr<VqBase> obj = readElement(want, f);
        auto* impl = Vq::typeCast<VqWireSetImpl>(obj.get());
        ASSERT_NE(impl, nullptr) << lastError();
        int n = -1, t = -1, c = -1;
        impl->bindings(n, t, c);
        EXPECT_EQ(n, 1);
        EXPECT_EQ(t, 0);
        EXPECT_EQ(c, 3);
        EXPECT_EQ(impl->wireRepRecord().bytes(), kWires);
        EXPECT_EQ(writeElement(*impl, f), want);
    }
    // The bytes of a format-7 file go to formats before 9 only.
    Vq::SharedPtr<VqBase> old = readElement(wireSetImpl({7, 0}, 0, 0, 0), {7, 0});
    ASSERT_NE(old, nullptr);
    EXPECT_EQ(writeElement(*old, {8, 1}), wireSetImpl({8, 1}, 0, 0, 0));
    EXPECT_TRUE(writeElement(*old, {9, 0}).empty());
    // A wire set built in memory has no representation: bindings alone.
    Vq::SharedPtr<VqWireSet> s = new VqWireSet();
    ASSERT_TRUE(s->setBindings(VqWireSet::PerVertex, VqWireSet::NoBind, VqWireSet::PerVertex));
    Vq::SharedPtr<VqShapeImpl> fresh = s->ensureImpl();
    ASSERT_NE(fresh, nullptr) << lastError();
    Image body;
    body.u16(1).u32(1).u32(0).u32(1);
    EXPECT_EQ(writeElement(*fresh, {9, 5}), element({9, 5}, wireSetImplGuid(), 4, body.b));
    EXPECT_FALSE(s->setBindings(VqWireSet::Binding(4), VqWireSet::NoBind, VqWireSet::NoBind));
}

TEST_F(ShapeKindsTest, WireSetsWithBadBindingsAreRefused) {
    EXPECT_EQ(readElement(wireSetImpl({9, 0}, 0, 0, 4), {9, 0}), nullptr);
    EXPECT_NE(lastError().find("cb==VqWireSet::NoBind"), std::string::npos) << lastError();
    EXPECT_EQ(readElement(wireSetImpl({8, 1}, -1, 0, 0), {8, 1}), nullptr);
    EXPECT_NE(lastError().find("nb==VqWireSet::NoBind"), std::string::npos) << lastError();
}

Bytes volumeImpl(Format f) {
    Image b;
    b.lv(f, 1).lv(f, 1).bytes(kOctree);
    return element(f, volumeImplGuid(), 4, b.b);
}

TEST_F(ShapeKindsTest, VolumesComeBackByteForByteFrom9On) {
    for (Format f : {Format{9, 0}, Format{9, 5}, Format{10, 0}, Format{10, 1}}) {
        SCOPED_TRACE(name(f));
        const Bytes want = volumeImpl(f);
        Vq::SharedPtr<VqBase> obj = readElement(want, f);
        auto* impl = Vq::typeCast<VqVolumeShapeImpl>(obj.get());
        ASSERT_NE(impl, nullptr) << lastError();
        EXPECT_EQ(impl->octreeRecord().bytes(), kOctree);
        EXPECT_EQ(writeElement(*impl, f), want);
    }
    Vq::SharedPtr<VqBase> v10 = readElement(volumeImpl({10, 0}), {10, 0});
    ASSERT_NE(v10, nullptr);
    EXPECT_TRUE(writeElement(*v10, {9, 5}).empty());
    EXPECT_TRUE(writeElement(*v10, {8, 1}).empty());
    EXPECT_NE(lastError().find("Volume shapes need a format 9.0 or later file"), std::string::npos)
        << lastError();
    // A local version of 0 is no version.
    Bytes bad = volumeImpl({9, 5});
    bad[bad.size() - kOctree.size() - 2] = 0;
    EXPECT_EQ(readElement(bad, {9, 5}), nullptr);
}

// ---- The primitive builders' output fed to vertex shapes

// The unit normal of a triangle's winding.
VqVec3f facing(const float* a, const float* b, const float* c) {
    const VqVec3f u(b[0] - a[0], b[1] - a[1], b[2] - a[2]), v(c[0] - a[0], c[1] - a[1], c[2] - a[2]);
    VqVec3f n(u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]);
    const float len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    return VqVec3f(n[0] / len, n[1] / len, n[2] / len);
}

TEST_F(ShapeKindsTest, BuiltPrimitivesFeedStripAndPolygonShapes) {
    // Normals and colours: the bundles carry both.
    const auto o = VqInterleavedRepHelper::computeNeutralOffsets(1, 0, 1);
    VqVecu prims;
    VqVecf floats;
    const float red[3] = {1, 0, 0};
    ASSERT_TRUE(VqInterleavedRepHelper::appendPrimPyramid(prims, floats, o, 2.0f, 1.0f, red)) << lastError();
    ASSERT_TRUE(VqInterleavedRepHelper::appendPrimBox(
        prims, floats, o, VqBox3<float>(VqVec3f(0, 0, 2), VqVec3f(1, 1, 3)), red));
    const uint32_t strips = uint32_t(prims.size() - 1);
    uint32_t triangles = 0;
    for (uint32_t p = 0; p < strips; ++p)
        triangles += prims[p + 1] - prims[p] - 2;

    const uint64_t bindings = VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3 | VQ_GEOMBIND_VTXCOLOR3;
    Vq::SharedPtr<VqTriStripSet> ts = new VqTriStripSet(bindings);
    VqInterleavedPrimSeq asStrips(prims, floats, o, VqInterleavedPrimSeq::Form::Strips);
    ASSERT_TRUE(asStrips.fits());
    ASSERT_TRUE(ts->addPrims(asStrips)) << lastError();
    EXPECT_EQ(ts->numPrims(), strips);

    Vq::SharedPtr<VqPolygonSet> ps = new VqPolygonSet(bindings);
    VqInterleavedPrimSeq asTriangles(prims, floats, o, VqInterleavedPrimSeq::Form::Triangles, 2);
    ASSERT_EQ(asTriangles.count(), triangles);
    ASSERT_TRUE(ps->addPrims(asTriangles)) << lastError();
    const VqTopoMesh* m = ps->topoMesh();
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(m->numPrims(), triangles);
    // Every triangle winds towards the normals the builder gave its corners
    // (the odd ones of a strip turned), and keeps its colour; all went to
    // face group 2.
    const float* c = m->vtxRecPool()->fields()->vtxCoords();
    const float* n = m->vtxRecPool()->fields()->normals();
    const float* col = m->vtxRecPool()->fields()->colors();
    ASSERT_TRUE(c && n && col);
    for (uint32_t p = 0; p < m->numPrims(); ++p) {
        const uint32_t* idx = m->indices() + m->primStarts()[p];
        const VqVec3f f = facing(c + 3 * idx[0], c + 3 * idx[1], c + 3 * idx[2]);
        const float* nv = n + 3 * idx[0];
        EXPECT_GT(f[0] * nv[0] + f[1] * nv[1] + f[2] * nv[2], 0.99f) << "triangle " << p;
        EXPECT_EQ(col[3 * idx[2]], 1.0f);
        EXPECT_EQ(col[3 * idx[2] + 1], 0.0f);
    }
    EXPECT_EQ(m->numFaceGroups(), 3u);
    EXPECT_EQ(m->faceGroupStarts()[2], 0u);

    // A list that does not end at the vertex count yields nothing.
    VqVecu broken = prims;
    broken.back() += 1;
    VqInterleavedPrimSeq none(broken, floats, o, VqInterleavedPrimSeq::Form::Strips);
    EXPECT_FALSE(none.fits());
    EXPECT_EQ(none.count(), 0u);
}

// ---- In files: a harness read from a file goes into a file of the same
// version unchanged, whether its segment is copied or written afresh; a
// conversion to format 10 is refused and leaves the target as it was.

Vq::SharedPtr<VqPartition> openFile(const VqTempDir& d, const char* name) {
    Vq::SharedPtr<VqPartition> p;
    EXPECT_TRUE(VqPartition::openFile(d.file(name), p)) << lastError();
    return p;
}

VqWrepShape* harnessOf(VqPartition& p) {
    return p.numChildren() == 1 ? Vq::typeCast<VqWrepShape>(p.child(0)) : nullptr;
}

TEST_F(ShapeKindsTest, AHarnessGoesThroughSavesOfItsVersionWhole) {
    VqTempDir d;
    Vq::SharedPtr<VqBase> read = readElement(wrepImpl({9, 5}), {9, 5});
    auto* impl = Vq::typeCast<VqWrepShapeImpl>(read.get());
    ASSERT_NE(impl, nullptr) << lastError();
    Vq::SharedPtr<VqPartition> root = new VqPartition();
    Vq::SharedPtr<VqWrepShape> s = new VqWrepShape();
    ASSERT_TRUE(root->appendChild(s.get()) && s->setImpl(impl)) << lastError();
    VqSaveOptions v95;
    v95.versionMajor = 9;
    v95.versionMinor = 5;
    ASSERT_TRUE(root->saveAs(d.file("a.vq"), v95)) << lastError();

    // Copied unread, then decoded and written again.
    Vq::SharedPtr<VqPartition> a = openFile(d, "a.vq");
    ASSERT_TRUE(a->saveAs(d.file("b.vq"), v95)) << lastError();
    Vq::SharedPtr<VqPartition> b = openFile(d, "b.vq");
    ASSERT_NE(harnessOf(*b), nullptr);
    Vq::SharedPtr<VqShapeImpl> loaded = harnessOf(*b)->ensureImpl();
    ASSERT_NE(loaded, nullptr) << lastError();
    ASSERT_TRUE(harnessOf(*b)->setImplModified(true));
    ASSERT_TRUE(b->saveAs(d.file("c.vq"), v95)) << lastError();
    Vq::SharedPtr<VqPartition> c = openFile(d, "c.vq");
    ASSERT_NE(harnessOf(*c), nullptr);
    Vq::SharedPtr<VqShapeImpl> back = harnessOf(*c)->ensureImpl();
    auto* got = Vq::typeCast<VqWrepShapeImpl>(back.get());
    ASSERT_NE(got, nullptr) << lastError();
    EXPECT_EQ(got->wireRepRecord().bytes(), kHarness);
    EXPECT_EQ(writeElement(*got, {9, 5}), wrepImpl({9, 5}));

    VqSaveOptions v100;
    v100.versionMajor = 10;
    EXPECT_FALSE(c->saveAs(d.file("d.vq"), v100));
    EXPECT_NE(lastError().find("wire-harness representation"), std::string::npos) << lastError();
    EXPECT_FALSE(d.exists("d.vq"));
    // Nor does a 9.0 file hold a harness at all.
    v95.versionMinor = 0;
    EXPECT_FALSE(c->saveAs(d.file("d.vq"), v95));
    EXPECT_NE(lastError().find("VqWrepShape holds content that needs format 9.3"), std::string::npos)
        << lastError();
    EXPECT_FALSE(d.exists("d.vq"));
}

} // namespace
