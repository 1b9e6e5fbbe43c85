// The derived half-edge topology: counts against an independent edge count
// on generated and real meshes, seams, walks, iterators, topology edits and
// normals computed over it.
#include "MeshTestUtil.h"
#include "VqLineStripTopoMesh.h"
#include "VqTopoMeshEdgeIter.h"
#include "VqTopoMeshTopology.h"
#include "VqTopoMeshTriIter.h"
#include "VqTriStripperEngine.h"

#include <algorithm>
#include <iostream>
#include <map>
#include <memory>

namespace {

class TopologyTest : public VqLibTest {};

constexpr const char* kOppText =
    "oppositeHEdge(oppositeHEdge(h)) == h && origin(oppositeHEdge(h)) == origin(nextHEdge(h))";

TriSoup bowtie() {
    TriSoup s;
    const uint32_t c = s.addPos(0, 0, 0), a = s.addPos(1, 0, 0), b = s.addPos(1, 1, 0),
                   d = s.addPos(-1, 0, 0), e = s.addPos(-1, -1, 0);
    s.addTri(c, a, b);
    s.addTri(c, d, e);
    return s;
}

TriSoup threeOnAnEdge() {
    TriSoup s;
    const uint32_t a = s.addPos(0, 0, 0), b = s.addPos(1, 0, 0), c = s.addPos(0, 1, 0),
                   d = s.addPos(0, -1, 0), e = s.addPos(0, 0, 1);
    s.addTri(a, b, c);
    s.addTri(b, a, d);
    s.addTri(a, b, e);
    return s;
}

// Four faces on one edge, two each way: pairs could be made, but an edge of
// four is non-manifold.
TriSoup fourOnAnEdge() {
    TriSoup s = threeOnAnEdge();
    s.addTri(1, 0, s.addPos(0, 0, -1));
    return s;
}

// A closed cone over a fan of n triangles whose centre is the first
// position: the centre leads every edge it has, far more than a vertex of
// average valence.
TriSoup cone(uint32_t n) {
    TriSoup s;
    const uint32_t apex = s.addPos(0, 0, 1), base = s.addPos(0, 0, 0);
    const uint32_t first = uint32_t(s.pos.size() / 3);
    for (uint32_t i = 0; i < n; ++i) {
        const double a = 2 * std::numbers::pi * i / n;
        s.addPos(float(std::cos(a)), float(std::sin(a)), 0.0f);
    }
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t p = first + i, q = first + (i + 1) % n;
        s.addTri(apex, p, q);
        s.addTri(base, q, p);
    }
    return s;
}

TriSoup flipped() {
    TriSoup s = torus(6, 4);
    std::swap(s.tris[0], s.tris[1]);
    return s;
}

// A grid with what must stay out of the topology: a repeated index, two
// records at one position in one triangle, an isolated position used only by
// a degenerate triangle, and an empty face group between two full ones.
TriSoup withDegenerates() {
    TriSoup s = grid(3, 3);
    const uint32_t iso = s.addPos(7, 7, 7);
    s.seamKey.assign(s.tris.size(), 0);
    s.addTri(0, 0, 1);
    s.addTri(5, 5, 6);
    s.seamKey.insert(s.seamKey.end(), {0, 0, 0, 0, 9, 0});
    s.addTri(iso, iso, iso);
    s.seamKey.insert(s.seamKey.end(), {0, 0, 0});
    s.groups.assign(s.numTris(), 0);
    for (uint32_t t = 10; t < s.numTris(); ++t)
        s.groups[t] = 2;
    return s;
}

void expectCountsMatch(const TriSoup& s, const char* what) {
    const EdgeCount ref = countEdges(s);
    std::unique_ptr<VqTopoMesh> meshes[] = {std::make_unique<VqPolygonTopoMesh>(kSoupBindings),
                                            std::make_unique<VqTriStripTopoMesh>(kSoupBindings)};
    for (auto& m : meshes) {
        addSoup(*m, s);
        ASSERT_TRUE(m->verifyTopoMesh(true)) << what << ": " << lastError();
        // Vertices are numbered in the order the index list first uses them.
        int nSeen = 0;
        for (uint32_t i = 0; i < m->numIndices(); ++i) {
            const int v = m->recordVtx(m->indices()[i]);
            ASSERT_LE(v, nSeen) << what << " at index " << i;
            nSeen += int(v == nSeen);
        }
        EXPECT_EQ(nSeen, m->_topology()->numVertices()) << what;
        EXPECT_EQ(m->numBoundaryEdges(), ref.boundary) << what;
        EXPECT_EQ(m->numNonmanifoldEdges(), ref.nonmanifold) << what;
        EXPECT_EQ(m->isClosedSolid(), ref.closed) << what;
        EXPECT_EQ(int(m->numFacets()), ref.triangles) << what;
        VqTopoMeshEdgeIter edges(*m);
        int n = 0;
        while (edges.next())
            ++n;
        EXPECT_EQ(n, ref.edges) << what;
    }
}

