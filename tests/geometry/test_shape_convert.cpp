// Converting files with shapes: a save in the version the file was read in
// copies unchanged shape segments byte for byte without decoding them; a
// changed shape, one moved to another level, or another target version goes
// through the coder. Saving over the file being read loses nothing.
#include "MeshTestUtil.h"
#include "ShapeTestUtil.h"
#include "VqFSStorageLocation.h"
#include "VqLOD.h"
#include "VqPartition.h"
#include "VqPointSet.h"
#include "VqPolygonSet.h"
#include "VqPolylineSet.h"
#include "VqStringPropAtom.h"
#include "VqTOCStreamMgr.h"
#include "VqTempDir.h"
#include "VqThumbnailSet.h"
#include "VqTriStripSet.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>

namespace {

struct Version {
    int major, minor;
};

using Iter3 = VqShapeDataArrayIter<float, 3>;

bool addQuads(VqVertexShape& s, int n, float z) {
    for (int x = 0; x < n; ++x) {
        const float fx = float(x);
        Iter3 c(std::vector<float>{fx, 0, z, fx + 1, 0, z, fx + 1, 1, z, fx, 1, z});
        if (!s.addPrim(&c, nullptr, nullptr, nullptr, 0)) return false;
    }
    return true;
}

bool addTriangles(VqVertexShape& s, int n) {
    for (int x = 0; x < n; ++x) {
        const float fx = float(x);
        Iter3 c(std::vector<float>{fx, 0, 0, fx + 1, 0, 0, fx, 1, 0.5f});
        if (!s.addPrim(&c, nullptr, nullptr, nullptr, 0)) return false;
    }
    return true;
}

bool addLine(VqVertexShape& s) {
    Iter3 c(std::vector<float>{0, 0, 0, 1, 2, 0, 3, 2, 1, 4, 0, 1});
    return s.addPrim(&c, nullptr, nullptr, nullptr, 0);
}

VqLateLoadedPropAtom* llValue(const VqNode* n) {
    Vq::SharedPtr<VqPropAtom> v = n->propValue(vqLLPropShapeImpl);
    return Vq::typeCast<VqLateLoadedPropAtom>(v.get());
}

class ShapeConvertTest : public VqLibTest {
protected:
    void TearDown() override {
        VqPartition::setVersion(9, 5);
        VqLibTest::TearDown();
    }

    // Strips, polygons, a polyline and points under an LOD node, and a
    // polygon set directly under the partition.
    static Vq::SharedPtr<VqPartition> build() {
        Vq::SharedPtr<VqPartition> root = new VqPartition();
        Vq::SharedPtr<VqLOD> lod = new VqLOD();
        Vq::SharedPtr<VqTriStripSet> strips = new VqTriStripSet(VQ_GEOMBIND_VTXCOORD3);
        Vq::SharedPtr<VqPolygonSet> quads = new VqPolygonSet(VQ_GEOMBIND_VTXCOORD3);
        Vq::SharedPtr<VqPolylineSet> lines = new VqPolylineSet(VQ_GEOMBIND_VTXCOORD3);
        Vq::SharedPtr<VqPointSet> points = new VqPointSet(VQ_GEOMBIND_VTXCOORD3);
        Vq::SharedPtr<VqPolygonSet> top = new VqPolygonSet(VQ_GEOMBIND_VTXCOORD3);
        EXPECT_TRUE(root->appendChild(lod.get()) && lod->appendChild(strips.get()) &&
                    lod->appendChild(quads.get()) && lod->appendChild(lines.get()) &&
                    lod->appendChild(points.get()) && root->appendChild(top.get()));
        EXPECT_TRUE(addTriangles(*strips, 5) && addQuads(*quads, 3, 1.0f) && addLine(*lines) &&
                    addLine(*points) && addQuads(*top, 2, -1.0f))
            << lastError();
        return root;
    }

    static Vq::SharedPtr<VqPartition> open(const VqTempDir& d, const char* name) {
        Vq::SharedPtr<VqPartition> read;
        Vq::SharedPtr<VqFSStorageLocation> loc = new VqFSStorageLocation(d.dir(), VqString::fromUtf8(name));
        EXPECT_TRUE(VqPartition::openPartition(loc.get(), nullptr, read)) << lastError();
        return read;
    }

