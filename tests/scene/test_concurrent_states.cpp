// States built on several traversal threads at once: accumulation reads the
// shared lights, transforms and materials and never changes them, and a light
// reached through several instances casts one shadow per instance.

#include "VqGroup.h"
#include "VqLibFixture.h"
#include "VqLightSet.h"
#include "VqMaterial.h"
#include "VqModelContext.h"
#include "VqPartition.h"
#include "VqPath.h"
#include "VqState.h"
#include "VqTexImage.h"
#include "VqXform.h"

#include <atomic>
#include <thread>
#include <vector>

namespace {

class ConcurrentStateTest : public VqLibTest {};

VqMatrix4d translation(double x) {
    VqMatrix4d m;
    m.m[3][0] = x;
    return m;
}

// Starts n threads running work(thread index) together and waits for them.
template <class Work>
void together(int n, Work&& work) {
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < n; ++t)
        threads.emplace_back([&, t] {
            ++ready;
            while (ready.load() < n)
                std::this_thread::yield();
            work(t);
        });
    for (auto& t : threads)
        t.join();
}

} // namespace

// Four threads accumulate the same light set, dynamic transform and dynamic
// material into states of their own and drop them again. The shared objects'
// client lists are those the node made, before and after.
TEST_F(ConcurrentStateTest, AccumulatingSharedAttributesLeavesTheirClientListsAlone) {
    Vq::SharedPtr<VqGroup> node = new VqGroup();
    Vq::SharedPtr<VqLight> light = new VqInfiniteLight();
    Vq::SharedPtr<VqLightSet> set = new VqLightSet();
    ASSERT_TRUE(set->appendLight(light.get()));
    Vq::SharedPtr<VqXform> dyn = new VqXform(translation(1.0));
    ASSERT_TRUE(dyn->setDynamicFlag(true));
    Vq::SharedPtr<VqXform> stat = new VqXform(translation(10.0));
    Vq::SharedPtr<VqMaterial> mtl = new VqMaterial();
    ASSERT_TRUE(mtl->setDynamicFlag(true));
    for (VqAttribute* a : {static_cast<VqAttribute*>(set.get()), static_cast<VqAttribute*>(dyn.get()),
                           static_cast<VqAttribute*>(mtl.get())})
        ASSERT_TRUE(node->appendAttribute(a));
    // The node listens to the set, the set to its light.
    ASSERT_EQ(light->numNotificationClients(), 1u);
    ASSERT_EQ(dyn->numNotificationClients(), 1u);

    // The number of lights a state and a copy accumulating the set again hold.
    auto build = [&]() {
        VqState s;
        if (!s.accumAttribute(set.get(), nullptr) || !s.accumAttribute(dyn.get(), nullptr) ||
            !s.accumAttribute(stat.get(), nullptr) || !s.accumAttribute(mtl.get(), nullptr))
            return -1;
        // The copy shares the accumulators and clones the one it changes.
        VqState copy(s);
        if (!copy.accumAttribute(set.get(), nullptr)) return -1;
        return static_cast<const VqLightSet*>(copy.attribute(VqLightSet::classTypeID()))->numLights();
    };
    const int expected = build();
    ASSERT_GE(expected, 2);
    std::atomic<int> bad{0};
    together(4, [&](int) {
        for (int i = 0; i < 2000; ++i)
            if (build() != expected) ++bad;
    });
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(light->numNotificationClients(), 1u);
    EXPECT_EQ(set->numNotificationClients(), 1u);
    EXPECT_EQ(dyn->numNotificationClients(), 1u);
    EXPECT_EQ(stat->numNotificationClients(), 0u);
    EXPECT_EQ(mtl->numNotificationClients(), 1u);

    // Without registering, a held state still replays a dynamic change.
    VqState held;
    ASSERT_TRUE(held.accumAttribute(dyn.get(), nullptr) && held.accumAttribute(stat.get(), nullptr));
    auto* acc = static_cast<const VqXform*>(held.attribute(VqXform::classTypeID()));
    EXPECT_EQ(acc->matrix().m[3][0], 11.0);
    VqState copy(held);
    ASSERT_TRUE(dyn->setMatrix(translation(5.0)));
    EXPECT_EQ(acc->matrix().m[3][0], 15.0);
    EXPECT_EQ(static_cast<const VqXform*>(copy.attribute(VqXform::classTypeID()))->matrix().m[3][0], 15.0);
    EXPECT_EQ(dyn->numNotificationClients(), 1u);
}