TEST_F(TopologyTest, CountsMatchAnIndependentEdgeCount) {
    expectCountsMatch(torus(12, 8), "torus");
    expectCountsMatch(grid(7, 5), "grid");
    expectCountsMatch(bowtie(), "bowtie");
    expectCountsMatch(threeOnAnEdge(), "three faces on one edge");
    expectCountsMatch(fourOnAnEdge(), "four faces on one edge");
    expectCountsMatch(cone(300), "cone");
    expectCountsMatch(flipped(), "flipped face");
    expectCountsMatch(withDegenerates(), "degenerates");
    // Spot values, so that the reference itself is pinned too.
    EXPECT_TRUE(countEdges(torus(12, 8)).closed);
    EXPECT_EQ(countEdges(grid(7, 5)).boundary, 24);
    EXPECT_EQ(countEdges(threeOnAnEdge()).nonmanifold, 1);
    EXPECT_EQ(countEdges(flipped()).nonmanifold, 3);
    EXPECT_EQ(countEdges(fourOnAnEdge()).nonmanifold, 1);
    EXPECT_TRUE(countEdges(cone(300)).closed);
}

// The pairing and the edge order against their rule, worked out from the
// mesh's own half-edges: a half-edge has an opposite when its edge carries
// exactly two half-edges that run opposite ways; edges come by their lower
// end, then by their first half-edge. Manifold meshes and meshes where a
// vertex has two half-edges to one end take different ways through the
// derivation, and both must follow the rule.
void expectPairingFollowsTheRule(const VqTopoMesh& m, const char* what) {
    ASSERT_TRUE(m.ensureTopology()) << what;
    const int nHE = int(m.numHEdges());
    std::map<std::pair<int, int>, std::vector<int>> onEdge;
    for (int h = 0; h < nHE; ++h) {
        const int a = m.origin(h), b = m.origin(m.nextHEdge(h));
        onEdge[{std::min(a, b), std::max(a, b)}].push_back(h);
    }
    int nBoundary = 0, nNonmanifold = 0;
    std::vector<std::pair<int, int>> leads;
    for (const auto& [ends, hs] : onEdge) {
        const bool paired = hs.size() == 2 && m.origin(hs[0]) != m.origin(hs[1]);
        for (const int h : hs)
            EXPECT_EQ(m.oppositeHEdge(h), paired ? hs[0] + hs[1] - h : -1) << what << " h " << h;
        nBoundary += hs.size() == 1;
        nNonmanifold += hs.size() > 1 && !paired;
        leads.push_back({ends.first, hs[0]});
    }
    EXPECT_EQ(m.numBoundaryEdges(), nBoundary) << what;
    EXPECT_EQ(m.numNonmanifoldEdges(), nNonmanifold) << what;
    // Walks start at a vertex's lowest outgoing half-edge without an
    // opposite, else at its lowest one.
    std::map<int, int> lowest, lowestOpen;
    for (int h = nHE; h-- > 0;) {
        lowest[m.origin(h)] = h;
        if (m.oppositeHEdge(h) < 0) lowestOpen[m.origin(h)] = h;
    }
    for (const auto& [v, h] : lowest)
        EXPECT_EQ(m.vtxHEdge(v), lowestOpen.count(v) ? lowestOpen[v] : h) << what << " vertex " << v;
    std::sort(leads.begin(), leads.end());
    std::vector<int> order;
    for (VqTopoMeshEdgeIter it(m); it.next();)
        order.push_back(it.hedge());
    ASSERT_EQ(order.size(), leads.size()) << what;
    for (size_t e = 0; e < order.size(); ++e)
        EXPECT_EQ(order[e], leads[e].second) << what << " edge " << e;
    EXPECT_TRUE(m.isTopologyValid()) << what;
}

