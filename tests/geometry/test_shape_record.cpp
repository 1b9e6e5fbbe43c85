// Shape and shape implementation records against fixtures derived by hand
// from their layouts: the tetrahedron polygon set's implementation at 9.0,
// 9.4 and 10 (its mesh part being the mesh tests' golden record) and at
// 8.1, 7.0 and 6.4 (lossless older geometry), shape
// nodes from 6.4 to 10, the 9.4 record of local version 1, the area-factor
// kinds' 9.4 form; compression levels and binding refusals.
#include "ShapeTestUtil.h"
#include "TetraGolden.h"
#include "VqPartition.h"
#include "VqPointSet.h"
#include "VqPolygonSet.h"
#include "VqPolygonSetImpl.h"
#include "VqPolylineSet.h"
#include "VqTestSegment.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>

using namespace tetra;

namespace {

// The class of the error recorded last.
std::string lastErrorClass() {
    Vq::SharedPtr<VqStdError> e = VqErrorState::currentError();
    return e ? e->className().toUtf8() : std::string();
}

struct Format {
    int major, minor;
};

std::string name(Format f) {
    return std::to_string(f.major) + "." + std::to_string(f.minor);
}

// GUIDs as stored: the 32-bit field, the two 16-bit fields, eight bytes.
const Bytes kPolygonSetGuid = {0x48, 0x10, 0xDD, 0x10, 0xC8, 0x2A, 0xD1, 0x11,
                               0x9B, 0x6B, 0x00, 0x80, 0xC7, 0xBB, 0x59, 0x97};
const Bytes kPolygonSetImplGuid = {0x9F, 0x10, 0xDD, 0x10, 0xC8, 0x2A, 0xD1, 0x11,
                                   0x9B, 0x6B, 0x00, 0x80, 0xC7, 0xBB, 0x59, 0x97};
const Bytes kPointSetGuid = {0x16, 0x47, 0x13, 0x98, 0x10, 0x00, 0x18, 0x08,
                             0x19, 0x98, 0x08, 0x00, 0x09, 0x83, 0x5D, 0x5A};
const Bytes kPolygonMeshGuid = {0xBB, 0xA5, 0x75, 0x95, 0xC6, 0xCD, 0x97, 0x41,
                                0x9C, 0x39, 0xA9, 0x78, 0xAB, 0xE5, 0xFF, 0x0A};

Image& f32(Image& i, float v) {
    uint32_t u = 0;
    std::memcpy(&u, &v, 4);
    return i.u32(u);
}

// The element header: length of what follows, type GUID, base type and,
// from format 9 on, the object ID.
Bytes element(Format f, const Bytes& guid, uint8_t baseType, int id, const Bytes& body) {
    Image h;
    const size_t len = 16 + 1 + (f.major >= 9 ? 4 : 0) + body.size();
    h.u32(uint32_t(len)).bytes(guid).u8(baseType);
    if (f.major >= 9) h.u32(uint32_t(id));
    return h.bytes(body).b;
}

// A local version as the generation writes it; none before 9.
Image& lv(Image& i, Format f, int v) {
    if (f.major >= 10) return i.u8(uint8_t(v));
    if (f.major == 9) return i.u16(uint16_t(v));
    return i;
}

Bytes writeElement(const VqBase& obj, Format f) {
    VqTestObjectStream os = VqTestObjectStream::forWriting(f.major, f.minor);
    EXPECT_TRUE(VqTestSegment::writeElement(*os, f.major, &obj)) << lastError();
    return os.bytes();
}

Vq::SharedPtr<VqBase> readElement(const Bytes& image, Format f) {
    VqTestObjectStream os = VqTestObjectStream::forReading(image, f.major, f.minor, LsbFirst);
    Vq::SharedPtr<VqBase> obj;
    if (!VqTestSegment::readElement(*os, f.major, obj)) return nullptr;
    EXPECT_FALSE(os->dataSkipped()) << "the reader left bytes of the element unread";
    if (auto* n = Vq::typeCast<VqNode>(obj.get())) {
        EXPECT_TRUE(n->fixupLists()) << lastError();
        n->setInternalFlag(VqNode::VQ_NODE_IFLAG_NEEDSLOADFIXUP, false);
    }
    return obj;
}

void expectSameBytes(const Bytes& got, const Bytes& want) {
    EXPECT_EQ(got.size(), want.size());
    const auto diff = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
    EXPECT_TRUE(diff.first == got.end() && diff.second == want.end())
        << "first difference at byte " << (diff.first - got.begin());
}

class ShapeRecordTest : public VqLibTest {
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

// ---- The tetrahedron's implementation
//
// VqShapeImpl: its local version; VqVertexShapeImpl: local version 1, the
// bindings (coordinates with 3 components, 0x2) and the mesh: in 9.x its
// record inline (the mesh head, the polygon level, the symbol section and
// the vertex data), in 10 an element of its own (base type 9, object ID 1:
// the implementation's element took 0); VqPolygonSetImpl: local version 1.

Bytes meshRecord(Format f) {
    if (f.major >= 10)
        return Image().u8(1).u32(0).u8(1).bytes(symbolSection(true)).bytes(vertexData(true, false)).b;
    if (f.minor >= 4)
        return Image().u16(2).u32(0).u16(1).bytes(symbolSection(false)).bytes(vertexData(false, true)).b;
    return Image()
        .u16(1)
        .u32(0xFFFFFFFF)
        .u16(1)
        .bytes(symbolSection(false))
        .bytes(vertexData(false, false))
        .b;
}

Bytes tetraImpl(Format f) {
    Image body;
    lv(body, f, 1);                            // VqShapeImpl
    lv(body, f, 1).u64(VQ_GEOMBIND_VTXCOORD3); // VqVertexShapeImpl
    if (f.major >= 10)
        body.bytes(element(f, kPolygonMeshGuid, 9, 1, meshRecord(f)));
    else
        body.bytes(meshRecord(f));
    lv(body, f, 1); // VqPolygonSetImpl
    return element(f, kPolygonSetImplGuid, 4, 0, body.b);
}

TEST_F(ShapeRecordTest, TetrahedronImplementationMatchesItsLayouts) {
    Vq::SharedPtr<VqPolygonSetImpl> impl = new VqPolygonSetImpl();
    ASSERT_TRUE(impl->setTopoMesh(goldenTetrahedron().get())) << lastError();
    for (Format f : {Format{9, 0}, Format{9, 4}, Format{10, 0}}) {
        SCOPED_TRACE(name(f));
        const Bytes want = tetraImpl(f);
        expectSameBytes(writeElement(*impl, f), want);
        Vq::SharedPtr<VqBase> obj = readElement(want, f);
        auto* back = Vq::typeCast<VqPolygonSetImpl>(obj.get());
        ASSERT_NE(back, nullptr) << lastError();
        ASSERT_NE(back->topoMesh(), nullptr);
        EXPECT_EQ(back->bindings(), VQ_GEOMBIND_VTXCOORD3);
        expectSamePrims(*impl->topoMesh(), *back->topoMesh(), 0.0f);
        // Box, area and counts come from the mesh read.
        EXPECT_EQ(back->bbox().min, (VqVec3f(0, 0, 0)));
        EXPECT_EQ(back->bbox().max, (VqVec3f(1, 1, 1)));
        EXPECT_NEAR(back->area(), 1.5 + std::sqrt(3.0) / 2, 1e-6);
        VqFixedVec<int, 2> v, p;
        ASSERT_TRUE(back->numVertices(v) && back->numPolygons(p));
        EXPECT_EQ(v, (VqFixedVec<int, 2>(4, 4)));
        EXPECT_EQ(p, (VqFixedVec<int, 2>(4, 4)));
    }
}

TEST_F(ShapeRecordTest, ImplementationElementsOfTheWrongKindOrDamagedAreRefused) {
    // A format-10 implementation whose nested element is not a mesh.
    Format f{10, 0};
    Image body;
    lv(body, f, 1);
    lv(body, f, 1).u64(VQ_GEOMBIND_VTXCOORD3);
    body.bytes(element(f, kPolygonSetGuid, 2, 1, {}));
    lv(body, f, 1);
    EXPECT_EQ(readElement(element(f, kPolygonSetImplGuid, 4, 0, body.b), f), nullptr);
    EXPECT_NE(lastError(), "");

    // Every truncation of the 9.4 record fails without a crash.
    const Bytes whole = tetraImpl({9, 4});
    for (size_t cut = 0; cut < whole.size(); cut += 7) {
        Bytes part(whole.begin(), whole.begin() + cut);
        if (part.size() >= 4) { // keep the element length truthful to what is there
            const uint32_t len = uint32_t(part.size() - 4);
            std::memcpy(part.data(), &len, 4);
        }
        EXPECT_EQ(readElement(part, {9, 4}), nullptr) << "cut at " << cut;
    }
}

// ---- The tetrahedron's implementation before format 9
//
// The golden tetrahedron with the bit counts (0, 8, 16, 8): vertex bits 0
// keep the format-8 geometry lossless. Both older geometries hold one vertex
// per corner of each polygon, in the mesh's index order, 3 floats each.
// VqShapeImpl writes nothing before 9; the implementation's element has no
// object ID.

Image& tetraCornerFloats(Image& i) {
    const float corner[4][3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    for (int v : {0, 2, 1, 0, 1, 3, 1, 2, 3, 0, 3, 2})
        for (float x : corner[v])
            f32(i, x);
    return i;
}

// The records up to the format-8 geometry's primitive list.
Image tetraImpl81Head() {
    Image b;
    b.u16(1).u32(0).u8(0).u8(8).u8(16).u8(8);            // VqVertexShapeImpl: no bindings but coordinates
    b.u16(1);                                            // VqPolygonSetImpl
    b.u16(1).u8(0).u8(0).u8(0).u8(0).u8(8).u8(16).u8(8); // the geometry: version, bindings, bits
    return b;
}

Bytes tetraImpl81() {
    Image b = tetraImpl81Head();
    // Running offsets 0, 3, 6, 9, 12 in a null-codec packet: the first four
    // as they are, then each value's residual to 2 v[i-1] - v[i-2] (12 - 12).
    b.u8(0).u32(5).u32(0).u32(3).u32(6).u32(9).u32(0);
    b.u32(144).u32(uint32_t(-144)); // 12 vertices of 3 floats, stored as they are
    tetraCornerFloats(b);
    return element({8, 1}, kPolygonSetImplGuid, 4, 0, b.b);
}

Bytes tetraImpl70(uint8_t hierarchy = 0) {
    Image b;
    b.u8(hierarchy);
    if (hierarchy) b.u32(6).u16(0x1234).u32(0xDEADBEEF); // a hierarchy's record, passed over
    b.u32(0).u32(0).u32(0);                              // VqVertexShapeImpl's bindings
    b.u32(0).u32(0).u32(0);                              // the neutral geometry's bindings
    b.u32(5).u32(0).u32(3).u32(6).u32(9).u32(12);        // primitive list
    b.u32(36);
    tetraCornerFloats(b);
    return element({7, 0}, kPolygonSetImplGuid, 4, 0, b.b);
}

Vq::SharedPtr<VqPolygonSetImpl> losslessTetra() {
    Vq::SharedPtr<VqPolygonSetImpl> impl = new VqPolygonSetImpl();
    Vq::SharedPtr<VqTopoMesh> m = goldenTetrahedron();
    {
        MeshLock lock(*m);
        EXPECT_TRUE(m->setCompressionParams(0, 8, 16, 8));
    }
    EXPECT_TRUE(impl->setTopoMesh(m.get())) << lastError();
    return impl;
}

void expectTetra(const Vq::SharedPtr<VqBase>& obj, const VqPolygonSetImpl& want) {
    auto* back = Vq::typeCast<VqPolygonSetImpl>(obj.get());
    ASSERT_NE(back, nullptr) << lastError();
    ASSERT_NE(back->topoMesh(), nullptr);
    EXPECT_EQ(back->bindings(), VQ_GEOMBIND_VTXCOORD3);
    expectSamePrims(*want.topoMesh(), *back->topoMesh(), 0.0f);
    VqFixedVec<int, 2> v;
    ASSERT_TRUE(back->numVertices(v));
    EXPECT_EQ(v, (VqFixedVec<int, 2>(4, 4))) << "the corners were not collocated";
    EXPECT_NEAR(back->area(), 1.5 + std::sqrt(3.0) / 2, 1e-6);
}

TEST_F(ShapeRecordTest, TetrahedronImplementationMatchesItsOlderLayouts) {
    Vq::SharedPtr<VqPolygonSetImpl> impl = losslessTetra();
    expectTetra(readElement(tetraImpl81(), {8, 1}), *impl);
    expectTetra(readElement(tetraImpl70(), {7, 0}), *impl);
    expectTetra(readElement(tetraImpl70(1), {7, 0}), *impl);
    expectSameBytes(writeElement(*impl, {7, 0}), tetraImpl70());
    expectSameBytes(writeElement(*impl, {6, 4}), tetraImpl70());

    // At 8.1 the writer picks the packet's codec and may deflate the floats:
    // the bytes up to the primitive list are fixed, and what follows must
    // read back as the same tetrahedron.
    const Bytes got = writeElement(*impl, {8, 1});
    const Bytes head = element({8, 1}, kPolygonSetImplGuid, 4, 0, tetraImpl81Head().b);
    ASSERT_GT(got.size(), head.size());
    EXPECT_TRUE(std::equal(head.begin() + 4, head.end(), got.begin() + 4));
    expectTetra(readElement(got, {8, 1}), *impl);
}

TEST_F(ShapeRecordTest, OlderImplementationRecordsRefuseBadFields) {
    auto patched = [](Bytes b, size_t at, std::initializer_list<uint8_t> v) {
        std::copy(v.begin(), v.end(), b.begin() + long(at));
        return b;
    };
    // The record starts after the length, GUID and base type (21 bytes).
    const size_t at = 21;
    // 8.1: a colour binding of 4, and normal bits of 14.
    EXPECT_EQ(readElement(patched(tetraImpl81(), at + 2, {0, 0, 4}), {8, 1}), nullptr);
    EXPECT_NE(lastError().find("cb==VqVertexShape::NoBind"), std::string::npos) << lastError();
    EXPECT_EQ(readElement(patched(tetraImpl81(), at + 7, {14}), {8, 1}), nullptr);
    EXPECT_EQ(lastError(), "nVtxBits <= 24 && nNormBits <= 13 && nTexBits <= 24 && nColBits <= 24");
    // 7.0: a texture binding of -1, and a hierarchy longer than the record.
    EXPECT_EQ(readElement(patched(tetraImpl70(), at + 5, {0xFF, 0xFF, 0xFF, 0xFF}), {7, 0}), nullptr);
    EXPECT_NE(lastError().find("tb==VqVertexShape::NoBind"), std::string::npos) << lastError();
    EXPECT_EQ(readElement(patched(tetraImpl70(1), at + 1, {0xFF, 0xFF, 0xFF, 0x7F}), {7, 0}), nullptr);
    EXPECT_NE(lastError(), "");
    // Every truncation of either fails without a crash.
    for (Format f : {Format{8, 1}, Format{7, 0}}) {
        const Bytes whole = f.major == 8 ? tetraImpl81() : tetraImpl70();
        for (size_t cut = 0; cut < whole.size(); cut += 5) {
            Bytes part(whole.begin(), whole.begin() + long(cut));
            if (part.size() >= 4) {
                const uint32_t len = uint32_t(part.size() - 4);
                std::memcpy(part.data(), &len, 4);
            }
            EXPECT_EQ(readElement(part, f), nullptr) << name(f) << " cut at " << cut;
        }
    }
}

// ---- Shape nodes
//
// A polygon set with normals (bindings 0xA), box (0,0,0)-(1,2,3), area 2.5,
// vertex range (4, 8), node range (1, 1), polygon range (2, 6), last
// implementation size 1234, compression level 0.5. The node level: no
// flags, no attributes (and before 9 the node's own object ID 0).

struct NodeFixture {
    uint64_t bindings = VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3;
    float level = 0.5f;
    int vertexShapeLocalVersion = 0; // 0: the writer's own
    int sid = -1;
};

Bytes polygonSetNode(Format f, const NodeFixture& x = {}) {
    Image b;
    lv(b, f, 1);
    if (f.major < 9) b.u32(0); // own object ID
    b.u32(0).u32(0);           // flags, attribute count
    lv(b, f, 1);               // VqShape
    auto box = [&] {
        for (float v : {0.f, 0.f, 0.f, 1.f, 2.f, 3.f})
            f32(b, v);
    };
    if (f.major < 10) box(); // the box with the node's own transform: none here
    box();
    f32(b, 2.5f);
    b.u32(4).u32(8).u32(1).u32(1).u32(2).u32(6).u32(1234);
    if (f.major >= 8) f32(b, x.level);
    if (f.major < 8) b.u32(uint32_t(x.sid));
    // VqVertexShape
    if (f.major >= 10) {
        b.u8(1).u64(x.bindings);
    } else if (f.major == 9) {
        const int v = x.vertexShapeLocalVersion ? x.vertexShapeLocalVersion : (f.minor >= 4 ? 2 : 1);
        b.u16(uint16_t(v)).u64(x.bindings & 0xFFFFFFFFFFull).u32(0); // bit counts 0: no mesh
        if (v >= 2) b.u64(x.bindings);
    } else {
        b.u32(1).u32(0).u32(0); // normals per vertex, no texture, no colours
        if (f.major == 8) b.u32(0);
    }
    return element(f, kPolygonSetGuid, 2, 0, b.b);
}

TEST_F(ShapeRecordTest, ShapeNodesMatchTheirLayoutsInEveryFormat) {
    for (Format f : {Format{6, 4}, Format{7, 0}, Format{8, 0}, Format{9, 0}, Format{9, 4}, Format{10, 0}}) {
        SCOPED_TRACE(name(f));
        const Bytes want = polygonSetNode(f);
        Vq::SharedPtr<VqBase> obj = readElement(want, f);
        auto* s = Vq::typeCast<VqPolygonSet>(obj.get());
        ASSERT_NE(s, nullptr) << lastError();
        EXPECT_EQ(s->getBindings(), VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3);
        EXPECT_EQ(s->cachedBBox().max, (VqVec3f(1, 2, 3)));
        EXPECT_EQ(s->area(), 2.5f);
        VqFixedVec<int, 2> v, p;
        ASSERT_TRUE(s->numVertices(v) && s->numPolygons(p));
        EXPECT_EQ(v, (VqFixedVec<int, 2>(4, 8)));
        EXPECT_EQ(p, (VqFixedVec<int, 2>(2, 6)));
        EXPECT_EQ(s->lastImplSize(), 1234u);
        EXPECT_FALSE(s->isImplLoaded());
        // Formats before 8 keep no level: the reader gives the default.
        EXPECT_EQ(s->compressionLevel(), f.major >= 8 ? 0.5f : VqShape::defaultCompressionLevel());
        expectSameBytes(writeElement(*s, f), want);
    }
}

TEST_F(ShapeRecordTest, A94RecordOfLocalVersion1EndsAfterTheBitCounts) {
    NodeFixture x;
    x.vertexShapeLocalVersion = 1;
    x.bindings = VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_VTXCOLOR3;
    Vq::SharedPtr<VqBase> obj = readElement(polygonSetNode({9, 4}, x), {9, 4});
    auto* s = Vq::typeCast<VqPolygonSet>(obj.get());
    ASSERT_NE(s, nullptr) << lastError();
    EXPECT_EQ(s->getBindings(), x.bindings);
    // Local version 2 takes the full bindings from the second field (bit 61
    // is beyond the first field's 40 bits).
    x.vertexShapeLocalVersion = 2;
    x.bindings |= uint64_t(1) << 61;
    obj = readElement(polygonSetNode({9, 4}, x), {9, 4});
    s = Vq::typeCast<VqPolygonSet>(obj.get());
    ASSERT_NE(s, nullptr) << lastError();
    EXPECT_EQ(s->getBindings(), x.bindings);
}

TEST_F(ShapeRecordTest, CompressionLevelsOutOfRangeInAFileBecomeTheDefault) {
    for (float bad :
         {1.5f, -0.25f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
        NodeFixture x;
        x.level = bad;
        Vq::SharedPtr<VqBase> obj = readElement(polygonSetNode({10, 0}, x), {10, 0});
        auto* s = Vq::typeCast<VqPolygonSet>(obj.get());
        ASSERT_NE(s, nullptr) << lastError();
        EXPECT_EQ(s->compressionLevel(), 0.01f) << bad;
    }
    // The interface refuses them.
    Vq::SharedPtr<VqPolygonSet> s = new VqPolygonSet(VQ_GEOMBIND_VTXCOORD3);
    EXPECT_FALSE(s->setCompressionLevel(1.5f));
    EXPECT_EQ(lastError(), "fLevel >= 0.0f && fLevel <= 1.0f");
    EXPECT_FALSE(s->setCompressionLevel(std::numeric_limits<float>::quiet_NaN()));
    EXPECT_FALSE(VqShape::setDefaultCompressionLevel(-0.5f));
    EXPECT_TRUE(s->setCompressionLevel(1.0f));
}

TEST_F(ShapeRecordTest, BadOldBindingsInAFileAreRefused) {
    Bytes b = polygonSetNode({8, 0});
    // The colour binding, third of the three i32 before the bit counts.
    const size_t at = b.size() - 8;
    b[at] = 4;
    EXPECT_EQ(readElement(b, {8, 0}), nullptr);
    EXPECT_NE(lastError().find("cb==VqVertexShape::NoBind"), std::string::npos) << lastError();
}

// ---- The area-factor kinds: in 9.4+ the vertex shape's level keeps its 9.0
// form and the full bindings follow the factor.

TEST_F(ShapeRecordTest, PointSetsCarryTheirFactorAndFullBindingsOnTheirOwnLevel) {
    const uint64_t full = VQ_GEOMBIND_VTXCOORD3 | (uint64_t(1) << 61);
    Vq::SharedPtr<VqPointSet> s = new VqPointSet(full);
    ASSERT_TRUE(s->setAreaFactor(0.25f));
    ASSERT_TRUE(s->setCompressionLevel(0.0f)); // no quantisation: bit counts 0
    s->setBBox(VqVec3f(0, 0, 0), VqVec3f(1, 2, 3));
    s->setArea(2.5f);
    struct Case {
        Format f;
        Bytes tail; // from the vertex shape's level on
    };
    Image t94, t90, t81, t80, t10;
    t94.u16(1).u64(full & 0xFFFFFFFFFFull).u32(0);
    f32(t94.u16(2), 0.25f).u64(full);
    t90.u16(1).u64(full & 0xFFFFFFFFFFull).u32(0);
    f32(t90.u16(1), 0.25f);
    f32(t81.u32(0).u32(0).u32(0).u32(0), 0.25f); // no normals, texture or colours; bit counts
    t80.u32(0).u32(0).u32(0).u32(0);             // a point set's factor came with 8.1
    f32(t10.u8(1).u64(full).u8(1), 0.25f);
    for (const Case& c : {Case{{9, 4}, t94.b}, Case{{9, 0}, t90.b}, Case{{8, 1}, t81.b}, Case{{8, 0}, t80.b},
                          Case{{10, 0}, t10.b}}) {
        SCOPED_TRACE(name(c.f));
        const Bytes got = writeElement(*s, c.f);
        ASSERT_GE(got.size(), c.tail.size());
        expectSameBytes(Bytes(got.end() - std::ptrdiff_t(c.tail.size()), got.end()), c.tail);
        Vq::SharedPtr<VqBase> obj = readElement(got, c.f);
        auto* back = Vq::typeCast<VqPointSet>(obj.get());
        ASSERT_NE(back, nullptr) << lastError();
        EXPECT_EQ(back->areaFactor(),
                  c.f.major == 8 && c.f.minor == 0 ? VqPointSet::defaultAreaFactor() : 0.25f);
        // The 9.x records keep bits 0-39 on the vertex shape's level only.
        const bool keepsAll = c.f.major == 10 || (c.f.major == 9 && c.f.minor >= 4);
        const uint64_t want = c.f.major < 9 ? VQ_GEOMBIND_VTXCOORD3
                              : keepsAll    ? full
                                            : full & 0xFFFFFFFFFFull;
        EXPECT_EQ(back->getBindings(), want);
    }
    EXPECT_FALSE(s->setAreaFactor(-1.0f));
    EXPECT_EQ(lastError(), "factor >= 0.0f");
    EXPECT_EQ(lastErrorClass(), "VqPointSet");
}

// Each kind keeps a default factor of its own for the shapes it makes next;
// a refused default leaves it as it was.
TEST_F(ShapeRecordTest, DefaultAreaFactorsBelongToTheirKind) {
    const float point = VqPointSet::defaultAreaFactor(), line = VqPolylineSet::defaultAreaFactor();
    ASSERT_TRUE(VqPointSet::setDefaultAreaFactor(0.5f));
    EXPECT_EQ(VqPolylineSet::defaultAreaFactor(), line);
    EXPECT_EQ(Vq::SharedPtr<VqPointSet>(new VqPointSet())->areaFactor(), 0.5f);
    EXPECT_EQ(Vq::SharedPtr<VqPolylineSet>(new VqPolylineSet())->areaFactor(), line);
    EXPECT_FALSE(VqPolylineSet::setDefaultAreaFactor(-0.5f));
    EXPECT_EQ(lastErrorClass(), "VqPolylineSet");
    EXPECT_EQ(VqPolylineSet::defaultAreaFactor(), line);
    ASSERT_TRUE(VqPointSet::setDefaultAreaFactor(point));
}

// ---- Quantisation and bindings

TEST_F(ShapeRecordTest, CompressionLevelsGiveTheirBitCounts) {
    struct Case {
        float level;
        int v, n, t, c;
    };
    // Level 0.5: coordinates trunc(4.5 + 12.5) = 17, normals trunc(1.5 + 4.5)
    // = 6, texture trunc(3 + 8.5) = 11, colours trunc(2 + 4.5) = 6.
    for (const Case& k : {Case{0.0f, 0, 0, 0, 0}, Case{1.0f, 9, 3, 6, 4}, Case{0.5f, 17, 6, 11, 6},
                          Case{0.01f, 24, 8, 16, 8}}) {
        int v, n, t, c;
        VqVertexShapeImpl::s_levelToBits(k.level, v, n, t, c);
        EXPECT_EQ(std::vector<int>({v, n, t, c}), std::vector<int>({k.v, k.n, k.t, k.c})) << k.level;
    }
    // A shape applies its level to the mesh it creates.
    Vq::SharedPtr<VqPolygonSet> s = new VqPolygonSet(VQ_GEOMBIND_VTXCOORD3);
    ASSERT_TRUE(s->setCompressionLevel(0.5f));
    ASSERT_TRUE(s->loadImpl(false)) << lastError();
    int v, n, t, c;
    ASSERT_TRUE(s->getCompressionParams(v, n, t, c));
    EXPECT_EQ(v, 17);
    ASSERT_TRUE(s->setCompressionLevel(0.0f));
    ASSERT_TRUE(s->getCompressionParams(v, n, t, c));
    EXPECT_EQ(std::vector<int>({v, n, t, c}), std::vector<int>({0, 0, 0, 0}));
}

TEST_F(ShapeRecordTest, InvalidBindingMasksAreRefusedWithTheirTexts) {
    Vq::SharedPtr<VqPolygonSet> s = new VqPolygonSet(VQ_GEOMBIND_VTXCOORD3);
    struct Case {
        uint64_t mask;
        const char* text;
    };
    for (const Case& c : {Case{0x3, "Incorrect vertex coord bindings specified"},
                          Case{0x0, "Incorrect vertex coord bindings specified"},
                          Case{0x2 | 0x30, "Incorrect vertex color bindings specified"},
                          Case{0x2 | 0x300, "Incorrect tex coord bindings specified"},
                          Case{0x2 | (uint64_t(0x3) << 36), "Incorrect tex coord bindings specified"}}) {
        EXPECT_FALSE(s->setBindings(c.mask));
        EXPECT_EQ(lastError(), c.text) << std::hex << c.mask;
        EXPECT_EQ(s->getBindings(), VQ_GEOMBIND_VTXCOORD3);
    }
    // A shape built with an invalid mask cannot make its mesh.
    Vq::SharedPtr<VqPolygonSet> bad = new VqPolygonSet(0x3);
    EXPECT_FALSE(bad->loadImpl(false));
    EXPECT_EQ(lastError(), "Incorrect vertex coord bindings specified");
}

} // namespace