// Four threads ask for the states of 400 leaves of one model, each leaf with a
// light set of its own under a root whose light set shines on all of them.
// Every state sees both lights; the root's light keeps its single client; a
// change of the light afterwards drops the cached states.
TEST_F(ConcurrentStateTest, StatesOfAModelBuiltOnFourThreads) {
    Vq::SharedPtr<VqPartition> root = new VqPartition();
    Vq::SharedPtr<VqLight> top = new VqInfiniteLight();
    top->setShadowCaster(true);
    Vq::SharedPtr<VqLightSet> topSet = new VqLightSet();
    ASSERT_TRUE(topSet->appendLight(top.get()));
    ASSERT_TRUE(root->appendAttribute(topSet.get()));
    Vq::SharedPtr<VqMaterial> mtl = new VqMaterial();
    ASSERT_TRUE(mtl->setDynamicFlag(true));
    ASSERT_TRUE(root->appendAttribute(mtl.get()));
    std::vector<VqGroup*> leaves;
    for (int g = 0; g < 20; ++g) {
        VqGroup* mid = new VqGroup();
        ASSERT_TRUE(root->appendChild(mid));
        Vq::SharedPtr<VqXform> x = new VqXform(translation(g));
        ASSERT_TRUE(x->setDynamicFlag(g % 2 == 0));
        ASSERT_TRUE(mid->appendAttribute(x.get()));
        for (int i = 0; i < 20; ++i) {
            VqGroup* leaf = new VqGroup();
            Vq::SharedPtr<VqLightSet> own = new VqLightSet();
            ASSERT_TRUE(own->appendLight(new VqInfiniteLight()));
            ASSERT_TRUE(leaf->appendAttribute(own.get()));
            ASSERT_TRUE(mid->appendChild(leaf));
            leaves.push_back(leaf);
        }
    }
    Vq::SharedPtr<Vq::ModelContext> mc = new Vq::ModelContext();
    ASSERT_TRUE(mc->setRootPartition(root.get()));

    std::vector<Vq::SharedPtr<VqState>> states[4];
    std::atomic<int> bad{0};
    together(4, [&](int t) {
        states[t].resize(leaves.size());
        for (size_t k = 0; k < leaves.size(); ++k) {
            // Each thread walks the leaves in another order.
            const size_t i = (t % 2 ? leaves.size() - 1 - k : k + size_t(t) * 100) % leaves.size();
            VqPath p;
            if (!p.setPath(leaves[i], 1) || !VqNode::getState(leaves[i], &p, states[t][i])) ++bad;
        }
    });
    ASSERT_EQ(bad.load(), 0) << lastError();
    ASSERT_EQ(mc->numShadowCastingLights(), 1);
    EXPECT_EQ(mc->shadowCastingLightKey(0), 1u);
    for (size_t i = 0; i < leaves.size(); ++i)
        for (int t = 0; t < 4; ++t) {
            ASSERT_TRUE(states[t][i]);
            auto* ls = static_cast<const VqLightSet*>(states[t][i]->attribute(VqLightSet::classTypeID()));
            // The leaf's own light first, then the root's.
            ASSERT_GE(ls->numLights(), 2);
            EXPECT_EQ(ls->light(1), top.get());
            auto* tex = static_cast<const VqTexImage*>(states[t][i]->attribute(VqTexImage::classTypeID()));
            EXPECT_EQ(tex->channel(), 0);
            // Two threads may both build a state; either is right, though
            // its model-coordinate lights name that state's own transform.
            auto* xf = static_cast<const VqXform*>(states[t][i]->attribute(VqXform::classTypeID()));
            EXPECT_EQ(xf->matrix().m[3][0], double(i / 20));
            auto* ls0 = static_cast<const VqLightSet*>(states[0][i]->attribute(VqLightSet::classTypeID()));
            EXPECT_EQ(ls->light(0), ls0->light(0));
        }
    EXPECT_EQ(top->numNotificationClients(), 1u);
    EXPECT_EQ(top->shadowCasterIndex(), -1);

    ASSERT_TRUE(top->setBrightness(0.5f));
    VqPath p;
    ASSERT_TRUE(p.setPath(leaves[7], 1));
    Vq::SharedPtr<VqState> fresh;
    ASSERT_TRUE(VqNode::getState(leaves[7], &p, fresh));
    EXPECT_NE(fresh.get(), states[0][7].get());
    ASSERT_TRUE(mc->setRootPartition(nullptr));
}

// One shadow-casting light reached through two instances: each instance's
// state renders into its own place of the model's list, with its own texture.
TEST_F(ConcurrentStateTest, ALightReachedThroughTwoInstancesCastsTwoShadows) {
    Vq::SharedPtr<VqPartition> root = new VqPartition();
    VqGroup* a = new VqGroup();
    VqGroup* b = new VqGroup();
    VqGroup* shared = new VqGroup();
    VqGroup* leaf = new VqGroup();
    ASSERT_TRUE(root->appendChild(a) && root->appendChild(b));
    ASSERT_TRUE(a->appendChild(shared) && b->appendChild(shared) && shared->appendChild(leaf));
    Vq::SharedPtr<VqLight> caster = new VqInfiniteLight();
    caster->setShadowCaster(true);
    Vq::SharedPtr<VqLightSet> set = new VqLightSet();
    ASSERT_TRUE(set->appendLight(caster.get()));
    ASSERT_TRUE(shared->appendAttribute(set.get()));
    Vq::SharedPtr<Vq::ModelContext> mc = new Vq::ModelContext();
    ASSERT_TRUE(mc->setRootPartition(root.get()));
    ASSERT_EQ(mc->numShadowCastingLights(), 2);

    Vq::SharedPtr<VqState> st[2];
    together(2, [&](int t) {
        VqPath p;
        p.setPath(leaf, mc->shadowCastingLightKey(t));
        VqNode::getState(leaf, &p, st[t]);
    });
    ASSERT_TRUE(st[0] && st[1]) << lastError();
    const VqTexImage* tex[2];
    for (int t = 0; t < 2; ++t) {
        tex[t] = static_cast<const VqTexImage*>(st[t]->attribute(VqTexImage::classTypeID()));
        int index = -1;
        const VqTexImage* placeTex = nullptr;
        ASSERT_TRUE(mc->shadowCaster(caster.get(), mc->shadowCastingLightKey(t), index, placeTex));
        EXPECT_EQ(index, t);
        EXPECT_EQ(tex[t]->channel(), t);
    }
    EXPECT_EQ(caster->shadowCasterIndex(), -1);
    ASSERT_TRUE(mc->setRootPartition(nullptr));
}