// Every other pair of triangles joined into a quad (the generators cut each
// quad into (a, b, c) and (a, c, d)), so that facets of two degrees mix.
void joinQuads(VqPolygonTopoMesh& polys) {
    VqVecu start, indices, groups;
    {
        VqTopoMeshPrimitives prims;
        ASSERT_TRUE(polys.acquirePrimitives(prims, false));
        const uint32_t* idx = prims.paiIndices;
        for (uint32_t t = 0; t < prims.nPrims; ++t) {
            start.push_back(uint32_t(indices.size()));
            const uint32_t* a = idx + 3 * t;
            if (t % 4 == 0 && t + 1 < prims.nPrims && a[3] == a[0] && a[4] == a[2]) {
                indices.insert(indices.end(), {a[0], a[1], a[2], a[5]});
                ++t;
            } else {
                indices.insert(indices.end(), a, a + 3);
            }
        }
        ASSERT_TRUE(polys.releasePrimitives(prims));
    }
    start.push_back(uint32_t(indices.size()));
    groups = {0, uint32_t(start.size() - 1)};
    {
        MeshLock lock(polys);
        ASSERT_TRUE(polys._assignPrimitives(std::move(start), std::move(indices), std::move(groups)))
            << lastError();
    }
}

// The primitives' sizes are read in blocks of many at once: a size that
// breaks the rule deep inside a long mesh is still seen.
TEST_F(TopologyTest, SizesAreCheckedDeepInsideLongMeshes) {
    VqPolygonTopoMesh polys(kSoupBindings);
    addSoup(polys, torus(20, 15));
    ASSERT_EQ(polys.uniformPrimSize(), 3u);
    VqVecu start, indices;
    {
        VqTopoMeshPrimitives view;
        ASSERT_TRUE(polys.acquirePrimitives(view, false));
        ASSERT_GT(view.nPrims, 200u);
        start.assign(view.paiPrimStart, view.paiPrimStart + view.nPrims + 1);
        indices.assign(view.paiIndices, view.paiIndices + view.nIndices);
        ASSERT_TRUE(polys.releasePrimitives(view));
    }
    MeshLock lock(polys);
    VqVecu shortOne = start;
    --shortOne[141];
    EXPECT_FALSE(
        polys._assignPrimitives(VqVecu(shortOne), VqVecu(indices), VqVecu{0, uint32_t(start.size() - 1)}));
    EXPECT_EQ(lastError(), "xPrim.paiPrimStart[iPrim] >= 3");
    // Two triangles joined into a hexagon.
    VqVecu joined = start;
    joined.erase(joined.begin() + 141);
    ASSERT_TRUE(
        polys._assignPrimitives(std::move(joined), std::move(indices), VqVecu{0, uint32_t(start.size() - 2)}))
        << lastError();
    EXPECT_EQ(polys.uniformPrimSize(), 0u);
}

TEST_F(TopologyTest, PairingAndEdgeOrderFollowTheRule) {
    const std::pair<TriSoup, const char*> soups[] = {
        {torus(9, 7), "torus"},       {grid(6, 4), "grid"},     {bowtie(), "bowtie"},
        {threeOnAnEdge(), "three"},   {fourOnAnEdge(), "four"}, {flipped(), "flipped"},
        {withDegenerates(), "degen"}, {cone(40), "cone"},
    };
    for (const auto& [soup, what] : soups) {
        VqTriStripTopoMesh strips(kSoupBindings);
        addSoup(strips, soup);
        expectPairingFollowsTheRule(strips, what);
        // The same as polygons, every other pair of triangles joined into a
        // quad (the generators cut each quad into (a, b, c) and (a, c, d)),
        // so that facets of two degrees mix.
        VqPolygonTopoMesh polys(kSoupBindings);
        addSoup(polys, soup);
        joinQuads(polys);
        expectPairingFollowsTheRule(polys, what);
    }
}

