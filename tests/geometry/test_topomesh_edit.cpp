// Topology meshes as arrays: primitives, atoms and face groups, their checks
// with the texts they refuse with, editing under lock, and the index maps a
// shared pool sends.
#include "MeshTestUtil.h"
#include "VqLineStripTopoMesh.h"
#include "VqPointTopoMesh.h"

namespace {

class TopoMeshEditTest : public VqLibTest {
protected:
    void TearDown() override {
        VqTopoMesh::s_bEnforceLocking = true;
        VqLibTest::TearDown();
    }
    // n records at x = 0, 1, 2, ... on the mesh's pool.
    static void addRecords(VqTopoMesh& m, uint32_t n) {
        std::vector<float> c;
        for (uint32_t i = 0; i < n; ++i)
            c.insert(c.end(), {float(i), float(i * i % 7), 0.0f});
        VqVertexRecordPool& pool = *m.vtxRecPool();
        ASSERT_TRUE(pool.lockWrite(true));
        uint32_t first = 0;
        ASSERT_TRUE(pool.addVtxRecords(n, first, c.data(), nullptr, nullptr, nullptr, nullptr))
            << lastError();
        pool.lockWrite(false);
    }
};

TEST_F(TopoMeshEditTest, AtomsOfEachKind) {
    const uint32_t idx[] = {0, 1, 2, 3, 4, 5, 6, 7};
    VqTriStripTopoMesh strips(VQ_GEOMBIND_VTXCOORD3);
    addRecords(strips, 8);
    {
        MeshLock lock(strips);
        const uint32_t sizes[] = {3, 5};
        ASSERT_TRUE(strips.addPrimitives(0, 2, sizes, idx)) << lastError();
    }
    // A strip of 3 indices is one triangle, one of 5 three.
    EXPECT_EQ(strips.numAtoms(), 4u);
    EXPECT_EQ(strips.firstFacetOnPrim(1u), 1);
    EXPECT_EQ(strips.lastFacetOnPrim(1u), 3);
    EXPECT_EQ(strips.atomToPrim(0), 0);
    EXPECT_EQ(strips.atomToPrim(3), 1);
    EXPECT_EQ(strips.atomToPrim(4), -1);
    // Odd triangles of a strip are wound (s[1], s[0], s[2]).
    uint32_t r[3];
    ASSERT_EQ(strips.atomRecords(2, r, 3), 3u);
    EXPECT_EQ(std::vector<uint32_t>(r, r + 3), (std::vector<uint32_t>{5, 4, 6}));
    EXPECT_EQ(strips.nextFacetOnPrim(3), -1);
    EXPECT_EQ(strips.prevFacetOnPrim(1), -1);
    EXPECT_EQ(strips.nextVtxOnPrim(2), -1);
    EXPECT_EQ(strips.nextVtxOnPrim(3), 4);

    VqLineStripTopoMesh lines(strips.vtxRecPool());
    VqPointTopoMesh points(strips.vtxRecPool());
    VqPolygonTopoMesh polys(strips.vtxRecPool());
    {
        MeshLock l1(lines), l2(points), l3(polys);
        const uint32_t sizes[] = {2, 4};
        ASSERT_TRUE(lines.addPrimitives(0, 2, sizes, idx));
        ASSERT_TRUE(points.addPrimitives(0, 2, sizes, idx));
        const uint32_t psizes[] = {3, 5};
        ASSERT_TRUE(polys.addPrimitives(0, 2, psizes, idx));
    }
    EXPECT_EQ(lines.numAtoms(), 4u);
    EXPECT_EQ(points.numAtoms(), 6u);
    EXPECT_EQ(polys.numAtoms(), 2u);
    EXPECT_EQ(polys.uniformPrimSize(), 0u);
    EXPECT_EQ(polys.atomRecords(1, r, 3), 0u) << "a pentagon does not fit three outputs";
    EXPECT_EQ(strips.vtxRecPool()->numMeshes(), 4u);
}

TEST_F(TopoMeshEditTest, PrimitiveChecksRefuseWithTheirTexts) {
    VqTriStripTopoMesh strips(VQ_GEOMBIND_VTXCOORD3);
    VqLineStripTopoMesh lines(strips.vtxRecPool());
    addRecords(strips, 4);
    const uint32_t idx[] = {0, 1, 2, 3};
    const uint32_t two = 2;
    // Editing needs the write lock.
    EXPECT_FALSE(strips.addPrimitives(0, 1, 3u, idx));
    EXPECT_EQ(lastError(), "!s_bEnforceLocking || (isWriteLocked())");
    MeshLock l1(strips), l2(lines);
    EXPECT_FALSE(strips.addPrimitives(0, 1, &two, idx));
    EXPECT_EQ(lastError(), "xPrim.paiPrimStart[iPrim] >= 3");
    EXPECT_FALSE(lines.addPrimitives(0, 1, 1u, idx));
    EXPECT_EQ(lastError(), "xPrim.paiPrimStart[iPrim] >= 2");
    const uint32_t bad[] = {0, 1, 9};
    EXPECT_FALSE(strips.addPrimitives(0, 1, 3u, bad));
    EXPECT_EQ(lastError(), "paiIndices[iIdx] < nVtxRecs");
    EXPECT_FALSE(strips.addPrimitives(-1, 1, 3u, idx));
    EXPECT_EQ(strips.numPrims(), 0u);
    // A topology edit outside its bracket.
    const VqVtxHdl v[3] = {0, 1, 2};
    EXPECT_FALSE(strips.createPrimitive(0, v, 3));
    EXPECT_EQ(lastError(), "_nTopoEdit > 0");
}

TEST_F(TopoMeshEditTest, FaceGroupsAndTheirRanges) {
    VqPolygonTopoMesh m(VQ_GEOMBIND_VTXCOORD3);
    addRecords(m, 9);
    {
        MeshLock lock(m);
        const uint32_t a[] = {0, 1, 2}, b[] = {3, 4, 5}, c[] = {6, 7, 8};
        ASSERT_TRUE(m.addPrimitives(2, 1, 3u, c)); // groups 0 and 1 come into being empty
        ASSERT_TRUE(m.addPrimitives(0, 1, 3u, a));
        ASSERT_TRUE(m.addPrimitives(0, 1, 3u, b)); // appended to group 0, before group 2's
        ASSERT_TRUE(m.ensureNumFaceGroups(4));
    }
    ASSERT_TRUE(m.verifyTopoMesh(false)) << lastError();
    EXPECT_EQ(m.numFaceGroups(), 4u);
    EXPECT_EQ(m.numPrims(0u), 2u);
    EXPECT_EQ(m.numPrims(1u), 0u);
    EXPECT_EQ(m.numPrims(2u), 1u);
    EXPECT_EQ(m.firstVtxOnPrim(0u, 1u), 3);
    EXPECT_EQ(m.firstVtxOnPrim(2u, 0u), 6);
    EXPECT_EQ(m.lastVtxOnPrim(2u, 0u), 8);
    EXPECT_EQ(m.firstVtxOnPrim(1u, 0u), -1);
    EXPECT_EQ(m.atomToFaceGroup(2), 2);

    VqBox3<float> box;
    ASSERT_TRUE(m.computeFaceGroupBBox(-1, -1, box));
    EXPECT_EQ(box.min[0], 0.0f);
    EXPECT_EQ(box.max[0], 8.0f);
    ASSERT_TRUE(m.computeFaceGroupBBox(1, 2, box));
    EXPECT_EQ(box.min[0], 6.0f);
    ASSERT_TRUE(m.computeFaceGroupBBox(1, 1, box));
    EXPECT_TRUE(box.isEmpty());
    EXPECT_FALSE(m.computeFaceGroupBBox(2, 1, box));
    EXPECT_EQ(lastError(), "iFGEnd < nFaceGrps && iFGEnd >= iFGStart");
    EXPECT_FALSE(m.computeFaceGroupBBox(4, 4, box));
    EXPECT_EQ(lastError(), "iFGStart < nFaceGrps");
    EXPECT_FALSE(m.computeFaceGroupBBox(0, 4, box));
    EXPECT_EQ(lastError(), "iFGEnd < nFaceGrps && iFGEnd >= iFGStart");

    MeshLock lock(m);
    VqBitVec drop;
    drop.set(0);
    drop.set(2);
    ASSERT_TRUE(m.removePrimitives(drop));
    EXPECT_EQ(m.numPrims(), 1u);
    EXPECT_EQ(m.numFaceGroups(), 4u);
    EXPECT_EQ(m.indices()[0], 3u);
    EXPECT_EQ(m.numPrims(2u), 0u);
    ASSERT_TRUE(m.verifyTopoMesh(false)) << lastError();
}

TEST_F(TopoMeshEditTest, WritableArraysAreCheckedWhenGivenBack) {
    VqTriStripTopoMesh m(VQ_GEOMBIND_VTXCOORD3);
    addRecords(m, 5);
    MeshLock lock(m);
    ASSERT_TRUE(m.allocatePrimitives(2, 8, 1));
    // A writer fills what a decoder would (the write lock is reentrant).
    VqTopoMeshPrimitives p;
    ASSERT_TRUE(m.acquirePrimitives(p, true));
    const uint32_t start[] = {0, 3, 8}, idx[] = {0, 1, 2, 0, 1, 2, 3, 4}, fg[] = {0, 2};
    std::copy(start, start + 3, p.paiPrimStart);
    std::copy(idx, idx + 8, p.paiIndices);
    std::copy(fg, fg + 2, p.paiFaceGrps);
    ASSERT_TRUE(m.releasePrimitives(p)) << lastError();
    EXPECT_EQ(m.numAtoms(), 4u);
    ASSERT_TRUE(m.verifyTopoMesh(true)) << lastError();

    // The face groups miss the last primitive: refused, and the mesh emptied.
    ASSERT_TRUE(m.acquirePrimitives(p, true));
    p.paiFaceGrps[1] = 1;
    EXPECT_FALSE(m.releasePrimitives(p));
    EXPECT_EQ(lastError(), "sInt.paiFaceGrps[sInt.nFaceGrps] == sInt.nPrims");
    EXPECT_EQ(m.numPrims(), 0u);
    ASSERT_TRUE(m.allocatePrimitives(1, 4, 1));
    ASSERT_TRUE(m.acquirePrimitives(p, true));
    p.paiPrimStart[1] = 3;
    p.paiFaceGrps[1] = 1;
    EXPECT_FALSE(m.releasePrimitives(p));
    EXPECT_EQ(lastError(), "sInt.paiPrimStart[sInt.nPrims] == sInt.nIndices");
    EXPECT_EQ(m.numWriteLocks(), 1);
}

TEST_F(TopoMeshEditTest, IndicesTheShrunkPoolCannotServeAreReported) {
    VqPolygonTopoMesh m(VQ_GEOMBIND_VTXCOORD3);
    addRecords(m, 3);
    const uint32_t idx[] = {0, 1, 2};
    {
        MeshLock lock(m);
        ASSERT_TRUE(m.addPrimitives(0, 1, 3u, idx));
    }
    ASSERT_TRUE(m.ensureTopology());
    VqVertexRecordPool& pool = *m.vtxRecPool();
    ASSERT_TRUE(pool.lockWrite(true));
    ASSERT_TRUE(pool.clear());
    pool.lockWrite(false);
    // The pool's change dropped the topology, and deriving it again fails
    // with the reason instead of reading past the records.
    EXPECT_FALSE(m._isValidTopo());
    EXPECT_FALSE(m.ensureTopology());
    EXPECT_EQ(lastError(), "xPrim.paiIndices[iIdx] < nVtxRecs");
    EXPECT_EQ(m.numBoundaryEdges(), -1);
    EXPECT_FALSE(m.isClosedSolid());
    EXPECT_TRUE(m.bbox().isEmpty());
}

TEST_F(TopoMeshEditTest, CollocationReachesEveryMeshSharingThePool) {
    // Two meshes on one pool reference copies of the same corner; once the
    // pool merges the copies, both reference the merged record.
    VqPolygonTopoMesh a(VQ_GEOMBIND_VTXCOORD3);
    VqTriStripTopoMesh b(a.vtxRecPool());
    const float c[] = {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0};
    {
        MeshLock la(a), lb(b);
        ASSERT_TRUE(a.addPrimitive(0, 3, c, nullptr, nullptr, nullptr, nullptr));
        const uint32_t sizes[] = {3};
        ASSERT_TRUE(b.addPrimitives(0, 1, sizes, c + 9, nullptr, nullptr, nullptr, nullptr));
        EXPECT_EQ(a.vtxRecPool()->numVtxRecords(), 6u);
        ASSERT_TRUE(a.collocate());
    }
    EXPECT_EQ(a.vtxRecPool()->numVtxRecords(), 4u);
    // (1, 0, 0) and (0, 1, 0) are shared.
    EXPECT_EQ(a.indices()[1], b.indices()[0]);
    EXPECT_EQ(a.indices()[2], b.indices()[2]);
    EXPECT_EQ(posOf(a, a.indices()[1]), (std::array<float, 3>{1, 0, 0}));
    ASSERT_TRUE(a.verifyTopoMesh(true)) << lastError();
    ASSERT_TRUE(b.verifyTopoMesh(true)) << lastError();
}

TEST_F(TopoMeshEditTest, RecordsAreRankedByFirstUse) {
    // Three triangles over six records; ranking renumbers the records in
    // the order the corners first use them. Indices already in that order
    // stand; otherwise one record is met before a lower new one, at each
    // corner of a block of four, and in the last corner.
    struct Case {
        uint32_t idx[9], ranked[9];
    };
    const Case cases[] = {
        {{0, 1, 2, 2, 1, 3, 3, 4, 5}, {0, 1, 2, 2, 1, 3, 3, 4, 5}},
        {{0, 2, 1, 1, 2, 3, 3, 4, 5}, {0, 1, 2, 2, 1, 3, 3, 4, 5}},
        {{0, 1, 3, 2, 1, 3, 4, 5, 2}, {0, 1, 2, 3, 1, 2, 4, 5, 3}},
        {{0, 1, 2, 4, 3, 1, 3, 4, 5}, {0, 1, 2, 3, 4, 1, 4, 3, 5}},
        {{0, 1, 2, 3, 5, 4, 4, 5, 0}, {0, 1, 2, 3, 4, 5, 5, 4, 0}},
        {{0, 1, 2, 2, 1, 3, 3, 0, 5}, {0, 1, 2, 2, 1, 3, 3, 0, 4}},
    };
    for (const Case& k : cases) {
        VqPolygonTopoMesh m(VQ_GEOMBIND_VTXCOORD3);
        addRecords(m, 6);
        {
            MeshLock lock(m);
            ASSERT_TRUE(m.addPrimitives(0, 3, 3u, k.idx)) << lastError();
        }
        ASSERT_TRUE(m.vtxRecPool()->optimizePoolCache()) << lastError();
        EXPECT_EQ(std::vector<uint32_t>(m.indices(), m.indices() + 9),
                  std::vector<uint32_t>(k.ranked, k.ranked + 9))
            << k.idx[2] << k.idx[3] << k.idx[4];
    }
}

TEST_F(TopoMeshEditTest, MovingToAnotherPoolRemapsAndChecks) {
    VqPolygonTopoMesh m(VQ_GEOMBIND_VTXCOORD3);
    addRecords(m, 3);
    const uint32_t idx[] = {0, 1, 2};
    MeshLock lock(m);
    ASSERT_TRUE(m.addPrimitives(0, 1, 3u, idx));
    Vq::SharedPtr<VqVertexRecordPool> other = new VqVertexRecordPool(VQ_GEOMBIND_VTXCOORD3);
    const VqVecu map = {4, 3, 2};
    EXPECT_FALSE(m.setVtxRecPool(other.get(), &map));
    EXPECT_EQ(lastError(), "vIndexMap[iIdx] < nVtxRecs");
    EXPECT_EQ(m.vtxRecPool()->numMeshes(), 1u);
    ASSERT_TRUE(other->lockWrite(true));
    ASSERT_TRUE(other->allocate(5));
    other->lockWrite(false);
    Vq::SharedPtr<VqVertexRecordPool> old = m.vtxRecPool(); // kept alive to see the mesh leave it
    ASSERT_TRUE(m.setVtxRecPool(other.get(), &map)) << lastError();
    EXPECT_EQ(std::vector<uint32_t>(m.indices(), m.indices() + 3), (std::vector<uint32_t>{4, 3, 2}));
    EXPECT_EQ(old->numMeshes(), 0u);
    EXPECT_EQ(other->numMeshes(), 1u);
}

TEST_F(TopoMeshEditTest, CountsAndPrimitiveData) {
    VqTriStripTopoMesh m(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_VTXCOLOR3);
    const float c[] = {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0};
    const float col[] = {1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 1, 1};
    MeshLock lock(m);
    ASSERT_TRUE(m.addPrimitive(0, 4, c, nullptr, col, nullptr, nullptr));
    // The same records again with a turn: 0 1 2 2 3 has a repeated index.
    const uint32_t turn[] = {0, 1, 2, 2, 3};
    ASSERT_TRUE(m.addPrimitives(0, 1, 5u, turn));
    int nVerts = 0, nPolys = 0;
    ASSERT_TRUE(m.numVertsAndPolys(nVerts, nPolys));
    EXPECT_EQ(nVerts, 4);
    EXPECT_EQ(nPolys, 3); // 2 + 3 atoms, two of them turns
    VqFixedVec<int, 2> nv;
    ASSERT_TRUE(m.numVertices(nv));
    EXPECT_EQ(nv[1], 9);
    VqVecf coords, colors;
    ASSERT_TRUE(m.getPrimitive(1, &coords, nullptr, &colors, nullptr, nullptr));
    ASSERT_EQ(colors.size(), 15u);
    EXPECT_EQ(colors[9], 0.0f);
    EXPECT_EQ(colors[10], 0.0f);
    EXPECT_EQ(colors[11], 1.0f);
    EXPECT_EQ(coords[12], 1.0f);
    float cc[3];
    ASSERT_TRUE(m.getVertexRecord(8, cc, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(cc[1], 1.0f);
    EXPECT_FALSE(m.getPrimitive(2, &coords, nullptr, nullptr, nullptr, nullptr));
}

} // namespace
