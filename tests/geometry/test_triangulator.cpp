// Polygon triangulation: the zig-zag order, the winding of its triangles,
// and polygons turned over to agree with their normals.
#include "MeshTestUtil.h"
#include "VqTriangulator.h"

namespace {

class TriangulatorTest : public VqLibTest {
protected:
    // The triangles of a one-polygon mesh as corner numbers of the polygon
    // (positions are x = corner number).
    static std::vector<std::array<int, 3>> cut(VqPolygonTopoMesh& m) {
        Vq::SharedPtr<VqTriIter> it;
        VqTriangulator tri;
        EXPECT_TRUE(tri.apply(&m, it)) << lastError();
        std::vector<std::array<int, 3>> out;
        for (it->reset(); it->next();)
            out.push_back({int(it->coord(0)[0]), int(it->coord(1)[0]), int(it->coord(2)[0])});
        return out;
    }
    static void polygon(VqPolygonTopoMesh& m, const std::vector<float>& coords,
                        const float* normals = nullptr) {
        MeshLock lock(m);
        ASSERT_TRUE(
            m.addPrimitive(0, uint32_t(coords.size() / 3), coords.data(), normals, nullptr, nullptr, nullptr))
            << lastError();
    }
};

TEST_F(TriangulatorTest, StripOrderZigZagsFromBothEnds) {
    const std::pair<int, VqVeci> expected[] = {
        {3, {2, 0, 1}}, {4, {3, 0, 2, 1}}, {5, {4, 0, 3, 1, 2}}, {6, {5, 0, 4, 1, 3, 2}}};
    for (const auto& [n, order] : expected) {
        VqVeci out = {99};
        VqTriangulator::_getTriStripMapping(n, out);
        VqVeci want = {99}; // appended to what was there
        want.insert(want.end(), order.begin(), order.end());
        EXPECT_EQ(out, want) << n;
    }
    // A quadrilateral's raw triples are (3, 0, 2) and (0, 2, 1); the second
    // comes out as (2, 0, 1), wound as the first.
    VqVeci tris;
    VqTriangulator::_getTriangles(4, tris);
    EXPECT_EQ(tris, (VqVeci{3, 0, 2, 2, 0, 1}));
}

TEST_F(TriangulatorTest, PolygonsComeOutWoundAsTheyWent) {
    // A triangle, a convex quadrilateral and pentagon, and a concave
    // pentagon, all counter-clockwise in z = 0, corners at x = 0 .. n - 1
    // (y makes the shape).
    const std::vector<std::vector<float>> polys = {
        {0, 0, 0, 1, 0, 0, 2, 1, 0},
        {0, 0, 0, 1, 0, 0, 2, 1, 0, 3, 2, 0},
        {0, 0, 0, 1, -1, 0, 2, 0, 0, 3, 2, 0, 4, 3, 0},
        {0, 0, 0, 1, -2, 0, 2, 1, 0, 3, -2, 0, 4, 5, 0}, // concave at corner 2
    };
    const std::vector<std::vector<std::array<int, 3>>> expected = {
        {{2, 0, 1}},
        {{3, 0, 2}, {2, 0, 1}},
        {{4, 0, 3}, {3, 0, 1}, {3, 1, 2}},
        {{4, 0, 3}, {3, 0, 1}, {3, 1, 2}},
    };
    for (size_t i = 0; i < polys.size(); ++i) {
        VqPolygonTopoMesh m(VQ_GEOMBIND_VTXCOORD3);
        polygon(m, polys[i]);
        EXPECT_EQ(cut(m), expected[i]) << i;
    }
}

TEST_F(TriangulatorTest, PolygonsAgainstTheirNormalsAreTurnedOver) {
    // Counter-clockwise from +z, but the normals say -z: the polygon is
    // reversed (corners 3 2 1 0) before it is cut, so that the triangles
    // face -z.
    VqPolygonTopoMesh m(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3);
    const float down[] = {0, 0, -1, 0, 0, -1, 0, 0, -1, 0, 0, -1};
    polygon(m, {0, 0, 0, 1, 0, 0, 2, 1, 0, 3, 2, 0}, down);
    EXPECT_EQ(cut(m), (std::vector<std::array<int, 3>>{{0, 3, 1}, {1, 3, 2}}));
    Vq::SharedPtr<VqTriIter> it;
    VqTriangulator tri;
    ASSERT_TRUE(tri.apply(&m, it));
    ASSERT_TRUE(it->triSet()->hasNormals());
    EXPECT_EQ(it->triSet()->numColorComps(), 0);
    for (it->reset(); it->next();)
        EXPECT_EQ(it->normal(0)[2], -1.0f);
}

TEST_F(TriangulatorTest, CubeOfQuadsKeepsItsOutwardWinding) {
    // The unit cube as six outward quads: 12 triangles whose signed
    // tetrahedron volumes add up to +1, each facing away from the centre.
    std::vector<float> c;
    for (int i = 0; i < 8; ++i)
        c.insert(c.end(), {float(i & 1), float((i >> 1) & 1), float((i >> 2) & 1)});
    VqPolygonTopoMesh m(VQ_GEOMBIND_VTXCOORD3);
    {
        MeshLock lock(m);
        uint32_t first = 0;
        ASSERT_TRUE(m.vtxRecPool()->lockWrite(true));
        ASSERT_TRUE(m.vtxRecPool()->addVtxRecords(8, first, c.data(), nullptr, nullptr, nullptr, nullptr));
        m.vtxRecPool()->lockWrite(false);
        const uint32_t q[] = {0, 2, 3, 1, 4, 5, 7, 6, 0, 1, 5, 4, 2, 6, 7, 3, 0, 4, 6, 2, 1, 3, 7, 5};
        ASSERT_TRUE(m.addPrimitives(0, 6, 4u, q));
    }
    ASSERT_TRUE(m.isClosedSolid());
    Vq::SharedPtr<VqTriIter> it;
    VqTriangulator tri;
    ASSERT_TRUE(tri.apply(&m, it)) << lastError();
    EXPECT_EQ(it->numTris(), 12u);
    double volume = 0;
    for (it->reset(); it->next();) {
        const VqVec3d a(it->coord(0)[0], it->coord(0)[1], it->coord(0)[2]);
        const VqVec3d b(it->coord(1)[0], it->coord(1)[1], it->coord(1)[2]);
        const VqVec3d d(it->coord(2)[0], it->coord(2)[1], it->coord(2)[2]);
        volume += a.dot(vqCross(b, d)) / 6;
        const VqVec3d centre = (a + b + d) * (1.0 / 3) - VqVec3d(0.5, 0.5, 0.5);
        EXPECT_GT(vqCross(b - a, d - a).dot(centre), 0.0);
    }
    EXPECT_DOUBLE_EQ(volume, 1.0);
}

TEST_F(TriangulatorTest, CornersCarryTheMeshsColoursAndTextureCoordinates) {
    const uint64_t b = VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_VTXCOLOR4 | vqTexCoordBinding(1, 2);
    VqPolygonTopoMesh m(b);
    const float c[] = {0, 0, 0, 1, 0, 0, 1, 1, 0};
    const float col[] = {1, 0, 0, 1, 0, 1, 0, 1, 0, 0, 1, 1};
    const float uv[] = {0, 0, 1, 0, 1, 1};
    const float* tex[VQ_GEOMBIND_NUM_TEXUNITS] = {nullptr, uv};
    {
        MeshLock lock(m);
        ASSERT_TRUE(m.addPrimitive(0, 3, c, nullptr, col, tex, nullptr));
    }
    Vq::SharedPtr<VqTriIter> it;
    VqTriangulator tri;
    ASSERT_TRUE(tri.apply(&m, it)) << lastError();
    const VqTriSet& set = *it->triSet();
    EXPECT_EQ(set.numColorComps(), 4);
    EXPECT_EQ(set.numTexCoordComps(0), 0);
    EXPECT_EQ(set.numTexCoordComps(1), 2);
    ASSERT_TRUE(it->next());
    // The first corner is polygon corner 2.
    EXPECT_EQ(it->color(0)[2], 1.0f);
    EXPECT_EQ(it->texCoord(1, 0)[1], 1.0f);
    EXPECT_FALSE(it->next());
}

} // namespace
