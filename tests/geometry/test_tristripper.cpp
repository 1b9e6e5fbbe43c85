// The triangle stripper and the vertex-cache optimiser: every triangle comes
// out once, wound as it went in, in its face group, and strips never join
// across a seam or a face group.
#include "MeshTestUtil.h"
#include "VqTriStripperEngine.h"
#include "VqVertexCacheOptimizer.h"

#include <algorithm>

namespace {

class StripperTest : public VqLibTest {
protected:
    // Strips src into a new strip mesh on its pool and checks the invariants.
    static std::unique_ptr<VqTriStripTopoMesh> strip(const VqTopoMesh& src, const char* what,
                                                     VqTriStripperEngine* engine = nullptr) {
        auto dest = std::make_unique<VqTriStripTopoMesh>(src.vtxRecPool());
        VqTriStripperEngine own;
        VqTriStripperEngine& e = engine ? *engine : own;
        EXPECT_TRUE(e.apply(dest.get(), &src)) << what << ": " << lastError();
        EXPECT_TRUE(dest->verifyTopoMesh(true)) << what << ": " << lastError();
        EXPECT_EQ(dest->numFaceGroups(), src.numFaceGroups()) << what;
        EXPECT_EQ(orientedTris(*dest), orientedTris(src)) << what;
        EXPECT_EQ(e.numStrips(), dest->numPrims()) << what;
        expectJoinsOnPairedEdges(*dest, src, what);
        // The engine pairs edges itself unless the source's topology is
        // current, which it then reads: the strips are the same either way.
        if (!src._isValidTopo() && src.ensureTopology()) {
            VqTriStripTopoMesh again(src.vtxRecPool());
            EXPECT_TRUE(e.apply(&again, &src)) << what << ": " << lastError();
            EXPECT_EQ(std::vector<uint32_t>(again.indices(), again.indices() + again.numIndices()),
                      std::vector<uint32_t>(dest->indices(), dest->indices() + dest->numIndices()))
                << what << ": strips differ with the topology derived";
            EXPECT_EQ(std::vector<uint32_t>(again.primStarts(), again.primStarts() + again.numPrims() + 1),
                      std::vector<uint32_t>(dest->primStarts(), dest->primStarts() + dest->numPrims() + 1))
                << what;
        }
        return dest;
    }
    // Consecutive triangles of a strip (turns between them aside) join
    // across an edge that the source's topology pairs: exactly two
    // triangles on it, running opposite ways, counted by position over the
    // whole source apart from the stripper.
    static void expectJoinsOnPairedEdges(const VqTopoMesh& dest, const VqTopoMesh& src, const char* what) {
        std::map<std::array<float, 6>, std::vector<bool>> dirs;
        auto key = [](std::array<float, 3> a, std::array<float, 3> b) {
            if (b < a) std::swap(a, b);
            return std::array<float, 6>{a[0], a[1], a[2], b[0], b[1], b[2]};
        };
        uint32_t r[3];
        for (uint32_t a = 0; a < src.numAtoms(); ++a) {
            src.atomRecords(a, r, 3);
            const std::array<float, 3> p[3] = {posOf(src, r[0]), posOf(src, r[1]), posOf(src, r[2])};
            if (p[0] == p[1] || p[1] == p[2] || p[0] == p[2]) continue;
            for (int c = 0; c < 3; ++c)
                dirs[key(p[c], p[(c + 1) % 3])].push_back(p[c] < p[(c + 1) % 3]);
        }
        for (uint32_t prim = 0; prim < dest.numPrims(); ++prim) {
            const uint32_t* s = dest.indices() + dest.firstVtxOnPrim(prim);
            const uint32_t n = uint32_t(dest.lastVtxOnPrim(prim) - dest.firstVtxOnPrim(prim) + 1);
            bool after = false; // a triangle came before in this strip
            for (uint32_t i = 0; i + 2 < n; ++i) {
                const auto p0 = posOf(dest, s[i]), p1 = posOf(dest, s[i + 1]), p2 = posOf(dest, s[i + 2]);
                if (p0 == p1 || p1 == p2 || p0 == p2) continue;
                // Whatever turns lie between, a strip triangle enters
                // through the edge of its first two strip records.
                if (after) {
                    const auto& d = dirs[key(p0, p1)];
                    EXPECT_TRUE(d.size() == 2 && d[0] != d[1])
                        << what << ": strip " << prim << " joins at index " << i
                        << " across an unpaired edge";
                }
                after = true;
            }
        }
    }
    static TriSoup withGroupsAndSeams() {
        // Three face groups (the middle one empty) over one grid, and a seam
        // across the first group.
        TriSoup s = grid(8, 6);
        s.groups.assign(s.numTris(), 0);
        s.seamKey.assign(s.tris.size(), 0);
        for (uint32_t t = 0; t < s.numTris(); ++t) {
            if (t >= 48) s.groups[t] = 2;
            for (int c = 0; c < 3; ++c)
                if (t < 24 && s.pos[3 * s.tris[3 * t + c]] > 3.5f) s.seamKey[3 * t + c] = 1;
        }
        return s;
    }
};

// Indices per triangle the way the file stores strips: every index, and one
// primitive start per strip.
double indicesPerTriangle(const VqTopoMesh& m) {
    size_t nTris = 0;
    for (const auto& group : orientedTris(m))
        nTris += group.size();
    return double(m.numIndices() + m.numPrims()) / double(nTris);
}

TEST_F(StripperTest, InvariantsHoldOnEveryMesh) {
    TriSoup flippedTorus = torus(9, 7);
    std::swap(flippedTorus.tris[30], flippedTorus.tris[31]);
    TriSoup degenerate = grid(4, 4);
    degenerate.addTri(0, 0, 1);
    degenerate.addTri(3, 4, 3);
    TriSoup nonmanifold = grid(3, 3);
    nonmanifold.addTri(0, 1, 5);
    nonmanifold.addTri(5, 1, 0);
    // A fan turns at every triangle: one strip of about two indices per
    // triangle, longer than the index array is first sized for.
    TriSoup fan;
    fan.addPos(0.0f, 0.0f, 0.0f);
    for (uint32_t i = 0; i <= 64; ++i)
        fan.addPos(float(i), 1.0f, 0.0f);
    for (uint32_t i = 1; i <= 64; ++i)
        fan.addTri(0, i, i + 1);
    const std::pair<const char*, TriSoup> suite[] = {{"torus", torus(16, 12)},
                                                     {"grid", grid(10, 7)},
                                                     {"flipped face", flippedTorus},
                                                     {"degenerates", degenerate},
                                                     {"non-manifold", nonmanifold},
                                                     {"groups and seams", withGroupsAndSeams()},
                                                     {"fan", fan},
                                                     // Above the size at which starts keep two stacks.
                                                     {"big group", grid(60, 50)}};
    VqTriStripperEngine engine; // one engine for all: its arrays are reused
    for (const auto& [what, soup] : suite) {
        VqPolygonTopoMesh src(kSoupBindings);
        addSoup(src, soup);
        strip(src, what, &engine);
    }
    // Again from the big one down, so that what a bigger run left in the
    // arrays lies beyond what a smaller run writes.
    for (auto it = std::rbegin(suite); it != std::rend(suite); ++it) {
        VqTriStripTopoMesh src(kSoupBindings);
        addSoup(src, it->second);
        strip(src, it->first, &engine);
    }
}

TEST_F(StripperTest, NoJoinAcrossAnEdgeOfMoreThanTwoTriangles) {
    // Triangles on one edge, all with the same records there: pairs of them
    // run opposite ways along it, but the edge belongs to more than two, so
    // it is non-manifold and nothing joins across it. Their other edges are
    // borders.
    TriSoup s;
    const uint32_t a = s.addPos(0, 0, 0), b = s.addPos(1, 0, 0);
    const uint32_t c = s.addPos(0, 1, 0), d = s.addPos(0, -1, 0), e = s.addPos(0, 0, 1),
                   f = s.addPos(0, 0, -1);
    s.addTri(a, b, c);
    s.addTri(b, a, d);
    s.addTri(a, b, e);
    VqPolygonTopoMesh three(kSoupBindings);
    addSoup(three, s);
    EXPECT_EQ(strip(three, "three")->numPrims(), 3u);
    EXPECT_EQ(three.numNonmanifoldEdges(), 1);
    s.addTri(b, a, f);
    VqPolygonTopoMesh four(kSoupBindings);
    addSoup(four, s);
    EXPECT_EQ(strip(four, "four")->numPrims(), 4u);
    // Two of them alone on the edge join.
    s.tris.resize(6);
    VqPolygonTopoMesh two(kSoupBindings);
    addSoup(two, s);
    EXPECT_EQ(strip(two, "two")->numPrims(), 1u);
}

TEST_F(StripperTest, StripsAreLong) {
    VqPolygonTopoMesh src(kSoupBindings);
    addSoup(src, grid(20, 20));
    auto dest = strip(src, "grid");
    // A greedy stripper with turns does far better than the 4 indices a
    // triangle of its own costs.
    EXPECT_LT(indicesPerTriangle(*dest), 1.5);
    VqPolygonTopoMesh t(kSoupBindings);
    addSoup(t, torus(30, 20));
    EXPECT_LT(indicesPerTriangle(*strip(t, "torus")), 1.5);
}

TEST_F(StripperTest, SeamsAndFaceGroupsSeparateStrips) {
    // Two triangles on one edge, one corner of the edge a record of its own
    // on each side: they stay apart.
    TriSoup s;
    const uint32_t a = s.addPos(0, 0, 0), b = s.addPos(1, 0, 0), c = s.addPos(1, 1, 0), d = s.addPos(0, 1, 0);
    s.addTri(a, b, c);
    s.addTri(a, c, d);
    s.seamKey = {0, 0, 0, 0, 1, 0};
    VqPolygonTopoMesh seam(kSoupBindings);
    addSoup(seam, s);
    EXPECT_EQ(strip(seam, "seam")->numPrims(), 2u);
    // The same without the seam joins into one strip of four indices.
    s.seamKey.clear();
    VqPolygonTopoMesh joined(kSoupBindings);
    addSoup(joined, s);
    auto one = strip(joined, "no seam");
    ASSERT_EQ(one->numPrims(), 1u);
    EXPECT_EQ(one->numIndices(), 4u);
    // In two face groups they stay apart too.
    s.groups = {0, 1};
    VqPolygonTopoMesh groups(kSoupBindings);
    addSoup(groups, s);
    auto two = strip(groups, "two groups");
    EXPECT_EQ(two->numPrims(), 2u);
    EXPECT_EQ(two->numPrims(1u), 1u);
    // A single triangle is a strip of three indices.
    TriSoup single;
    single.addPos(0, 0, 0), single.addPos(1, 0, 0), single.addPos(0, 1, 0);
    single.addTri(0, 1, 2);
    VqPolygonTopoMesh alone(kSoupBindings);
    addSoup(alone, single);
    auto three = strip(alone, "single");
    ASSERT_EQ(three->numPrims(), 1u);
    EXPECT_EQ(three->numIndices(), 3u);
}

TEST_F(StripperTest, StripMeshesAreStrippedAgainInPlace) {
    VqPolygonTopoMesh src(kSoupBindings);
    addSoup(src, withGroupsAndSeams());
    auto once = strip(src, "once");
    const OrientedTris before = orientedTris(*once);
    VqTriStripperEngine engine;
    ASSERT_TRUE(engine.apply(once.get(), once.get())) << lastError();
    EXPECT_EQ(orientedTris(*once), before);
    EXPECT_EQ(once->numFaceGroups(), 3u);
    // And an empty source gives an empty mesh with its face groups.
    VqPolygonTopoMesh empty(src.vtxRecPool());
    {
        MeshLock lock(empty);
        ASSERT_TRUE(empty.ensureNumFaceGroups(2));
    }
    ASSERT_TRUE(engine.apply(once.get(), &empty)) << lastError();
    EXPECT_EQ(once->numPrims(), 0u);
    EXPECT_EQ(once->numFaceGroups(), 2u);
    EXPECT_TRUE(once->_isValidTopo());
}

TEST_F(StripperTest, RefusalsLeaveTheDestinationEmpty) {
    VqPolygonTopoMesh src(kSoupBindings);
    addSoup(src, grid(2, 2));
    auto dest = strip(src, "grid");
    ASSERT_GT(dest->numPrims(), 0u);
    VqTriStripperEngine engine;
    VqPolygonTopoMesh notStrips(src.vtxRecPool());
    EXPECT_FALSE(engine.apply(&notStrips, &src));
    EXPECT_EQ(lastError(), "pDestTSTM");

    // One quad among triangles, not first.
    VqPolygonTopoMesh quads(src.vtxRecPool());
    {
        MeshLock lock(quads);
        const uint32_t t[] = {0, 1, 4, 0, 4, 3, 1, 2, 5, 1, 5, 4, 3, 4, 7};
        const uint32_t q[] = {0, 1, 2, 3};
        ASSERT_TRUE(quads.addPrimitives(0, 2, 3u, t));
        ASSERT_TRUE(quads.addPrimitives(0, 1, 4u, q));
        ASSERT_TRUE(quads.addPrimitives(0, 3, 3u, t + 6));
    }
    EXPECT_FALSE(engine.apply(dest.get(), &quads));
    EXPECT_EQ(lastError(), "pSrcPTM->uniformPrimSize() == 3");
    EXPECT_EQ(dest->numPrims(), 0u);

    dest = strip(src, "grid");
    VqPolygonTopoMesh elsewhere(kSoupBindings);
    addSoup(elsewhere, grid(2, 2));
    EXPECT_FALSE(engine.apply(dest.get(), &elsewhere));
    EXPECT_EQ(lastError(), "pSrcPTM->vtxRecPool() == pDestTSTM->vtxRecPool()");
    EXPECT_EQ(dest->numPrims(), 0u);
}

TEST_F(StripperTest, RealMeshesStripWithTheirInvariants) {
    int found = 0;
    for (const char* name : {"bunny00", "fandisk", "mech-holes-shark"}) {
        TriSoup s;
        if (!readOff(name, s)) continue;
        ++found;
        VqPolygonTopoMesh src(kSoupBindings);
        addSoup(src, s);
        auto dest = strip(src, name);
        EXPECT_LT(indicesPerTriangle(*dest), 1.6) << name;
    }
    if (!found) GTEST_SKIP() << "no meshes in VQ_MESH_DIR";
}

// ---- Vertex-cache order

// Records loaded per triangle through a first-in first-out cache of k.
double acmr(const VqTopoMesh& m, uint32_t k) {
    std::vector<uint32_t> fifo;
    uint32_t misses = 0;
    for (uint32_t i = 0; i < m.numIndices(); ++i) {
        const uint32_t r = m.indices()[i];
        if (std::find(fifo.begin(), fifo.end(), r) != fifo.end()) continue;
        ++misses;
        fifo.push_back(r);
        if (fifo.size() > k) fifo.erase(fifo.begin());
    }
    return double(misses) / (m.numIndices() / 3);
}

std::multiset<std::array<uint32_t, 3>> triangles(const VqTopoMesh& m, uint32_t g) {
    std::multiset<std::array<uint32_t, 3>> out;
    for (uint32_t p = m.faceGroupStart(g); p < uint32_t(m.faceGroupStart(g + 1)); ++p)
        out.insert({m.indices()[3 * p], m.indices()[3 * p + 1], m.indices()[3 * p + 2]});
    return out;
}

TEST_F(StripperTest, CacheOrderEmitsEveryTriangleOnceWithinItsGroup) {
    VqPolygonTopoMesh m(kSoupBindings);
    TriSoup s = grid(30, 30);
    s.groups.assign(s.numTris(), 0);
    std::fill(s.groups.begin() + 1000, s.groups.end(), 1);
    addSoup(m, s);
    const std::vector<uint32_t> original(m.indices(), m.indices() + m.numIndices());
    const auto g0 = triangles(m, 0), g1 = triangles(m, 1);

    VqVertexCacheOptimizer opt(0);
    ASSERT_TRUE(opt.execute(&m));
    EXPECT_EQ(std::vector<uint32_t>(m.indices(), m.indices() + m.numIndices()), original);

    opt.setCacheSize(VqVertexCacheOptimizer::s_cShuffle);
    ASSERT_TRUE(opt.execute(&m)) << lastError();
    EXPECT_EQ(triangles(m, 0), g0);
    EXPECT_EQ(triangles(m, 1), g1);
    const double shuffled = acmr(m, 16);
    EXPECT_GT(shuffled, 1.5);

    opt.setCacheSize(16);
    ASSERT_TRUE(opt.execute(&m)) << lastError();
    EXPECT_EQ(triangles(m, 0), g0);
    EXPECT_EQ(triangles(m, 1), g1);
    // A grid's best is about half a record per triangle; fan walking comes
    // within reach of it.
    EXPECT_LT(acmr(m, 16), 0.8) << "from " << shuffled;
    ASSERT_TRUE(m.verifyTopoMesh(true));

    // Only triangles.
    VqPolygonTopoMesh quads(m.vtxRecPool());
    {
        MeshLock lock(quads);
        const uint32_t q[] = {0, 1, 2, 3};
        ASSERT_TRUE(quads.addPrimitives(0, 1, 4u, q));
    }
    EXPECT_FALSE(opt.execute(&quads));
    EXPECT_EQ(lastError(), "pPTM->uniformPrimSize() == 3");
}

} // namespace
