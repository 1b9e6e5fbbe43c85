// Graphs of hostile shape, built in memory: deep chains, nodes with a million
// parents, shared subgraphs with more paths than an int counts, and edits
// that would close a cycle. Whatever a file or a host builds must be boxed,
// counted, invalidated and released without recursion and in linear time.

#include "VqGroup.h"
#include "VqInstance.h"
#include "VqSceneTestUtil.h"

#include <climits>
#include <map>
#include <thread>

namespace {

using GraphShapeTest = SceneTest;

const char* const kCycle = "The child is this node or lies above it: the graph would have a cycle";

// A chain of depth groups over one leaf, built from the bottom (so that each
// edit stays cheap); the leaf's box is the unit cube.
Vq::SharedPtr<VqGroup> chain(int depth, VqNode* leaf) {
    leaf->setBBox(VqFixedVec<float, 3>(0, 0, 0), VqFixedVec<float, 3>(1, 1, 1));
    Vq::SharedPtr<VqNode> below = leaf;
    Vq::SharedPtr<VqGroup> g;
    for (int i = 0; i < depth; ++i) {
        g = new VqGroup();
        g->appendChild(below.get());
        below = g.get();
    }
    return g;
}

TEST_F(GraphShapeTest, DeepChainIsBoxedCountedInvalidatedAndReleased) {
    constexpr int kDepth = 300000;
    bool dead = false;
    Vq::SharedPtr<VqGroup> root;
    VqNode* leaf = nullptr;
    {
        Vq::SharedPtr<VqNode> l = new VqNode();
        l->setUserData(new DeathFlag(dead));
        leaf = l.get();
        root = chain(kDepth, leaf);
    }
    EXPECT_EQ(root->bBoxRaw().max[0], 1.0f);
    VqFixedVec<int, 2> nodes;
    ASSERT_TRUE(root->numNodes(nodes));
    EXPECT_EQ(nodes[0], kDepth + 1);
    EXPECT_EQ(root->area(), 0.0f);

    // A change at the bottom reaches the top, and the box follows it.
    leaf->setBBox(VqFixedVec<float, 3>(0, 0, 0), VqFixedVec<float, 3>(5, 1, 1));
    EXPECT_TRUE(root->isBBoxIndeterminate());
    EXPECT_EQ(root->bBoxRaw().max[0], 5.0f);
    // Instance records along the whole path, made from the leaf, go with it.
    ASSERT_NE(leaf->instData(1, true), nullptr);
    EXPECT_TRUE(root->haveInstData(false));
    ASSERT_TRUE(root->removeAllInstData(true));
    EXPECT_FALSE(root->haveInstData(true));
    ASSERT_TRUE(leaf->invalidateState(VqNode::VQ_INVAL_STRUCTURE, true));
    EXPECT_TRUE(root->isBBoxIndeterminate());

    root = nullptr;
    EXPECT_TRUE(dead);
}

// Shared subgraphs count once per path: 2^40 paths through a 40-level
// diamond chain, which the counts hold at the int range.
TEST_F(GraphShapeTest, CountsOfManyPathsStopAtTheIntRange) {
    Vq::SharedPtr<VqNode> below = new VqNode();
    for (int i = 0; i < 40; ++i) {
        Vq::SharedPtr<VqGroup> g = new VqGroup();
        ASSERT_TRUE(g->appendChild(below.get()));
        ASSERT_TRUE(g->appendChild(below.get()));
        below = g.get();
    }
    VqFixedVec<int, 2> nodes;
    ASSERT_TRUE(below->numNodes(nodes));
    EXPECT_EQ(nodes[0], INT_MAX);
    EXPECT_EQ(nodes[1], INT_MAX);
}

// One node held a million times by one group, and by a million instances
// that go in the order that makes finding each link in its list the longest.
TEST_F(GraphShapeTest, NodeWithAMillionParentsIsReleased) {
    constexpr int kParents = 1000000;
    bool dead = false;
    Vq::SharedPtr<VqNode> shared = new VqNode();
    shared->setUserData(new DeathFlag(dead));
    {
        Vq::SharedPtr<VqGroup> g = new VqGroup();
        for (int i = 0; i < kParents; ++i)
            ASSERT_TRUE(g->appendChild(shared.get()));
        EXPECT_EQ(shared->numParents(), kParents);
    }
    EXPECT_EQ(shared->numParents(), 0);

    // The node's parent list is instances 0 to n-1; the first group holds the
    // first half last to first, and so releases instance 0 first.
    std::vector<Vq::SharedPtr<VqInstance>> inst;
    Vq::SharedPtr<VqGroup> first = new VqGroup();
    Vq::SharedPtr<VqGroup> second = new VqGroup();
    for (int i = 0; i < kParents; ++i) {
        inst.push_back(new VqInstance());
        inst.back()->setPartitionCheck(false);
        ASSERT_TRUE(inst.back()->replaceChild(shared.get()));
    }
    for (int i = kParents / 2; i-- > 0;)
        ASSERT_TRUE(first->appendChild(inst[static_cast<size_t>(i)].get()));
    for (int i = kParents / 2; i < kParents; ++i)
        ASSERT_TRUE(second->appendChild(inst[static_cast<size_t>(i)].get()));
    std::vector<const VqNode*> order;
    for (const auto& in : inst)
        order.push_back(in.get());
    inst.clear();
    ASSERT_EQ(shared->numParents(), kParents);
    first = nullptr;
    // The other half keeps its links, in order.
    ASSERT_EQ(shared->numParents(), kParents / 2);
    for (int i = 0; i < kParents / 2; i += 99991)
        EXPECT_EQ(shared->parent(i), order[static_cast<size_t>(kParents / 2 + i)]);
    second = nullptr;
    EXPECT_EQ(shared->numParents(), 0);
    EXPECT_FALSE(dead);
    shared = nullptr;
    EXPECT_TRUE(dead);
}

// The graph is acyclic: a child that is the parent itself or lies above it is
// refused by every edit that adds a child, and the graph stays as it was.
TEST_F(GraphShapeTest, EditsThatWouldCloseACycleAreRefused) {
    Vq::SharedPtr<VqGroup> a = new VqGroup();
    Vq::SharedPtr<VqGroup> b = new VqGroup();
    Vq::SharedPtr<VqGroup> c = new VqGroup();
    Vq::SharedPtr<VqNode> leaf = new VqNode();
    ASSERT_TRUE(a->appendChild(b.get()));
    ASSERT_TRUE(b->appendChild(c.get()));
    ASSERT_TRUE(c->appendChild(leaf.get()));
    // Sharing is no cycle: a holds c directly as well.
    ASSERT_TRUE(a->appendChild(c.get()));

    EXPECT_FALSE(c->appendChild(c.get()));
    EXPECT_EQ(lastError(), kCycle);
    EXPECT_EQ(lastCode(), VQ_ERR_ARGUMENT);
    EXPECT_FALSE(c->appendChild(a.get()));
    EXPECT_EQ(lastError(), kCycle);
    EXPECT_FALSE(c->insertChild(0, b.get()));
    EXPECT_EQ(lastError(), kCycle);
    EXPECT_FALSE(c->replaceChild(0, a.get()));
    EXPECT_EQ(lastError(), kCycle);
    Vq::SharedPtr<VqInstance> inst = new VqInstance();
    ASSERT_TRUE(c->appendChild(inst.get()));
    EXPECT_FALSE(inst->replaceChild(b.get()));
    EXPECT_EQ(lastError(), kCycle);

    EXPECT_EQ(a->numChildren(), 2u);
    EXPECT_EQ(b->numChildren(), 1u);
    ASSERT_EQ(c->numChildren(), 2u);
    EXPECT_EQ(c->child(0), leaf.get());
    EXPECT_EQ(inst->child(), nullptr);
    EXPECT_EQ(a->numParents(), 0);
    EXPECT_EQ(b->numParents(), 1);
    EXPECT_EQ(c->numParents(), 2);
}

// A walk meets every node once, however it is shared: twice by one group,
// by two groups, below a root that has a parent itself, and in a subgraph
// whose single-parent nodes hang below a shared one.
TEST_F(GraphShapeTest, WalkOnceMeetsEveryNodeOnce) {
    Vq::SharedPtr<VqGroup> top = new VqGroup();
    Vq::SharedPtr<VqGroup> root = new VqGroup();
    Vq::SharedPtr<VqGroup> left = new VqGroup();
    Vq::SharedPtr<VqGroup> right = new VqGroup();
    Vq::SharedPtr<VqGroup> shared = new VqGroup();
    Vq::SharedPtr<VqNode> twice = new VqNode();
    Vq::SharedPtr<VqNode> below = new VqNode();
    ASSERT_TRUE(top->appendChild(root.get()));
    ASSERT_TRUE(root->appendChild(left.get()));
    ASSERT_TRUE(root->appendChild(right.get()));
    ASSERT_TRUE(left->appendChild(shared.get()));
    ASSERT_TRUE(right->appendChild(shared.get()));
    ASSERT_TRUE(shared->appendChild(below.get()));
    ASSERT_TRUE(right->appendChild(twice.get()));
    ASSERT_TRUE(right->appendChild(twice.get()));
    std::map<const VqNode*, int> met;
    EXPECT_TRUE(VqNode::walkOnce(static_cast<const VqNode*>(root.get()), [&](const VqNode* n) {
        ++met[n];
        return VqNode::Walk::Descend;
    }));
    EXPECT_EQ(met.size(), 6u);
    for (const auto& [n, count] : met)
        EXPECT_EQ(count, 1);
    EXPECT_EQ(met.count(top.get()), 0u);
    EXPECT_EQ(met.count(below.get()), 1u);
}

// A graph held by a thread-exit handler (a thread_local owner here; a static
// object at process exit alike) is released after the thread's other
// thread_local objects are gone: the release must not need any of them. The
// owner is made first, so that it is destroyed last; a release in the
// thread's body comes before it.
struct GraphAtThreadExit {
    Vq::SharedPtr<VqGroup> root;
};

TEST_F(GraphShapeTest, GraphReleasedAtThreadExitIsReleasedWhole) {
    bool dead = false;
    std::thread t([&dead] {
        thread_local GraphAtThreadExit owner;
        owner.root = chain(100, new VqNode());
        // A shared node whose parents leave out of order takes the noted path.
        Vq::SharedPtr<VqNode> shared = new VqNode();
        shared->setUserData(new DeathFlag(dead));
        Vq::SharedPtr<VqGroup> a = new VqGroup(), b = new VqGroup();
        a->appendChild(shared.get());
        b->appendChild(shared.get());
        owner.root->appendChild(a.get());
        owner.root->appendChild(b.get());
        shared = nullptr;
        a = nullptr;
        b = nullptr;
        chain(3, new VqNode()); // a release in the body, before thread exit
    });
    t.join();
    EXPECT_TRUE(dead);
}

} // namespace