// Storage kept from derivation to derivation (a decoder's) may hold meshes of
// either kind and any size in turn, derived with or without edges: each
// derivation into it equals the mesh's own, but for what one without edges
// leaves out (a derivation of triangles after one of polygons must not write
// the owners it keeps no more). Three and four faces on an edge take the
// general pairing after the quick one has written part of the opposites:
// what the quick one left must not survive into the next mesh.
TEST_F(TopologyTest, KeptStorageDerivesWhatTheMeshDoes) {
    const TriSoup soups[] = {grid(3, 2),      torus(9, 7), withDegenerates(), torus(20, 15),
                             threeOnAnEdge(), bowtie(),    fourOnAnEdge(),    cone(40)};
    VqTopoMeshTopology kept;
    for (int i = 0; i < 2 * int(std::size(soups)); ++i) {
        SCOPED_TRACE(i);
        const TriSoup& soup = soups[size_t(i) % std::size(soups)];
        // Each soup once with edges and once without.
        const bool bEdges = (i + i / int(std::size(soups))) % 2 == 0;
        std::unique_ptr<VqTopoMesh> m;
        if (i % 3 == 0)
            m = std::make_unique<VqTriStripTopoMesh>(kSoupBindings);
        else
            m = std::make_unique<VqPolygonTopoMesh>(kSoupBindings);
        addSoup(*m, soup);
        if (i % 3 == 1) joinQuads(static_cast<VqPolygonTopoMesh&>(*m));
        ASSERT_TRUE(m->isTopologyValid()) << lastError();
        VqTopoMeshPrimitives view;
        ASSERT_TRUE(m->acquirePrimitives(view, false));
        const VqVertexRecordPool& pool = *m->vtxRecPool();
        vqBuildTopoMeshTopology(m->primKind(), view.nPrims, view.paiPrimStart, view.paiIndices,
                                pool.numVtxRecords(), pool.fields()->vtxCoords(),
                                pool.fields()->numVtxCoordComps(), kept, nullptr, bEdges);
        ASSERT_TRUE(m->releasePrimitives(view));
        const VqTopoMeshTopology& a = kept;
        const VqTopoMeshTopology& b = *m->_topology();
        EXPECT_EQ(a.bEdges, bEdges);
        EXPECT_EQ(a.bTriangles, b.bTriangles);
        EXPECT_EQ(a.nBoundaryEdges, b.nBoundaryEdges);
        EXPECT_EQ(a.nNonmanifoldEdges, b.nNonmanifoldEdges);
        const VqVeci VqTopoMeshTopology::*arrays[] = {
            &VqTopoMeshTopology::viRecVtx,      &VqTopoMeshTopology::viVtxRec,
            &VqTopoMeshTopology::viVtxOutStart, &VqTopoMeshTopology::viVtxOut,
            &VqTopoMeshTopology::viFacetAtom,   &VqTopoMeshTopology::viFacetHE,
            &VqTopoMeshTopology::viHEVtx,       &VqTopoMeshTopology::viHERec,
            &VqTopoMeshTopology::viHEOpp,       &VqTopoMeshTopology::viHEFacet,
            &VqTopoMeshTopology::viEquivNext,   &VqTopoMeshTopology::viVtxHEdge,
            &VqTopoMeshTopology::viHEEdge,      &VqTopoMeshTopology::viEdgeHE,
            &VqTopoMeshTopology::viAtomFacet};
        for (size_t k = 0; k < std::size(arrays) - (bEdges ? 0 : 5); ++k)
            EXPECT_EQ(a.*arrays[k], b.*arrays[k]) << "array " << k;
    }
}

TEST_F(TopologyTest, DegenerateFacetsStayOutButKeepTheirAtoms) {
    VqPolygonTopoMesh m(kSoupBindings);
    addSoup(m, withDegenerates());
    ASSERT_TRUE(m.ensureTopology());
    EXPECT_EQ(m.numAtoms(), 21u);
    EXPECT_EQ(m.numFacets(), 18u);
    EXPECT_EQ(m.numFaceGroups(), 3u);
    EXPECT_EQ(m.numPrims(1u), 0u);
    EXPECT_EQ(m.atomToFacet(18), -1);
    EXPECT_EQ(m.atomToFacet(17), 17);
    EXPECT_EQ(m.facetToAtom(17), 17);
    // The isolated position is a vertex of nothing.
    const VqVtxHdl iso = m.recordVtx(m.indices()[60]);
    ASSERT_GE(iso, 0);
    EXPECT_EQ(m.valence(iso), 0);
    EXPECT_EQ(m.vtxHEdge(iso), -1);
    EXPECT_FALSE(m.anyBorder(iso));
}

TEST_F(TopologyTest, SeamsDoNotCutTheSurface) {
    // A torus whose last column of quads uses records of its own where it
    // meets the first column, as a texture seam does.
    const int nu = 8, nv = 6;
    TriSoup s = torus(nu, nv);
    s.seamKey.assign(s.tris.size(), 0);
    for (uint32_t t = 2 * (nu - 1) * nv; t < s.numTris(); ++t)
        for (int c = 0; c < 3; ++c)
            if (s.tris[3 * t + c] / nv == 0) s.seamKey[3 * t + c] = 1;
    VqPolygonTopoMesh m(kSoupBindings);
    addSoup(m, s);
    ASSERT_TRUE(m.verifyTopoMesh(true)) << lastError();
    EXPECT_EQ(m.vtxRecPool()->numVtxRecords(), uint32_t(nu * nv + nv));
    EXPECT_EQ(m.numTopoVertices(), uint32_t(nu * nv));
    EXPECT_TRUE(m.isClosedSolid());
    int seamEdges = 0, seamRecs = 0;
    for (VqTopoMeshEdgeIter e(m); e.next();)
        seamEdges += m.featureEdge(e.hedge());
    for (uint32_t r = 0; r < m.vtxRecPool()->numVtxRecords(); ++r) {
        const uint32_t n = m.nextEquivVtx(r);
        if (n == r) continue;
        ++seamRecs;
        EXPECT_EQ(m.nextEquivVtx(n), r);
        EXPECT_EQ(posOf(m, n), posOf(m, r));
        EXPECT_EQ(m.recordVtx(n), m.recordVtx(r));
    }
    EXPECT_EQ(seamEdges, nv);
    EXPECT_EQ(seamRecs, 2 * nv);
}

