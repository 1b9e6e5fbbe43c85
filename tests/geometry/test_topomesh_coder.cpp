// Round trips of the topology mesh coder in memory: the decoded mesh must
// hold the same oriented polygons (cyclic sequences of positions and
// attributes), in the same face groups, with the same number of records at
// each position; and hostile streams must be refused, never crash or hang.
#include "MeshTestUtil.h"
#include "VqDualMeshCodec.h"
#include "VqDualTopoMeshCoder.h"
#include "VqDualTopoMeshCoderV1.h"
#include "VqDualTopoMeshCoderV2.h"
#include "VqFirstUseOrder.h"
#include "VqTopoMeshTopology.h"
#include "VqTriStripperEngine.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <random>

namespace {

using Vq::DualTopoMeshCoder;

// Polygons over positions; a corner's record is its position's unless a seam
// key sets it apart (as in TriSoup).
struct PolySoup {
    std::vector<float> pos;
    std::vector<std::vector<uint32_t>> polys;
    std::vector<uint32_t> groups;               // per polygon, ascending; empty: all 0
    std::vector<std::vector<uint32_t>> seamKey; // per polygon corner; empty: none
    uint32_t addPos(float x, float y, float z) {
        pos.insert(pos.end(), {x, y, z});
        return uint32_t(pos.size() / 3 - 1);
    }
};

PolySoup fromTris(const TriSoup& t) {
    PolySoup s;
    s.pos = t.pos;
    for (uint32_t i = 0; i < t.numTris(); ++i) {
        s.polys.push_back({t.tris[3 * i], t.tris[3 * i + 1], t.tris[3 * i + 2]});
        if (!t.seamKey.empty())
            s.seamKey.push_back({t.seamKey[3 * i], t.seamKey[3 * i + 1], t.seamKey[3 * i + 2]});
    }
    s.groups = t.groups;
    return s;
}

Vq::SharedPtr<VqTopoMesh> makeMesh(const PolySoup& s, bool bStrip = false) {
    Vq::SharedPtr<VqTopoMesh> m;
    if (bStrip)
        m = new VqTriStripTopoMesh(kSoupBindings);
    else
        m = new VqPolygonTopoMesh(kSoupBindings);
    std::map<std::pair<uint32_t, uint32_t>, uint32_t> recOf;
    std::vector<float> coords, colors;
    std::vector<std::vector<uint32_t>> idx(s.polys.size());
    for (size_t p = 0; p < s.polys.size(); ++p)
        for (size_t c = 0; c < s.polys[p].size(); ++c) {
            const uint32_t v = s.polys[p][c], key = s.seamKey.empty() ? 0 : s.seamKey[p][c];
            auto it = recOf.find({v, key});
            if (it == recOf.end()) {
                it = recOf.emplace(std::make_pair(v, key), uint32_t(coords.size() / 3)).first;
                coords.insert(coords.end(), s.pos.begin() + 3 * v, s.pos.begin() + 3 * v + 3);
                colors.insert(colors.end(), {float(key), 0.0f, 0.0f});
            }
            idx[p].push_back(it->second);
        }
    MeshLock lock(*m);
    VqVertexRecordPool& pool = *m->vtxRecPool();
    EXPECT_TRUE(pool.lockWrite(true));
    uint32_t first = 0;
    const float* tex[VQ_GEOMBIND_NUM_TEXUNITS] = {};
    if (!coords.empty()) {
        EXPECT_TRUE(pool.addVtxRecords(uint32_t(coords.size() / 3), first, coords.data(), nullptr,
                                       colors.data(), tex, nullptr));
    }
    pool.lockWrite(false);
    for (size_t p = 0; p < s.polys.size(); ++p) {
        const int g = s.groups.empty() ? 0 : int(s.groups[p]);
        EXPECT_TRUE(m->addPrimitives(g, 1u, uint32_t(idx[p].size()), idx[p].data())) << lastError();
    }
    return m;
}

// A corner as compared: position and colour.
using Corner = std::array<float, 4>;
using CyclicPoly = std::vector<Corner>;
struct Shape {
    std::vector<std::multiset<CyclicPoly>> groups;
    std::map<std::array<float, 3>, std::set<uint32_t>> recsAt; // records used at each position
    std::map<std::array<float, 3>, std::set<float>> colorsAt;
};

Shape shapeOf(const VqTopoMesh& m) {
    Shape out;
    out.groups.resize(m.numFaceGroups());
    const Vq::VertexRecordFields& f = *m.vtxRecPool()->fields();
    std::vector<uint32_t> r(1024);
    for (uint32_t a = 0; a < m.numAtoms(); ++a) {
        const uint32_t n = m.atomRecords(a, r.data(), uint32_t(r.size()));
        CyclicPoly poly;
        std::set<std::array<float, 3>> distinct;
        for (uint32_t i = 0; i < n; ++i) {
            const float* c = f.vtxCoords() + 3 * size_t(r[i]);
            const float col = f.colors() ? f.colors()[3 * size_t(r[i])] : 0.0f;
            poly.push_back({c[0] + 0.0f, c[1] + 0.0f, c[2] + 0.0f, col});
            distinct.insert({c[0] + 0.0f, c[1] + 0.0f, c[2] + 0.0f});
        }
        if (distinct.size() != n) continue; // degenerate
        for (uint32_t i = 0; i < n; ++i) {
            out.recsAt[{poly[i][0], poly[i][1], poly[i][2]}].insert(r[i]);
            out.colorsAt[{poly[i][0], poly[i][1], poly[i][2]}].insert(poly[i][3]);
        }
        std::rotate(poly.begin(), std::min_element(poly.begin(), poly.end()), poly.end());
        out.groups[size_t(m.atomToFaceGroup(a))].insert(poly);
    }
    while (!out.groups.empty() && out.groups.back().empty())
        out.groups.pop_back();
    return out;
}

// Whether the last polygon decode's pool knew its positions, which its
// topology then took for vertices instead of hashing the positions.
bool s_bPositionRings = false;

// The topology a decoded polygon mesh derives is the one its positions give,
// array by array: vertices taken from the pool's rings must be numbered, and
// their half-edges paired, exactly as hashing would have.
void expectDerivedTopology(VqTopoMesh& out) {
    s_bPositionRings = out.vtxRecPool()->_positionRings() != nullptr;
    ASSERT_TRUE(out.ensureTopology()) << lastError();
    const VqTopoMeshTopology* t = out._topology();
    ASSERT_TRUE(t);
    VqTopoMeshTopology d;
    VqTopoMeshPrimitives view;
    ASSERT_TRUE(out.acquirePrimitives(view, false));
    const VqVertexRecordPool& pool = *out.vtxRecPool();
    vqBuildTopoMeshTopology(out.primKind(), view.nPrims, view.paiPrimStart, view.paiIndices,
                            pool.numVtxRecords(), pool.fields()->vtxCoords(),
                            pool.fields()->numVtxCoordComps(), d);
    EXPECT_TRUE(out.releasePrimitives(view));
    const std::pair<const char*, const VqVeci VqTopoMeshTopology::*> arrays[] = {
        {"viRecVtx", &VqTopoMeshTopology::viRecVtx},
        {"viEquivNext", &VqTopoMeshTopology::viEquivNext},
        {"viVtxRec", &VqTopoMeshTopology::viVtxRec},
        {"viVtxHEdge", &VqTopoMeshTopology::viVtxHEdge},
        {"viVtxOutStart", &VqTopoMeshTopology::viVtxOutStart},
        {"viVtxOut", &VqTopoMeshTopology::viVtxOut},
        {"viAtomFacet", &VqTopoMeshTopology::viAtomFacet},
        {"viFacetAtom", &VqTopoMeshTopology::viFacetAtom},
        {"viFacetHE", &VqTopoMeshTopology::viFacetHE},
        {"viHEVtx", &VqTopoMeshTopology::viHEVtx},
        {"viHERec", &VqTopoMeshTopology::viHERec},
        {"viHEOpp", &VqTopoMeshTopology::viHEOpp},
        {"viHEEdge", &VqTopoMeshTopology::viHEEdge},
        {"viEdgeHE", &VqTopoMeshTopology::viEdgeHE}};
    for (const auto& [name, a] : arrays)
        EXPECT_TRUE(t->*a == d.*a) << name << (s_bPositionRings ? " (vertices from the rings)" : "");
    if (!t->bTriangles) {
        EXPECT_TRUE(t->viHEFacet == d.viHEFacet);
    }
    EXPECT_EQ(t->bTriangles, d.bTriangles);
    EXPECT_EQ(t->nBoundaryEdges, d.nBoundaryEdges);
    EXPECT_EQ(t->nNonmanifoldEdges, d.nNonmanifoldEdges);
}

// Encodes src with a coder of the version, decodes into the kind and checks
// the decoded mesh against the source.
Vq::SharedPtr<VqTopoMesh> roundTrip(const VqTopoMesh& src, int version, VqTopoMesh::PrimKind eKind,
                                    DualTopoMeshCoder** keep = nullptr) {
    DualTopoMeshCoder* c = DualTopoMeshCoder::acquireDualTopoMeshCoder(version);
    EXPECT_TRUE(c->setTopoMesh(&src));
    EXPECT_TRUE(c->encode()) << lastError();
    Vq::SharedPtr<VqTopoMesh> out;
    EXPECT_TRUE(c->decode(eKind, out)) << lastError();
    if (out) {
        EXPECT_EQ(out->primKind(), eKind);
        const Shape a = shapeOf(src), b = shapeOf(*out);
        EXPECT_TRUE(a.groups == b.groups) << "oriented polygons or face groups differ";
        EXPECT_EQ(a.colorsAt, b.colorsAt);
        // One record per distinct attribute set at a position: records that
        // coincide in everything are merged by the decoded pool's collocation.
        for (const auto& [p, colors] : a.colorsAt) {
            const auto it = b.recsAt.find(p);
            EXPECT_EQ(it == b.recsAt.end() ? 0 : it->second.size(), colors.size()) << "records at a position";
        }
        s_bPositionRings = false;
        if (eKind == VqTopoMesh::VQ_PRIM_POLYGON) {
            EXPECT_TRUE(vqFirstUsesInOrder(*out)) << "records first used out of their order";
            expectDerivedTopology(*out);
        }
    }
    if (keep)
        *keep = c;
    else
        DualTopoMeshCoder::releaseDualTopoMeshCoder(c);
    return out;
}

class TopoMeshCoderTest : public VqLibTest {};

PolySoup tetrahedron() {
    PolySoup s;
    s.addPos(0, 0, 0), s.addPos(1, 0, 0), s.addPos(0, 1, 0), s.addPos(0, 0, 1);
    s.polys = {{0, 2, 1}, {0, 1, 3}, {1, 2, 3}, {0, 3, 2}};
    return s;
}

PolySoup cubeQuads() {
    PolySoup s;
    for (int i = 0; i < 8; ++i)
        s.addPos(float(i & 1), float((i >> 1) & 1), float((i >> 2) & 1));
    s.polys = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4}, {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
    return s;
}

// A fan of n triangles around a centre: closed disc (border of n vertices).
PolySoup fan(int n, bool bSeams) {
    PolySoup s;
    const uint32_t c = s.addPos(0, 0, 0);
    for (int i = 0; i < n; ++i)
        s.addPos(std::cos(6.2831853f * float(i) / float(n)), std::sin(6.2831853f * float(i) / float(n)), 0);
    for (int i = 0; i < n; ++i) {
        s.polys.push_back({c, uint32_t(1 + i), uint32_t(1 + (i + 1) % n)});
        // Three runs around the centre, the first wrapping round slot 0.
        if (bSeams) s.seamKey.push_back({uint32_t(i < 5 || i >= n - 3 ? 1 : i < n / 2 ? 2 : 3), 0, 0});
    }
    return s;
}

} // namespace

