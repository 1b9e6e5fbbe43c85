#include "VqGraphCompare.h"
#include "VqGroup.h"
#include "VqInstance.h"
#include "VqLOD.h"
#include "VqRangeLOD.h"
#include "VqSceneTestUtil.h"
#include "VqSwitch.h"
#include "VqTestSegment.h"

#include <cstring>
#include <tuple>

namespace {

struct Version {
    int major, minor;
};

// A graph with one node of each class, a shared subgraph, LOD and switch
// selections, and an attribute that is not persistable.
Vq::SharedPtr<VqGroup> buildGraph() {
    Vq::SharedPtr<VqGroup> root = new VqGroup();
    Vq::SharedPtr<VqNode> plain = new VqNode();
    plain->setIgnoreFlag(true);
    plain->appendAttribute(new TestAttr(1.5f));
    Vq::SharedPtr<TestAttr> transient = new TestAttr(2.5f);
    transient->setPersistable(false);
    plain->appendAttribute(transient.get());

    Vq::SharedPtr<VqGroup> shared = new VqGroup();
    shared->appendChild(new VqNode());

    Vq::SharedPtr<VqLOD> lod = new VqLOD();
    for (int i = 0; i < 3; ++i)
        lod->appendChild(new VqNode());
    lod->setRelativeQuality(0, 0.5f);
    lod->setRelativeQuality(1, 0.25f);
    lod->setRelativeQuality(2, 0.125f);
    lod->setForcedChild(1);

    Vq::SharedPtr<VqRangeLOD> range = new VqRangeLOD();
    range->appendChild(new VqNode());
    range->appendChild(new VqNode());
    range->setRangeLimits({10.0f, 20.0f});
    range->setCenter(VqVec3f(1.0f, 2.0f, 3.0f));

    Vq::SharedPtr<VqSwitch> sw = new VqSwitch();
    for (int i = 0; i < 3; ++i)
        sw->appendChild(new VqNode());
    sw->setSelectedChild(2);

    Vq::SharedPtr<VqInstance> inst = new VqInstance();
    inst->replaceChild(shared.get());

    for (VqNode* n : {plain.get(), static_cast<VqNode*>(shared.get()), static_cast<VqNode*>(lod.get()),
                      static_cast<VqNode*>(range.get()), static_cast<VqNode*>(sw.get()),
                      static_cast<VqNode*>(inst.get())})
        root->appendChild(n);
    return root;
}

uint32_t u32At(const std::vector<uint8_t>& b, size_t at) {
    uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}
void putU32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    std::memcpy(b.data() + at, &v, 4);
}

class NodeRoundTrip : public SceneTest, public ::testing::WithParamInterface<Version> {};

TEST_P(NodeRoundTrip, EveryNodeClassRoundTripsByteForByte) {
    const auto [major, minor] = GetParam();
    Vq::SharedPtr<VqGroup> root = buildGraph();
    std::vector<uint8_t> image = VqTestSegment::save(root.get(), major, minor);
    ASSERT_FALSE(image.empty()) << lastError();

    Vq::SharedPtr<VqNode> back = VqTestSegment::load(image, major, minor);
    ASSERT_TRUE(back) << lastError();
    VqGraphCompare cmp;
    cmp.lodSelection = false;
    EXPECT_EQ(cmp.compare(root.get(), back.get()), "");

    // Written again, the graph read gives the same bytes.
    EXPECT_EQ(VqTestSegment::save(back.get(), major, minor), image);

    // The attribute that is not persistable was left out.
    VqNode* plain = back->child(0);
    ASSERT_EQ(plain->numAttributes(), 1);
    VqAttribute* attr = nullptr;
    ASSERT_TRUE(plain->getAttribute(0, attr));
    EXPECT_EQ(static_cast<TestAttr*>(attr)->_fValue, 1.5f);
    EXPECT_TRUE(plain->isIgnored());

    // The shared group is one node with two parent links.
    VqNode* shared = back->child(1);
    EXPECT_EQ(back->child(5)->child(0), shared);
    EXPECT_EQ(shared->numParents(), 2);

    // The forced child is never stored; format 10 drops the qualities too.
    auto* lod = Vq::typeCast<VqLOD>(back->child(2));
    ASSERT_TRUE(lod);
    EXPECT_EQ(lod->forcedChild(), -1);
    const float* q = nullptr;
    int nq = 0;
    lod->relativeQualities(q, nq);
    if (major >= 10)
        EXPECT_EQ(nq, 0);
    else
        EXPECT_EQ(std::vector<float>(q, q + nq), (std::vector<float>{0.5f, 0.25f, 0.125f}));

    // Read nodes are unmodified and out of the load-fix-up state.
    EXPECT_FALSE(back->isModified());
    EXPECT_FALSE(back->internalFlag(VqNode::VQ_NODE_IFLAG_NEEDSLOADFIXUP));
    EXPECT_TRUE(back->isBBoxIndeterminate());
}

