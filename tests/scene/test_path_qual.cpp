#include "VqGroup.h"
#include "VqMaterial.h"
#include "VqPath.h"
#include "VqPathQual.h"
#include "VqSceneTestUtil.h"
#include "VqState.h"
#include "VqTestSegment.h"
#include "VqXform.h"

namespace {

// root -> (a, b) -> leaf: the leaf has two instances, 0b10 through a and
// 0b11 through b. A qualifier names the instance through b.
class PathQualTest : public SceneTest {
protected:
    void SetUp() override {
        SceneTest::SetUp();
        root = new VqGroup();
        a = new VqGroup();
        b = new VqGroup();
        leaf = new VqGroup();
        root->appendChild(a);
        root->appendChild(b);
        a->appendChild(leaf);
        b->appendChild(leaf);
        leaf->setBBox(VqVec3f(0, 0, 0), VqVec3f(1, 1, 1));
        ASSERT_TRUE(viaA.setPath(leaf, 0b10));
        ASSERT_TRUE(viaB.setPath(leaf, 0b11));
        onlyB = new VqPathQual(viaB);
        root->setUserData(new DeathFlag(rootDead));
    }
    void TearDown() override {
        onlyB = nullptr;
        root = nullptr;
        SceneTest::TearDown();
    }
    float diffuseRed(const VqPath& p) {
        Vq::SharedPtr<VqState> st;
        EXPECT_TRUE(VqNode::getState(leaf, &p, st));
        const auto* m = static_cast<const VqMaterial*>(st->attribute(VqMaterial::classTypeID()));
        return m ? m->diffuseColor()[0] : -1.0f;
    }

    Vq::SharedPtr<VqGroup> root;
    VqGroup *a = nullptr, *b = nullptr, *leaf = nullptr;
    VqPath viaA, viaB;
    Vq::SharedPtr<VqPathQual> onlyB;
    bool rootDead = false;
};

Vq::SharedPtr<VqMaterial> red(float r) {
    Vq::SharedPtr<VqMaterial> m = new VqMaterial();
    m->setDiffuseColor(VqVec4f(r, 0, 0, 1));
    return m;
}

} // namespace

TEST_F(PathQualTest, AQualifierMustEndAtTheNodeAndBeNew) {
    Vq::SharedPtr<VqMaterial> m = red(0.5f);
    EXPECT_FALSE(a->appendAttribute(m.get(), onlyB.get()));
    EXPECT_EQ(lastError(), "pPath->path().isValidTailNode(this)");
    EXPECT_EQ(lastCode(), VQ_ERR_ARGUMENT);
    EXPECT_EQ(a->numAttributes(), 0);
    EXPECT_EQ(root->pathQualStarts(), 0u);

    ASSERT_TRUE(leaf->appendAttribute(m.get(), onlyB.get()));
    EXPECT_EQ(root->pathQualStarts(), 1u);
    EXPECT_FALSE(leaf->appendAttribute(red(0.25f).get(), onlyB.get()));
    EXPECT_EQ(lastError(), "_vAttrPathList[j] != pPath");
    EXPECT_EQ(leaf->numAttributes(), 1);
    EXPECT_EQ(root->pathQualStarts(), 1u);

    // The qualifier forms of the list.
    ASSERT_TRUE(leaf->appendAttribute(red(0.75f).get()));
    VqAttribute* attr = nullptr;
    VqPathQual* qual = nullptr;
    ASSERT_TRUE(leaf->getAttribute(0, attr, qual));
    EXPECT_EQ(attr, m.get());
    EXPECT_EQ(qual, onlyB.get());
    ASSERT_TRUE(leaf->getAttribute(1, attr, qual));
    EXPECT_EQ(qual, nullptr);
    EXPECT_FALSE(leaf->getAttribute(2, attr, qual));
    EXPECT_EQ(lastError(), "iIndex >= 0 && iIndex < _vAttrList.length()");
    VqAttribute* const* list = nullptr;
    VqPathQual* const* quals = nullptr;
    int count = 0;
    leaf->attributes(list, quals, count);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(quals[0], onlyB.get());
    EXPECT_EQ(quals[1], nullptr);
    EXPECT_EQ(leaf->attribute(0, &viaB), m.get());
    EXPECT_EQ(leaf->attribute(0, &viaA), nullptr);
    EXPECT_NE(leaf->attribute(1, &viaA), nullptr);

    // Removing the attribute gives the start back.
    ASSERT_TRUE(leaf->removeAttribute(0));
    EXPECT_EQ(root->pathQualStarts(), 0u);
}