TEST_F(TopoMeshCoderTest, ClosedSolidsCodeAsOneComponentWithoutCovers) {
    for (int version : {DualTopoMeshCoder::V1, DualTopoMeshCoder::V2}) {
        auto tet = makeMesh(tetrahedron());
        DualTopoMeshCoder* c = nullptr;
        roundTrip(*tet, version, VqTopoMesh::VQ_PRIM_POLYGON, &c);
        EXPECT_TRUE(s_bPositionRings);
        const Vq::DualMeshSymbols& y = c->symbols();
        EXPECT_EQ(y.viOutValSyms, VqVeci({3, 3, 3, 3}));
        // The seed is reached with nothing known (context 1), the others
        // beside vertices of valence 3 (sum below 6 per known vertex); every
        // vertex has one record, its run starting at slot 0.
        EXPECT_EQ(y.vviOutDegSyms[1], VqVeci({3}));
        EXPECT_EQ(y.vviOutDegSyms[0], VqVeci({3, 3, 3}));
        EXPECT_EQ(y.vvuOutAttrMasks[1], VqVec<uint64_t>({1, 1, 1, 1}));
        EXPECT_EQ(y.viOutVGrpSyms, VqVeci({0, 0, 0, 0}));
        EXPECT_EQ(c->numCoverPolys(), 0u);
        EXPECT_TRUE(y.viOutSplitFaceSyms.empty());
        int nVerts = 0;
        for (const auto& s : y.vviOutDegSyms)
            nVerts += int(s.size()) - int(std::count(s.begin(), s.end(), 0));
        EXPECT_EQ(nVerts, 4);
        EXPECT_EQ(c->vertexCoords().size(), 12u);
        DualTopoMeshCoder::releaseDualTopoMeshCoder(c);

        auto cube = makeMesh(cubeQuads());
        roundTrip(*cube, version, VqTopoMesh::VQ_PRIM_POLYGON, &c);
        EXPECT_TRUE(s_bPositionRings);
        EXPECT_EQ(c->symbols().viOutValSyms, VqVeci({4, 4, 4, 4, 4, 4}));
        // Valence 3 around quads: the seed in context 4, the rest below the
        // sum of 4 per known vertex (context 3).
        for (int k : {0, 1, 2, 5, 6, 7})
            EXPECT_TRUE(c->symbols().vviOutDegSyms[k].empty()) << k;
        EXPECT_EQ(c->symbols().vviOutDegSyms[4], VqVeci({3}));
        EXPECT_EQ(c->symbols().vviOutDegSyms[3], VqVeci(7, 3));
        DualTopoMeshCoder::releaseDualTopoMeshCoder(c);
    }
}

