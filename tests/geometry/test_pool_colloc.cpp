// Collocation: the sweep's tolerance rules, compatibility, rings, and the
// index maps that reach every mesh sharing the pool.
#include "PoolTestUtil.h"
#include "VqCollocRenumber.h"
#include "VqCollocScratch.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <set>

namespace {

class CollocTest : public VqLibTest {
protected:
    // Collocates, keeping unreferenced records.
    static void collocate(VqVertexRecordPool& pool) {
        ASSERT_TRUE(pool._ensureCollocated(false)) << lastError();
    }
};

TEST_F(CollocTest, OneRecordIsCollocatedAtOnceAndTwoEqualOnesBecomeOne) {
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3);
    Records r;
    r.coords = {1, 2, 3, 1, 2, 3};
    ASSERT_TRUE(r.addTo(pool, 1));
    collocate(pool);
    EXPECT_EQ(pool.numVtxRecords(), 1u);

    uint32_t first = 0;
    ASSERT_TRUE(r.addTo(pool, 1, &first));
    EXPECT_FALSE(pool.isCollocated());
    collocate(pool);
    EXPECT_EQ(pool.numVtxRecords(), 1u);
    EXPECT_EQ(pool.indexMap(), (VqVecu{0, 0}));
}

TEST_F(CollocTest, NearRecordsWithOtherColoursShareAPositionButNotAClass) {
    // Vertex epsilon -1 is an absolute tolerance of 1.
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_VTXCOLOR3);
    ASSERT_TRUE(pool.setCollocateTol(-1.0f, 1e-4f));
    Records r;
    r.coords = {0, 0, 0, 0.5f, 0, 0, 0.25f, 0, 0};
    r.colors = {1, 0, 0, 0, 1, 0, 1, 0, 0};
    ASSERT_TRUE(r.addTo(pool, 3));
    collocate(pool);
    ASSERT_EQ(pool.numVtxRecords(), 2u);
    // Records 0 and 2 (the same red) merge; record 1 keeps its class but
    // moves onto the representative's position.
    EXPECT_EQ(pool.indexMap()[0], pool.indexMap()[2]);
    EXPECT_NE(pool.indexMap()[0], pool.indexMap()[1]);
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(coordOf(pool, 0, c), coordOf(pool, 1, c));
    ASSERT_TRUE(pool._ensureEquivRings());
    EXPECT_EQ(pool.nextEquivVtx(0), 1u);
    EXPECT_EQ(pool.nextEquivVtx(1), 0u);
    EXPECT_TRUE(pool._isValidColloc());
}

TEST_F(CollocTest, ToleranceIsRelativeToTheBoxUnlessNegative) {
    // Two records 0.0005 apart at the ends of a 1000-unit box: the default
    // relative tolerance (1e-6 of the diagonal, about 0.0017) merges them, an
    // absolute 0.0001 does not, and an absolute 0.001 does whatever the box.
    for (float eps : {1e-6f, -1e-4f, -1e-3f}) {
        VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3);
        ASSERT_TRUE(pool.setCollocateTol(eps, 1e-4f));
        Records r;
        r.coords = {0, 0, 0, 0.0005f, 0, 0, 1000, 1000, 1000};
        ASSERT_TRUE(r.addTo(pool, 3));
        collocate(pool);
        EXPECT_EQ(pool.numVtxRecords(), eps == -1e-4f ? 3u : 2u) << eps;
    }
}

TEST_F(CollocTest, HomogeneousCoordinatesCollocateByTheirProjection) {
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD4);
    Records r;
    r.coords = {1, 2, 3, 1, 2, 4, 6, 2, 1, 2, 3, 2};
    ASSERT_TRUE(r.addTo(pool, 3));
    collocate(pool);
    EXPECT_EQ(pool.numVtxRecords(), 2u);
    EXPECT_EQ(pool.indexMap()[0], pool.indexMap()[1]);
    EXPECT_NE(pool.indexMap()[0], pool.indexMap()[2]);
}

