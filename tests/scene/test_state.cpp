#include "VqDrawStyle.h"
#include "VqGroup.h"
#include "VqLibFixture.h"
#include "VqMaterial.h"
#include "VqPath.h"
#include "VqShaderEffects.h"
#include "VqState.h"
#include "VqStdError.h"
#include "VqXform.h"

#include <string>
#include <thread>
#include <vector>

namespace {

class StateTest : public VqLibTest {};

} // namespace

TEST_F(StateTest, PositionsAndDefaults) {
    VqState a, b;
    EXPECT_EQ(VqState::compare(a, b), 0);
    EXPECT_EQ(VqState::compareQuick(a, b), 0);
    EXPECT_EQ(a.renderFlags(), 4);
    EXPECT_EQ(VqState::attributePosition(VqMaterial::classTypeID()), VqState::s_iPosMtl);
    EXPECT_EQ(VqState::stateMask(VqXform::classTypeID()), 1u);
    EXPECT_EQ(VqState::attributePosition(VqGroup::classTypeID()), -1);
    EXPECT_EQ(lastError(), "The attrtype passed in is not of type VqAttribute.");
    Vq::SharedPtrVec<VqAttribute> defs;
    ASSERT_TRUE(VqState::getDefaultAttributes(defs));
    ASSERT_EQ(defs.size(), 12u);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(a.attributeAt(i), defs[size_t(i)].get());
    EXPECT_EQ(VqState::shaderMask(), 1u << 11);
}

TEST_F(StateTest, AccumulationIsCopyOnWrite) {
    Vq::SharedPtr<VqMaterial> red = new VqMaterial();
    red->setDiffuseColor(VqVec4f(1, 0, 0, 1));
    VqState base;
    ASSERT_TRUE(base.accumAttribute(red.get(), nullptr));
    const VqAttribute* baseMtl = base.attribute(VqMaterial::classTypeID());
    VqState copy(base);
    // Copies share every slot and compare equal.
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(copy.attributeAt(i), base.attributeAt(i));
    EXPECT_EQ(VqState::compare(copy, base), 0);
    Vq::SharedPtr<VqMaterial> green = new VqMaterial();
    green->setDiffuseColor(VqVec4f(0, 1, 0, 1));
    ASSERT_TRUE(copy.accumAttribute(green.get(), nullptr));
    // The copy got a slot of its own; the original and the defaults are untouched.
    EXPECT_NE(copy.attribute(VqMaterial::classTypeID()), baseMtl);
    EXPECT_EQ(base.attribute(VqMaterial::classTypeID()), baseMtl);
    EXPECT_EQ(static_cast<const VqMaterial*>(baseMtl)->diffuseColor(), VqVec4f(1, 0, 0, 1));
    VqState fresh;
    EXPECT_EQ(static_cast<const VqMaterial*>(fresh.attribute(VqMaterial::classTypeID()))->diffuseColor(),
              VqMaterial().diffuseColor());
    EXPECT_NE(VqState::compare(copy, base), 0);
    EXPECT_EQ(VqState::compare(copy, base), -VqState::compare(base, copy));
    const int q = VqState::compareQuick(copy, base);
    EXPECT_TRUE(q == 1 || q == -1);
    // Other slots are still shared.
    EXPECT_EQ(copy.attributeAt(VqState::s_iPosXform), base.attributeAt(VqState::s_iPosXform));
}

TEST_F(StateTest, ComparisonStartsWithShaderEffects) {
    Vq::SharedPtr<VqMaterial> m = new VqMaterial();
    m->setShininess(100.0f);
    Vq::SharedPtr<VqShaderEffects> fx = new VqShaderEffects();
    fx->setEnable(true);
    VqState a, b;
    a.accumAttribute(m.get(), nullptr);
    b.accumAttribute(fx.get(), nullptr);
    // a differs from b in the material and the effects; the effects decide.
    const int byEffects = static_cast<const VqAttribute*>(a.attributeAt(VqState::s_iPosShadFX))
                              ->compareHook(*b.attributeAt(VqState::s_iPosShadFX));
    EXPECT_NE(byEffects, 0);
    EXPECT_EQ(VqState::compare(a, b), byEffects);
}

TEST_F(StateTest, RenderFlagsFollowBlendingAndOutlines) {
    Vq::SharedPtr<VqMaterial> blend = new VqMaterial();
    blend->setBlending(true);
    Vq::SharedPtr<VqDrawStyle> outline = new VqDrawStyle();
    outline->setOutlinedPolygons(true);
    VqState s;
    s.accumAttribute(blend.get(), nullptr);
    EXPECT_EQ(s.ensureRenderFlag(), 7);
    s.accumAttribute(outline.get(), nullptr);
    EXPECT_EQ(s.ensureRenderFlag(), 6);
    ASSERT_TRUE(s.finalize());
    ASSERT_TRUE(s.shapeState() && s.lightState() && s.xformState());
    EXPECT_TRUE(s.shapeState()->transparent());
    EXPECT_TRUE(s.shapeState()->outlined());
    EXPECT_EQ(s.xformState()->state(), &s);
    EXPECT_TRUE(s.dropCaches(0x2000 | 0x1000));
    EXPECT_FALSE(s.lightState());
    EXPECT_FALSE(s.xformState());
    EXPECT_TRUE(s.shapeState());
    EXPECT_FALSE(s.dropCaches(0x1000));
}

