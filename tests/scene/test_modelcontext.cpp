#include "VqDrawStyle.h"
#include "VqFSStorageLocation.h"
#include "VqFog.h"
#include "VqGroup.h"
#include "VqInstance.h"
#include "VqLibFixture.h"
#include "VqLightSet.h"
#include "VqMaterial.h"
#include "VqModelContext.h"
#include "VqPartition.h"
#include "VqPath.h"
#include "VqSpatialTree.h"
#include "VqState.h"
#include "VqStdError.h"
#include "VqStdException.h"
#include "VqStringPropAtom.h"
#include "VqTexImage.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

class Recorder : public VqNotifyBase {
public:
    bool receiveNotification(const VqBase* who, Vq::BaseChange change) const override {
        changes.push_back(change);
        whos.push_back(who);
        return true;
    }
    mutable std::vector<int> changes;
    mutable std::vector<const VqBase*> whos;
};

class ModelContextTest : public VqLibTest {
protected:
    // root -> (a -> shared, b -> shared); a carries a light set with one shadow caster.
    void SetUp() override {
        VqLibTest::SetUp();
        root = new VqPartition();
        a = new VqGroup();
        b = new VqGroup();
        shared = new VqGroup();
        root->appendChild(a);
        root->appendChild(b);
        a->appendChild(shared);
        b->appendChild(shared);
        caster = new VqLight();
        caster->setShadowCaster(true);
        plain = new VqLight();
        Vq::SharedPtr<VqLightSet> set = new VqLightSet();
        set->appendLight(caster.get());
        set->appendLight(plain.get());
        ASSERT_TRUE(shared->appendAttribute(set.get()));
        mc = new Vq::ModelContext();
        rec = new Recorder();
        mc->addNotification(rec.get());
    }
    void TearDown() override {
        mc->removeNotification(rec.get());
        mc = nullptr;
        root = nullptr;
        caster = plain = nullptr;
        VqLibTest::TearDown();
    }
    Vq::SharedPtr<VqPartition> root;
    VqGroup *a = nullptr, *b = nullptr, *shared = nullptr;
    Vq::SharedPtr<VqLight> caster, plain;
    Vq::SharedPtr<Vq::ModelContext> mc;
    Vq::SharedPtr<Recorder> rec;
    // Stand-ins for views, which the model context only compares.
    int v1Tag = 0, v2Tag = 0;
};

} // namespace

TEST_F(ModelContextTest, RootsAndDefaults) {
    EXPECT_EQ(mc->rootPartition(), nullptr);
    ASSERT_TRUE(mc->setRootPartition(root.get()));
    EXPECT_EQ(mc->rootPartition(), root.get());
    EXPECT_EQ(Vq::ModelContext::findModelContext(shared), mc.get());
    EXPECT_TRUE(shared->internalFlag(VqNode::VQ_NODE_IFLAG_MODELCONTEXT));
    // Own copies of the state's defaults.
    const VqAttribute* fog = mc->attribute(VqFog::classTypeID());
    ASSERT_NE(fog, nullptr);
    VqState s;
    EXPECT_NE(fog, s.attribute(VqFog::classTypeID()));
    Vq::SharedPtr<VqMaterial> m = new VqMaterial();
    m->setDiffuseColor(VqVec4f(0, 0, 1, 1));
    ASSERT_TRUE(mc->replaceAttribute(m.get()));
    EXPECT_EQ(mc->attribute(VqMaterial::classTypeID()), m.get());
    // States of the model start from its defaults.
    VqPath p;
    ASSERT_TRUE(p.setPath(shared, 0b10));
    Vq::SharedPtr<VqState> st;
    ASSERT_TRUE(VqNode::getState(shared, &p, st));
    EXPECT_EQ(static_cast<const VqMaterial*>(st->attribute(VqMaterial::classTypeID()))->diffuseColor(),
              VqVec4f(0, 0, 1, 1));
    // A change of a default reaches the model's cached states.
    ASSERT_TRUE(m->setDiffuseColor(VqVec4f(1, 1, 1, 1)));
    Vq::SharedPtr<VqState> st2;
    ASSERT_TRUE(VqNode::getState(shared, &p, st2));
    EXPECT_NE(st2.get(), st.get());
    EXPECT_TRUE(root->isModified());
    ASSERT_TRUE(mc->setRootPartition(nullptr));
    EXPECT_FALSE(shared->internalFlag(VqNode::VQ_NODE_IFLAG_MODELCONTEXT));
    EXPECT_EQ(Vq::ModelContext::findModelContext(shared), nullptr);
}

