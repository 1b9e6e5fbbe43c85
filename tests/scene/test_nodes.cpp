#include "VqGraphCompare.h"
#include "VqGroup.h"
#include "VqInstance.h"
#include "VqLOD.h"
#include "VqSceneTestUtil.h"
#include "VqSwitch.h"

#include <cstring>

namespace {

uint32_t bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

// A group that roots a partition of its own.
class TestPartitionRoot : public VqGroup {
public:
    bool _isPartitionRoot() const override { return true; }
};

using NodeTest = SceneTest;

TEST_F(NodeTest, ChildrenAreOwnedThroughParentLinks) {
    bool dead = false;
    Vq::SharedPtr<VqGroup> a = new VqGroup();
    Vq::SharedPtr<VqGroup> b = new VqGroup();
    {
        Vq::SharedPtr<VqNode> shared = new VqNode();
        shared->setUserData(new DeathFlag(dead));
        a->appendChild(shared.get());
        b->appendChild(shared.get());
        b->appendChild(shared.get());
        EXPECT_EQ(shared->numParents(), 3);
        EXPECT_EQ(shared->refCount(), 4u);
    }
    // Removing one of b's two links keeps the other.
    ASSERT_TRUE(b->removeChild(0));
    EXPECT_EQ(b->numChildren(), 1u);
    EXPECT_EQ(b->child(0)->numParents(), 2);
    ASSERT_TRUE(a->removeAllChildren());
    EXPECT_FALSE(dead);
    b = nullptr;
    EXPECT_TRUE(dead);
}

TEST_F(NodeTest, BadChildArgumentsFailAndChangeNothing) {
    Vq::SharedPtr<VqGroup> g = new VqGroup();
    EXPECT_FALSE(g->appendChild(nullptr));
    EXPECT_EQ(lastError(), "pNewChild != __null");
    EXPECT_EQ(lastCode(), VQ_ERR_ARGUMENT);
    Vq::SharedPtr<VqNode> orphan = new VqNode();
    EXPECT_FALSE(g->insertChild(1, orphan.get()));
    EXPECT_EQ(lastError(), "index >= 0 && VqUInt32(index) <= numChildren()");
    EXPECT_FALSE(g->removeChild(0));
    EXPECT_EQ(lastError(), "index >= 0 && VqUInt32(index) < numChildren()");
    EXPECT_FALSE(g->appendAttribute(nullptr));
    EXPECT_EQ(lastError(), "pAttr != __null");
    EXPECT_EQ(g->numChildren(), 0u);
    EXPECT_EQ(g->numAttributes(), 0);
    Vq::SharedPtr<VqNode> leaf = new VqNode();
    EXPECT_EQ(leaf->numChildren(), 0u);
    EXPECT_EQ(leaf->child(0), nullptr);
}

TEST_F(NodeTest, SwitchSelectionSurvivesRemovalUntilPastTheEnd) {
    Vq::SharedPtr<VqSwitch> sw = new VqSwitch();
    VqNode* kids[3];
    for (auto& k : kids) {
        k = new VqNode();
        sw->appendChild(k);
    }
    ASSERT_TRUE(sw->setSelectedChild(1));
    ASSERT_TRUE(sw->removeChild(0));
    EXPECT_EQ(sw->selectedChild(), 1);
    EXPECT_EQ(sw->child(0, true), kids[2]);
    EXPECT_EQ(sw->numChildren(true), 1u);
    EXPECT_EQ(sw->child(1, true), nullptr);
    ASSERT_TRUE(sw->removeChild(1));
    EXPECT_EQ(sw->selectedChild(), -1);
    EXPECT_EQ(sw->numChildren(true), 0u);
    EXPECT_FALSE(sw->setSelectedChild(1));
    EXPECT_EQ(lastError(), "iChild >= -1 && VqUInt32(iChild) < numChildren()");
    ASSERT_TRUE(sw->setSelectedChild(0));
    ASSERT_TRUE(sw->removeAllChildren());
    EXPECT_EQ(sw->selectedChild(), -1);
}

TEST_F(NodeTest, LODCookedChildrenAreTheForcedChild) {
    Vq::SharedPtr<VqLOD> lod = new VqLOD();
    for (int i = 0; i < 3; ++i)
        lod->appendChild(new VqNode());
    EXPECT_EQ(lod->numChildren(true), 3u);
    ASSERT_TRUE(lod->setForcedChild(2));
    EXPECT_EQ(lod->numChildren(true), 1u);
    EXPECT_EQ(lod->child(0, true), lod->child(2, false));
    EXPECT_EQ(lod->child(1, true), nullptr);
    EXPECT_EQ(lod->child(1, true), nullptr);
    EXPECT_EQ(lastError(), "May only ask for cooked child 0");
    ASSERT_TRUE(lod->removeChild(2));
    VqNode* const* list = nullptr;
    unsigned int n = 99;
    lod->children(list, n, true);
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(lod->setForcedChild(5));
    float q = -1.0f;
    ASSERT_TRUE(lod->relativeQuality(1, q));
    EXPECT_EQ(q, 0.0f);
}

TEST_F(NodeTest, BoxStatesHaveTheirOwnBits) {
    Vq::SharedPtr<VqNode> n = new VqNode();
    EXPECT_EQ(bits(n->cachedBBox().min[0]), 0x7F7FC99Eu);
    EXPECT_EQ(bits(n->cachedBBox().max[2]), 0xFF7FC99Eu);
    EXPECT_FALSE(n->isBBoxIndeterminate());
    n->invalidateState(VqNode::VQ_INVAL_BBOX);
    EXPECT_EQ(bits(n->cachedBBox().min[1]), 0x7F7FFFFFu);
    EXPECT_EQ(bits(n->cachedBBox().max[0]), 0xFF7FFFFFu);
    EXPECT_TRUE(n->isBBoxIndeterminate());
    // A leaf with nothing below computes an empty box.
    EXPECT_TRUE(n->bBoxRaw().isEmpty());
    EXPECT_FALSE(n->isBBoxIndeterminate());
    VqFixedVec<int, 2> counts;
    n->numVertices(counts);
    EXPECT_EQ(counts, (VqFixedVec<int, 2>(0, 0)));
}

TEST_F(NodeTest, InvalidationStopsWhereCachesAreClear) {
    Vq::SharedPtr<VqGroup> a = new VqGroup();
    Vq::SharedPtr<VqGroup> b = new VqGroup();
    Vq::SharedPtr<VqNode> c = new VqNode();
    a->appendChild(b.get());
    b->appendChild(c.get());
    c->setBBox(VqVec3f(0, 0, 0), VqVec3f(1, 1, 1));
    VqBox3<float> box = a->bBoxRaw();
    EXPECT_EQ(box.max, VqVec3f(1, 1, 1));

    // b alone forgets its box; a change below then stops at b.
    b->invalidateState(VqNode::VQ_INVAL_BBOX, false);
    c->invalidateState(VqNode::VQ_INVAL_BBOX, true);
    EXPECT_TRUE(b->isBBoxIndeterminate());
    EXPECT_FALSE(a->isBBoxIndeterminate());

    // An area change alone on a valid box still tells the parents.
    b->bBoxRaw();
    c->setBBox(VqVec3f(0, 0, 0), VqVec3f(2, 2, 2));
    a->bBoxRaw();
    b->bBoxRaw();
    c->invalidateState(VqNode::VQ_INVAL_AREA, true);
    EXPECT_TRUE(b->isBBoxIndeterminate());
    EXPECT_EQ(a->bBoxRaw().max, VqVec3f(2, 2, 2));

    // The ignore flag invalidates with 255, which leaves boxes alone.
    c->setIgnoreFlag(true);
    EXPECT_FALSE(a->isBBoxIndeterminate());

    // Modification travels up once.
    a->setModifiedFlag(false);
    b->setModifiedFlag(false);
    c->setModifiedFlag(false);
    c->setModifiedFlag(true);
    EXPECT_TRUE(a->isModified());
}

TEST_F(NodeTest, DownBitsReachOnlyCookedChildren) {
    Vq::SharedPtr<VqSwitch> sw = new VqSwitch();
    Vq::SharedPtr<TestState> states[2] = {new TestState(), new TestState()};
    Vq::SharedPtr<TestState> own = new TestState();
    VqNode* kids[2];
    for (int i = 0; i < 2; ++i) {
        kids[i] = new VqNode();
        sw->appendChild(kids[i]);
        kids[i]->instData(1, true)->_pState = states[i].get();
    }
    sw->setSelectedChild(1);
    sw->instData(1, true)->_pState = own.get();

    sw->invalidateState(0x1000, true);
    EXPECT_EQ(own->nDropped, 1);
    EXPECT_EQ(states[0]->nDropped, 0);
    EXPECT_EQ(states[1]->nDropped, 1);

    sw->invalidateState(VqNode::VQ_INVAL_STATE, true);
    EXPECT_EQ(sw->instData(1, false)->_pState, nullptr);
    EXPECT_EQ(kids[1]->instData(1, false)->_pState, nullptr);
    EXPECT_EQ(kids[0]->instData(1, false)->_pState.get(), states[0].get());

    // Nothing left to drop: nothing passed down.
    kids[1]->instData(1, true)->_pState = states[1].get();
    sw->invalidateState(VqNode::VQ_INVAL_STATE, true);
    EXPECT_EQ(kids[1]->instData(1, false)->_pState.get(), states[1].get());
}

TEST_F(NodeTest, GroupBoxesHoldTheirChildrenUnderTheirPlacements) {
    Vq::SharedPtr<VqGroup> root = new VqGroup();
    Vq::SharedPtr<VqGroup> placed = new VqGroup();
    Vq::SharedPtr<VqNode> leaf = new VqNode();
    leaf->setBBox(VqVec3f(0, 0, 0), VqVec3f(1, 1, 1));
    placed->appendChild(leaf.get());
    root->appendChild(placed.get());
    root->appendChild(new VqNode());

    Vq::SharedPtr<TestAttr> xf = new TestAttr();
    xf->_bPlaces = true;
    xf->_mPlacement[0][0] = 2.0f; // scale x by 2, then move by (10, 0, -1)
    xf->_mPlacement[3][0] = 10.0f;
    xf->_mPlacement[3][2] = -1.0f;
    placed->appendAttribute(xf.get());

    VqBox3<float> box = root->bBoxRaw();
    EXPECT_EQ(box.min, VqVec3f(10, 0, -1));
    EXPECT_EQ(box.max, VqVec3f(12, 1, 0));
    // Moving the leaf reaches the root again.
    leaf->setBBox(VqVec3f(0, 0, 0), VqVec3f(2, 1, 1));
    EXPECT_TRUE(root->isBBoxIndeterminate());
    EXPECT_EQ(root->bBoxRaw().max, VqVec3f(14, 1, 0));
}

TEST_F(NodeTest, AttributesNotifyTheirNodes) {
    Vq::SharedPtr<VqNode> n = new VqNode();
    Vq::SharedPtr<TestAttr> a = new TestAttr(1.0f);
    ASSERT_TRUE(n->appendAttribute(a.get()));
    n->setModifiedFlag(false);
    n->instData(1, true)->_pState = new TestState();
    ASSERT_TRUE(a->setFieldFinal(1, true));
    EXPECT_TRUE(n->isModified());
    EXPECT_EQ(n->instData(1, false)->_pState, nullptr);
    EXPECT_FALSE(a->setFieldFinal(3, true));
    EXPECT_EQ(lastError(), "iFieldNum < _numFields()");

    n->setModifiedFlag(false);
    ASSERT_TRUE(a->setPersistable(false));
    EXPECT_TRUE(n->isModified());
    ASSERT_TRUE(n->removeAttribute(a.get()));
    EXPECT_EQ(a->numNotificationClients(), 0u);
    EXPECT_EQ(n->findAttribute(TestAttr::classTypeID()), -1);
}

TEST_F(NodeTest, InstanceChildChecks) {
    Vq::SharedPtr<VqInstance> inst = new VqInstance();
    EXPECT_FALSE(inst->replaceChild(nullptr));
    EXPECT_EQ(lastError(), "child != __null");
    EXPECT_FALSE(inst->replaceChild(inst.get()));
    EXPECT_EQ(lastError(), "child != (VqNode*)this");
    Vq::SharedPtr<VqNode> c = new VqNode();
    ASSERT_TRUE(inst->replaceChild(c.get()));
    EXPECT_FALSE(inst->replaceChild(c.get()));
    EXPECT_EQ(lastError(), "_pChild != child");

    // A child inside another partition is refused while the check is on.
    Vq::SharedPtr<TestPartitionRoot> p1 = new TestPartitionRoot();
    Vq::SharedPtr<TestPartitionRoot> p2 = new TestPartitionRoot();
    Vq::SharedPtr<VqNode> foreign = new VqNode();
    p1->appendChild(inst.get());
    p2->appendChild(foreign.get());
    EXPECT_FALSE(inst->replaceChild(foreign.get()));
    EXPECT_EQ(lastError(), "Parent and child have to be in the same partition");
    EXPECT_EQ(lastCode(), VQ_ERR_PARTITION);
    inst->setPartitionCheck(false);
    ASSERT_TRUE(inst->replaceChild(foreign.get()));
    EXPECT_EQ(c->numParents(), 0);
    EXPECT_EQ(foreign->numParents(), 2);
}

TEST_F(NodeTest, DeepClonesKeepTheSharing) {
    Vq::SharedPtr<VqGroup> root = new VqGroup();
    Vq::SharedPtr<VqGroup> shared = new VqGroup();
    shared->appendChild(new VqNode());
    root->appendChild(shared.get());
    root->appendChild(shared.get());
    Vq::SharedPtr<VqInstance> inst = new VqInstance();
    inst->replaceChild(shared.get());
    root->appendChild(inst.get());
    root->appendAttribute(new TestAttr(5.0f));

    VqNode* copy = nullptr;
    ASSERT_TRUE(root->clone(copy, true));
    Vq::SharedPtr<VqNode> hold(copy);
    EXPECT_EQ(VqGraphCompare().compare(root.get(), copy), "");
    EXPECT_NE(copy->child(0), shared.get());
    EXPECT_EQ(copy->child(0), copy->child(1));
    EXPECT_EQ(copy->child(2)->child(0), copy->child(0));
    EXPECT_EQ(copy->child(0)->numParents(), 3);

    VqNode* shallow = nullptr;
    ASSERT_TRUE(root->clone(shallow, false));
    Vq::SharedPtr<VqNode> hold2(shallow);
    EXPECT_EQ(shallow->child(0), shared.get());
    EXPECT_EQ(shared->numParents(), 5);
}

TEST_F(NodeTest, InstanceDataFollowsTheKeys) {
    // Three parents: the middle one is reached with key bits 01 after the marker.
    Vq::SharedPtr<VqGroup> parents[3] = {new VqGroup(), new VqGroup(), new VqGroup()};
    Vq::SharedPtr<VqNode> n = new VqNode();
    for (auto& p : parents)
        p->appendChild(n.get());
    unsigned int key = 1;
    ASSERT_TRUE(VqNode::s_childKey(key, parents[1].get(), 0));
    EXPECT_EQ(key, 0b101u);
    VqNode* up = nullptr;
    unsigned int k = key;
    ASSERT_TRUE(VqNode::s_parentKey(k, n.get(), up));
    EXPECT_EQ(up, parents[1].get());
    EXPECT_EQ(k, 1u);

    EXPECT_EQ(n->travMask(key), 0xFFFFFFFFu);
    ASSERT_TRUE(n->setTravMask(key, 0x3u));
    EXPECT_EQ(n->travMask(key), 0x3u);
    EXPECT_EQ(n->travMask(0b100u), 0xFFFFFFFFu);
    EXPECT_TRUE(parents[1]->haveInstData(false));
    EXPECT_FALSE(parents[0]->haveInstData(false));
    EXPECT_TRUE(parents[1]->haveInstData(true));
    ASSERT_TRUE(parents[1]->removeAllInstData(true));
    EXPECT_FALSE(n->haveInstData(false));
    // Adding a parent changes the keys: the old records are dropped.
    n->setTravMask(key, 0x3u);
    Vq::SharedPtr<VqGroup> fourth = new VqGroup();
    fourth->appendChild(n.get());
    EXPECT_FALSE(n->haveInstData(false));
}

// A chain of 64 diamonds has 2^64 paths: asking the subgraph for records
// must visit each node once, not each path.
TEST_F(NodeTest, InstanceDataQueryVisitsSharedNodesOnce) {
    Vq::SharedPtr<VqGroup> top = new VqGroup();
    VqGroup* level = top.get();
    for (int i = 0; i < 64; ++i) {
        Vq::SharedPtr<VqGroup> left = new VqGroup(), right = new VqGroup(), below = new VqGroup();
        level->appendChild(left.get());
        level->appendChild(right.get());
        left->appendChild(below.get());
        right->appendChild(below.get());
        level = below.get();
    }
    EXPECT_FALSE(top->haveInstData(true));
    ASSERT_TRUE(level->setTravMask(1, 0x3u));
    EXPECT_TRUE(top->haveInstData(true));
}

} // namespace