    static bool saveAs(VqPartition& p, const VqTempDir& d, const char* name, Version v,
                       bool allowLoss = false) {
        VqSaveOptions o;
        o.versionMajor = v.major;
        o.versionMinor = v.minor;
        o.allowLoss = allowLoss;
        return p.saveAs(d.file(name), o);
    }

    // The stored bytes of each shape's segment, in walk order.
    static std::vector<std::vector<uint8_t>> bodies(VqPartition& p) {
        std::vector<std::vector<uint8_t>> out;
        for (VqShape* s : VqShape::shapesBelow(&p)) {
            out.emplace_back();
            const VqLateLoadedPropAtom* ll = llValue(s);
            EXPECT_NE(ll, nullptr);
            if (ll) {
                EXPECT_TRUE(p.streamMgr()->readSegmentBody(ll->guid(), out.back())) << lastError();
            }
        }
        return out;
    }

    // Each shape of got loads and matches the one built at the same place.
    static void expectSameGeometry(VqPartition& built, VqPartition& got) {
        const std::vector<VqShape*> want = VqShape::shapesBelow(&built), have = VqShape::shapesBelow(&got);
        ASSERT_EQ(want.size(), have.size());
        ASSERT_TRUE(got.loadAllShapes()) << lastError();
        for (size_t i = 0; i < want.size(); ++i) {
            SCOPED_TRACE(i);
            ASSERT_TRUE(have[i]->isImplLoaded());
            const VqTopoMesh* a = want[i]->topoMesh();
            const VqTopoMesh* b = have[i]->topoMesh();
            ASSERT_TRUE(a && b);
            if (a->primKind() == VqTopoMesh::VQ_PRIM_TRISTRIP) {
                // Strips are stripped anew: the same surface, otherwise cut.
                EXPECT_NEAR(have[i]->impl()->area(), want[i]->impl()->area(), 1e-4);
            } else {
                expectSamePrims(*a, *b, 1e-5f);
            }
        }
    }
};

class SameVersion : public ShapeConvertTest, public ::testing::WithParamInterface<Version> {};

TEST_P(SameVersion, UnchangedSegmentsAreCopiedUnreadAndByteForByte) {
    const Version v = GetParam();
    VqTempDir d;
    Vq::SharedPtr<VqPartition> built = build();
    ASSERT_TRUE(saveAs(*built, d, "a.vq", v)) << lastError();
    Vq::SharedPtr<VqPartition> a = open(d, "a.vq");
    const auto before = bodies(*a);
    const int64_t loads = VqShape::s_TotalShapes.load();
    ASSERT_TRUE(saveAs(*a, d, "b.vq", v)) << lastError();
    EXPECT_EQ(VqShape::s_TotalShapes.load(), loads);
    for (VqShape* s : VqShape::shapesBelow(a.get()))
        EXPECT_FALSE(s->isImplLoaded());
    Vq::SharedPtr<VqPartition> b = open(d, "b.vq");
    EXPECT_EQ(bodies(*b), before);
    expectSameGeometry(*built, *b);
}

INSTANTIATE_TEST_SUITE_P(Versions, SameVersion,
                         ::testing::Values(Version{9, 0}, Version{9, 5}, Version{10, 0}, Version{10, 1}),
                         [](const auto& info) {
                             return "V" + std::to_string(info.param.major) + "_" +
                                    std::to_string(info.param.minor);
                         });

TEST_F(ShapeConvertTest, ChangedOrMovedShapesAreWrittenAfresh) {
    VqTempDir d;
    Vq::SharedPtr<VqPartition> built = build();
    ASSERT_TRUE(saveAs(*built, d, "a.vq", {10, 0})) << lastError();
    Vq::SharedPtr<VqPartition> a = open(d, "a.vq");
    std::vector<VqShape*> s = VqShape::shapesBelow(a.get());
    ASSERT_EQ(s.size(), 5u);
    std::vector<VqGUID> old;
    for (VqShape* x : s)
        old.push_back(llValue(x)->guid());
    // Loaded and left alone: still copied.
    ASSERT_NE(s[0]->ensureImpl(), nullptr) << lastError();
    // Unloaded, loaded again and edited through the mesh.
    ASSERT_NE(s[1]->ensureImpl(), nullptr);
    ASSERT_TRUE(s[1]->unloadImpl());
    ASSERT_TRUE(addQuads(*Vq::typeCast<VqVertexShape>(s[1]), 5, 3.0f)) << lastError();
    // Given a new implementation.
    Vq::SharedPtr<VqPolylineSet> other = new VqPolylineSet(VQ_GEOMBIND_VTXCOORD3);
    ASSERT_TRUE(addLine(*other) && addLine(*other));
    ASSERT_TRUE(s[2]->setImpl(other->impl().get()));
    // Moved from level 3 of the LOD node to the partition.
    Vq::SharedPtr<VqNode> moved = a->child(0)->child(3);
    ASSERT_TRUE(a->child(0)->removeChild(moved.get()) && a->appendChild(moved.get()));

    ASSERT_TRUE(saveAs(*a, d, "b.vq", {10, 0})) << lastError();
    EXPECT_EQ(llValue(s[0])->guid(), old[0]);
    EXPECT_NE(llValue(s[1])->guid(), old[1]);
    EXPECT_NE(llValue(s[2])->guid(), old[2]);
    EXPECT_NE(llValue(s[3])->guid(), old[3]);
    EXPECT_EQ(llValue(s[4])->guid(), old[4]);

    Vq::SharedPtr<VqPartition> b = open(d, "b.vq");
    ASSERT_TRUE(b->loadAllShapes()) << lastError();
    const std::vector<VqShape*> got = VqShape::shapesBelow(b.get());
    ASSERT_EQ(got.size(), 5u);
    VqFixedVec<int, 2> polys;
    ASSERT_TRUE(got[1]->numPolygons(polys));
    EXPECT_EQ(polys[0], 8);
    EXPECT_EQ(Vq::typeCast<VqVertexShape>(got[1])->numPrims(), 8u);
    EXPECT_EQ(Vq::typeCast<VqVertexShape>(got[2])->numPrims(), 2u);
    const auto* toc = Vq::typeCast<VqTOCStreamMgr>(b->streamMgr());
    VqTOCElem e;
    ASSERT_TRUE(toc->findSegment(llValue(moved.get())->guid(), e));
    EXPECT_EQ(e.segType(), 6);
    EXPECT_EQ(Vq::typeCast<VqVertexShape>(got[4])->numPrims(), 1u);
}

TEST_F(ShapeConvertTest, OtherVersionsDecodeAndKeepTheGeometry) {
    const std::pair<Version, Version> pairs[] = {
        {{9, 0}, {10, 1}}, {{10, 1}, {9, 0}}, {{9, 5}, {10, 0}}, {{10, 0}, {9, 5}}, {{9, 0}, {9, 5}}};
    Vq::SharedPtr<VqPartition> built = build();
    for (const auto& [from, to] : pairs) {
        SCOPED_TRACE(std::to_string(from.major) + "." + std::to_string(from.minor) + " to " +
                     std::to_string(to.major) + "." + std::to_string(to.minor));
        VqTempDir d;
        ASSERT_TRUE(saveAs(*built, d, "a.vq", from)) << lastError();
        Vq::SharedPtr<VqPartition> a = open(d, "a.vq");
        const int64_t loads = VqShape::s_TotalShapes.load();
        ASSERT_TRUE(saveAs(*a, d, "b.vq", to)) << lastError();
        EXPECT_EQ(VqShape::s_TotalShapes.load(), loads + 5);
        Vq::SharedPtr<VqPartition> b = open(d, "b.vq");
        int major = 0, minor = 0;
        b->datastoreVersion(major, minor);
        EXPECT_EQ(major * 10 + minor, to.major * 10 + to.minor);
        expectSameGeometry(*built, *b);
    }
}

TEST_F(ShapeConvertTest, SavingOverTheFileBeingReadLosesNothing) {
    VqTempDir d;
    Vq::SharedPtr<VqPartition> built = build();
    ASSERT_TRUE(saveAs(*built, d, "a.vq", {9, 5})) << lastError();
    Vq::SharedPtr<VqPartition> a = open(d, "a.vq");
    VqPartition::setVersion(9, 5);
    // Twice: the second save copies from the file the first one wrote.
    ASSERT_TRUE(a->save()) << lastError();
    ASSERT_TRUE(a->save()) << lastError();
    for (VqShape* s : VqShape::shapesBelow(a.get()))
        EXPECT_FALSE(s->isImplLoaded());
    {
        Vq::SharedPtr<VqPartition> again = open(d, "a.vq");
        expectSameGeometry(*built, *again);
    }
    // Over the file, into another version: everything is read before the
    // file is replaced.
    ASSERT_TRUE(saveAs(*a, d, "a.vq", {10, 0})) << lastError();
    Vq::SharedPtr<VqPartition> b = open(d, "a.vq");
    expectSameGeometry(*built, *b);
    // And the partition saved goes on reading from the new file.
    expectSameGeometry(*built, *a);
}

// ---- A change of compression level alone: the stored bytes are of the old
// level, so the implementation is encoded again, whether it was in memory
// when the level changed or not.

TEST_F(ShapeConvertTest, ACompressionLevelChangeReencodesTheShape) {
    VqTempDir d;
    Vq::SharedPtr<VqPartition> built = build();
    ASSERT_TRUE(saveAs(*built, d, "a.vq", {9, 5})) << lastError();
    Vq::SharedPtr<VqPartition> a = open(d, "a.vq");
    const auto before = bodies(*a);
    std::vector<VqShape*> s = VqShape::shapesBelow(a.get());
    ASSERT_EQ(s.size(), 5u);
    ASSERT_TRUE(s[1]->setCompressionLevel(0.5f)); // not in memory
    ASSERT_NE(s[4]->ensureImpl(), nullptr);       // in memory
    ASSERT_TRUE(s[4]->setCompressionLevel(0.5f));
    ASSERT_TRUE(s[0]->setCompressionLevel(s[0]->compressionLevel())); // no change
    ASSERT_TRUE(saveAs(*a, d, "b.vq", {9, 5})) << lastError();

    Vq::SharedPtr<VqPartition> b = open(d, "b.vq");
    const auto after = bodies(*b);
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < after.size(); ++i)
        EXPECT_EQ(after[i] == before[i], i != 1 && i != 4) << "shape " << i;
    ASSERT_TRUE(b->loadAllShapes()) << lastError();
    const std::vector<VqShape*> got = VqShape::shapesBelow(b.get());
    for (size_t i : {size_t(1), size_t(4)}) {
        int v = 0, n = 0, t = 0, c = 0;
        ASSERT_TRUE(Vq::typeCast<VqVertexShape>(got[i])->getCompressionParams(v, n, t, c));
        EXPECT_EQ(v, 17) << "shape " << i; // trunc(0.5 * 9 + 25 * 0.5)
        EXPECT_EQ(got[i]->compressionLevel(), 0.5f);
    }
    expectSameGeometry(*built, *b);
}