TEST_F(CollocTest, NormalsMergeWithinTheChordAndColoursOnlyWhenEqual) {
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3 | VQ_GEOMBIND_VTXCOLOR3);
    const float eps = 0.01f;
    ASSERT_TRUE(pool.setCollocateTol(1e-6f, eps));
    // The squared chord between unit normals at angle a is 2(1 - cos a),
    // compared with 1 - cos(eps).
    const double limit = std::acos(1.0 - (1.0 - std::cos(double(eps))) / 2.0);
    auto normal = [](double a) { return std::vector<float>{float(std::sin(a)), 0.0f, float(std::cos(a))}; };
    Records r;
    r.coords.assign(5 * 3, 0.0f);
    for (double a : {0.0, limit * 0.98, limit * 1.02, 0.0, 0.0}) {
        const auto n = normal(a);
        r.normals.insert(r.normals.end(), n.begin(), n.end());
    }
    const float last = std::nextafter(1.0f, 0.0f);
    r.colors = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, last, 1, 1, NAN};
    ASSERT_TRUE(r.addTo(pool, 5));
    EXPECT_TRUE(pool.isCompatibleVtxRecs(0, 1));
    EXPECT_FALSE(pool.isCompatibleVtxRecs(0, 2));
    EXPECT_FALSE(pool.isCompatibleVtxRecs(0, 3));
    EXPECT_FALSE(pool.isCompatibleVtxRecs(4, 4));
    collocate(pool);
    EXPECT_EQ(pool.numVtxRecords(), 4u);
    ASSERT_TRUE(pool._ensureEquivRings());
    // All five lie at one place: one ring through the four records.
    uint32_t len = 1;
    for (uint32_t j = pool.nextEquivVtx(0); j != 0; j = pool.nextEquivVtx(j))
        ++len;
    EXPECT_EQ(len, 4u);
}

TEST_F(CollocTest, FlagsAndAuxiliaryRecordsMustAgree) {
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_VTXFLAG_MASK);
    Records r;
    r.coords.assign(4 * 3, 0.0f);
    r.flags = {1, 0, 1, 1};
    ASSERT_TRUE(r.addTo(pool, 4));
    Vq::SharedPtr<Vq::AuxVertexField> f;
    ASSERT_TRUE(Vq::AuxVertexField::s_create(VQ_AUXTYPE_U16_V1,
                                             VqVertexRecordPool::s_AUXFIELD_VQ_SKIN_INDICES, 2, 4, f));
    f->stepData(1)[2 * 3] = 7; // record 3 differs in the second step only
    {
        WriteLock lock(pool);
        ASSERT_TRUE(pool.bindAuxField(f.get()));
    }
    EXPECT_FALSE(pool.isCompatibleVtxRecs(0, 1));
    EXPECT_TRUE(pool.isCompatibleVtxRecs(0, 2));
    EXPECT_FALSE(pool.isCompatibleVtxRecs(0, 3));
    collocate(pool);
    EXPECT_EQ(pool.numVtxRecords(), 3u);
    EXPECT_EQ(f->numRecords(), 3u);
    // The field moved with its records: the one holding 7 is record 3's class.
    const uint32_t j = pool.indexMap()[3];
    uint16_t v = 0;
    std::memcpy(&v, f->stepData(1) + 2 * j, 2);
    EXPECT_EQ(v, 7);
}

// Six faces of a unit cube, each with four corners of its own and the
// face's normal: 24 records at 8 places.
Records cube() {
    Records r;
    const int faces[6][4][3] = {
        {{0, 0, 0}, {0, 1, 0}, {1, 1, 0}, {1, 0, 0}}, {{0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}},
        {{0, 0, 0}, {1, 0, 0}, {1, 0, 1}, {0, 0, 1}}, {{0, 1, 0}, {0, 1, 1}, {1, 1, 1}, {1, 1, 0}},
        {{0, 0, 0}, {0, 0, 1}, {0, 1, 1}, {0, 1, 0}}, {{1, 0, 0}, {1, 1, 0}, {1, 1, 1}, {1, 0, 1}}};
    const float normals[6][3] = {{0, 0, -1}, {0, 0, 1}, {0, -1, 0}, {0, 1, 0}, {-1, 0, 0}, {1, 0, 0}};
    for (int f = 0; f < 6; ++f)
        for (int k = 0; k < 4; ++k)
            for (int c = 0; c < 3; ++c) {
                r.coords.push_back(float(faces[f][k][c]));
                r.normals.push_back(normals[f][c]);
            }
    return r;
}