TEST_F(PathQualTest, AQualifiedAttributeAppliesOnItsPathOnly) {
    ASSERT_TRUE(leaf->appendAttribute(red(0.5f).get(), onlyB.get()));
    EXPECT_FLOAT_EQ(diffuseRed(viaB), 0.5f);
    EXPECT_NE(diffuseRed(viaA), 0.5f);
    VqVec<VqAttribute*> along;
    viaA.collectAttributes(along);
    EXPECT_TRUE(along.empty());
    viaB.collectAttributes(along);
    EXPECT_EQ(along.size(), 1u);

    // A qualifier on a node above the tail applies to every path through
    // that prefix.
    VqPath toB;
    ASSERT_TRUE(toB.setPath(b, 1));
    Vq::SharedPtr<VqPathQual> atB = new VqPathQual(toB);
    ASSERT_TRUE(b->appendAttribute(red(0.25f).get(), atB.get()));
    EXPECT_FLOAT_EQ(diffuseRed(viaB), 0.5f);
    EXPECT_NE(diffuseRed(viaA), 0.25f);
    EXPECT_EQ(root->pathQualStarts(), 2u);
}

TEST_F(PathQualTest, BoxesHoldAQualifiedPlacementForItsInstanceOnly) {
    VqMatrix4d twice;
    twice.m[0][0] = twice.m[1][1] = twice.m[2][2] = 2.0;
    ASSERT_TRUE(leaf->appendAttribute(new VqXform(twice), onlyB.get()));
    EXPECT_FLOAT_EQ(leaf->bBox(0b11).max[0], 2.0f);
    EXPECT_FLOAT_EQ(leaf->bBox(0b10).max[0], 1.0f);
    EXPECT_FLOAT_EQ(leaf->bBoxWC(0b11).max[0], 2.0f);
    EXPECT_FLOAT_EQ(b->bBoxRaw(0b1).max[0], 2.0f);
    EXPECT_FLOAT_EQ(a->bBoxRaw(0b1).max[0], 1.0f);
    EXPECT_FLOAT_EQ(root->bBoxRaw().max[0], 2.0f);
}

TEST_F(PathQualTest, QualifiedAttributesAreNeverWritten) {
    Vq::SharedPtr<VqMaterial> shared = red(0.5f);
    ASSERT_TRUE(leaf->appendAttribute(shared.get(), onlyB.get()));
    ASSERT_TRUE(leaf->appendAttribute(red(0.75f).get()));
    std::vector<const VqBase*> objects;
    VqNode::graphObjects(root.get(), objects);
    EXPECT_EQ(std::count(objects.begin(), objects.end(), shared.get()), 0);
    for (int major : {9, 10}) {
        SCOPED_TRACE(major);
        std::vector<uint8_t> image = VqTestSegment::save(root.get(), major, 0);
        ASSERT_FALSE(image.empty());
        Vq::SharedPtr<VqNode> back = VqTestSegment::load(image, major, 0);
        ASSERT_TRUE(back);
        const VqNode* leafBack = back->child(0, false)->child(0, false);
        ASSERT_EQ(leafBack->numAttributes(), 1);
        VqAttribute* attr = nullptr;
        ASSERT_TRUE(leafBack->getAttribute(0, attr));
        EXPECT_FLOAT_EQ(static_cast<VqMaterial*>(attr)->diffuseColor()[0], 0.75f);
    }
    // A copy of the tail stays outside the path: it does not take the
    // qualified attribute with it.
    VqNode* copy = nullptr;
    ASSERT_TRUE(leaf->clone(copy, false));
    Vq::SharedPtr<VqNode> hold(copy);
    EXPECT_EQ(copy->numAttributes(), 1);
}

// The qualifier holds the head of its path; the graph still goes when the
// last outside reference to the head does.
TEST_F(PathQualTest, AGraphWithQualifiersIsReleased) {
    ASSERT_TRUE(leaf->appendAttribute(red(0.5f).get(), onlyB.get()));
    VqPath self;
    ASSERT_TRUE(self.setPath(root.get(), 1));
    Vq::SharedPtr<VqPathQual> atRoot = new VqPathQual(self);
    ASSERT_TRUE(root->appendAttribute(red(0.25f).get(), atRoot.get()));
    EXPECT_EQ(root->pathQualStarts(), 2u);
    onlyB = nullptr;
    atRoot = nullptr;
    EXPECT_FALSE(rootDead);
    root = nullptr;
    EXPECT_TRUE(rootDead);
}

// The head of a qualifier's path lets go of it while a release is under way,
// with parents of the tail already gone: nothing may reach up through them.
TEST_F(PathQualTest, AQualifierHeadReleasedLastInAGraph) {
    Vq::SharedPtr<VqGroup> top = new VqGroup();
    VqGroup* head = new VqGroup();
    VqGroup* other = new VqGroup();
    VqGroup* tail = new VqGroup();
    top->appendChild(head);
    top->appendChild(other);
    other->appendChild(tail);
    head->appendChild(tail);
    bool tailDead = false;
    tail->setUserData(new DeathFlag(tailDead));
    VqPath path;
    ASSERT_TRUE(path.append(head));
    ASSERT_TRUE(path.append(tail));
    ASSERT_TRUE(tail->appendAttribute(red(0.5f).get(), new VqPathQual(path)));
    EXPECT_EQ(head->pathQualStarts(), 1u);
    // Unmodified, as read from a file: a change would be passed up.
    tail->setModifiedFlag(false);
    other->setModifiedFlag(false);
    top = nullptr;
    EXPECT_TRUE(tailDead);
}