TEST_F(TopoMeshCoderTest, HolesGetCoverPolygonsThatDecodingDrops) {
    // One triangle: a cover of degree 3 flagged as such.
    PolySoup tri;
    tri.addPos(0, 0, 0), tri.addPos(1, 0, 0), tri.addPos(0, 1, 0);
    tri.polys = {{0, 1, 2}};
    DualTopoMeshCoder* c = nullptr;
    auto out = roundTrip(*makeMesh(tri), DualTopoMeshCoder::V2, VqTopoMesh::VQ_PRIM_POLYGON, &c);
    EXPECT_EQ(c->symbols().viOutValSyms, VqVeci({3, 3}));
    EXPECT_EQ(c->symbols().vuOutVtxFlags[1] & 1, 1);
    EXPECT_EQ(c->numCoverPolys(), 1u);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->numPrims(), 1u);
    EXPECT_TRUE(s_bPositionRings);
    DualTopoMeshCoder::releaseDualTopoMeshCoder(c);

    // A 250-vertex border: covers of at most 100 corners that together
    // triangulate to the 248 triangles a 250-gon needs.
    roundTrip(*makeMesh(fan(250, false)), DualTopoMeshCoder::V1, VqTopoMesh::VQ_PRIM_POLYGON, &c);
    const Vq::DualMeshSymbols& y = c->symbols();
    int nCover = 0, coverTris = 0;
    for (size_t i = 0; i < y.viOutValSyms.size(); ++i)
        if (y.vuOutVtxFlags[i] & 1) {
            ++nCover;
            EXPECT_LE(y.viOutValSyms[i], 100);
            coverTris += y.viOutValSyms[i] - 2;
        }
    EXPECT_EQ(nCover, 3);
    EXPECT_EQ(coverTris, 248);
    EXPECT_TRUE(s_bPositionRings);
    DualTopoMeshCoder::releaseDualTopoMeshCoder(c);

    // An open grid with a hole punched in the middle.
    TriSoup g = grid(8, 8);
    std::vector<uint32_t> kept;
    for (uint32_t t = 0; t < g.numTris(); ++t)
        if (t / 2 != 27 && t / 2 != 28 && t / 2 != 35)
            kept.insert(kept.end(), g.tris.begin() + 3 * t, g.tris.begin() + 3 * t + 3);
    g.tris = kept;
    roundTrip(*makeMesh(fromTris(g)), DualTopoMeshCoder::V1, VqTopoMesh::VQ_PRIM_POLYGON);
}

TEST_F(TopoMeshCoderTest, HighValenceMasksGoToTheLargeStream) {
    DualTopoMeshCoder* c = nullptr;
    roundTrip(*makeMesh(fan(70, true)), DualTopoMeshCoder::V2, VqTopoMesh::VQ_PRIM_POLYGON, &c);
    const Vq::DualMeshSymbols& y = c->symbols();
    EXPECT_EQ(y.vuOutAttrMasksLrg.size(), 3u);
    EXPECT_EQ(std::count(y.vviOutDegSyms[1].begin(), y.vviOutDegSyms[1].end(), 70), 1);
    // The centre's three runs: three records, one wrapping round slot 0.
    uint32_t bits = 0;
    for (uint32_t w : y.vuOutAttrMasksLrg)
        bits += uint32_t(std::popcount(w));
    EXPECT_EQ(bits, 3u);
    DualTopoMeshCoder::releaseDualTopoMeshCoder(c);
    // Valences 9 to 64 use context 7 and its extra chunks.
    roundTrip(*makeMesh(fan(60, true)), DualTopoMeshCoder::V1, VqTopoMesh::VQ_PRIM_POLYGON, &c);
    EXPECT_EQ(c->symbols().vvuOutAttrMasks[7].size(), 1u);
    EXPECT_NE(c->symbols().vvuOutAttrMasks[7][0] >> 30, 0u);
    DualTopoMeshCoder::releaseDualTopoMeshCoder(c);
}