TEST_F(CollocTest, CubeOfPerCornerRecordsWeldsToEightPositionsAndKeepsItsNormals) {
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3);
    ASSERT_TRUE(cube().addTo(pool, 24));
    std::vector<uint32_t> quads(24);
    for (uint32_t i = 0; i < 24; ++i)
        quads[i] = i;
    FakeMesh mesh(&pool, quads);
    collocate(pool);
    EXPECT_EQ(pool.numVtxRecords(), 24u);
    ASSERT_TRUE(pool._ensureEquivRings());
    std::set<std::vector<float>> positions;
    for (uint32_t i = 0; i < 24; ++i) {
        positions.insert({coordOf(pool, i, 0), coordOf(pool, i, 1), coordOf(pool, i, 2)});
        uint32_t len = 1;
        for (uint32_t j = pool.nextEquivVtx(i); j != i; j = pool.nextEquivVtx(j))
            ++len;
        EXPECT_EQ(len, 3u) << i;
    }
    EXPECT_EQ(positions.size(), 8u);
    EXPECT_TRUE(pool._isValidColloc());

    // The same cube with one normal everywhere welds to 8 records.
    VqVertexRecordPool flat(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3);
    Records r = cube();
    for (size_t i = 0; i < r.normals.size(); ++i)
        r.normals[i] = i % 3 == 2 ? 1.0f : 0.0f;
    ASSERT_TRUE(r.addTo(flat, 24));
    collocate(flat);
    EXPECT_EQ(flat.numVtxRecords(), 8u);
}

TEST_F(CollocTest, IndexMapsReachEveryMeshAndRenumberInReferenceOrder) {
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3);
    Records r;
    // Records 0 and 3 coincide, as do 1 and 4; record 5 is used by no mesh.
    r.coords = {0, 0, 0, 1, 0, 0, 2, 0, 0, 0, 0, 0, 1, 0, 0, 3, 0, 0};
    ASSERT_TRUE(r.addTo(pool, 6));
    FakeMesh a(&pool, {2, 4, 0});
    FakeMesh b(&pool, {3, 1});
    collocate(pool);
    ASSERT_EQ(pool.numVtxRecords(), 4u);
    // Classes in order of first reference: a's 2, 4, 0 first, then the rest.
    EXPECT_EQ(a.indices, (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_EQ(b.indices, (std::vector<uint32_t>{2, 1}));
    EXPECT_EQ(pool.indexMap(), (VqVecu{2, 1, 0, 2, 1, 3}));
    EXPECT_EQ(coordOf(pool, 3, 0), 3.0f);
    EXPECT_EQ(a.changes.back(), VqVertexRecordPool::VQ_VRP_RECORDS_CHANGED);

    // Removing unreferenced records drops the one no mesh uses.
    {
        WriteLock lock(pool);
        uint32_t first = 0;
        ASSERT_TRUE(r.addTo(pool, 1, &first));
    }
    ASSERT_TRUE(pool._ensureCollocated(true)) << lastError();
    EXPECT_EQ(pool.numVtxRecords(), 3u);
    EXPECT_EQ(a.indices, (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_EQ(b.indices, (std::vector<uint32_t>{2, 1}));

    // An unreferenced record becomes a copy of the first referenced one; when
    // that cannot merge with its copy (its colour is NaN), the copy goes anyway.
    VqVertexRecordPool nan(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_VTXCOLOR3);
    Records rn;
    rn.coords = {0, 0, 0, 1, 1, 1};
    rn.colors = {0, 0, 0, NAN, 1, 1};
    ASSERT_TRUE(rn.addTo(nan, 2));
    FakeMesh user(&nan, {1});
    ASSERT_TRUE(nan._ensureCollocated(true)) << lastError();
    EXPECT_EQ(nan.numVtxRecords(), 1u);
    EXPECT_EQ(nan.indexMap(), (VqVecu{0xFFFFFFFFu, 0}));
    EXPECT_EQ(user.indices, (std::vector<uint32_t>{0}));

    // With no mesh left, removing unreferenced records empties the pool.
    VqVertexRecordPool lonely(VQ_GEOMBIND_VTXCOORD3);
    ASSERT_TRUE(r.addTo(lonely, 6));
    ASSERT_TRUE(lonely._ensureCollocated(true));
    EXPECT_EQ(lonely.numVtxRecords(), 0u);
}

TEST_F(CollocTest, OptimizePoolCacheOrdersRecordsByFirstUse) {
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD2);
    Records r;
    r.coords = {0, 0, 1, 0, 2, 0, 3, 0};
    ASSERT_TRUE(r.addTo(pool, 4));
    FakeMesh mesh(&pool, {3, 1, 3});
    ASSERT_TRUE(pool.optimizePoolCache()) << lastError();
    EXPECT_EQ(mesh.indices, (std::vector<uint32_t>{0, 1, 0}));
    EXPECT_EQ(pool.indexMap(), (VqVecu{2, 1, 3, 0}));
    EXPECT_EQ(coordOf(pool, 0, 0), 3.0f);
    EXPECT_EQ(coordOf(pool, 2, 0), 0.0f);
}

// Copies of a lattice's points, jittered far below the tolerance, with
// attributes drawn from a few values: the classes are exactly the distinct
// (point, attribute) pairs, the positions the distinct points, whatever the
// order of the records.
TEST_F(CollocTest, JitteredCopiesOfALatticeWeldExactly) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> jitter(-1e-5f, 1e-5f);
    std::uniform_int_distribution<int> pick(0, 2);
    VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_VTXCOLOR3);
    ASSERT_TRUE(pool.setCollocateTol(-1e-3f, 1e-4f));
    Records r;
    std::set<std::pair<int, int>> classes;
    const int nRecs = 6000;
    for (int i = 0; i < nRecs; ++i) {
        const int cell = int(rng() % 1000);
        const int colour = pick(rng);
        classes.insert({cell, colour});
        for (int c = 0; c < 3; ++c)
            r.coords.push_back(float((cell >> (c * 4)) % 16) * 0.1f + jitter(rng));
        for (int c = 0; c < 3; ++c)
            r.colors.push_back(c == colour ? 1.0f : 0.0f);
    }
    ASSERT_TRUE(r.addTo(pool, nRecs));
    collocate(pool);
    EXPECT_EQ(pool.numVtxRecords(), classes.size());
    std::set<int> cells;
    for (const auto& [cell, colour] : classes)
        cells.insert(cell);
    ASSERT_TRUE(pool._ensureEquivRings());
    uint32_t rings = 0;
    std::vector<bool> seen(pool.numVtxRecords());
    for (uint32_t i = 0; i < pool.numVtxRecords(); ++i) {
        if (seen[i]) continue;
        ++rings;
        for (uint32_t j = i; !seen[j]; j = pool.nextEquivVtx(j))
            seen[j] = true;
    }
    EXPECT_EQ(rings, cells.size());
    EXPECT_TRUE(pool._isValidColloc());
}