TEST_F(TopologyTest, WalksTurnAroundVerticesAndStopAtBorders) {
    VqPolygonTopoMesh m(kSoupBindings);
    addSoup(m, grid(4, 4));
    ASSERT_TRUE(m.ensureTopology());
    auto vertexAt = [&](float x, float y) {
        for (VqVtxHdl v = 0; v < VqVtxHdl(m.numTopoVertices()); ++v)
            if (posOf(m, uint32_t(m.vtxRecord(v))) == std::array<float, 3>{x, y, 0}) return v;
        return VqVtxHdl(-1);
    };
    auto target = [&](VqHEdgeHdl h) { return posOf(m, uint32_t(m.hedgeRecord(m.nextHEdge(h)))); };
    // Inside: counter-clockwise turns come round in valence steps, each one
    // turning left seen from +z, and clockwise undoes them.
    const VqVtxHdl inner = vertexAt(2, 2);
    ASSERT_GE(inner, 0);
    EXPECT_EQ(m.valence(inner), 6);
    EXPECT_FALSE(m.anyBorder(inner));
    const VqHEdgeHdl h0 = m.vtxHEdge(inner);
    VqHEdgeHdl h = h0;
    int steps = 0;
    do {
        const VqHEdgeHdl next = m.circulateCCW(h);
        ASSERT_GE(next, 0);
        EXPECT_EQ(m.origin(next), inner);
        EXPECT_EQ(m.circulateCW(next), h);
        const auto a = target(h), b = target(next);
        EXPECT_GT((a[0] - 2) * (b[1] - 2) - (a[1] - 2) * (b[0] - 2), 0.0f);
        h = next;
        ++steps;
    } while (h != h0 && steps < 20);
    EXPECT_EQ(steps, 6);
    // A corner: its walks start on the border and cover its two facets.
    const VqVtxHdl corner = vertexAt(0, 0);
    EXPECT_TRUE(m.anyBorder(corner));
    EXPECT_EQ(m.valence(corner), 2);
    h = m.vtxHEdge(corner);
    EXPECT_EQ(m.oppositeHEdge(h), -1);
    EXPECT_EQ(m.circulateCW(h), -1);
    const VqHEdgeHdl h2 = m.circulateCCW(h);
    ASSERT_GE(h2, 0);
    EXPECT_EQ(m.circulateCCW(h2), -1);
    EXPECT_EQ(m.prevHEdge(m.nextHEdge(h2)), h2);
    EXPECT_EQ(m.facetDegree(m.hedgeFacet(h2)), 3);
    // Handles out of range walk nowhere.
    EXPECT_EQ(m.nextHEdge(-1), -1);
    EXPECT_EQ(m.circulateCCW(VqHEdgeHdl(m.numHEdges())), -1);
    EXPECT_EQ(m.vertex(VqFacetHdl(m.numFacets()), 0), -1);
}

TEST_F(TopologyTest, TopologyEditsHappenInsideTheirBracket) {
    VqPolygonTopoMesh m(kSoupBindings);
    addSoup(m, torus(6, 4));
    MeshLock lock(m);
    ASSERT_TRUE(m.ensureTopology());
    EXPECT_FALSE(m.makeWeak(0));
    EXPECT_EQ(lastError(), "_nTopoEdit > 0");
    ASSERT_TRUE(m.beginTopoEdit());
    const VqHEdgeHdl o = m.oppositeHEdge(0);
    ASSERT_TRUE(m.makeWeak(0));
    EXPECT_EQ(m.oppositeHEdge(o), -1);
    EXPECT_EQ(m.numBoundaryEdges(), 1);
    EXPECT_FALSE(m.isClosedSolid());
    EXPECT_TRUE(m.featureEdge(0));
    // A facet through existing vertices; the handles stay valid until the
    // edit ends, and the topology is derived anew afterwards.
    const VqVtxHdl v[3] = {m.vertex(0, 0), m.vertex(0, 2), m.vertex(0, 1)};
    ASSERT_TRUE(m.createPrimitive(0, v, 3)) << lastError();
    EXPECT_EQ(m.numFacets(), 48u);
    ASSERT_TRUE(m.endTopoEdit());
    ASSERT_TRUE(m.ensureTopology());
    EXPECT_EQ(m.numFacets(), 49u);
    // The reversed copy of facet 0 doubles its three edges.
    EXPECT_EQ(m.numBoundaryEdges(), 0);
    EXPECT_EQ(m.numNonmanifoldEdges(), 3);
    EXPECT_FALSE(m.endTopoEdit());
}