INSTANTIATE_TEST_SUITE_P(Versions, NodeRoundTrip,
                         ::testing::Values(Version{8, 1}, Version{9, 5}, Version{10, 0}),
                         [](const auto& info) {
                             return "V" + std::to_string(info.param.major) + "_" +
                                    std::to_string(info.param.minor);
                         });

// A plain node with the ignore flag and no attributes, field by field.
TEST_F(SceneTest, NodeElementLayouts) {
    Vq::SharedPtr<VqNode> n = new VqNode();
    n->setIgnoreFlag(true);
    n->setFlag(0x0004, true); // user flags are not stored

    std::vector<uint8_t> v10 = VqTestSegment::save(n.get(), 10, 0);
    ASSERT_GE(v10.size(), 34u);
    EXPECT_EQ(u32At(v10, 0), 30u); // GUID, base type, ID, then 9 bytes of node data
    VqGUID guid;
    std::memcpy(&guid, v10.data() + 4, 16);
    EXPECT_EQ(guid, VqGUID(CLSID_ZQNode));
    EXPECT_EQ(v10[20], 0); // base type: node
    EXPECT_EQ(u32At(v10, 21), 0u);
    EXPECT_EQ(v10[25], 1); // local version
    EXPECT_EQ(u32At(v10, 26), 1u);
    EXPECT_EQ(u32At(v10, 30), 0u);

    // Before format 9 the node's own ID opens its data and nothing else is versioned.
    std::vector<uint8_t> v81 = VqTestSegment::save(n.get(), 8, 1);
    EXPECT_EQ(u32At(v81, 0), 29u);
    EXPECT_EQ(v81[20], 0);
    EXPECT_EQ(u32At(v81, 21), 0u); // own ID
    EXPECT_EQ(u32At(v81, 25), 1u);
    EXPECT_EQ(u32At(v81, 29), 0u);
}

TEST_F(SceneTest, SwitchBeforeFormat9CarriesItsOwnVersion) {
    Vq::SharedPtr<VqSwitch> sw = new VqSwitch();
    std::vector<uint8_t> v81 = VqTestSegment::save(sw.get(), 8, 1);
    // node: ID, flags, count; group: count; switch: 16-bit version, selection.
    ASSERT_EQ(u32At(v81, 0), 17u + 12u + 4u + 2u + 4u);
    EXPECT_EQ(v81[37], 1);
    EXPECT_EQ(v81[38], 0);
    EXPECT_EQ(u32At(v81, 39), 0xFFFFFFFFu);
}

TEST_F(SceneTest, Version9LODMaskForcesItsLowestChild) {
    Vq::SharedPtr<VqLOD> lod = new VqLOD();
    for (int i = 0; i < 4; ++i)
        lod->appendChild(new VqNode());
    std::vector<uint8_t> image = VqTestSegment::save(lod.get(), 9, 5);
    // The mask is the last field of the LOD's element, the first of the segment.
    size_t maskAt = u32At(image, 0);
    ASSERT_EQ(u32At(image, maskAt), 0u);
    for (auto [mask, forced] : {std::pair<uint32_t, int>{0x4u, 2}, {0xCu, 2}, {0xFFFFFFFFu, -1}, {0u, -1}}) {
        putU32(image, maskAt, mask);
        Vq::SharedPtr<VqNode> back = VqTestSegment::load(image, 9, 5);
        ASSERT_TRUE(back);
        EXPECT_EQ(static_cast<VqLOD*>(back.get())->forcedChild(), forced) << mask;
    }
}

// Writes the graph's elements but leaves out those of the given objects.
std::vector<uint8_t> saveWithout(const VqNode* root, const std::vector<const VqBase*>& omitted) {
    VqTestObjectStream os = VqTestObjectStream::forWriting(10, 0);
    std::vector<const VqBase*> elements;
    std::vector<const VqPropBase*> holders;
    VqTestSegment::collect(root, elements, holders);
    for (const VqBase* e : elements) {
        if (std::find(omitted.begin(), omitted.end(), e) == omitted.end()) {
            EXPECT_TRUE(VqTestSegment::writeElement(*os, 10, e));
        }
    }
    EXPECT_TRUE(VqTestSegment::writeElement(*os, 10, nullptr));
    EXPECT_TRUE(VqTestSegment::writeElement(*os, 10, nullptr));
    EXPECT_TRUE(VqPropBase::writePropertyTable(*os, {}));
    return os.bytes();
}

