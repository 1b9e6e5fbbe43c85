#include "VqGroup.h"
#include "VqHeapNodeIter.h"
#include "VqLibFixture.h"
#include "VqPath.h"
#include "VqStackNodeIter.h"
#include "VqStdError.h"

#include <string>
#include <vector>

namespace {

class PathTest : public VqLibTest {};

// R with children P0, P1, P2, each of which holds C.
struct ThreeParents {
    Vq::SharedPtr<VqGroup> r = new VqGroup();
    VqGroup* p[3];
    Vq::SharedPtr<VqGroup> c = new VqGroup();
    ThreeParents() {
        for (auto& g : p) {
            g = new VqGroup();
            r->appendChild(g);
            g->appendChild(c.get());
        }
    }
};

} // namespace

TEST_F(PathTest, KeyOfANodeWithThreeParents) {
    ThreeParents g;
    VqPath path;
    ASSERT_TRUE(path.append(g.r.get()) && path.append(g.p[2]) && path.append(g.c.get()));
    unsigned int key = 0;
    ASSERT_TRUE(path.getPathBitVec(key));
    // Marker 1, then two bits for three parents: parent 2 is 10.
    EXPECT_EQ(key, 0b110u);
    unsigned int k = key;
    VqNode* parent = nullptr;
    ASSERT_TRUE(VqPath::getParentFromBitVec(k, g.c.get(), parent));
    EXPECT_EQ(parent, g.p[2]);
    EXPECT_EQ(k, 1u);
    // The same key, built step by step as a traversal does.
    unsigned int step = 1;
    ASSERT_TRUE(VqPath::addChildBitsToBitVec(step, g.r.get(), 2));
    ASSERT_TRUE(VqPath::addChildBitsToBitVec(step, g.p[2], 0));
    EXPECT_EQ(step, key);
    // setPath inverts the key, for every parent.
    for (unsigned int i = 0; i < 3; ++i) {
        VqPath back;
        ASSERT_TRUE(back.setPath(g.c.get(), 0b100u | i));
        ASSERT_EQ(back.length(), 3);
        EXPECT_EQ(back[0], g.r.get());
        EXPECT_EQ(back[1], g.p[i]);
        EXPECT_TRUE(back.isValidTailNode(g.c.get()));
        EXPECT_TRUE(back.isValidHeadNode(g.r.get()));
        VqPath rebuilt;
        ASSERT_TRUE(rebuilt.append(back));
        unsigned int again = 0;
        ASSERT_TRUE(rebuilt.getPathBitVec(again));
        EXPECT_EQ(again, 0b100u | i);
    }
    VqPath bad;
    EXPECT_FALSE(bad.setPath(g.c.get(), 0b111u));
    EXPECT_EQ(lastError(), "iParent < nParents");
    EXPECT_FALSE(bad.setPath(g.c.get(), 0b1010u));
    EXPECT_EQ(lastError(), "uPBVec == 1");
    EXPECT_FALSE(bad.setPath(nullptr, 1));
    EXPECT_EQ(lastError(), "pTailNode");
}

TEST_F(PathTest, SingleParentChainsHaveKeyOne) {
    Vq::SharedPtr<VqGroup> a = new VqGroup();
    VqGroup* b = new VqGroup();
    VqGroup* c = new VqGroup();
    a->appendChild(b);
    b->appendChild(c);
    VqPath p;
    ASSERT_TRUE(p.setPath(c, 1));
    ASSERT_EQ(p.length(), 3);
    EXPECT_EQ(p.first(), a.get());
    unsigned int key = 0;
    ASSERT_TRUE(p.getPathBitVec(key));
    EXPECT_EQ(key, 1u);
    // A prefix compares true against the longer path, not the other way.
    VqPath prefix;
    prefix.append(a.get());
    prefix.append(b);
    EXPECT_TRUE(prefix.compare(p));
    EXPECT_FALSE(p.compare(prefix));
    EXPECT_TRUE(VqPath::conforms(0b1101u, 0b101u));
    EXPECT_FALSE(VqPath::conforms(0b1111u, 0b101u));
    // Appending a node that is not a child drops the key.
    prefix.append(a.get());
    EXPECT_FALSE(prefix.getPathBitVec(key));
    EXPECT_EQ(lastError(), "iParNum >= 0");
    VqPath empty;
    EXPECT_FALSE(empty.getPathBitVec(key));
    EXPECT_EQ(lastError(), "n > 0");
}

TEST_F(PathTest, AChildHeldTwiceHasTwoKeys) {
    Vq::SharedPtr<VqGroup> g = new VqGroup();
    VqGroup* c = new VqGroup();
    g->appendChild(c);
    g->appendChild(c);
    unsigned int k0 = 1, k1 = 1;
    ASSERT_TRUE(VqPath::addChildBitsToBitVec(k0, g.get(), 0));
    ASSERT_TRUE(VqPath::addChildBitsToBitVec(k1, g.get(), 1));
    EXPECT_NE(k0, k1);
    EXPECT_EQ(k0, 0b10u);
    EXPECT_EQ(k1, 0b11u);
    for (unsigned int k : {k0, k1}) {
        VqPath p;
        ASSERT_TRUE(p.setPath(c, k));
        EXPECT_EQ(p.first(), g.get());
    }
}

