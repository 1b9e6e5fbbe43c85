#include "VqFSStorageLocation.h"
#include "VqFog.h"
#include "VqGroup.h"
#include "VqLibFixture.h"
#include "VqLightSet.h"
#include "VqMaterial.h"
#include "VqModelContext.h"
#include "VqPartition.h"
#include "VqPath.h"
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
    // A fog change invalidates every shadow map.
    Vq::SharedPtr<VqFog> fog = new VqFog();
    ASSERT_TRUE(a->appendAttribute(fog.get()));
    mc->setShadowMapValid(0, true);
    ASSERT_TRUE(fog->setMode(VQ_FOG_EXP));
    EXPECT_FALSE(mc->isShadowMapValid(0));
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
    // An attribute change in the model reaches its clients too.
    Vq::SharedPtr<VqMaterial> m = new VqMaterial();
    ASSERT_TRUE(shared->appendAttribute(m.get()));
    rec->whos.clear();
    ASSERT_TRUE(m->setShininess(5.0f));
    ASSERT_FALSE(rec->whos.empty());
    EXPECT_EQ(rec->whos.back(), m.get());
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
