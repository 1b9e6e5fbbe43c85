#include "VqGroup.h"
#include "VqPartition.h"
#include "VqPath.h"
#include "VqSceneTestUtil.h"
#include "VqState.h"
#include "VqXform.h"

#include <functional>
#include <vector>

namespace {

using PlacementTest = SceneTest;

VqMatrix4d translation(double x) {
    VqMatrix4d m;
    m.m[3][0] = x;
    return m;
}

VqMatrix4d scaling(double s) {
    VqMatrix4d m;
    m.m[0][0] = m.m[1][1] = m.m[2][2] = s;
    return m;
}

Vq::SharedPtr<VqXform> xform(const VqMatrix4d& m, std::function<void(VqXform&)> flags = {}) {
    Vq::SharedPtr<VqXform> x = new VqXform(m);
    if (flags) flags(*x);
    return x;
}

// root -> mid -> leaf, the leaf a unit box. Each case puts transforms on root
// and mid; the box of the root must hold the leaf where its state puts it.
struct BoxCase {
    const char* name;
    std::vector<Vq::SharedPtr<VqXform>> onRoot, onMid;
    float maxX; // where the state puts the leaf's x = 1
};

} // namespace

TEST_F(PlacementTest, BoxesPlaceLeavesWhereTheirStatesDo) {
    const std::vector<BoxCase> cases = {
        {"translate 10 then scale 2 on one node", {}, {xform(translation(10)), xform(scaling(2))}, 12.0f},
        {"an ignored translation",
         {},
         {xform(translation(100), [](VqXform& x) { x.setIgnoreFlag(true); })},
         1.0f},
        {"a final identity above a translation",
         {xform(VqMatrix4d(), [](VqXform& x) { x.setFinal(true); })},
         {xform(translation(5))},
         1.0f},
        {"a final identity above a forced translation",
         {xform(VqMatrix4d(), [](VqXform& x) { x.setFinal(true); })},
         {xform(translation(5), [](VqXform& x) { x.setForceAccum(true); })},
         6.0f},
        {"a final identity above a dynamic translation",
         {xform(VqMatrix4d(), [](VqXform& x) { x.setFinal(true); })},
         {xform(translation(5), [](VqXform& x) { x.setDynamicFlag(true); })},
         6.0f},
        {"a scale above, a translation below", {xform(scaling(3))}, {xform(translation(1))}, 6.0f},
    };
    for (const BoxCase& c : cases) {
        SCOPED_TRACE(c.name);
        Vq::SharedPtr<VqGroup> root = new VqGroup();
        VqGroup* mid = new VqGroup();
        VqNode* leaf = new VqNode();
        leaf->setBBox(VqVec3f(0, 0, 0), VqVec3f(1, 1, 1));
        root->appendChild(mid);
        mid->appendChild(leaf);
        for (const auto& x : c.onRoot)
            ASSERT_TRUE(root->appendAttribute(x.get()));
        for (const auto& x : c.onMid)
            ASSERT_TRUE(mid->appendAttribute(x.get()));

        VqPath path;
        ASSERT_TRUE(path.setPath(leaf, 1));
        Vq::SharedPtr<VqState> st;
        ASSERT_TRUE(VqNode::getState(leaf, &path, st));
        const auto* placed = static_cast<const VqXform*>(st->attribute(VqXform::classTypeID()));
        ASSERT_NE(placed, nullptr);
        const VqMatrix4d& m = placed->matrix();
        EXPECT_FLOAT_EQ(static_cast<float>(m.m[0][0] + m.m[3][0]), c.maxX);

        // The root's raw box has only mid's transforms in it; the world box
        // has the root's too. Both agree with the state.
        VqMatrix4d above;
        ASSERT_TRUE(path.accumulateTransforms(above, 0, 0));
        EXPECT_FLOAT_EQ(vqTransformBox(VqMatrix4f(above), root->bBoxRaw()).max[0], c.maxX);
        EXPECT_FLOAT_EQ(root->bBoxWC(1).max[0], c.maxX);
        EXPECT_FLOAT_EQ(leaf->bBoxWC(1).max[0], c.maxX);
        VqMatrix4d all;
        ASSERT_TRUE(path.accumulateTransforms(all, 0, 2));
        EXPECT_FLOAT_EQ(static_cast<float>(all.m[0][0] + all.m[3][0]), c.maxX);
    }
}

// A transform change reaches the boxes above, including through a final one.
TEST_F(PlacementTest, TransformChangesInvalidateBoxes) {
    Vq::SharedPtr<VqGroup> root = new VqGroup();
    VqGroup* mid = new VqGroup();
    VqNode* leaf = new VqNode();
    leaf->setBBox(VqVec3f(0, 0, 0), VqVec3f(1, 1, 1));
    root->appendChild(mid);
    mid->appendChild(leaf);
    Vq::SharedPtr<VqXform> x = xform(translation(2));
    ASSERT_TRUE(mid->appendAttribute(x.get()));
    EXPECT_FLOAT_EQ(root->bBoxRaw().max[0], 3.0f);
    ASSERT_TRUE(x->setMatrix(translation(4)));
    EXPECT_FLOAT_EQ(root->bBoxRaw().max[0], 5.0f);
    ASSERT_TRUE(x->setIgnoreFlag(true));
    EXPECT_FLOAT_EQ(root->bBoxRaw().max[0], 1.0f);
    Vq::SharedPtr<VqXform> fin = xform(VqMatrix4d(), [](VqXform& f) { f.setFinal(true); });
    ASSERT_TRUE(x->setIgnoreFlag(false));
    ASSERT_TRUE(root->appendAttribute(fin.get()));
    EXPECT_FLOAT_EQ(root->bBoxRaw().max[0], 1.0f);
    ASSERT_TRUE(fin->setFinal(false));
    EXPECT_FLOAT_EQ(root->bBoxRaw().max[0], 5.0f);
}

// The world box and area scale with the placement from the head of the path.
TEST_F(PlacementTest, WorldBoxAndAreaFollowThePath) {
    Vq::SharedPtr<VqGroup> root = new VqGroup();
    VqGroup* a = new VqGroup();
    VqGroup* b = new VqGroup();
    VqNode* leaf = new VqNode();
    leaf->setBBox(VqVec3f(0, 0, 0), VqVec3f(1, 1, 1));
    leaf->setArea(1.0f);
    root->appendChild(a);
    root->appendChild(b);
    a->appendChild(leaf);
    b->appendChild(leaf);
    ASSERT_TRUE(b->appendAttribute(xform(scaling(2)).get()));
    EXPECT_FLOAT_EQ(leaf->bBoxWC(0b10).max[0], 1.0f);
    EXPECT_FLOAT_EQ(leaf->bBoxWC(0b11).max[0], 2.0f);
    EXPECT_FLOAT_EQ(leaf->areaWC(0b10), 1.0f);
    EXPECT_FLOAT_EQ(leaf->areaWC(0b11), 4.0f);
    EXPECT_FLOAT_EQ(leaf->bSphereWC(0b11).radius, leaf->bSphereWC(0b10).radius * 2.0f);
    // A key that names no instance gives nothing.
    VqBox3<float> box;
    EXPECT_FALSE(leaf->getBBoxWC(0b111, box));
    EXPECT_TRUE(box.isEmpty());
}