// One pair within the tolerance among positions far apart, placed anywhere
// and turned any way, so that it often straddles the cells the classing
// hashes by: it must merge as the sweep merges it.
TEST_F(CollocTest, OneClosePairAmongFarPositionsMerges) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    for (int trial = 0; trial < 60; ++trial) {
        VqVertexRecordPool pool(VQ_GEOMBIND_VTXCOORD3);
        ASSERT_TRUE(pool.setCollocateTol(-0.3f, 1e-4f));
        Records r;
        for (int i = 0; i < 1000; ++i)
            r.coords.insert(r.coords.end(), {float(i % 10), float(i / 10 % 10), float(i / 100)});
        float d[3] = {unit(rng), unit(rng), unit(rng)};
        const float len = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]) + 1e-6f;
        const float mid[3] = {float(rng() % 9) + 0.5f + 0.1f * unit(rng), float(rng() % 9) + 0.5f,
                              float(rng() % 9) + 0.5f};
        for (float side : {-1.0f, 1.0f})
            for (int c = 0; c < 3; ++c)
                r.coords.push_back(mid[c] + side * 0.14f * d[c] / len);
        ASSERT_TRUE(r.addTo(pool, 1002));
        std::vector<uint32_t> all(1002);
        for (uint32_t i = 0; i < 1002; ++i)
            all[i] = i;
        FakeMesh mesh(&pool, all);
        collocate(pool);
        ASSERT_EQ(pool.numVtxRecords(), 1001u) << trial;
        EXPECT_EQ(pool.indexMap()[1000], pool.indexMap()[1001]);
    }
}