TEST_F(ModelContextTest, ShadowCastingLightsAreFoundPerInstance) {
    ASSERT_TRUE(mc->setRootPartition(root.get()));
    // The shared node is reached twice: the caster is listed under both keys.
    ASSERT_EQ(mc->numShadowCastingLights(), 2);
    EXPECT_EQ(mc->shadowCastingLight(0), caster.get());
    EXPECT_EQ(mc->shadowCastingLightKey(0), 0b10u);
    EXPECT_EQ(mc->shadowCastingLightKey(1), 0b11u);
    // Each place has its own index and its own texture; the light is untouched.
    for (int place = 0; place < 2; ++place) {
        int index = -1;
        const VqTexImage* tex = nullptr;
        ASSERT_TRUE(mc->shadowCaster(caster.get(), mc->shadowCastingLightKey(place), index, tex));
        EXPECT_EQ(index, place);
        ASSERT_NE(tex, nullptr);
        EXPECT_EQ(tex->channel(), place);
    }
    EXPECT_EQ(caster->shadowCasterIndex(), -1);
    EXPECT_FALSE(mc->isShadowMapValid(1));
    mc->setShadowMapValid(1, true);
    EXPECT_TRUE(mc->isShadowMapValid(1));
    EXPECT_THROW(mc->setShadowMapValid(2, true), Vq::StdException);
    try {
        mc->isShadowMapValid(-1);
    } catch (const Vq::StdException& e) {
        EXPECT_STREQ(e.description(), "loc < _vbShadowCastingLightsValid.length() && loc >= 0");
        EXPECT_EQ(e.code(), 1);
    }
    // A fog attached in the model invalidates every shadow map; its later
    // changes are not the model's business.
    mc->setShadowMapValid(0, true);
    Vq::SharedPtr<VqFog> fog = new VqFog();
    ASSERT_TRUE(a->appendAttribute(fog.get()));
    EXPECT_FALSE(mc->isShadowMapValid(0));
    mc->setShadowMapValid(0, true);
    ASSERT_TRUE(fog->setMode(VQ_FOG_EXP));
    EXPECT_TRUE(mc->isShadowMapValid(0));
    // A light that starts casting shadows is found at the next question.
    ASSERT_TRUE(plain->setShadowCaster(true));
    EXPECT_EQ(mc->numShadowCastingLights(), 4);
    // A new child joins the model and its lights are searched.
    VqGroup* extra = new VqGroup();
    Vq::SharedPtr<VqLightSet> set = new VqLightSet();
    Vq::SharedPtr<VqLight> l = new VqLight();
    l->setShadowCaster(true);
    set->appendLight(l.get());
    extra->appendAttribute(set.get());
    ASSERT_TRUE(root->appendChild(extra));
    EXPECT_TRUE(extra->internalFlag(VqNode::VQ_NODE_IFLAG_MODELCONTEXT));
    EXPECT_EQ(mc->numShadowCastingLights(), 5);
    EXPECT_FALSE(mc->setShadowMapResolution(300));
    EXPECT_EQ(lastError(), "cSize >= 256 && cSize <= 2048 && ((cSize & (cSize-1)) == 0)");
    EXPECT_TRUE(mc->setShadowMapResolution(512));
}

TEST_F(ModelContextTest, MirrorsAndRouting) {
    Vq::SharedPtr<VqStringPropAtom> key = new VqStringPropAtom(vqPropMirrorPlane);
    Vq::SharedPtr<VqStringPropAtom> yes = new VqStringPropAtom("yes");
    ASSERT_TRUE(b->addProp(key.get(), yes.get()));
    ASSERT_TRUE(mc->setRootPartition(root.get()));
    EXPECT_EQ(mc->numMirrorPlanes(), 1);
    EXPECT_EQ(mc->mirrorPlane(0), b);
    // A mirror marked later is found at the next question.
    ASSERT_TRUE(a->addProp(key.get(), yes.get()));
    EXPECT_EQ(mc->numMirrorPlanes(), 2);
    // Structural changes are passed on to the model's clients.
    VqGroup* extra = new VqGroup();
    rec->changes.clear();
    ASSERT_TRUE(a->appendChild(extra));
    ASSERT_FALSE(rec->changes.empty());
    EXPECT_EQ(rec->changes.back(), 16);
    EXPECT_EQ(rec->whos.back(), extra);
    ASSERT_TRUE(a->removeChild(extra));
    EXPECT_EQ(rec->changes.back(), 32);
    // Attaching any attribute in the model is news for its clients; of the
    // later changes, only those of the kinds that decide lights, placement
    // and what is drawn.
    Vq::SharedPtr<VqMaterial> m = new VqMaterial();
    Vq::SharedPtr<VqDrawStyle> ds = new VqDrawStyle();
    rec->whos.clear();
    ASSERT_TRUE(shared->appendAttribute(m.get()));
    ASSERT_TRUE(shared->appendAttribute(ds.get()));
    EXPECT_EQ(rec->whos, (std::vector<const VqBase*>{m.get(), ds.get()}));
    rec->whos.clear();
    ASSERT_TRUE(m->setShininess(5.0f));
    EXPECT_TRUE(rec->whos.empty());
    ASSERT_TRUE(ds->setLighting(false));
    EXPECT_EQ(rec->whos, (std::vector<const VqBase*>{ds.get()}));
    // Of the properties, only the mirror-plane key.
    Vq::SharedPtr<VqStringPropAtom> other = new VqStringPropAtom("colour");
    rec->whos.clear();
    ASSERT_TRUE(b->addProp(other.get(), yes.get()));
    EXPECT_TRUE(rec->whos.empty());
}

