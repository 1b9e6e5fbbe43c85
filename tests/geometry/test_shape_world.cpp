// A shape's box and area in world coordinates come from its placed geometry:
// tighter than a placed box, and exact where scaling the area by the
// placement's determinant is not.
#include "VqGeomBindings.h"
#include "VqGroup.h"
#include "VqLibFixture.h"
#include "VqPath.h"
#include "VqPolygonSet.h"
#include "VqPolylineSet.h"
#include "VqShapeDataIter.h"
#include "VqXform.h"

#include <cmath>
#include <gtest/gtest.h>

namespace {

using ShapeWorldTest = VqLibTest;

// root -> shape, the root placing it by m; the shape is the triangle
// (0,0,0) (1,0,0) (0,1,0) of area 1/2.
struct Placed {
    Vq::SharedPtr<VqGroup> root = new VqGroup();
    Vq::SharedPtr<VqPolygonSet> tri = new VqPolygonSet(VQ_GEOMBIND_VTXCOORD3);
    explicit Placed(const VqMatrix4d& m) {
        VqShapeDataArrayIter<float, 3> c(std::vector<float>{0, 0, 0, 1, 0, 0, 0, 1, 0});
        EXPECT_TRUE(tri->addPrim(&c, nullptr, nullptr, nullptr, 0)) << lastError();
        Vq::SharedPtr<VqXform> x = new VqXform(m);
        EXPECT_TRUE(root->appendAttribute(x.get()) && root->appendChild(tri.get()));
    }
};

TEST_F(ShapeWorldTest, BoxesHoldThePlacedVertices) {
    // A quarter turn's half about z: (1,0) goes to (r,r), (0,1) to (-r,r).
    const double r = std::sqrt(0.5);
    VqMatrix4d turn;
    turn.m[0][0] = turn.m[1][1] = r;
    turn.m[0][1] = r;
    turn.m[1][0] = -r;
    turn.m[3][2] = 5; // and up by 5
    Placed p(turn);
    const VqBox3<float> box = p.tri->bBoxWC(1);
    EXPECT_NEAR(box.min[0], -r, 1e-6);
    EXPECT_NEAR(box.max[0], r, 1e-6);
    EXPECT_NEAR(box.min[1], 0, 1e-6);
    // A placed box of the triangle's box would reach the corner (1,1) at y = 2r.
    EXPECT_NEAR(box.max[1], r, 1e-6);
    EXPECT_FLOAT_EQ(box.min[2], 5.0f);
    EXPECT_FLOAT_EQ(box.max[2], 5.0f);
    VqBox3<float> same;
    ASSERT_TRUE(p.tri->computeBBoxWC(1, same));
    EXPECT_EQ(same, box);
    // A rotation keeps the area.
    EXPECT_NEAR(p.tri->areaWC(1), 0.5, 1e-6);
}

TEST_F(ShapeWorldTest, AreasAreMeasuredOnThePlacedSurface) {
    // Stretched by 2 along x: the area doubles (the determinant rule would
    // give 2^(2/3) times); sheared, it stays.
    VqMatrix4d stretch;
    stretch.m[0][0] = 2;
    VqMatrix4d shear;
    shear.m[1][0] = 3;
    for (auto [m, want] : {std::pair{stretch, 1.0}, std::pair{shear, 0.5}}) {
        Placed p(m);
        float a = -2;
        ASSERT_TRUE(p.tri->computeAreaWC(1, a));
        EXPECT_NEAR(a, want, 1e-6);
        VqPath path(p.tri.get(), 1);
        ASSERT_TRUE(p.tri->computeScaledArea(path, a)) << lastError();
        EXPECT_NEAR(a, want, 1e-6);
    }
    // A path that ends elsewhere is refused.
    Placed p(stretch);
    VqPath toRoot(p.root.get(), 1);
    float a = 0;
    EXPECT_FALSE(p.tri->computeScaledArea(toRoot, a));
}

TEST_F(ShapeWorldTest, LinesKeepTheirWeighedMeasure) {
    // No surface to place: the line set's area (length x factor) scales by
    // the placement as any node's does, and it has no scaled area.
    VqMatrix4d scale;
    scale.m[0][0] = scale.m[1][1] = scale.m[2][2] = 2;
    Vq::SharedPtr<VqGroup> root = new VqGroup();
    Vq::SharedPtr<VqPolylineSet> line = new VqPolylineSet(VQ_GEOMBIND_VTXCOORD3);
    VqShapeDataArrayIter<float, 3> c(std::vector<float>{0, 0, 0, 4, 0, 0});
    ASSERT_TRUE(line->addPrim(&c, nullptr, nullptr, nullptr, 0));
    ASSERT_TRUE(line->setAreaFactor(0.5f));
    Vq::SharedPtr<VqXform> x = new VqXform(scale);
    ASSERT_TRUE(root->appendAttribute(x.get()) && root->appendChild(line.get()));
    EXPECT_NEAR(line->areaWC(1), 2.0 * 4.0, 1e-5);
    EXPECT_EQ(line->bBoxWC(1).max[0], 8.0f);
    float a = 0;
    ASSERT_TRUE(line->computeScaledArea(VqPath(line.get(), 1), a));
    EXPECT_EQ(a, -1.0f);
}

} // namespace