TEST_F(StateTest, SetAttributeNeedsAKindWithASlot) {
    VqState s;
    Vq::SharedPtr<VqMaterial> m = new VqMaterial();
    ASSERT_TRUE(s.setAttribute(m.get()));
    EXPECT_EQ(s.attribute(VqMaterial::classTypeID()), m.get());
    Vq::SharedPtrVec<VqAttribute> wrong(12);
    EXPECT_FALSE(s.setAttributes(wrong));
    EXPECT_EQ(lastError(), "No attribute of type passed in is registered");
    // A null attribute is ignored.
    EXPECT_TRUE(s.accumAttribute(nullptr, nullptr));
}

// Instance states are built on top of the parent instance's, cached under
// the instance key, and dropped when an attribute on the path changes.
TEST_F(StateTest, NodeStatesAreCachedPerInstance) {
    Vq::SharedPtr<VqGroup> root = new VqGroup();
    VqGroup* a = new VqGroup();
    VqGroup* b = new VqGroup();
    VqGroup* leaf = new VqGroup();
    root->appendChild(a);
    root->appendChild(b);
    a->appendChild(leaf);
    b->appendChild(leaf);
    Vq::SharedPtr<VqXform> move = new VqXform();
    VqMatrix4d t;
    t.m[3][0] = 3.0;
    move->setMatrix(t);
    ASSERT_TRUE(b->appendAttribute(move.get()));
    Vq::SharedPtr<VqMaterial> mtl = new VqMaterial();
    ASSERT_TRUE(root->appendAttribute(mtl.get()));

    VqPath viaA, viaB;
    ASSERT_TRUE(viaA.setPath(leaf, 0b10));
    ASSERT_TRUE(viaB.setPath(leaf, 0b11));
    Vq::SharedPtr<VqState> sa, sb, sa2, sRoot;
    ASSERT_TRUE(VqNode::getState(leaf, &viaA, sa));
    ASSERT_TRUE(VqNode::getState(leaf, &viaB, sb));
    ASSERT_TRUE(sa && sb);
    EXPECT_NE(sa.get(), sb.get());
    EXPECT_TRUE(static_cast<const VqXform*>(sa->attribute(VqXform::classTypeID()))->isIdentity());
    EXPECT_EQ(static_cast<const VqXform*>(sb->attribute(VqXform::classTypeID()))->matrix().m[3][0], 3.0);
    // The two instances share the root's material accumulator.
    EXPECT_EQ(sa->attributeAt(VqState::s_iPosMtl), sb->attributeAt(VqState::s_iPosMtl));
    ASSERT_TRUE(VqNode::getState(leaf, &viaA, sa2));
    EXPECT_EQ(sa2.get(), sa.get());
    VqPath rootPath;
    rootPath.append(root.get());
    ASSERT_TRUE(VqNode::getState(root.get(), &rootPath, sRoot));
    EXPECT_EQ(sRoot->attributeAt(VqState::s_iPosMtl), sa->attributeAt(VqState::s_iPosMtl));

    // A changed attribute drops the cached states below it.
    ASSERT_TRUE(mtl->setDiffuseColor(VqVec4f(0, 0, 1, 1)));
    ASSERT_TRUE(VqNode::getState(leaf, &viaA, sa2));
    EXPECT_NE(sa2.get(), sa.get());
    EXPECT_EQ(static_cast<const VqMaterial*>(sa2->attribute(VqMaterial::classTypeID()))->diffuseColor(),
              VqVec4f(0, 0, 1, 1));
    EXPECT_FALSE(VqNode::getState(a, &viaA, sa2));
    EXPECT_EQ(lastError(), "path->last() == node");
}

// Two traversal threads asking for the states of the same instances get
// states with the same content.
TEST_F(StateTest, ConcurrentRequestsAgree) {
    Vq::SharedPtr<VqGroup> root = new VqGroup();
    std::vector<VqGroup*> leaves;
    Vq::SharedPtr<VqMaterial> m = new VqMaterial();
    m->setShininess(7.0f);
    root->appendAttribute(m.get());
    for (int i = 0; i < 50; ++i) {
        VqGroup* mid = new VqGroup();
        root->appendChild(mid);
        Vq::SharedPtr<VqXform> x = new VqXform();
        VqMatrix4d t;
        t.m[3][0] = i;
        x->setMatrix(t);
        mid->appendAttribute(x.get());
        for (int j = 0; j < 20; ++j) {
            VqGroup* leaf = new VqGroup();
            mid->appendChild(leaf);
            leaves.push_back(leaf);
        }
    }
    std::vector<Vq::SharedPtr<VqState>> a(leaves.size()), b(leaves.size());
    auto work = [&](std::vector<Vq::SharedPtr<VqState>>& out) {
        for (size_t i = 0; i < leaves.size(); ++i) {
            VqPath p;
            p.setPath(leaves[i], 1);
            VqNode::getState(leaves[i], &p, out[i]);
        }
    };
    std::thread t1(work, std::ref(a)), t2(work, std::ref(b));
    t1.join();
    t2.join();
    for (size_t i = 0; i < leaves.size(); ++i) {
        ASSERT_TRUE(a[i] && b[i]);
        EXPECT_EQ(VqState::compare(*a[i], *b[i]), 0);
        EXPECT_EQ(static_cast<const VqXform*>(a[i]->attribute(VqXform::classTypeID()))->matrix().m[3][0],
                  double(i / 20));
    }
}
