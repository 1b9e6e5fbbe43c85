#include "VqGlobalObjectAliasTable.h"
#include "VqGroup.h"
#include "VqLateLoadedPropAtom.h"
#include "VqSceneTestUtil.h"
#include "VqStringPropAtom.h"
#include "VqTestSegment.h"

#include <algorithm>
#include <map>

namespace {

// The segment type of PMI data.
constexpr int kPmiSegment = 3;

// Segment services over a map of saved objects, with a switch that makes loads fail.
class FakeSegments : public VqLLSegmentIO {
public:
    int major = 10, minor = 0;
    bool failLoads = false;
    int nLoads = 0;
    std::map<VqGUID, Vq::SharedPtr<VqBase>> saved;
    std::vector<VqGUID> saves;

    bool fileVersion(int& ma, int& mi) const override {
        ma = major;
        mi = minor;
        return true;
    }
    bool writeVersion(int& ma, int& mi) const override { return fileVersion(ma, mi); }
    uint32_t segmentAlias(const VqGUID& g) const override { return g.hash() | 1u; }
    bool loadSegmentRoot(int, const VqGUID& g, int, Vq::SharedPtr<VqBase>& out) override {
        ++nLoads;
        if (failLoads) VQ_FAIL("FakeSegments", "loadSegmentRoot", "Short read", VQ_ERR_SHORT_READ);
        auto it = saved.find(g);
        if (it == saved.end()) VQ_FAIL("FakeSegments", "loadSegmentRoot", "no such segment", VQ_ERR_READ);
        VqBase* copy = nullptr;
        it->second->_clone(copy);
        out = copy;
        return true;
    }
    bool saveSegment(int, const VqGUID& g, int, const VqBase* obj) override {
        saves.push_back(g);
        saved[g] = const_cast<VqBase*>(obj);
        return true;
    }
};

using LateLoadTest = SceneTest;

TEST_F(LateLoadTest, EverySaveRollsANewSegmentGUID) {
    FakeSegments io;
    Vq::SharedPtr<VqLateLoadedPropAtom> ll = new VqLateLoadedPropAtom(VqGUID(), kPmiSegment);
    ASSERT_TRUE(ll->setObject(new VqGroup()));
    EXPECT_TRUE(ll->isLoaded());
    ASSERT_TRUE(ll->writeData(io));
    ASSERT_TRUE(ll->writeData(io));
    ASSERT_EQ(io.saves.size(), 2u);
    EXPECT_NE(io.saves[0], io.saves[1]);
    EXPECT_EQ(ll->guid(), io.saves[1]);
    // The object stays with the atom, shared under the new segment's alias.
    EXPECT_EQ(ll->object().get(), io.saved[io.saves[1]].get());
    EXPECT_EQ(g_pInstanceGlobalObjectAliasTable->objectHash(ll->goatHandle()), io.segmentAlias(ll->guid()));
}

TEST_F(LateLoadTest, AtomsOfOneSegmentShareOneLoad) {
    FakeSegments io;
    Vq::SharedPtr<VqLateLoadedPropAtom> writer = new VqLateLoadedPropAtom(VqGUID(), kPmiSegment);
    writer->setObject(new VqGroup());
    ASSERT_TRUE(writer->writeData(io));
    writer->clearGUID();

    VqGUID seg = io.saves.back();
    Vq::SharedPtr<VqLateLoadedPropAtom> a = new VqLateLoadedPropAtom(seg, kPmiSegment);
    Vq::SharedPtr<VqLateLoadedPropAtom> b = new VqLateLoadedPropAtom(seg, kPmiSegment);
    EXPECT_FALSE(a->object());
    ASSERT_TRUE(a->ensureData(io));
    ASSERT_TRUE(b->ensureData(io));
    EXPECT_EQ(io.nLoads, 1);
    ASSERT_TRUE(a->object());
    EXPECT_EQ(a->object().get(), b->object().get());
    EXPECT_EQ(g_pInstanceGlobalObjectAliasTable->objectRefCount(a->goatHandle()), 2u);

    // Unloading one keeps the object for the other; unloading both frees the entry.
    a->unloadData();
    EXPECT_FALSE(a->isLoaded());
    EXPECT_TRUE(b->object());
    b->unloadData();
    EXPECT_FALSE(b->object());
    ASSERT_TRUE(a->ensureData(io));
    EXPECT_EQ(io.nLoads, 2);
}

TEST_F(LateLoadTest, AFailedLoadClearsTheGUID) {
    FakeSegments io;
    io.failLoads = true;
    VqGUID seg;
    ASSERT_TRUE(VqGUID::createGUID(seg));
    Vq::SharedPtr<VqLateLoadedPropAtom> ll = new VqLateLoadedPropAtom(seg, kPmiSegment);
    EXPECT_FALSE(ll->ensureData(io));
    EXPECT_EQ(lastError(), "LLPA load failed");
    EXPECT_EQ(lastCode(), VQ_ERR_READ);
    EXPECT_EQ(VqErrorState::currentError()->methodName(), VqString("ensureData()"));
    EXPECT_TRUE(ll->guid().isNull());
    EXPECT_FALSE(ll->object());
    // Nothing left to load: later calls do nothing.
    io.failLoads = false;
    EXPECT_TRUE(ll->ensureData(io));
    EXPECT_EQ(io.nLoads, 1);
}

TEST_F(LateLoadTest, PropertyHoldersLoadAndSaveTheirLateLoadedValues) {
    FakeSegments io;
    Vq::SharedPtr<VqNode> n = new VqNode();
    Vq::SharedPtr<VqLateLoadedPropAtom> ll = new VqLateLoadedPropAtom(VqGUID(), kPmiSegment);
    ll->setObject(new VqGroup());
    ASSERT_TRUE(n->addProp(vqLLPropPMI, ll.get(), false));
    ASSERT_TRUE(VqPartition::setVersion(10, 0));
    ASSERT_TRUE(n->writeLLData(io));
    EXPECT_EQ(io.saves.size(), 1u);
    ll->unloadData();
    ASSERT_TRUE(n->ensureLLData(io));
    EXPECT_TRUE(ll->object());
    EXPECT_EQ(n->numProps(true), 0);
}

// A holder hands over every late-loaded value once, user property or not,
// after what the list held already, and nothing else.
TEST_F(LateLoadTest, HoldersListTheirLateLoadedValues) {
    Vq::SharedPtr<VqNode> n = new VqNode();
    Vq::SharedPtr<VqLateLoadedPropAtom> a = new VqLateLoadedPropAtom(VqGUID(), kPmiSegment);
    Vq::SharedPtr<VqLateLoadedPropAtom> b = new VqLateLoadedPropAtom(VqGUID(), kPmiSegment);
    ASSERT_TRUE(n->addProp(new VqStringPropAtom("first"), a.get(), false));
    ASSERT_TRUE(n->addProp(new VqStringPropAtom("plain"), new VqStringPropAtom("text")));
    ASSERT_TRUE(n->addProp(new VqStringPropAtom("second"), b.get(), false));
    std::vector<VqLateLoadedPropAtom*> out{b.get()};
    n->appendLateLoadedValues(out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0], b.get());
    std::sort(out.begin() + 1, out.end());
    EXPECT_EQ(out[1], std::min(a.get(), b.get()));
    EXPECT_EQ(out[2], std::max(a.get(), b.get()));