// Pools whose positions lie far apart (a decoded mesh's, nearly any mesh's)
// are classed without the sweep. Each case is collocated twice: as it is,
// and with one more record far from the rest that no mesh uses, which leaves
// the classing to the sweep. The first records must come out the same: index
// maps, mesh indices, records and rings. Positions carry up to four records
// whose colours and normals merge some and keep others apart, at -0 as well
// as +0, in 3 and 4 components, under relative, absolute and no tolerance;
// a tolerance of a third of the spacing makes every position look into the
// cells around its own.
TEST_F(CollocTest, FarApartPositionsClassAsTheSweepDoes) {
    struct Case {
        int nComps;
        float eps;
        float spacing;
    };
    for (const Case& k :
         {Case{3, 1e-6f, 1.0f}, Case{4, 1e-6f, 0.01f}, Case{3, -0.5f, 2.0f}, Case{3, 0.0f, 1e-3f},
          Case{3, -0.34f, 1.0f}}) {
        SCOPED_TRACE(testing::Message() << k.nComps << " " << k.eps << " " << k.spacing);
        std::mt19937 rng(11);
        const uint64_t bind = (k.nComps == 4 ? VQ_GEOMBIND_VTXCOORD4 : VQ_GEOMBIND_VTXCOORD3) |
                              VQ_GEOMBIND_NORMVEC3 | VQ_GEOMBIND_VTXCOLOR3;
        Records r;
        auto add = [&](const float* xyz, float w, float tilt, int colour) {
            for (int c = 0; c < 3; ++c)
                r.coords.push_back(xyz[c] * w);
            if (k.nComps == 4) r.coords.push_back(w);
            const float len = std::sqrt(1 + tilt * tilt);
            r.normals.insert(r.normals.end(), {tilt / len, 0, 1 / len});
            r.colors.insert(r.colors.end(), {float(colour), 0, 1});
        };
        for (uint32_t p = 0; p < 3000; ++p) {
            // Lattice points in a scattered order; the first one's second
            // record lies at -0.
            const uint32_t cell = (p * 2654435761u) % 4096u;
            const int nRecs = p == 0 ? 3 : 1 + int(rng() % 4 == 0) * int(1 + rng() % 3);
            for (int i = 0; i < nRecs; ++i) {
                float xyz[3];
                for (int c = 0; c < 3; ++c)
                    xyz[c] = p == 0 && i == 1 ? -0.0f : float((cell >> (c * 4)) % 16) * k.spacing;
                add(xyz, k.nComps == 4 ? float(1 << (rng() % 3)) : 1.0f, rng() % 3 == 0 ? 0.5f : 0.0f,
                    int(rng() % 2));
            }
        }
        const uint32_t n = uint32_t(r.coords.size()) / uint32_t(k.nComps);
        std::vector<uint32_t> order(n);
        for (uint32_t i = 0; i < n; ++i)
            order[i] = i;
        std::shuffle(order.begin(), order.end(), rng);

        VqVertexRecordPool fast(bind), swept(bind);
        ASSERT_TRUE(fast.setCollocateTol(k.eps, 1e-4f));
        ASSERT_TRUE(swept.setCollocateTol(k.eps, 1e-4f));
        ASSERT_TRUE(r.addTo(fast, n));
        const float far[3] = {1000, 1000, 1000};
        add(far, 1, 0, 0);
        ASSERT_TRUE(r.addTo(swept, n + 1));
        FakeMesh fastMesh(&fast, order);
        FakeMesh sweptMesh(&swept, order);
        collocate(fast);
        collocate(swept);

        const uint32_t nFast = fast.numVtxRecords();
        ASSERT_GT(nFast, 3000u);
        ASSERT_LT(nFast, n);
        ASSERT_EQ(swept.numVtxRecords(), nFast + 1);
        EXPECT_EQ(swept.indexMap()[n], nFast);
        for (uint32_t i = 0; i < n; ++i)
            ASSERT_EQ(fast.indexMap()[i], swept.indexMap()[i]) << i;
        EXPECT_EQ(fastMesh.indices, sweptMesh.indices);
        auto same = [nFast](const float* a, const float* b, int nComps) {
            return std::memcmp(a, b, size_t(nFast) * size_t(nComps) * sizeof(float)) == 0;
        };
        EXPECT_TRUE(same(fast.fields()->vtxCoords(), swept.fields()->vtxCoords(), k.nComps));
        EXPECT_TRUE(same(fast.fields()->normals(), swept.fields()->normals(), 3));
        EXPECT_TRUE(same(fast.fields()->colors(), swept.fields()->colors(), 3));
        ASSERT_TRUE(fast._ensureEquivRings());
        ASSERT_TRUE(swept._ensureEquivRings());
        // The classing without the sweep leaves the rings as positions.
        EXPECT_NE(fast._positionRings(), nullptr);
        uint32_t nShared = 0;
        for (uint32_t i = 0; i < nFast; ++i) {
            ASSERT_EQ(fast.nextEquivVtx(i), swept.nextEquivVtx(i)) << i;
            nShared += fast.nextEquivVtx(i) != i;
        }
        EXPECT_GT(nShared, 0u);
        EXPECT_TRUE(fast._isValidColloc());
    }
}