TEST_F(SceneTest, ReferencesToObjectsNotInTheSegmentAreDroppedAtFixup) {
    Vq::SharedPtr<VqGroup> root = new VqGroup();
    Vq::SharedPtr<VqNode> kept = new VqNode();
    Vq::SharedPtr<VqNode> lost = new VqNode();
    Vq::SharedPtr<TestAttr> missing = new TestAttr(3.0f);
    root->appendAttribute(missing.get());
    root->appendAttribute(new TestAttr(4.0f));
    root->appendChild(lost.get());
    root->appendChild(kept.get());

    std::vector<uint8_t> image = saveWithout(root.get(), {missing.get(), lost.get()});
    Vq::SharedPtr<VqNode> back = VqTestSegment::load(image, 10, 0);
    ASSERT_TRUE(back) << lastError();
    ASSERT_EQ(back->numChildren(), 1u);
    EXPECT_EQ(back->child(0)->numParents(), 1);
    ASSERT_EQ(back->numAttributes(), 1);
    VqAttribute* attr = nullptr;
    back->getAttribute(0, attr);
    EXPECT_EQ(static_cast<TestAttr*>(attr)->_fValue, 4.0f);
    // The node is a client of the attribute that was kept.
    const std::vector<const VqNotifyBase*> clients = attr->notificationClients();
    ASSERT_EQ(clients.size(), 1u);
    EXPECT_EQ(clients[0], back.get());
}

TEST_F(SceneTest, ChildThatIsNotANodeIsRefused) {
    Vq::SharedPtr<VqGroup> root = new VqGroup();
    Vq::SharedPtr<VqNode> leaf = new VqNode();
    leaf->appendAttribute(new TestAttr(1.0f));
    root->appendChild(leaf.get());
    std::vector<uint8_t> image = VqTestSegment::save(root.get(), 10, 0);
    // IDs: group 0, leaf 1, attribute 2. Point the group's child at the attribute.
    size_t childAt = u32At(image, 0);
    ASSERT_EQ(u32At(image, childAt), 1u);
    putU32(image, childAt, 2u);

    VqTestObjectStream os = VqTestObjectStream::forReading(image, 10, 0);
    VqTestSegment::Result r;
    EXPECT_FALSE(VqTestSegment::read(*os, 10, r));
    EXPECT_EQ(lastError(), "Child object is not a node");
    EXPECT_EQ(lastCode(), VQ_ERR_CORRUPT);
    ASSERT_TRUE(r.root());
    EXPECT_EQ(r.root()->numChildren(), 0u);
}

TEST_F(SceneTest, NodesThatDieBeforeTheirFixupReleaseNothing) {
    Vq::SharedPtr<VqGroup> root = buildGraph();
    std::vector<uint8_t> image = VqTestSegment::save(root.get(), 9, 5);
    {
        VqTestObjectStream os = VqTestObjectStream::forReading(image, 9, 5);
        std::vector<Vq::SharedPtr<VqBase>> objects;
        for (;;) {
            Vq::SharedPtr<VqBase> obj;
            ASSERT_TRUE(VqTestSegment::readElement(*os, 9, obj));
            if (!obj) break;
            objects.push_back(obj);
        }
        ASSERT_TRUE(os->setSwizzler(nullptr));
        // Everything dies here with uncounted slots.
    }
    // Nodes that die holding only object IDs (a half-read element) also release nothing.
    std::vector<uint8_t> cut(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(u32At(image, 0)));
    VqTestObjectStream os = VqTestObjectStream::forReading(cut, 9, 5);
    Vq::SharedPtr<VqBase> obj;
    EXPECT_FALSE(VqTestSegment::readElement(*os, 9, obj));
    EXPECT_FALSE(obj);
}

TEST_F(SceneTest, CountsAreCheckedAgainstTheElement) {
    Vq::SharedPtr<VqGroup> g = new VqGroup();
    g->appendChild(new VqNode());
    std::vector<uint8_t> image = VqTestSegment::save(g.get(), 10, 0);
    // Node data: version at 25, flags at 26, attribute count at 30.
    for (size_t at : {size_t(30), size_t(35)}) {
        std::vector<uint8_t> bad = image;
        putU32(bad, at, 1000000u);
        VqTestObjectStream os = VqTestObjectStream::forReading(bad, 10, 0);
        VqTestSegment::Result r;
        EXPECT_FALSE(VqTestSegment::read(*os, 10, r)) << at;
        EXPECT_EQ(lastError(), "Short read") << at;
        EXPECT_EQ(lastCode(), VQ_ERR_SHORT_READ) << at;
    }
    // The library keeps working.
    EXPECT_TRUE(VqTestSegment::load(image, 10, 0));
}

} // namespace