TEST_F(TopoMeshCoderTest, TorusAndSeamsRoundTripAsPolygonsAndStrips) {
    TriSoup t = torus(12, 8);
    DualTopoMeshCoder* c = nullptr;
    roundTrip(*makeMesh(fromTris(t)), DualTopoMeshCoder::V1, VqTopoMesh::VQ_PRIM_POLYGON, &c);
    // Genus 1 needs splits.
    EXPECT_FALSE(c->symbols().viOutSplitFaceSyms.empty());
    EXPECT_EQ(c->symbols().viOutSplitFaceSyms.size(), c->symbols().viOutSplitPosSyms.size());
    // Split offsets count the active stack as the walk leaves it, deeper
    // than the window here: which completed vertices have left is part of
    // the stream.
    EXPECT_EQ(c->symbols().viOutSplitFaceSyms, (std::vector<int>{26, 28, 12}));
    DualTopoMeshCoder::releaseDualTopoMeshCoder(c);

    // Seams: a chart boundary around the tube and one along it, and face
    // groups by ring.
    t.seamKey.resize(t.tris.size());
    t.groups.resize(t.numTris());
    for (uint32_t i = 0; i < t.numTris(); ++i) {
        t.groups[i] = i / 48;
        for (int k = 0; k < 3; ++k)
            t.seamKey[3 * i + k] = 1 + (i / 16) % 2 + 2 * ((i % 16) < 8);
    }
    const PolySoup ps = fromTris(t);
    for (int version : {DualTopoMeshCoder::V1, DualTopoMeshCoder::V2}) {
        roundTrip(*makeMesh(ps), version, VqTopoMesh::VQ_PRIM_POLYGON);
        roundTrip(*makeMesh(ps, true), version, VqTopoMesh::VQ_PRIM_TRISTRIP);
    }
}

TEST_F(TopoMeshCoderTest, SplitOffsetsCountCompletedVerticesOnlyWhileOutOfReach) {
    // On a larger torus the walk leaves behind runs of completed vertices
    // longer than the window, which leave the stack as they come within
    // reach, and at the end drains a stack shorter than the window. The
    // offsets of the splits that follow count the stack with every
    // completed vertex still out of reach on it, and none that came within.
    DualTopoMeshCoder* c = nullptr;
    roundTrip(*makeMesh(fromTris(torus(40, 20))), DualTopoMeshCoder::V1, VqTopoMesh::VQ_PRIM_POLYGON, &c);
    EXPECT_EQ(c->symbols().viOutSplitFaceSyms,
              (std::vector<int>{82, 82, 41, 37, 120, 121, 82, 82, 82, 82, 50, 95, 78, 35, 35, 35}));
    DualTopoMeshCoder::releaseDualTopoMeshCoder(c);
}

TEST_F(TopoMeshCoderTest, TrianglesAndQuadsMixedInOneComponent) {
    // The walk completes triangles on a path of their own: here triangles
    // meet quads on every side, on a surface that also needs splits.
    const TriSoup t = torus(12, 8);
    PolySoup s;
    s.pos = t.pos;
    for (uint32_t k = 0; k < t.numTris() / 2; ++k) {
        const uint32_t* a = &t.tris[6 * k];
        if (k % 3 == 1)
            s.polys.push_back({a[0], a[1], a[2], a[5]});
        else {
            s.polys.push_back({a[0], a[1], a[2]});
            s.polys.push_back({a[3], a[4], a[5]});
        }
    }
    for (int version : {DualTopoMeshCoder::V1, DualTopoMeshCoder::V2}) {
        DualTopoMeshCoder* c = nullptr;
        roundTrip(*makeMesh(s), version, VqTopoMesh::VQ_PRIM_POLYGON, &c);
        const auto& degrees = c->symbols().viOutValSyms;
        EXPECT_EQ(std::count(degrees.data(), degrees.data() + degrees.size(), 4), 32);
        EXPECT_FALSE(c->symbols().viOutSplitFaceSyms.empty());
        DualTopoMeshCoder::releaseDualTopoMeshCoder(c);
    }
}