TEST_F(ModelContextTest, Slices) {
    Vq::SliceID id0 = 255, id1 = 255;
    Vq::SliceDesc d;
    d.name = VqString("selection");
    d.initValue = Vq::TriTrue;
    ASSERT_TRUE(mc->allocateSlice(d, id0));
    ASSERT_TRUE(mc->allocateSlice(Vq::SliceDesc(), id1));
    EXPECT_EQ(id0, 0);
    EXPECT_EQ(id1, 1);
    EXPECT_EQ(mc->numOfAllocatedSlices(), 2);
    EXPECT_EQ(mc->sliceDesc(id0), d);
    unsigned long mask = 0;
    VqVec<Vq::TriBool> init;
    ASSERT_TRUE(mc->sliceInitValues(mask, init));
    EXPECT_EQ(mask, 3ul);
    EXPECT_EQ(init[0], Vq::TriTrue);
    ASSERT_TRUE(mc->setSliceDesc(id1, d));
    ASSERT_TRUE(mc->deallocSlice(id0));
    EXPECT_FALSE(mc->isAllocatedSlice(id0));
    EXPECT_EQ(mc->allocatedSliceMask(), 2u);
    EXPECT_EQ(rec->changes, (std::vector<int>{16, 16, 8, 32}));
    EXPECT_FALSE(mc->deallocSlice(id0));
}

// A partition of the model that reads its file brings its nodes into the
// model: they report to it, and its mirror list is searched again.
TEST_F(ModelContextTest, OpenedPartitionJoinsTheModel) {
    char tmpl[] = "/tmp/vq_mc_XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    {
        Vq::SharedPtr<VqPartition> part = new VqPartition();
        VqGroup* mirror = new VqGroup();
        ASSERT_TRUE(part->appendChild(mirror));
        Vq::SharedPtr<VqStringPropAtom> key = new VqStringPropAtom(vqPropMirrorPlane);
        Vq::SharedPtr<VqStringPropAtom> yes = new VqStringPropAtom("yes");
        ASSERT_TRUE(mirror->addProp(key.get(), yes.get()));
        ASSERT_TRUE(part->saveAs(VqString::fromUtf8(dir + "/"), VqString("part.vq"))) << lastError();
    }
    Vq::SharedPtr<VqFSStorageLocation> loc =
        new VqFSStorageLocation(VqString::fromUtf8(dir + "/"), VqString("part.vq"));
    VqPartition* ref = new VqPartition(loc.get());
    ASSERT_TRUE(root->appendChild(ref));
    ASSERT_TRUE(mc->setRootPartition(root.get()));
    EXPECT_EQ(mc->numMirrorPlanes(), 0);
    ASSERT_TRUE(VqPartition::openAllPartitions(root.get())) << lastError();
    ASSERT_GT(ref->numChildren(), 0u);
    EXPECT_TRUE(ref->child(0)->internalFlag(VqNode::VQ_NODE_IFLAG_MODELCONTEXT));
    EXPECT_EQ(mc->numMirrorPlanes(), 1);
    std::system(("rm -rf '" + dir + "'").c_str());
}