// ---- Versions that cannot hold the content: the save is refused before
// anything reaches the target, which keeps what it held; allowLoss writes
// the file without that content.

bool readFile(const VqTempDir& d, const char* name, std::vector<uint8_t>& out) {
    FILE* f = std::fopen(d.file(name).toUtf8().c_str(), "rb");
    if (!f) return false;
    out.clear();
    uint8_t buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return true;
}

TEST_F(ShapeConvertTest, AVersionThatCannotHoldTheContentIsRefused) {
    VqTempDir d;
    Vq::SharedPtr<VqPartition> plain = build();
    ASSERT_TRUE(saveAs(*plain, d, "old.vq", {8, 1})) << lastError();
    std::vector<uint8_t> old;
    ASSERT_TRUE(readFile(d, "old.vq", old));

    struct Case {
        const char* what;
        Vq::SharedPtr<VqShape> shape;
        Version refused, oldest;
        const char* kind;
    };
    // A second face group, then vertex flags: 9.0. Auxiliary fields: 9.4.
    Vq::SharedPtr<VqPolygonSet> groups = new VqPolygonSet(VQ_GEOMBIND_VTXCOORD3);
    Iter3 tri(std::vector<float>{0, 0, 0, 1, 0, 0, 0, 1, 0}),
        other(std::vector<float>{0, 0, 1, 1, 0, 1, 0, 1, 1});
    ASSERT_TRUE(groups->addPrim(&tri, nullptr, nullptr, nullptr, 0) &&
                groups->addPrim(&other, nullptr, nullptr, nullptr, 1));
    Vq::SharedPtr<VqPointSet> flagged = new VqPointSet(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_VTXFLAG_MASK);
    ASSERT_TRUE(addLine(*flagged)) << lastError();
    Vq::SharedPtr<VqTriStripSet> aux = new VqTriStripSet(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_AUXFIELDS_MASK);
    for (const Case& c : {Case{"face groups", groups, {8, 1}, {9, 0}, "VqPolygonSet"},
                          Case{"face groups at 6.4", groups, {6, 4}, {9, 0}, "VqPolygonSet"},
                          Case{"vertex flags", flagged, {8, 2}, {9, 0}, "VqPointSet"},
                          Case{"auxiliary fields", aux, {9, 3}, {9, 4}, "VqTriStripSet"}}) {
        SCOPED_TRACE(c.what);
        Vq::SharedPtr<VqPartition> p = build();
        ASSERT_TRUE(p->appendChild(c.shape.get()));
        EXPECT_FALSE(saveAs(*p, d, "old.vq", c.refused));
        const std::string want = std::string("A ") + c.kind + " holds content that needs format " +
                                 std::to_string(c.oldest.major) + "." + std::to_string(c.oldest.minor) +
                                 " or later";
        EXPECT_NE(lastError().find(want), std::string::npos) << lastError();
        std::vector<uint8_t> now;
        ASSERT_TRUE(readFile(d, "old.vq", now));
        EXPECT_TRUE(now == old) << "the target changed";
        // The oldest version named holds it.
        EXPECT_TRUE(saveAs(*p, d, "new.vq", c.oldest)) << lastError();
        ASSERT_TRUE(p->removeChild(c.shape.get()));
    }

    // Asked for, the loss is taken: the face groups become one. (What was
    // saved is let go first: a load would find it in memory.)
    {
        Vq::SharedPtr<VqPartition> p = build();
        ASSERT_TRUE(p->appendChild(groups.get()));
        groups.reset();
        ASSERT_TRUE(saveAs(*p, d, "lossy.vq", {8, 1}, true)) << lastError();
    }
    Vq::SharedPtr<VqPartition> back = open(d, "lossy.vq");
    ASSERT_TRUE(back->loadAllShapes()) << lastError();
    const std::vector<VqShape*> got = VqShape::shapesBelow(back.get());
    ASSERT_EQ(got.size(), 6u);
    ASSERT_NE(got[5]->topoMesh(), nullptr);
    EXPECT_EQ(got[5]->topoMesh()->numFaceGroups(), 1u);
    EXPECT_EQ(Vq::typeCast<VqVertexShape>(got[5])->numPrims(), 2u);
}