namespace {

struct McEvent {
    const VqNode* node;
    const VqBase* who;
    Vq::BaseChange change;
};
std::vector<McEvent> s_mcEvents;

bool recordMc(const VqNode* node, const VqBase* who, Vq::BaseChange change) {
    s_mcEvents.push_back({node, who, change});
    return true;
}

TEST_F(NodeTest, NodesInAModelContextReportChildChanges) {
    s_mcEvents.clear();
    VqNode::setModelContextNotifier(&recordMc);
    Vq::SharedPtr<VqGroup> g = new VqGroup();
    Vq::SharedPtr<VqNode> c = new VqNode();
    g->appendChild(c.get());
    EXPECT_TRUE(s_mcEvents.empty());
    g->setInternalFlag(VqNode::VQ_NODE_IFLAG_MODELCONTEXT, true);
    g->removeChild(0);
    g->appendChild(c.get());
    VqNode::setModelContextNotifier(nullptr);
    ASSERT_EQ(s_mcEvents.size(), 2u);
    EXPECT_EQ(s_mcEvents[0].who, c.get());
    EXPECT_EQ(s_mcEvents[0].change, VqNode::VQ_CHANGE_CHILD_REMOVED);
    EXPECT_EQ(s_mcEvents[1].change, VqNode::VQ_CHANGE_CHILD_ADDED);
    EXPECT_EQ(g->bSphere().radius, -1.0f);
}

} // namespace