// The check sweeps without exits and names a failure in a second pass: each
// broken condition, on triangles and on mixed polygons, must still be found
// and named, also where the first pass reads through the broken value.
TEST_F(TopologyTest, TheCheckFindsEachBrokenCondition) {
    using Break = void (*)(VqTopoMeshTopology&);
    const std::pair<Break, const char*> breaks[] = {
        {[](VqTopoMeshTopology& t) { t.viFacetHE[0] = 1; }, "hedgeFacet(h) owns h"},
        {[](VqTopoMeshTopology& t) { t.viHEVtx[1] = t.viHEVtx[0]; }, "origin(h) != origin(nextHEdge(h))"},
        {[](VqTopoMeshTopology& t) { t.viHERec[4] = t.viVtxRec[t.viHEVtx[5]]; },
         "recordVtx(hedgeRecord(h)) == origin(h)"},
        {[](VqTopoMeshTopology& t) { t.viHEOpp[t.viHEOpp[3]] = 7; }, kOppText},
        {[](VqTopoMeshTopology& t) { t.viHEOpp[3] = t.numHEdges(); }, kOppText},
        {[](VqTopoMeshTopology& t) { t.viHEEdge[t.viHEOpp[6]] += 1; }, kOppText},
        // Two edges of a facet with their opposites crossed over: the
        // opposites still name each other and share an edge, but their
        // ends no longer meet.
        {[](VqTopoMeshTopology& t) {
             const int o0 = t.viHEOpp[0], o1 = t.viHEOpp[1];
             t.viHEOpp[0] = o1, t.viHEOpp[o1] = 0, t.viHEEdge[o1] = t.viHEEdge[0];
             t.viHEOpp[1] = o0, t.viHEOpp[o0] = 1, t.viHEEdge[o0] = t.viHEEdge[1];
         },
         kOppText},
        {[](VqTopoMeshTopology& t) { std::swap(t.viVtxOut[0], t.viVtxOut[t.viVtxOutStart[1]]); },
         "origin(viVtxOut[k]) == v"},
    };
    for (const bool bQuads : {false, true}) {
        std::unique_ptr<VqTopoMesh> m;
        if (bQuads) {
            auto polys = std::make_unique<VqPolygonTopoMesh>(kSoupBindings);
            addSoup(*polys, torus(6, 4));
            joinQuads(*polys);
            m = std::move(polys);
        } else {
            m = std::make_unique<VqTriStripTopoMesh>(kSoupBindings);
            addSoup(*m, torus(6, 4));
        }
        MeshLock lock(*m);
        ASSERT_TRUE(m->isTopologyValid()) << lastError();
        auto& t = const_cast<VqTopoMeshTopology&>(*m->_topology());
        ASSERT_EQ(t.bTriangles, !bQuads);
        const VqTopoMeshTopology good = t;
        for (const auto& [fn, text] : breaks) {
            fn(t);
            EXPECT_FALSE(m->isTopologyValid()) << text << " quads " << bQuads;
            EXPECT_EQ(lastError(), text) << " quads " << bQuads;
            t = good;
        }
        EXPECT_TRUE(m->isTopologyValid()) << lastError();
    }
}