// Thirty-two levels of diamonds need 32 bits of choices: the last step is
// refused instead of wrapping into another instance's key.
TEST_F(PathTest, DeepSharingOverflowIsReported) {
    Vq::SharedPtr<VqGroup> root = new VqGroup();
    VqPath path;
    path.append(root.get());
    VqGroup* x = root.get();
    unsigned int key = 1;
    for (int level = 0; level < 32; ++level) {
        VqGroup* a = new VqGroup();
        VqGroup* b = new VqGroup();
        VqGroup* next = new VqGroup();
        x->appendChild(a);
        x->appendChild(b);
        a->appendChild(next);
        b->appendChild(next);
        ASSERT_TRUE(VqPath::addChildBitsToBitVec(key, x, 1));
        const bool ok = VqPath::addChildBitsToBitVec(key, b, 0);
        path.append(b);
        path.append(next);
        unsigned int pk = 0;
        if (level < 31) {
            ASSERT_TRUE(ok);
            ASSERT_TRUE(path.getPathBitVec(pk));
            EXPECT_EQ(pk, key);
        } else {
            EXPECT_FALSE(ok);
            EXPECT_EQ(lastError(), "(uPBVec >> (32 - nBits)) == 0");
            EXPECT_FALSE(path.getPathBitVec(pk));
            EXPECT_EQ(key, 0xFFFFFFFFu);
        }
        x = next;
    }
}

namespace {

// Records visits as "+name" (Pre) and "-name" (Post).
struct Trace : public VqRefCountedBody {
    std::vector<std::string> events;
    std::vector<unsigned int> keys;
    int stopAt = -1;
    VqNodeIter::ExecutionControl control = VqNodeIter::VQ_EXEC_CONTINUE;
};

std::string nameOf(const VqNode* n) {
    return std::to_string(n->userFlags());
}

bool preAction(VqNodeIter* it, VqNodeIter::ActionTime, int, VqNode* node, unsigned int key,
               VqNodeIter::DataHandle& data, float) {
    Trace* t = static_cast<Trace*>(data.get());
    t->events.push_back("+" + nameOf(node));
    t->keys.push_back(key);
    if (int(node->userFlags()) == t->stopAt) it->setExecutionControl(t->control);
    VqVec<float> values;
    for (unsigned int i = 0; i < node->numChildren(); ++i)
        values.append(float(node->child(int(i))->userFlags()));
    return it->addAllChildren(data, values);
}

bool secondPre(VqNodeIter*, VqNodeIter::ActionTime, int, VqNode* node, unsigned int,
               VqNodeIter::DataHandle& data, float) {
    static_cast<Trace*>(data.get())->events.push_back("*" + nameOf(node));
    return true;
}

bool postAction(VqNodeIter*, VqNodeIter::ActionTime, int, VqNode* node, unsigned int,
                VqNodeIter::DataHandle& data, float) {
    static_cast<Trace*>(data.get())->events.push_back("-" + nameOf(node));
    return true;
}

// 1 -> (2 -> (4, 5), 3); user flags name the nodes and give their values.
struct Tree {
    Vq::SharedPtr<VqGroup> n1 = new VqGroup();
    VqGroup *n2 = new VqGroup(), *n3 = new VqGroup(), *n4 = new VqGroup(), *n5 = new VqGroup();
    Tree() {
        n1->setFlags(1);
        n2->setFlags(9);
        n3->setFlags(3);
        n4->setFlags(4);
        n5->setFlags(5);
        n1->appendChild(n2);
        n1->appendChild(n3);
        n2->appendChild(n4);
        n2->appendChild(n5);
    }
};

std::vector<std::string> run(VqNodeIter& it, VqNode* root, Trace* t) {
    VqNodeIter::DataHandle data = t;
    EXPECT_TRUE(it.execute(root, 1, data, 0.0f));
    return t->events;
}

} // namespace

TEST_F(PathTest, StackIteratorRunsPostAfterTheSubtree) {
    Tree tree;
    Vq::SharedPtr<VqStackNodeIter> it = new VqStackNodeIter();
    ASSERT_TRUE(it->appendAction(VqNodeIter::Pre, &preAction, nullptr));
    ASSERT_TRUE(it->appendAction(VqNodeIter::Post, &postAction, nullptr));
    Vq::SharedPtr<Trace> t = new Trace();
    EXPECT_EQ(run(*it, tree.n1.get(), t.get()),
              (std::vector<std::string>{"+1", "+9", "+4", "-4", "+5", "-5", "-9", "+3", "-3", "-1"}));
    EXPECT_EQ(it->numRemainingNodes(), 0);
}