    Vq::SharedPtr<VqNode> none = new VqNode();
    none->appendLateLoadedValues(out);
    EXPECT_EQ(out.size(), 3u);
}

TEST_F(LateLoadTest, ElementsRoundTripAndNeedAGUIDInFormat10) {
    VqGUID seg;
    ASSERT_TRUE(VqGUID::createGUID(seg));
    for (auto [major, minor] : {std::pair{8, 1}, std::pair{9, 5}, std::pair{10, 0}}) {
        Vq::SharedPtr<VqLateLoadedPropAtom> ll = new VqLateLoadedPropAtom(seg, kPmiSegment);
        VqTestObjectStream os = VqTestObjectStream::forWriting(major, minor);
        ASSERT_TRUE(VqTestSegment::writeElement(*os, major, ll.get()));
        VqTestObjectStream in = VqTestObjectStream::forReading(os.bytes(), major, minor);
        Vq::SharedPtr<VqBase> obj;
        ASSERT_TRUE(VqTestSegment::readElement(*in, major, obj)) << lastError();
        auto* back = Vq::typeCast<VqLateLoadedPropAtom>(obj.get());
        ASSERT_TRUE(back);
        EXPECT_EQ(back->guid(), seg);
        EXPECT_EQ(back->segType(), kPmiSegment);
        EXPECT_FALSE(back->isUserProp());
        EXPECT_FALSE(back->isPersistable());
    }
    Vq::SharedPtr<VqLateLoadedPropAtom> blank = new VqLateLoadedPropAtom();
    VqTestObjectStream os = VqTestObjectStream::forWriting(10, 0);
    EXPECT_FALSE(VqPartition::writeLogicalElementV10(*os, blank.get()));
}

TEST_F(LateLoadTest, PersistableOnlyWithAPersistableObjectFromFormat8) {
    Vq::SharedPtr<VqLateLoadedPropAtom> ll = new VqLateLoadedPropAtom();
    ASSERT_TRUE(VqPartition::setVersion(9, 5));
    EXPECT_FALSE(ll->isPersistable());
    ll->setObject(new VqGroup());
    EXPECT_TRUE(ll->isPersistable());
    ASSERT_TRUE(VqPartition::setVersion(7, 0));
    EXPECT_FALSE(ll->isPersistable());
}

TEST_F(LateLoadTest, CopyOnWriteHandles) {
    Vq::SharedPtr<VqLateLoadedPropAtom> a = new VqLateLoadedPropAtom();
    Vq::SharedPtr<VqGroup> g = new VqGroup();
    a->setObject(g.get());
    Vq::CowGoatPtr b = *a;
    EXPECT_EQ(b.constData().get(), g.get());
    // A writer of a shared object gets a copy of its own.
    Vq::SharedPtr<VqBase> mine = b.nonConstData();
    ASSERT_TRUE(mine);
    EXPECT_NE(mine.get(), g.get());
    EXPECT_EQ(a->object().get(), g.get());
    // A private object is handed out as it is.
    EXPECT_EQ(b.nonConstData().get(), mine.get());
}

} // namespace