TEST_F(TopoMeshCoderTest, NonManifoldMeshesSplitIntoAliases) {
    PolySoup bowtie;
    bowtie.addPos(0, 0, 0), bowtie.addPos(1, -1, 0), bowtie.addPos(1, 1, 0), bowtie.addPos(-1, 1, 0),
        bowtie.addPos(-1, -1, 0);
    bowtie.polys = {{0, 1, 2}, {0, 3, 4}};
    DualTopoMeshCoder* c = nullptr;
    roundTrip(*makeMesh(bowtie), DualTopoMeshCoder::V2, VqTopoMesh::VQ_PRIM_POLYGON, &c);
    EXPECT_EQ(c->numAliasVerts(), 1u);
    EXPECT_EQ(c->vertexCoords().size(), 6u * 3u);
    // An alias repeats its position exactly: its records join that ring.
    EXPECT_TRUE(s_bPositionRings);
    DualTopoMeshCoder::releaseDualTopoMeshCoder(c);

    // Three triangles on one edge, and a face flipped against its neighbour.
    PolySoup three;
    three.addPos(0, 0, 0), three.addPos(1, 0, 0), three.addPos(0, 1, 0), three.addPos(0, -1, 0),
        three.addPos(0, 0, 1);
    three.polys = {{0, 1, 2}, {1, 0, 3}, {0, 1, 4}};
    roundTrip(*makeMesh(three), DualTopoMeshCoder::V1, VqTopoMesh::VQ_PRIM_POLYGON);
    PolySoup flipped = cubeQuads();
    std::reverse(flipped.polys[2].begin(), flipped.polys[2].end());
    roundTrip(*makeMesh(flipped), DualTopoMeshCoder::V1, VqTopoMesh::VQ_PRIM_POLYGON);
    // A two-sided triangle: a closed surface whose vertices have valence 2.
    PolySoup sheet;
    sheet.addPos(0, 0, 0), sheet.addPos(1, 0, 0), sheet.addPos(0, 1, 0);
    sheet.polys = {{0, 1, 2}, {0, 2, 1}};
    roundTrip(*makeMesh(sheet), DualTopoMeshCoder::V1, VqTopoMesh::VQ_PRIM_POLYGON, &c);
    EXPECT_EQ(c->numCoverPolys(), 0u);
    // The first vertex is reached with no neighbour known (context 1), the
    // others beside vertices of valence 2 (sum below 6 per known vertex).
    EXPECT_EQ(c->symbols().vviOutDegSyms[1], VqVeci({2}));
    EXPECT_EQ(c->symbols().vviOutDegSyms[0], VqVeci({2, 2}));
    EXPECT_TRUE(s_bPositionRings);
    DualTopoMeshCoder::releaseDualTopoMeshCoder(c);
    // Two cubes sharing one corner.
    PolySoup two = cubeQuads();
    for (int i = 0; i < 8; ++i)
        two.addPos(1.f + float(i & 1), 1.f + float((i >> 1) & 1), 1.f + float((i >> 2) & 1));
    for (size_t p = 0; p < 6; ++p) {
        std::vector<uint32_t> q = two.polys[p];
        for (uint32_t& v : q)
            v = v == 0 ? 7 : v + 8;
        two.polys.push_back(q);
    }
    roundTrip(*makeMesh(two), DualTopoMeshCoder::V2, VqTopoMesh::VQ_PRIM_POLYGON, &c);
    EXPECT_EQ(c->numAliasVerts(), 1u);
    EXPECT_TRUE(s_bPositionRings);
    DualTopoMeshCoder::releaseDualTopoMeshCoder(c);
}

TEST_F(TopoMeshCoderTest, SeveralComponentsAndGroups) {
    PolySoup s = tetrahedron();
    const PolySoup cube = cubeQuads();
    const uint32_t base = uint32_t(s.pos.size() / 3);
    for (float x : cube.pos)
        s.pos.push_back(x + 5.0f);
    for (auto q : cube.polys) {
        for (uint32_t& v : q)
            v += base;
        s.polys.push_back(q);
    }
    s.groups = {0, 0, 1, 1, 1, 3, 3, 3, 3, 3};
    DualTopoMeshCoder* c = nullptr;
    roundTrip(*makeMesh(s), DualTopoMeshCoder::V1, VqTopoMesh::VQ_PRIM_POLYGON, &c);
    EXPECT_EQ(c->symbols().viOutValSyms.size(), 10u);
    EXPECT_TRUE(s_bPositionRings);
    DualTopoMeshCoder::releaseDualTopoMeshCoder(c);
    // Closed, of triangles, a record a vertex: all the plainest export
    // takes, but for the groups.
    PolySoup tet = tetrahedron();
    tet.groups = {0, 1, 1, 2};
    roundTrip(*makeMesh(tet), DualTopoMeshCoder::V2, VqTopoMesh::VQ_PRIM_POLYGON);
}

TEST_F(TopoMeshCoderTest, RecordsInSeparateRunsAndEmptyMeshes) {
    // Around the centre the records alternate A B A B ...: each run is a
    // record of its own in the streams, merged back by the decoded pool.
    PolySoup s = fan(12, false);
    for (int i = 0; i < 12; ++i)
        s.seamKey.push_back({uint32_t(1 + (i / 2) % 2), 0, 0});
    DualTopoMeshCoder* c = nullptr;
    roundTrip(*makeMesh(s), DualTopoMeshCoder::V2, VqTopoMesh::VQ_PRIM_POLYGON, &c);
    EXPECT_EQ(c->attrRecords()->numVtxRecords(), 12u + 6u);
    // Records merged at one position form one ring.
    EXPECT_TRUE(s_bPositionRings);
    DualTopoMeshCoder::releaseDualTopoMeshCoder(c);

    // Nothing to code, and only degenerate triangles: empty meshes come back.
    PolySoup flat;
    flat.addPos(0, 0, 0), flat.addPos(1, 0, 0);
    flat.polys = {{0, 1, 1}};
    for (const PolySoup& e : {PolySoup(), flat}) {
        auto out = roundTrip(*makeMesh(e), DualTopoMeshCoder::V1, VqTopoMesh::VQ_PRIM_POLYGON, &c);
        EXPECT_EQ(c->symbols().numSymbols(), 0u);
        ASSERT_TRUE(out);
        EXPECT_EQ(out->numPrims(), 0u);
        DualTopoMeshCoder::releaseDualTopoMeshCoder(c);
    }
}

TEST_F(TopoMeshCoderTest, DegenerateStripTrianglesAreLeftOut) {
    // A strip with a turn (repeated index) and a collapsed triangle.
    auto m = makeMesh(fromTris(grid(3, 2)), true);
    {
        MeshLock lock(*m);
        const uint32_t strip[] = {0, 1, 4, 5, 5, 6, 9, 10};
        ASSERT_TRUE(m->addPrimitives(0, 1u, 8u, strip)) << lastError();
    }
    roundTrip(*m, DualTopoMeshCoder::V1, VqTopoMesh::VQ_PRIM_TRISTRIP);
}