TEST_F(PathTest, HeapIteratorVisitsByAscendingValue) {
    Tree tree;
    Vq::SharedPtr<VqHeapNodeIter> it = new VqHeapNodeIter();
    ASSERT_TRUE(it->appendAction(VqNodeIter::Pre, &preAction, nullptr));
    ASSERT_TRUE(it->appendAction(VqNodeIter::Post, &postAction, nullptr));
    Vq::SharedPtr<Trace> t = new Trace();
    // Values are the user flags: 3 before 9, and 9 before its children 4 and 5, which enter later.
    EXPECT_EQ(run(*it, tree.n1.get(), t.get()),
              (std::vector<std::string>{"+1", "-1", "+3", "-3", "+9", "-9", "+4", "-4", "+5", "-5"}));
}

TEST_F(PathTest, ExecutionControls) {
    Tree tree;
    Vq::SharedPtr<VqStackNodeIter> it = new VqStackNodeIter();
    ASSERT_TRUE(it->appendAction(VqNodeIter::Pre, &preAction, nullptr));
    ASSERT_TRUE(it->appendAction(VqNodeIter::Pre, &secondPre, nullptr));
    // 1 skips the rest of the node's actions only.
    {
        Vq::SharedPtr<Trace> t = new Trace();
        t->stopAt = 9;
        t->control = VqNodeIter::VQ_EXEC_SKIP_ACTIONS;
        EXPECT_EQ(run(*it, tree.n1.get(), t.get()),
                  (std::vector<std::string>{"+1", "*1", "+9", "+4", "*4", "+5", "*5", "+3", "*3"}));
    }
    // 2 ends after the node and drops what is pending.
    {
        Vq::SharedPtr<Trace> t = new Trace();
        t->stopAt = 9;
        t->control = VqNodeIter::VQ_EXEC_STOP;
        EXPECT_EQ(run(*it, tree.n1.get(), t.get()), (std::vector<std::string>{"+1", "*1", "+9"}));
        EXPECT_EQ(it->numRemainingNodes(), 0);
    }
    // 4 ends after the node but keeps what is pending for the next execute.
    {
        Vq::SharedPtr<Trace> t = new Trace();
        t->stopAt = 9;
        t->control = VqNodeIter::VQ_EXEC_SUSPEND;
        EXPECT_EQ(run(*it, tree.n1.get(), t.get()), (std::vector<std::string>{"+1", "*1", "+9"}));
        EXPECT_EQ(it->numRemainingNodes(), 3);
        t->stopAt = -1;
        VqNodeIter::DataHandle data = t.get();
        // The pending 4, 5 and 3 run before the new root.
        ASSERT_TRUE(it->execute(tree.n4, 1, data, 0.0f));
        EXPECT_EQ(t->events, (std::vector<std::string>{"+1", "*1", "+9", "+4", "*4", "+4", "*4", "+5", "*5",
                                                       "+3", "*3"}));
    }
    // A request is only replaced by another; 4 only by 0.
    it->setExecutionControl(VqNodeIter::VQ_EXEC_SKIP_ACTIONS);
    it->setExecutionControl(VqNodeIter::VQ_EXEC_CONTINUE);
    EXPECT_EQ(it->executionControl(), VqNodeIter::VQ_EXEC_SKIP_ACTIONS);
    it->setExecutionControl(VqNodeIter::VQ_EXEC_SUSPEND);
    it->setExecutionControl(VqNodeIter::VQ_EXEC_STOP);
    EXPECT_EQ(it->executionControl(), VqNodeIter::VQ_EXEC_SUSPEND);
    it->setExecutionControl(VqNodeIter::VQ_EXEC_CONTINUE);
    EXPECT_EQ(it->executionControl(), VqNodeIter::VQ_EXEC_CONTINUE);
}

TEST_F(PathTest, IteratorKeysAndActionChecks) {
    ThreeParents g;
    Vq::SharedPtr<VqStackNodeIter> it = new VqStackNodeIter();
    ASSERT_TRUE(it->appendAction(VqNodeIter::Pre, &preAction, nullptr));
    Vq::SharedPtr<Trace> t = new Trace();
    run(*it, g.r.get(), t.get());
    // C is met three times, once under each parent, each time with its own key.
    std::vector<unsigned int> cKeys;
    for (size_t i = 0; i < t->events.size(); ++i)
        if (t->events[i] == "+0" && t->keys[i] != 1u) cKeys.push_back(t->keys[i]);
    EXPECT_EQ(cKeys, (std::vector<unsigned int>{0b100u, 0b101u, 0b110u}));

    EXPECT_FALSE(it->appendAction(static_cast<VqNodeIter::ActionTime>(2), &preAction, nullptr));
    EXPECT_EQ(lastError(), "(actionTime == Pre) || (actionTime == Post)");
    EXPECT_FALSE(it->appendAction(VqNodeIter::Pre, nullptr, nullptr));
    EXPECT_EQ(lastError(), "action != __null");
    VqNodeIter::DataHandle none;
    EXPECT_FALSE(it->execute(nullptr, 1, none, 0.0f));
    EXPECT_EQ(lastError(), "root != __null");
    EXPECT_EQ(it->findAction(VqNodeIter::Pre, &preAction), 0);
    ASSERT_TRUE(it->insertAction(VqNodeIter::Pre, 0, &secondPre, nullptr));
    EXPECT_EQ(it->findAction(VqNodeIter::Pre, &preAction), 1);
    EXPECT_EQ(it->numActions(), 2);
}