// Strips stand for a checked triangle topology only when they list its
// facets exactly: the stripper's own strips (with their turns) pass, and
// each way of dropping, adding or turning a triangle is caught.
TEST_F(TopologyTest, StripsListTheFacetsOfTheirSource) {
    VqPolygonTopoMesh polys(kSoupBindings);
    addSoup(polys, withDegenerates());
    ASSERT_TRUE(polys.isTopologyValid()) << lastError();
    VqTriStripTopoMesh strips(polys.vtxRecPool());
    VqTriStripperEngine engine;
    ASSERT_TRUE(engine.apply(&strips, &polys)) << lastError();
    VqVecu start, idx;
    {
        VqTopoMeshPrimitives view;
        ASSERT_TRUE(strips.acquirePrimitives(view, false));
        start.assign(view.paiPrimStart, view.paiPrimStart + view.nPrims + 1);
        idx.assign(view.paiIndices, view.paiIndices + view.nIndices);
        ASSERT_TRUE(strips.releasePrimitives(view));
    }
    const VqTopoMeshTopology& t = *polys._topology();
    VqVec<uint8_t> used;
    auto lists = [&](const VqVecu& st, const VqVecu& in) {
        return vqStripsListFacets(t, uint32_t(st.size() - 1), st.data(), in.data(), used);
    };
    EXPECT_TRUE(lists(start, idx));
    // Each facet alone, as (a, b, c), (b, c, a) and with a degenerate tail.
    VqVecu one, oneStart{0};
    for (int f = 0; f < t.numFacets(); ++f) {
        const uint32_t a = uint32_t(t.viHERec[3 * f]), b = uint32_t(t.viHERec[3 * f + 1]),
                       c = uint32_t(t.viHERec[3 * f + 2]);
        if (f % 2) {
            one.insert(one.end(), {b, c, a, a});
        } else {
            one.insert(one.end(), {a, b, c});
        }
        oneStart.push_back(uint32_t(one.size()));
    }
    EXPECT_TRUE(lists(oneStart, one));
    VqVecu cut(oneStart.begin(), oneStart.end() - 1);
    EXPECT_FALSE(lists(cut, one)) << "a facet left out";
    // Facet 2 in place of facet 0: as many triangles as facets.
    VqVecu twice = one;
    std::copy_n(one.begin() + oneStart[2], 3, twice.begin());
    EXPECT_FALSE(lists(oneStart, twice)) << "a facet listed twice";
    VqVecu turned = one;
    std::swap(turned[0], turned[1]);
    EXPECT_FALSE(lists(oneStart, turned)) << "a facet turned over";
    turned = one;
    std::swap(turned[oneStart[4]], turned[oneStart[4] + 1]);
    EXPECT_FALSE(lists(oneStart, turned)) << "a facet turned over after its neighbour";
    VqVecu moved = one;
    moved[0] = moved[3];
    EXPECT_FALSE(lists(oneStart, moved)) << "a corner moved";
    VqVecu beyond = one;
    beyond[2] = uint32_t(t.viRecVtx.size());
    EXPECT_FALSE(lists(oneStart, beyond)) << "a record beyond the pool";
    // Inside a long strip, where the next facet is first looked for across
    // the edge shared with the last one.
    size_t p = 0;
    while (p + 1 < start.size() && start[p + 1] - start[p] < 6)
        ++p;
    ASSERT_LT(p + 1, start.size()) << "no strip of four triangles";
    VqVecu twisted = idx;
    std::swap(twisted[start[p] + 3], twisted[start[p] + 4]);
    EXPECT_FALSE(lists(start, twisted)) << "triangles turned inside a strip";
    VqVecu twiceStart = start, twiceIdx = idx;
    for (size_t k = 1; k < start.size(); ++k)
        twiceStart.push_back(uint32_t(idx.size()) + start[k]);
    twiceIdx.insert(twiceIdx.end(), idx.begin(), idx.end());
    EXPECT_FALSE(lists(twiceStart, twiceIdx)) << "every strip listed twice";
}

TEST_F(TopologyTest, IteratorsReportEachTriangleAndEdgeOnce) {
    // A strip of four triangles with a turn: 0 1 2 3 3 4 has the repeated 3.
    VqTriStripTopoMesh m(VQ_GEOMBIND_VTXCOORD3);
    const float c[] = {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0, 0, 2, 0};
    {
        MeshLock lock(m);
        ASSERT_TRUE(m.addPrimitive(0, 5, c, nullptr, nullptr, nullptr, nullptr));
        const uint32_t turn[] = {0, 1, 2, 3, 3, 4};
        ASSERT_TRUE(m.addPrimitives(1, 1, 6u, turn));
    }
    std::vector<std::array<uint32_t, 3>> tris;
    for (VqTopoMeshTriIter it(m); it.next();)
        tris.push_back({it.record(0), it.record(1), it.record(2)});
    ASSERT_EQ(tris.size(), 5u);
    EXPECT_EQ(tris[1], (std::array<uint32_t, 3>{2, 1, 3}));
    EXPECT_EQ(tris[4], (std::array<uint32_t, 3>{2, 1, 3}));
    int inGroup1 = 0;
    for (VqTopoMeshTriIter it(m, 1, 1); it.next();)
        ++inGroup1;
    EXPECT_EQ(inGroup1, 2);
    VqTopoMeshTriIter bad(m, 1, 0);
    EXPECT_FALSE(bad.isValid());
    EXPECT_FALSE(bad.next());
    EXPECT_EQ(lastError(), "iFGEnd < nFaceGrps && iFGEnd >= iFGStart");

    VqLineStripTopoMesh lines(m.vtxRecPool());
    {
        MeshLock lock(lines);
        const uint32_t there[] = {0, 1, 2, 1, 0};
        ASSERT_TRUE(lines.addPrimitives(0, 1, 5u, there));
    }
    VqTopoMeshEdgeIter edges(lines);
    EXPECT_EQ(edges.numEdges(), 2u);
    ASSERT_TRUE(edges.next());
    EXPECT_EQ(edges.hedge(), -1);
    EXPECT_NE(edges.vertex(0), edges.vertex(1));
}