// Records of a ring from its mask: a set bit starts a run, slots before the
// first set bit continue the last run, bits past the valence count for
// nothing, and no set bit leaves every slot without a record.
TEST_F(TopoMeshCoderTest, MasksNumberTheRunsOfARing) {
    struct Case {
        std::vector<uint64_t> mask;
        int valence;
        std::vector<int> attrs;
    };
    const Case cases[] = {
        {{0x1}, 3, {7, 7, 7}},
        {{0x4}, 5, {7, 7, 7, 7, 7}},
        {{0x4 | (uint64_t(1) << 40)}, 6, {7, 7, 7, 7, 7, 7}},
        {{0x12}, 6, {8, 7, 7, 7, 8, 8}},
        {{0x0, 0x0}, 4, {-1, -1, -1, -1}},
        {{uint64_t(1) << 40}, 6, {-1, -1, -1, -1, -1, -1}},
        {{uint64_t(1) << 63}, 64, std::vector<int>(64, 7)},
        {{0x0, 0x2}, 70, std::vector<int>(70, 7)},
        {{0x1, 0x2},
         70,
         [] {
             std::vector<int> a(70, 7);
             std::fill(a.begin() + 65, a.end(), 8);
             return a;
         }()},
    };
    for (const Case& c : cases) {
        std::vector<int> attrs(size_t(c.valence), 99);
        const int nRuns = Vq::DualMeshCodec::assignRuns(c.mask.data(), c.valence, 7, attrs.data());
        EXPECT_EQ(attrs, c.attrs) << "valence " << c.valence << " mask " << c.mask[0];
        EXPECT_EQ(nRuns, c.attrs[0] < 0 ? 0 : *std::max_element(c.attrs.begin(), c.attrs.end()) - 6);
    }
}

TEST_F(TopoMeshCoderTest, MaskChunksJoinBackPerVersion) {
    for (int version : {DualTopoMeshCoder::V1, DualTopoMeshCoder::V2}) {
        DualTopoMeshCoder* c = DualTopoMeshCoder::acquireDualTopoMeshCoder(version);
        VqVec<uint64_t> masks = {0, ~uint64_t(0), 0x8000000000000001ull, 0x00000000C0000000ull,
                                 0x3000000000000000ull};
        c->symbols().vvuOutAttrMasks[7] = masks;
        c->symbols().vvuOutAttrMasks[2] = {0x15};
        std::vector<VqVecu> chunks;
        c->_maskChunks(7, chunks);
        EXPECT_EQ(chunks.size(), version == DualTopoMeshCoder::V1 ? 3u : 2u);
        if (version == DualTopoMeshCoder::V1) {
            EXPECT_EQ(chunks[0][3], 0u); // bits 30, 31 move to the second chunk
            EXPECT_EQ(chunks[1][3], 3u);
            EXPECT_EQ(chunks[2][2], 8u);
        }
        const uint32_t before = c->computeCheckValue();
        c->symbols().vvuOutAttrMasks[7].clear();
        EXPECT_TRUE(c->_joinMaskChunks(7, chunks));
        EXPECT_EQ(c->symbols().vvuOutAttrMasks[7], masks);
        EXPECT_EQ(c->computeCheckValue(), before);
        chunks.pop_back();
        EXPECT_FALSE(c->_joinMaskChunks(7, chunks));
        c->_maskChunks(2, chunks);
        EXPECT_EQ(chunks.size(), 1u);
        EXPECT_EQ(chunks[0][0], 0x15u);
        // Flags go two to a word into a kept array: an odd count's last
        // word must not keep the high half a longer list left there.
        c->symbols().vuOutVtxFlags = {1, 2, 3};
        const uint32_t odd = c->computeCheckValue();
        c->symbols().vuOutVtxFlags = {1, 2, 3, 4};
        EXPECT_NE(c->computeCheckValue(), odd);
        c->symbols().vuOutVtxFlags = {1, 2, 3};
        EXPECT_EQ(c->computeCheckValue(), odd);
        DualTopoMeshCoder::releaseDualTopoMeshCoder(c);
    }
    EXPECT_EQ(DualTopoMeshCoder::acquireDualTopoMeshCoder(3), nullptr);
    DualTopoMeshCoder::s_shrinkDualTopoMeshCoderPool();
}

// ---- Hostile streams

namespace {
// A coder holding the encoded torus, ready to be tampered with.
DualTopoMeshCoder* encodedTorus(const VqTopoMesh& m) {
    DualTopoMeshCoder* c = DualTopoMeshCoder::acquireDualTopoMeshCoder(DualTopoMeshCoder::V1);
    EXPECT_TRUE(c->setTopoMesh(&m));
    EXPECT_TRUE(c->encode()) << lastError();
    return c;
}

// Decodes after the tampering, with the check value made to fit (as a
// forger would), and returns the error text.
std::string refusal(DualTopoMeshCoder* c) {
    c->setRefCheckValue(c->computeCheckValue());
    Vq::SharedPtr<VqTopoMesh> out;
    const bool ok = c->decode(VqTopoMesh::VQ_PRIM_POLYGON, out);
    EXPECT_EQ(ok, bool(out));
    // Polygons come back with their arrays checked alone: whatever a decode
    // accepts, damaged or not, must derive a sound topology.
    if (ok) {
        EXPECT_TRUE(out->isTopologyValid()) << lastError();
    }
    return ok ? std::string("accepted") : lastError();
}
} // namespace