// A few records at points of a small lattice, some at one point, under a
// tolerance that sends every position into the cells around its own: the
// small hash fills densely, so that those lookups meet the slots of other
// cells. Classed without the sweep and by it (one more record, unused, far
// away), the records must merge alike.
TEST_F(CollocTest, SmallPoolsClassAsTheSweepDoes) {
    std::mt19937 rng(3);
    for (int trial = 0; trial < 400; ++trial) {
        const uint32_t n = 2 + rng() % 12;
        Records r;
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t point = rng() % 27;
            r.coords.insert(r.coords.end(), {float(point % 3), float(point / 3 % 3), float(point / 9)});
        }
        VqVertexRecordPool fast(VQ_GEOMBIND_VTXCOORD3), swept(VQ_GEOMBIND_VTXCOORD3);
        ASSERT_TRUE(fast.setCollocateTol(-0.34f, 1e-4f));
        ASSERT_TRUE(swept.setCollocateTol(-0.34f, 1e-4f));
        ASSERT_TRUE(r.addTo(fast, n));
        r.coords.insert(r.coords.end(), {1000, 1000, 1000});
        ASSERT_TRUE(r.addTo(swept, n + 1));
        std::vector<uint32_t> all(n);
        for (uint32_t i = 0; i < n; ++i)
            all[i] = i;
        FakeMesh fastMesh(&fast, all), sweptMesh(&swept, all);
        collocate(fast);
        collocate(swept);
        EXPECT_NE(fast._positionRings(), nullptr) << trial;
        ASSERT_EQ(fast.numVtxRecords() + 1, swept.numVtxRecords()) << trial;
        EXPECT_EQ(fastMesh.indices, sweptMesh.indices) << trial;
    }
}

TEST_F(CollocTest, SweepKeepsPointsThatAreNotFiniteApart) {
    const VqVec3f pts[4] = {{0, 0, 0}, {NAN, 0, 0}, {0, 0, 0}, {INFINITY, 0, 0}};
    VqCollocKey keys[4];
    uint32_t nUniq = 0;
    auto all = [](const void*, uint32_t, uint32_t) { return true; };
    ASSERT_TRUE(vqCollocRenumber(4, pts, VqBox3<float>(), 0.1, all, nullptr, keys, nUniq));
    EXPECT_EQ(nUniq, 3u);
    EXPECT_EQ(keys[0].iIdx, 0u);
    EXPECT_EQ(keys[1].iIdx, 2u);
    EXPECT_EQ(keys[1].iClass, keys[0].iClass);
    EXPECT_EQ(keys[2].iRep, int(keys[2].iIdx));
    EXPECT_FALSE(vqCollocRenumber(2, nullptr, VqBox3<float>(), 0.1, all, nullptr, keys, nUniq));
    EXPECT_EQ(lastError(), "nVerts == 0 || paVerts");
}

// Points spread along x alone are sorted along an axis that spreads them
// over all bins rather than one of the fixed axes leaning on y or z.
TEST_F(CollocTest, HistogramPicksAnAxisThatSpreadsThePoints) {
    std::vector<VqVec3f> pts;
    for (int i = 0; i < 5000; ++i)
        pts.push_back(VqVec3f(float(i), 0, 0));
    std::vector<VqCollocKey> keys(pts.size());
    uint32_t nUniq = 0;
    int axis = -1;
    auto all = [](const void*, uint32_t, uint32_t) { return true; };
    ASSERT_TRUE(vqCollocRenumber(uint32_t(pts.size()), pts.data(), VqBox3<float>(), 0.5, all, nullptr,
                                 keys.data(), nUniq, &axis));
    EXPECT_EQ(nUniq, pts.size());
    EXPECT_TRUE(axis == 0 || axis >= 3) << axis;
    // Sorted along x, one way or the other.
    const float dir = pts[keys[1].iIdx][0] - pts[keys[0].iIdx][0];
    for (uint32_t i = 1; i < pts.size(); ++i)
        EXPECT_GT((pts[keys[i].iIdx][0] - pts[keys[i - 1].iIdx][0]) * dir, 0);
}