// An instance of one model may not take a child of another, even with the
// partition check off.
TEST_F(ModelContextTest, InstancesStayInsideTheirModel) {
    ASSERT_TRUE(mc->setRootPartition(root.get()));
    Vq::SharedPtr<Vq::ModelContext> other = new Vq::ModelContext();
    Vq::SharedPtr<VqPartition> otherRoot = new VqPartition();
    VqNode* foreign = new VqNode();
    otherRoot->appendChild(foreign);
    ASSERT_TRUE(other->setRootPartition(otherRoot.get()));
    VqInstance* inst = new VqInstance();
    ASSERT_TRUE(a->appendChild(inst));
    inst->setPartitionCheck(false);
    EXPECT_FALSE(inst->replaceChild(foreign));
    EXPECT_EQ(lastError(), "Parent and child have to be in the same model context");
    EXPECT_EQ(lastCode(), VQ_ERR_PARTITION);
    EXPECT_EQ(inst->child(), nullptr);
    // A child of the same model is taken.
    ASSERT_TRUE(inst->replaceChild(b));
    EXPECT_EQ(inst->child(), b);
    ASSERT_TRUE(other->setRootPartition(nullptr));
}

// A node of the model whose first parent lies outside it still reports to
// the model, and finds it as its context.
TEST_F(ModelContextTest, NodesReachedFromOutsideStillReport) {
    Vq::SharedPtr<VqGroup> outside = new VqGroup();
    VqGroup* n = new VqGroup();
    outside->appendChild(n);
    ASSERT_TRUE(a->appendChild(n));
    ASSERT_TRUE(mc->setRootPartition(root.get()));
    EXPECT_EQ(n->modelContext(), mc.get());
    EXPECT_EQ(n->partition(), root.get());
    EXPECT_EQ(outside->modelContext(), nullptr);
    rec->whos.clear();
    Vq::SharedPtr<VqDrawStyle> ds = new VqDrawStyle();
    ASSERT_TRUE(n->appendAttribute(ds.get()));
    EXPECT_EQ(rec->whos, (std::vector<const VqBase*>{ds.get()}));
    EXPECT_EQ(ds->partition(), root.get());
    Vq::SharedPtr<VqDrawStyle> loose = new VqDrawStyle();
    EXPECT_EQ(loose->partition(), nullptr);
}

namespace {
// A tree that notes what it hears and whether its write lock was held.
class TestTree : public Vq::SpatialTree {
public:
    bool _sliceAllocated(Vq::SliceID id, const Vq::SliceDesc&) override {
        heard.push_back(id);
        locked.push_back(numWriteLocks() > 0);
        return true;
    }
    bool _sliceDeallocated(Vq::SliceID id) override {
        heard.push_back(100 + id);
        return true;
    }
    std::vector<int> heard;
    std::vector<bool> locked;
};
} // namespace

TEST_F(ModelContextTest, SpatialTreesHearOfSlicesUnderTheirLock) {
    Vq::SharedPtr<TestTree> tree = new TestTree();
    EXPECT_FALSE(mc->addSpatialTree(nullptr));
    ASSERT_TRUE(mc->addSpatialTree(tree.get()));
    EXPECT_EQ(mc->spatialTree(0), tree.get());
    EXPECT_EQ(mc->spatialTree(1), nullptr);
    Vq::SliceID id = 255;
    ASSERT_TRUE(mc->allocateSlice(Vq::SliceDesc(), id));
    ASSERT_TRUE(mc->deallocSlice(id));
    EXPECT_EQ(tree->heard, (std::vector<int>{id, 100 + id}));
    EXPECT_EQ(tree->locked, (std::vector<bool>{true}));
    rec->changes.clear();
    ASSERT_TRUE(mc->removeSpatialTree(0));
    EXPECT_EQ(rec->changes, (std::vector<int>{32}));
    EXPECT_FALSE(mc->removeSpatialTree(0));
}

TEST_F(ModelContextTest, ShadowMapsHoldWhatTheLastViewRendered) {
    ASSERT_TRUE(mc->setRootPartition(root.get()));
    ASSERT_EQ(mc->numShadowCastingLights(), 2);
    const VqView* v1 = reinterpret_cast<const VqView*>(&v1Tag);
    const VqView* v2 = reinterpret_cast<const VqView*>(&v2Tag);
    mc->invalidateAllShadowMapsIfNotLastViewToRender(v1);
    mc->setShadowMapValid(0, true);
    mc->invalidateAllShadowMapsIfNotLastViewToRender(v1);
    EXPECT_TRUE(mc->isShadowMapValid(0));
    mc->invalidateAllShadowMapsIfNotLastViewToRender(v2);
    EXPECT_FALSE(mc->isShadowMapValid(0));
}