TEST_F(TopoMeshCoderTest, SurplusMissingAndChangedSymbolsAreRefused) {
    TriSoup t = torus(10, 6);
    auto m = makeMesh(fromTris(t));
    struct Case {
        const char* text;
        void (*tamper)(Vq::DualMeshSymbols&);
    };
    const Case cases[] = {
        {"_iValReadPos[i] == _vviOutDegSyms[i].length()",
         [](Vq::DualMeshSymbols& y) { y.vviOutDegSyms[1].push_back(6); }},
        // A surplus degree starts a component that finds no group.
        {"_iVGrpReadPos < _viOutVGrpSyms.length()",
         [](Vq::DualMeshSymbols& y) { y.viOutValSyms.push_back(3); }},
        // A missing degree: the vertices outnumber the announced corners.
        {"nVtxCorners <= nPolyCorners", [](Vq::DualMeshSymbols& y) { y.viOutValSyms.pop_back(); }},
        {"_iVGrpReadPos == _viOutVGrpSyms.length()",
         [](Vq::DualMeshSymbols& y) { y.viOutVGrpSyms.push_back(0); }},
        {"_iFFlagReadPos == _vuOutVtxFlags.length()",
         [](Vq::DualMeshSymbols& y) { y.vuOutVtxFlags.push_back(0); }},
        {"_iAttrMaskReadPos[i] == _vvuOutAttrMasks[i].length()",
         [](Vq::DualMeshSymbols& y) { y.vvuOutAttrMasks[4].push_back(1); }},
        {"_iAttrMaskLrgReadPos == _vuOutAttrMasksLrg.length()",
         [](Vq::DualMeshSymbols& y) { y.vuOutAttrMasksLrg.push_back(1); }},
        {"_iSplitFaceReadPos == _viOutSplitFaceSyms.length()",
         [](Vq::DualMeshSymbols& y) { y.viOutSplitFaceSyms.push_back(1); }},
        {"_iSplitPosReadPos == _viOutSplitPosSyms.length()",
         [](Vq::DualMeshSymbols& y) { y.viOutSplitPosSyms.push_back(0); }},
        {"_iVGrpReadPos < _viOutVGrpSyms.length()",
         [](Vq::DualMeshSymbols& y) { y.viOutVGrpSyms.pop_back(); }},
        {"_iSplitPosReadPos < _viOutSplitPosSyms.length()",
         [](Vq::DualMeshSymbols& y) { y.viOutSplitPosSyms.pop_back(); }},
        {"cVal > 2", [](Vq::DualMeshSymbols& y) { y.viOutValSyms[3] = 2; }},
        // Past the last whole group of four degrees (the torus has 120).
        {"cVal > 2", [](Vq::DualMeshSymbols& y) { y.viOutValSyms.push_back(2); }},
        {"cVal <= VqDualVFMesh::kMaxDegree", [](Vq::DualMeshSymbols& y) { y.viOutValSyms[3] = 70000; }},
        {"_nPolyCorners <= kMaxCorners", [](Vq::DualMeshSymbols& y) { y.viOutValSyms.resize(5000, 65535); }},
        {"iVGrp >= -1", [](Vq::DualMeshSymbols& y) { y.viOutVGrpSyms[2] = -2; }},
        {"iVGrp <= kMaxFaceGroup", [](Vq::DualMeshSymbols& y) { y.viOutVGrpSyms[2] = 1 << 30; }},
        {"cDeg >= 2 && cDeg <= 65535", [](Vq::DualMeshSymbols& y) { y.vviOutDegSyms[1][0] = 1; }},
        {"nVtxCorners <= nPolyCorners", [](Vq::DualMeshSymbols& y) { y.vviOutDegSyms[1][0] = 60000; }},
        {"iOffset > 0 && iOffset <= cLen", [](Vq::DualMeshSymbols& y) { y.viOutSplitFaceSyms[0] = 100000; }},
        {"eSym >= -1", [](Vq::DualMeshSymbols& y) { y.viOutSplitPosSyms[0] = -5; }},
        {"eSym >= 0 && eSym < cDeg", [](Vq::DualMeshSymbols& y) { y.viOutSplitPosSyms[0] = 64; }},
    };
    for (const Case& k : cases) {
        DualTopoMeshCoder* c = encodedTorus(*m);
        k.tamper(c->symbols());
        EXPECT_NE(refusal(c).find(k.text), std::string::npos) << k.text << ": " << lastError();
        DualTopoMeshCoder::releaseDualTopoMeshCoder(c);
    }
    // Without a fitting check value any change is refused by it.
    DualTopoMeshCoder* c = encodedTorus(*m);
    c->symbols().viOutVGrpSyms[5] ^= 1;
    Vq::SharedPtr<VqTopoMesh> out;
    EXPECT_FALSE(c->decode(VqTopoMesh::VQ_PRIM_POLYGON, out));
    EXPECT_NE(lastError().find("uHash == uRefHash"), std::string::npos);
    // Vertex data that does not fit the streams.
    c->symbols().viOutVGrpSyms[5] ^= 1;
    VqVecf coords = c->vertexCoords();
    coords.resize(coords.size() - 3);
    Vq::SharedPtr<VqVertexRecordPool> attrs = c->attrRecords();
    c->setVertexData(coords, 3, attrs.get());
    EXPECT_FALSE(c->decode(VqTopoMesh::VQ_PRIM_POLYGON, out));
    EXPECT_NE(lastError().find("vFaceCoordOrder.length() == _viFaceCoordOrder.length()"), std::string::npos);
    // A polygon mesh's quads cannot come back as strips.
    DualTopoMeshCoder::releaseDualTopoMeshCoder(c);
    c = DualTopoMeshCoder::acquireDualTopoMeshCoder(DualTopoMeshCoder::V2);
    auto cube = makeMesh(cubeQuads());
    ASSERT_TRUE(c->setTopoMesh(cube.get()));
    ASSERT_TRUE(c->encode());
    EXPECT_FALSE(c->decode(VqTopoMesh::VQ_PRIM_TRISTRIP, out));
    EXPECT_FALSE(out);
    DualTopoMeshCoder::releaseDualTopoMeshCoder(c);
}