// The sweep's order over more points than a comparison sort is used for:
// negative and positive projections, -0 against +0 and duplicates at other
// indices. Equal positions must come out in index order, the rest sorted
// along the line, one way or the other; a point that is not finite last.
TEST_F(CollocTest, SweepOrderKeepsSignsAndTiesOnLongInput) {
    std::vector<VqVec3f> pts;
    for (int i = 0; i < 600; ++i)
        pts.push_back(VqVec3f(float((i * 37) % 301 - 150) * 0.5f, 0, 0));
    pts.push_back(VqVec3f(-0.0f, 0, 0));
    pts.push_back(VqVec3f(std::nanf(""), 0, 0));
    pts.push_back(VqVec3f(0.0f, 0, 0));
    std::vector<VqCollocKey> keys(pts.size());
    uint32_t nUniq = 0;
    auto all = [](const void*, uint32_t, uint32_t) { return true; };
    ASSERT_TRUE(vqCollocRenumber(uint32_t(pts.size()), pts.data(), VqBox3<float>(), 0.0, all, nullptr,
                                 keys.data(), nUniq));
    EXPECT_EQ(keys.back().iIdx, 601u);
    EXPECT_EQ(nUniq, 301u + 1u);
    float dir = 0;
    for (size_t i = 1; i + 1 < keys.size(); ++i) {
        const float a = pts[keys[i - 1].iIdx][0], b = pts[keys[i].iIdx][0];
        if (a == b) {
            EXPECT_LT(keys[i - 1].iIdx, keys[i].iIdx) << i;
            EXPECT_EQ(keys[i - 1].iClass, keys[i].iClass) << i;
            continue;
        }
        if (dir == 0) dir = b > a ? 1.0f : -1.0f;
        EXPECT_GT((b - a) * dir, 0) << i;
    }
}

} // namespace

// A scratch kept from pool to pool carries only capacity: pools of other
// sizes, classed by the sweep or without it, keeping or dropping unused
// records, come out as they do with arrays of their own (index maps, mesh
// indices, records and rings), also after a larger pool left every array
// fuller than the next one needs. Each pool comes twice, the second time
// into the table of cells the first one left (the same positions at the
// same slots), and once with the slots' numbers about to wrap.
TEST_F(CollocTest, KeptScratchCollocatesAsAFreshOne) {
    struct Case {
        uint32_t nPoints;
        float jitter; // nonzero: copies within the tolerance, for the sweep
        bool bUnused; // one more record that no mesh uses, removed
    };
    Vq::CollocScratch kept;
    std::mt19937 rng(3);
    const Case cases[] = {Case{4000, 1e-5f, false}, Case{300, 0, false},  Case{300, 0, false},
                          Case{2000, 0, false},     Case{2000, 0, false}, Case{50, 1e-5f, true},
                          Case{5, 0, true},         Case{1, 0, false}};
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << k.nPoints << " " << k.jitter << " " << k.bUnused);
        if (&k == &cases[4]) kept.slotEnd = 0xFFFFFFFFu - 100;
        std::uniform_real_distribution<float> jitter(-k.jitter, k.jitter);
        Records r;
        std::vector<uint32_t> used;
        for (uint32_t p = 0; p < k.nPoints; ++p) {
            const uint32_t cell = (p * 2654435761u) % 4096u;
            const int nRecs = 1 + int(rng() % 3 == 0) * int(1 + rng() % 2);
            for (int i = 0; i < nRecs; ++i) {
                used.push_back(uint32_t(r.coords.size() / 3));
                for (int c = 0; c < 3; ++c)
                    r.coords.push_back(float((cell >> (c * 4)) % 16) * 0.1f + jitter(rng));
                r.colors.insert(r.colors.end(), {float(rng() % 2), 0, 1});
            }
        }
        uint32_t n = uint32_t(used.size());
        if (k.bUnused) {
            r.coords.insert(r.coords.end(), {50, 50, 50});
            r.colors.insert(r.colors.end(), {0, 0, 0});
            ++n;
        }
        std::shuffle(used.begin(), used.end(), rng);
        VqVertexRecordPool a(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_VTXCOLOR3),
            b(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_VTXCOLOR3);
        ASSERT_TRUE(a.setCollocateTol(-1e-3f, 1e-4f) && b.setCollocateTol(-1e-3f, 1e-4f));
        ASSERT_TRUE(r.addTo(a, n) && r.addTo(b, n));
        FakeMesh meshA(&a, used), meshB(&b, used);
        ASSERT_TRUE(a._ensureCollocated(k.bUnused, &kept)) << lastError();
        ASSERT_TRUE(b._ensureCollocated(k.bUnused)) << lastError();
        ASSERT_TRUE(a._isValidColloc(&kept) && b._isValidColloc());
        const uint32_t m = a.numVtxRecords();
        ASSERT_EQ(m, b.numVtxRecords());
        EXPECT_EQ(a.indexMap(), b.indexMap());
        EXPECT_EQ(meshA.indices, meshB.indices);
        EXPECT_EQ(
            std::memcmp(a.fields()->vtxCoords(), b.fields()->vtxCoords(), size_t(m) * 3 * sizeof(float)), 0);
        EXPECT_EQ(std::memcmp(a.fields()->colors(), b.fields()->colors(), size_t(m) * 3 * sizeof(float)), 0);
        for (uint32_t i = 0; i < m; ++i)
            ASSERT_EQ(a.nextEquivVtx(i), b.nextEquivVtx(i)) << i;
        EXPECT_EQ(a._positionRings() != nullptr, b._positionRings() != nullptr);
    }
}