TEST_F(TopologyTest, GouraudNormalsFollowTheCreaseAngle) {
    // A flat grid smooths to one normal per position: no new records.
    VqPolygonTopoMesh flat(VQ_GEOMBIND_VTXCOORD3);
    addSoup(flat, grid(3, 2));
    MeshLock lf(flat);
    ASSERT_TRUE(flat.generateGouraudNormals(0.5f, false)) << lastError();
    const Vq::VertexRecordFields& ff = *flat.vtxRecPool()->fields();
    ASSERT_EQ(ff.numNormalComps(), 3);
    EXPECT_EQ(ff.numRecords(), 12u);
    for (uint32_t r = 0; r < ff.numRecords(); ++r)
        EXPECT_EQ(ff.normals()[3 * r + 2], 1.0f);

    // A cube's corners split three ways under a 30 degree crease, and each
    // corner takes its face's normal.
    TriSoup cube;
    for (int i = 0; i < 8; ++i)
        cube.addPos(float(i & 1), float((i >> 1) & 1), float((i >> 2) & 1));
    const uint32_t q[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4},
                              {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
    for (const auto& f : q) {
        cube.addTri(f[0], f[1], f[2]);
        cube.addTri(f[0], f[2], f[3]);
    }
    VqPolygonTopoMesh m(VQ_GEOMBIND_VTXCOORD3);
    addSoup(m, cube);
    ASSERT_TRUE(m.isClosedSolid());
    MeshLock lm(m);
    ASSERT_TRUE(m.generateGouraudNormals(0.5f, false)) << lastError();
    EXPECT_EQ(m.vtxRecPool()->numVtxRecords(), 24u);
    const Vq::VertexRecordFields& f = *m.vtxRecPool()->fields();
    for (uint32_t t = 0; t < 12; ++t) {
        const uint32_t* r = m.indices() + 3 * t;
        const auto a = posOf(m, r[0]), b = posOf(m, r[1]), c = posOf(m, r[2]);
        const VqVec3f n = vqCross(VqVec3f(b[0] - a[0], b[1] - a[1], b[2] - a[2]),
                                  VqVec3f(c[0] - a[0], c[1] - a[1], c[2] - a[2]));
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(VqVec3f(f.normals()[3 * r[k]], f.normals()[3 * r[k] + 1], f.normals()[3 * r[k] + 2]),
                      n * (1.0f / n.length()));
    }
    // The seams the normals made do not cut the cube.
    EXPECT_TRUE(m.isClosedSolid());
}

// The real meshes, when VQ_MESH_DIR names their directory.
TEST_F(TopologyTest, RealMeshesMatchAnIndependentEdgeCount) {
    int found = 0;
    for (const char* name :
         {"bunny00", "armadillo", "refined_elephant", "fandisk", "mech-holes-shark", "elephant-with-holes"}) {
        TriSoup s;
        if (!readOff(name, s)) continue;
        ++found;
        const EdgeCount ref = countEdges(s);
        VqPolygonTopoMesh m(VQ_GEOMBIND_VTXCOORD3);
        addSoup(m, s);
        ASSERT_TRUE(m.verifyTopoMesh(true)) << name << ": " << lastError();
        EXPECT_EQ(m.numBoundaryEdges(), ref.boundary) << name;
        EXPECT_EQ(m.numNonmanifoldEdges(), ref.nonmanifold) << name;
        EXPECT_EQ(m.isClosedSolid(), ref.closed) << name;
        EXPECT_EQ(int(m.numEdges()), ref.edges) << name;
        std::cout << name << ": " << m.numFacets() << " facets, " << m.numEdges() << " edges, "
                  << m.numBoundaryEdges() << " boundary, " << m.numNonmanifoldEdges() << " non-manifold, "
                  << (m.isClosedSolid() ? "closed" : "open") << "\n";
    }
    if (!found) GTEST_SKIP() << "no meshes in VQ_MESH_DIR";
}

} // namespace