TEST_F(TopoMeshCoderTest, RandomDamageNeverCrashesOrHangs) {
    TriSoup t = torus(9, 7);
    t.seamKey.assign(t.tris.size(), 0);
    for (size_t i = 0; i < t.seamKey.size(); i += 7)
        t.seamKey[i] = 1;
    auto m = makeMesh(fromTris(t));
    std::mt19937 rng(7);
    int accepted = 0;
    for (int round = 0; round < 400; ++round) {
        DualTopoMeshCoder* c = encodedTorus(*m);
        Vq::DualMeshSymbols& y = c->symbols();
        std::vector<VqVeci*> ints = {&y.viOutValSyms, &y.viOutVGrpSyms, &y.viOutSplitFaceSyms,
                                     &y.viOutSplitPosSyms};
        for (auto& s : y.vviOutDegSyms)
            ints.push_back(&s);
        for (int n = 1 + int(rng() % 3); n > 0; --n) {
            VqVeci& s = *ints[rng() % ints.size()];
            if (s.empty()) continue;
            const size_t i = rng() % s.size();
            switch (rng() % 4) {
            case 0:
                s[int(i)] += int(rng() % 5) - 2;
                break;
            case 1:
                s.erase(s.begin() + ptrdiff_t(i));
                break;
            case 2:
                s.insert(s.begin() + ptrdiff_t(i), int(rng() % 12));
                break;
            default:
                std::swap(s[int(i)], s[int(rng() % s.size())]);
                break;
            }
        }
        if (rng() % 4 == 0 && !y.vvuOutAttrMasks[4].empty()) y.vvuOutAttrMasks[4][0] ^= rng();
        accepted += refusal(c) == "accepted";
        DualTopoMeshCoder::releaseDualTopoMeshCoder(c);
    }
    EXPECT_LT(accepted, 400);
}

TEST_F(TopoMeshCoderTest, RealMeshesRoundTrip) {
    for (const char* name : {"bunny00", "armadillo", "fandisk", "mech-holes-shark", "elephant-with-holes",
                             "cross_quad", "double-torus-3-holes", "hedra_open"}) {
        TriSoup s;
        if (!readOff(name, s)) continue;
        SCOPED_TRACE(name);
        auto poly = makeMesh(fromTris(s));
        roundTrip(*poly, DualTopoMeshCoder::V2, VqTopoMesh::VQ_PRIM_POLYGON);
        // Long strips with their turns, as a loaded strip mesh has them.
        if (s.numTris() > 20000) continue;
        Vq::SharedPtr<VqTriStripTopoMesh> strip = new VqTriStripTopoMesh(poly->vtxRecPool());
        VqTriStripperEngine engine;
        ASSERT_TRUE(engine.apply(strip.get(), poly.get())) << lastError();
        roundTrip(*strip, DualTopoMeshCoder::V1, VqTopoMesh::VQ_PRIM_TRISTRIP);
    }
}

namespace {
// A decoded mesh as its exact record lists and record coordinates, for
// comparisons that must not allow even a renumbering.
std::pair<std::vector<uint32_t>, std::vector<float>> exactly(const VqTopoMesh& m) {
    std::vector<uint32_t> recs, r(1024);
    for (uint32_t a = 0; a < m.numAtoms(); ++a) {
        const uint32_t n = m.atomRecords(a, r.data(), uint32_t(r.size()));
        recs.push_back(n);
        recs.insert(recs.end(), r.begin(), r.begin() + n);
        recs.push_back(uint32_t(m.atomToFaceGroup(a)));
    }
    const VqVertexRecordPool& pool = *m.vtxRecPool();
    // The rings the collocation check left, and how it renumbered.
    recs.push_back(pool.equivRingsValid());
    for (uint32_t i = 0; pool.equivRingsValid() && i < pool.numVtxRecords(); ++i)
        recs.push_back(pool.nextEquivVtx(i));
    recs.insert(recs.end(), pool.indexMap().begin(), pool.indexMap().end());
    const float* c = pool.fields()->vtxCoords();
    return {recs, std::vector<float>(c, c + 3 * size_t(pool.numVtxRecords()))};
}
} // namespace

// A coder keeps its walk storage from mesh to mesh, whatever their sizes and
// also after a refused stream: each decode must give exactly what a new
// coder gives from the same streams.
TEST_F(TopoMeshCoderTest, KeptCoderDecodesAsANewOne) {
    // An open grid with two holes inside, for cover polygons.
    TriSoup holes = grid(20, 9);
    for (const int t : {140, 60, 59})
        holes.tris.erase(holes.tris.begin() + 3 * t, holes.tris.begin() + 3 * t + 3);
    const std::vector<PolySoup> soups = {fromTris(torus(40, 30)), fan(70, true),          cubeQuads(),
                                         fromTris(holes),         fromTris(torus(12, 8)), tetrahedron()};
    DualTopoMeshCoder* kept = DualTopoMeshCoder::acquireDualTopoMeshCoder(DualTopoMeshCoder::V2);
    for (size_t i = 0; i < soups.size(); ++i) {
        SCOPED_TRACE(i);
        for (const bool bStrip : {false, true}) {
            if (bStrip && soups[i].polys[0].size() != 3) continue;
            auto m = makeMesh(soups[i], bStrip);
            ASSERT_TRUE(kept->setTopoMesh(m.get()) && kept->encode()) << lastError();
            Vq::DualTopoMeshCoderV2 fresh;
            fresh.symbols() = kept->symbols();
            fresh.setVertexData(kept->vertexCoords(), kept->coordComps(), kept->attrRecords());
            fresh.setRefCheckValue(kept->refCheckValue());
            const VqTopoMesh::PrimKind eKind =
                bStrip ? VqTopoMesh::VQ_PRIM_TRISTRIP : VqTopoMesh::VQ_PRIM_POLYGON;
            Vq::SharedPtr<VqTopoMesh> a, b;
            ASSERT_TRUE(kept->decode(eKind, a)) << lastError();
            ASSERT_TRUE(fresh.decode(eKind, b)) << lastError();
            EXPECT_TRUE(exactly(*a) == exactly(*b));
        }
        // A stream refused half way through the walk leaves the storage
        // partly filled for the next mesh.
        Vq::DualMeshSymbols& y = kept->symbols();
        y.vviOutDegSyms[1].insert(y.vviOutDegSyms[1].begin() + y.vviOutDegSyms[1].length() / 2, 0);
        EXPECT_NE(refusal(kept), "accepted");
    }
    DualTopoMeshCoder::releaseDualTopoMeshCoder(kept);
}