// Formats 6 and 7 keep no late-loaded data but the shapes' implementations:
// any other such value is refused like content of a newer version, and
// left out when loss is allowed. From format 8 on it is kept.
TEST_F(ShapeConvertTest, LateLoadedDataALegacyVersionCannotHoldIsRefused) {
    VqTempDir d;
    Vq::SharedPtr<VqPartition> p = build();
    VqNode* holder = p->child(0);
    Vq::SharedPtr<VqThumbnailSet> thumbs = new VqThumbnailSet();
    Vq::SharedPtr<VqLateLoadedPropAtom> ll = new VqLateLoadedPropAtom(VqGUID(), VQSEG_METADATA);
    ASSERT_TRUE(ll->setObject(thumbs.get()));
    ASSERT_TRUE(holder->addProp(vqLLPropData, ll.get(), false)) << lastError();
    for (Version v : {Version{6, 4}, Version{7, 0}}) {
        EXPECT_FALSE(saveAs(*p, d, "old.vq", v));
        const std::string want = std::string("A ") + holder->type()->name +
                                 " holds late-loaded data, which format " + std::to_string(v.major) + "." +
                                 std::to_string(v.minor) + " cannot hold";
        EXPECT_NE(lastError().find(want), std::string::npos) << lastError();
    }
    ASSERT_TRUE(saveAs(*p, d, "new.vq", {9, 5})) << lastError();
    EXPECT_NE(open(d, "new.vq")->child(0)->propValue(vqLLPropData), nullptr);

    ASSERT_TRUE(saveAs(*p, d, "lossy.vq", {7, 0}, true)) << lastError();
    Vq::SharedPtr<VqPartition> back = open(d, "lossy.vq");
    EXPECT_EQ(back->child(0)->propValue(vqLLPropData), nullptr);
    // The shapes' implementations are no loss: they are all there.
    ASSERT_TRUE(back->loadAllShapes()) << lastError();
    EXPECT_EQ(VqShape::shapesBelow(back.get()).size(), 5u);
}

} // namespace