// Positions known to lie at least a gap apart (as decoded points of
// different codes do) are classed without the cells when none are equal; a
// pool with equal positions, -0 against 0 among them, goes to the cells.
// Either way the pool comes out as without the gap.
TEST_F(CollocTest, AKnownGapClassesAsTheCells) {
    Vq::CollocScratch kept;
    std::mt19937 rng(7);
    for (int dup : {0, 1, 2}) {
        SCOPED_TRACE(dup);
        Records r;
        for (uint32_t p = 0; p < 500; ++p) {
            const uint32_t cell = (p * 2654435761u) % 4096u;
            for (int c = 0; c < 3; ++c)
                r.coords.push_back(float((cell >> (c * 4)) % 16) * 0.1f - 0.5f);
        }
        if (dup == 1) r.coords.insert(r.coords.end(), r.coords.begin() + 30, r.coords.begin() + 33);
        if (dup == 2) {
            r.coords.insert(r.coords.end(), {0.0f, 0.25f, 0.25f, -0.0f, 0.25f, 0.25f});
        }
        const uint32_t n = uint32_t(r.coords.size() / 3);
        std::vector<uint32_t> used(n);
        for (uint32_t i = 0; i < n; ++i)
            used[i] = i;
        std::shuffle(used.begin(), used.end(), rng);
        VqVertexRecordPool a(VQ_GEOMBIND_VTXCOORD3), b(VQ_GEOMBIND_VTXCOORD3);
        ASSERT_TRUE(a.setCollocateTol(-1e-3f, 1e-4f) && b.setCollocateTol(-1e-3f, 1e-4f));
        ASSERT_TRUE(r.addTo(a, n) && r.addTo(b, n));
        FakeMesh meshA(&a, used), meshB(&b, used);
        kept.dPointGap = 0.05;
        ASSERT_TRUE(a._isValidColloc(&kept)) << lastError();
        kept.dPointGap = 0;
        ASSERT_TRUE(b._isValidColloc()) << lastError();
        const uint32_t m = a.numVtxRecords();
        ASSERT_EQ(m, b.numVtxRecords());
        EXPECT_EQ(m, dup ? n - 1 : n);
        EXPECT_EQ(a.indexMap(), b.indexMap());
        EXPECT_EQ(meshA.indices, meshB.indices);
        EXPECT_EQ(
            std::memcmp(a.fields()->vtxCoords(), b.fields()->vtxCoords(), size_t(m) * 3 * sizeof(float)), 0);
        for (uint32_t i = 0; i < m; ++i)
            ASSERT_EQ(a.nextEquivVtx(i), b.nextEquivVtx(i)) << i;
        EXPECT_EQ(a._positionRings() != nullptr, b._positionRings() != nullptr);
    }
}
