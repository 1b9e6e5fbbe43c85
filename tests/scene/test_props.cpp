#include "VqBasePtrPropAtom.h"
#include "VqDataPropAtom.h"
#include "VqFloat32PropAtom.h"
#include "VqGraphCompare.h"
#include "VqGroup.h"
#include "VqInt32PropAtom.h"
#include "VqLateLoadedPropAtom.h"
#include "VqSceneTestUtil.h"
#include "VqStdException.h"
#include "VqStringPropAtom.h"
#include "VqTestSegment.h"
#include "VqThumbnailSet.h"
#include "VqVec4fPropAtom.h"
#include "VqVoidPtrPropAtom.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

// Counts the notifications a holder sends.
class Listener : public VqNotifyBase {
public:
    mutable int nChanges = 0;
    mutable Vq::BaseChange last = 0;
    bool receiveNotification(const VqBase*, Vq::BaseChange change) const override {
        ++nChanges;
        last = change;
        return true;
    }
};

using PropTest = SceneTest;

TEST_F(PropTest, KeysCompareByValue) {
    Vq::SharedPtr<VqNode> n = new VqNode();
    Vq::SharedPtr<VqStringPropAtom> k1 = new VqStringPropAtom("colour");
    Vq::SharedPtr<VqStringPropAtom> k2 = new VqStringPropAtom("colour");
    Vq::SharedPtr<VqInt32PropAtom> v1 = new VqInt32PropAtom(1);
    Vq::SharedPtr<VqInt32PropAtom> v2 = new VqInt32PropAtom(2);
    ASSERT_TRUE(n->addProp(k1.get(), v1.get()));
    ASSERT_TRUE(n->addProp(k2.get(), v2.get()));
    EXPECT_EQ(n->numProps(), 1);
    VqPropAtom* got = nullptr;
    ASSERT_TRUE(n->propValue(k1.get(), got));
    EXPECT_EQ(got, v2.get());
    // The replaced value was released by the table.
    EXPECT_EQ(v1->refCount(), 1u);

    // Atoms of other types never match, even with the same bits.
    Vq::SharedPtr<VqFloat32PropAtom> fk = new VqFloat32PropAtom(0.0f);
    Vq::SharedPtr<VqInt32PropAtom> ik = new VqInt32PropAtom(0);
    ASSERT_TRUE(n->addProp(fk.get(), v1.get()));
    ASSERT_TRUE(n->addProp(ik.get(), v2.get()));
    EXPECT_EQ(n->numProps(), 3);
    ASSERT_TRUE(n->removeProp(Vq::SharedPtr<VqInt32PropAtom>(new VqInt32PropAtom(0)).get()));
    EXPECT_EQ(n->numProps(), 2);
}

TEST_F(PropTest, ArgumentChecksLeaveTheTableUnchanged) {
    Vq::SharedPtr<VqNode> n = new VqNode();
    Vq::SharedPtr<VqStringPropAtom> k = new VqStringPropAtom("k");
    Vq::SharedPtr<VqInt32PropAtom> v = new VqInt32PropAtom(1);
    EXPECT_FALSE(n->addProp(nullptr, v.get()));
    EXPECT_EQ(lastError(), "pKey != __null");
    EXPECT_FALSE(n->addProp(k.get(), nullptr));
    EXPECT_EQ(lastError(), "pVal != __null");
    Vq::SharedPtr<VqLateLoadedPropAtom> ll = new VqLateLoadedPropAtom();
    EXPECT_FALSE(n->addProp(k.get(), ll.get(), true));
    EXPECT_EQ(lastError(), "NonUser PropValue");
    EXPECT_EQ(lastCode(), VQ_ERR_ARGUMENT);
    EXPECT_EQ(n->numProps(false), 0);
}

TEST_F(PropTest, UserFormsHideNonUserValues) {
    Vq::SharedPtr<VqNode> n = new VqNode();
    Vq::SharedPtr<VqStringPropAtom> k = new VqStringPropAtom("VQ_LLPROP_PMI");
    Vq::SharedPtr<VqLateLoadedPropAtom> ll = new VqLateLoadedPropAtom();
    ASSERT_TRUE(n->addProp(k.get(), ll.get(), false));
    EXPECT_EQ(n->numProps(true), 0);
    EXPECT_EQ(n->numProps(false), 1);
    VqPropAtom *key = nullptr, *value = nullptr;
    n->prop(0, key, value, true);
    EXPECT_EQ(value, nullptr);
    n->propValue(k.get(), value, true);
    EXPECT_EQ(value, nullptr);
    ASSERT_TRUE(n->removeAllProps(true));
    EXPECT_EQ(n->numProps(false), 1);
    ASSERT_TRUE(n->removeProp(k.get(), false));
    EXPECT_EQ(n->numProps(false), 0);
}

TEST_F(PropTest, AddingNotifiesAndPersistableValuesModifyTheNode) {
    Vq::SharedPtr<VqNode> n = new VqNode();
    Listener l;
    n->addNotification(&l);
    n->setModifiedFlag(false);
    Vq::SharedPtr<VqStringPropAtom> k = new VqStringPropAtom("k");
    ASSERT_TRUE(n->addProp(k.get(), new VqVoidPtrPropAtom(&l)));
    EXPECT_EQ(l.nChanges, 1);
    EXPECT_EQ(l.last, VqPropBase::VQ_PROP_CHANGED);
    EXPECT_FALSE(n->isModified());
    ASSERT_TRUE(n->addProp(k.get(), new VqInt32PropAtom(4)));
    EXPECT_TRUE(n->isModified());
    n->removeNotification(&l);
}

TEST_F(PropTest, EqualTextsShareOneInternedEntry) {
    const int before = VqStringPropAtom::getInternTableSize();
    {
        Vq::SharedPtr<VqStringPropAtom> a = new VqStringPropAtom("shared text");
        Vq::SharedPtr<VqStringPropAtom> b = new VqStringPropAtom("shared text");
        EXPECT_EQ(VqStringPropAtom::getInternTableSize(), before + 1);
        EXPECT_EQ(VqStringPropAtom::getInternRefCount("shared text"), 2);
        EXPECT_TRUE(*a == *b);
        EXPECT_EQ(a->hash(), VqString("shared text").hash());
        VqPropAtom* copy = nullptr;
        ASSERT_TRUE(a->clone(copy));
        Vq::SharedPtr<VqPropAtom> hold(copy);
        EXPECT_EQ(VqStringPropAtom::getInternRefCount("shared text"), 3);
        b->setValue("other");
        EXPECT_EQ(VqStringPropAtom::getInternRefCount("shared text"), 2);
    }
    EXPECT_EQ(VqStringPropAtom::getInternRefCount("shared text"), 0);
    EXPECT_EQ(VqStringPropAtom::getInternTableSize(), before);

    Vq::SharedPtr<VqStringPropAtom> empty = new VqStringPropAtom();
    try {
        empty->value();
        ADD_FAILURE() << "no exception";
    } catch (const Vq::StdException& e) {
        EXPECT_STREQ(e.description(), "_sIter.valid()");
    }
}

TEST(PropLifetime, InternTableAndKeysFollowTheLibrary) {
    ASSERT_TRUE(VqLib::init());
    ASSERT_TRUE(vqLLPropBBHier);
    EXPECT_EQ(vqLLPropBBHier->value(), VqString("VQ_LLPROP_BBHIER"));
    VqLib::fini();
    EXPECT_EQ(vqLLPropBBHier, nullptr);
    EXPECT_THROW(VqStringPropAtom::getInternTableSize(), Vq::StdException);
    // A second start builds them again.
    ASSERT_TRUE(VqLib::init());
    ASSERT_TRUE(vqLLPropMetaData);
    EXPECT_EQ(vqLLPropMetaData->value(), VqString("VQ_LLPROP_METADATA"));
    EXPECT_EQ(VqStringPropAtom::getInternTableSize(), 14);
    VqLib::fini();
}

TEST_F(PropTest, ConcurrentWritersShareOneTable) {
    struct Probe : VqNode {
        using VqPropBase::_table;
    };
    Vq::SharedPtr<Probe> n = new Probe();
    n->setModifiedFlag(true);
    auto work = [&n](int base) {
        for (int i = 0; i < 200; ++i) {
            Vq::SharedPtr<VqInt32PropAtom> k = new VqInt32PropAtom(base + i);
            Vq::SharedPtr<VqInt32PropAtom> v = new VqInt32PropAtom(i);
            n->addProp(k.get(), v.get());
            VqPropAtom* got = nullptr;
            n->propValue(k.get(), got);
            EXPECT_TRUE(got);
        }
    };
    std::thread a(work, 0), b(work, 1000);
    a.join();
    b.join();
    EXPECT_EQ(n->numProps(), 400);

    // A writer waits while the table is read, and a reader reading it again
    // meanwhile is not held up behind the waiting writer.
    VqPropBase::PropTable* t = &n->_table();
    t->_lock.lock_shared();
    std::thread c(work, 2000);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(n->numProps(), 400);
    t->_lock.unlock_shared();
    c.join();
    EXPECT_EQ(n->numProps(), 600);
}

// Assigning one holder's properties to another replaces the pairs in place:
// the late-loaded values come along (a save asks for them through a flag the
// holder keeps), assigning an empty holder empties the table, and copies stay
// independent of their source.
TEST_F(PropTest, AssignmentReplacesPairsAndCarriesLateLoadedValues) {
    Vq::SharedPtr<VqNode> a = new VqNode(), b = new VqNode(), empty = new VqNode();
    Vq::SharedPtr<VqStringPropAtom> k = new VqStringPropAtom("k"), l = new VqStringPropAtom("l");
    Vq::SharedPtr<VqLateLoadedPropAtom> ll = new VqLateLoadedPropAtom();
    ASSERT_TRUE(a->addProp(k.get(), new VqInt32PropAtom(1)));
    ASSERT_TRUE(b->addProp(l.get(), new VqInt32PropAtom(2)));
    ASSERT_TRUE(b->addProp(k.get(), ll.get(), false));

    static_cast<VqPropBase&>(*a) = *b;
    EXPECT_EQ(a->numProps(false), 2);
    EXPECT_EQ(a->propValue(k.get()).get(), ll.get());
    std::vector<VqLateLoadedPropAtom*> found;
    a->appendLateLoadedValues(found);
    EXPECT_EQ(found, std::vector<VqLateLoadedPropAtom*>{ll.get()});

    // The copy is its own: changing it leaves the source alone.
    ASSERT_TRUE(a->removeProp(l.get()));
    EXPECT_EQ(b->numProps(false), 2);
    static_cast<VqPropBase&>(*a) = *a;
    EXPECT_EQ(a->numProps(false), 1);

    static_cast<VqPropBase&>(*a) = *empty;
    EXPECT_EQ(a->numProps(false), 0);
    EXPECT_EQ(a->propValue(k.get()), nullptr);

    // A copy made by the copy constructor starts with the same pairs.
    VqBase* copy = nullptr;
    ASSERT_TRUE(static_cast<const VqBase&>(*b)._clone(copy));
    Vq::SharedPtr<VqNode> c = static_cast<VqNode*>(copy);
    EXPECT_EQ(c->numProps(false), 2);
    found.clear();
    c->appendLateLoadedValues(found);
    EXPECT_EQ(found.size(), 1u);
}

// Readers reach a holder's table without a lock of the holder while another
// thread assigns other holders' pairs to it and adds to it: they see whole
// tables, never a freed one (run under the thread checker as well).
TEST_F(PropTest, ReadersRaceAssignmentAndAdditions) {
    Vq::SharedPtr<VqNode> target = new VqNode(), one = new VqNode(), two = new VqNode();
    Vq::SharedPtr<VqStringPropAtom> k = new VqStringPropAtom("k");
    ASSERT_TRUE(one->addProp(k.get(), new VqInt32PropAtom(1)));
    ASSERT_TRUE(two->addProp(k.get(), new VqInt32PropAtom(2)));
    ASSERT_TRUE(two->addProp(new VqStringPropAtom("j"), new VqLateLoadedPropAtom(), false));
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) {
            static_cast<VqPropBase&>(*target) = i % 2 ? *one : *two;
            target->addProp(new VqStringPropAtom("extra"), new VqInt32PropAtom(i));
        }
        done = true;
    });
    int bad = 0;
    while (!done) {
        Vq::SharedPtr<VqPropAtom> v = target->propValue(k.get());
        auto* n = Vq::typeCast<VqInt32PropAtom>(v.get());
        if (v && (!n || (n->value() != 1 && n->value() != 2))) ++bad;
        if (target->numProps(false) > 3) ++bad;
        std::vector<VqLateLoadedPropAtom*> lls;
        target->appendLateLoadedValues(lls);
        if (lls.size() > 1) ++bad;
    }
    writer.join();
    EXPECT_EQ(bad, 0);
}

// ---- property tables in files

struct PropGraph {
    Vq::SharedPtr<VqGroup> root = new VqGroup();
    Vq::SharedPtr<VqNode> child = new VqNode();
    PropGraph() {
        root->appendChild(child.get());
        child->addProp(new VqStringPropAtom("name"), new VqStringPropAtom("bracket"));
        child->addProp(new VqStringPropAtom("count"), new VqInt32PropAtom(7));
        child->addProp(new VqStringPropAtom("mass"), new VqFloat32PropAtom(2.5f));
        child->addProp(new VqStringPropAtom("colour"), new VqVec4fPropAtom(VqVec4f(1.0f, 0.5f, 0.25f, 1.0f)));
        child->addProp(new VqStringPropAtom("owner"), new VqBasePtrPropAtom(root.get()));
        child->addProp(new VqStringPropAtom("scratch"), new VqVoidPtrPropAtom(this));
        Vq::SharedPtr<VqInt32PropAtom> flagged = new VqInt32PropAtom(1);
        flagged->setFreeBits(0x5A);
        root->addProp(new VqStringPropAtom("flagged"), flagged.get());
    }
};

class PropTableRoundTrip : public SceneTest, public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(PropTableRoundTrip, PersistablePairsRoundTrip) {
    auto [major, minor] = GetParam();
    PropGraph g;
    std::vector<uint8_t> image = VqTestSegment::save(g.root.get(), major, minor);
    ASSERT_FALSE(image.empty()) << lastError();
    Vq::SharedPtr<VqNode> back = VqTestSegment::load(image, major, minor);
    ASSERT_TRUE(back) << lastError();
    EXPECT_EQ(VqGraphCompare().compare(g.root.get(), back.get()), "");
    VqNode* child = back->child(0);
    // The pointer pair was not written, nor the four floats before 9.4; the
    // object reference points into the graph read.
    EXPECT_EQ(child->numProps(), major >= 9 ? 5 : 4);
    VqPropAtom* owner = nullptr;
    child->propValue(Vq::SharedPtr<VqStringPropAtom>(new VqStringPropAtom("owner")).get(), owner);
    ASSERT_TRUE(owner);
    EXPECT_EQ(static_cast<VqBasePtrPropAtom*>(owner)->value(), back.get());
    EXPECT_EQ(VqTestSegment::save(back.get(), major, minor), image);
}

INSTANTIATE_TEST_SUITE_P(Versions, PropTableRoundTrip,
                         ::testing::Values(std::pair{8, 1}, std::pair{9, 5}, std::pair{10, 0}));

TEST_F(PropTest, Vec4fNeedsFormat94) {
    Vq::SharedPtr<VqNode> n = new VqNode();
    Vq::SharedPtr<VqVec4fPropAtom> v = new VqVec4fPropAtom(VqVec4f(1, 2, 3, 4));
    n->addProp(new VqStringPropAtom("c"), v.get());

    ASSERT_TRUE(VqPartition::setVersion(9, 3));
    EXPECT_FALSE(v->isPersistable());
    Vq::SharedPtr<VqNode> back93 = VqTestSegment::load(VqTestSegment::save(n.get(), 9, 3), 9, 3);
    ASSERT_TRUE(back93);
    EXPECT_EQ(back93->numProps(), 0);

    int major = 7, minor = 0;
    ASSERT_TRUE(n->getMinimumVQVersion(major, minor));
    EXPECT_EQ(major * 10 + minor, 94);

    // From 9.4 the atom is written without the atom level: version, then four floats.
    VqTestObjectStream os = VqTestObjectStream::forWriting(9, 4);
    ASSERT_TRUE(VqPartition::writeLogicalElementV9(*os, v.get()));
    std::vector<uint8_t> b = os.bytes();
    ASSERT_EQ(b.size(), 4u + 21u + 2u + 16u);
    float f[4];
    std::memcpy(f, b.data() + 27, 16);
    EXPECT_EQ(f[3], 4.0f);
    Vq::SharedPtr<VqNode> back94 = VqTestSegment::load(VqTestSegment::save(n.get(), 9, 4), 9, 4);
    ASSERT_TRUE(back94);
    EXPECT_EQ(VqGraphCompare().compare(n.get(), back94.get()), "");
}

// A property table written by hand: version, holders, pairs, terminators.
std::vector<uint8_t> tableImage(short version, const std::vector<std::vector<int>>& holders) {
    VqTestObjectStream os = VqTestObjectStream::forWriting(10, 0);
    os->write(version);
    os->write(static_cast<int>(holders.size()));
    for (const auto& h : holders)
        for (int v : h)
            os->write(v);
    return os.bytes();
}

TEST_F(PropTest, TablesOfOtherVersionsAreRefused) {
    for (auto [version, code] : {std::pair<short, int>{2, VQ_ERR_TOO_NEW}, {0, VQ_ERR_TOO_OLD}}) {
        VqTestObjectStream os = VqTestObjectStream::forReading(tableImage(version, {}), 10, 0);
        EXPECT_FALSE(VqPropBase::readPropertyTable(*os));
        EXPECT_EQ(lastError(), "Unable to read");
        EXPECT_EQ(lastCode(), code);
    }
}

TEST_F(PropTest, PairsOfUnknownHoldersAndKeysAreDropped) {
    Vq::SharedPtr<VqNode> holder = new VqNode();
    Vq::SharedPtr<VqStringPropAtom> key = new VqStringPropAtom("k");
    Vq::SharedPtr<VqInt32PropAtom> value = new VqInt32PropAtom(3);
    std::vector<uint8_t> image = tableImage(1, {{0, 1, 2, 9, 2, 0}, {7, 1, 2, 0}, {0, 0}});
    VqTestObjectStream os = VqTestObjectStream::forReading(image, 10, 0);
    bool ok = true;
    os->registerPtr(static_cast<const VqBase*>(holder.get()), 0, &ok);
    os->registerPtr(static_cast<const VqBase*>(key.get()), 1, &ok);
    os->registerPtr(static_cast<const VqBase*>(value.get()), 2, &ok);
    ASSERT_TRUE(VqPropBase::readPropertyTable(*os)) << lastError();
    // Key 9 and holder 7 are not in the segment.
    EXPECT_EQ(holder->numProps(), 1);

    // A holder count beyond what the stream holds is refused before anything is read.
    std::vector<uint8_t> bad = tableImage(1, {});
    int huge = 1 << 28;
    std::memcpy(bad.data() + 2, &huge, 4);
    VqTestObjectStream os2 = VqTestObjectStream::forReading(bad, 10, 0);
    EXPECT_FALSE(VqPropBase::readPropertyTable(*os2));
}

// A table adds a holder's pairs as adds one after the other would: into a
// table that already holds pairs, in hash order, a later value of a key
// replacing an earlier one, whether in the same run of pairs or in another
// run for the same holder; a late-loaded value among them is found again.
TEST_F(PropTest, TablePairsAddAsSingleAddsWould) {
    Vq::SharedPtr<VqNode> a = new VqNode(), b = new VqNode(), refA = new VqNode(), refB = new VqNode();
    std::vector<Vq::SharedPtr<VqPropAtom>> keys, values;
    for (const char* k : {"k1", "k2", "k3"})
        keys.push_back(new VqStringPropAtom(k));
    for (int i = 0; i < 5; ++i)
        values.push_back(new VqInt32PropAtom(i));
    Vq::SharedPtr<VqLateLoadedPropAtom> ll = new VqLateLoadedPropAtom();
    values.push_back(ll.get());
    for (VqNode* n : {a.get(), refA.get()})
        n->_addPropInternal(keys[0].get(), values[0].get());
    // IDs: holders 1 and 2, keys 3 to 5, values 6 to 11 (11 late-loaded).
    std::vector<uint8_t> image =
        tableImage(1, {{1, 4, 7, 3, 8, 5, 11, 4, 9, 0}, {2, 5, 10, 0}, {1, 3, 10, 0}});
    VqTestObjectStream os = VqTestObjectStream::forReading(image, 10, 0);
    bool ok = true;
    int id = 1;
    for (VqBase* o : {static_cast<VqBase*>(a.get()), static_cast<VqBase*>(b.get())})
        os->registerPtr(o, id++, &ok);
    for (const auto& k : keys)
        os->registerPtr(static_cast<const VqBase*>(k.get()), id++, &ok);
    for (const auto& v : values)
        os->registerPtr(static_cast<const VqBase*>(v.get()), id++, &ok);
    ASSERT_TRUE(VqPropBase::readPropertyTable(*os)) << lastError();

    for (auto [k, v] : {std::pair{1, 1}, {0, 2}, {2, 5}, {1, 3}, {0, 4}})
        refA->_addPropInternal(keys[k].get(), values[v].get());
    refB->_addPropInternal(keys[2].get(), values[4].get());
    for (auto [got, want] : {std::pair{a.get(), refA.get()}, {b.get(), refB.get()}}) {
        ASSERT_EQ(got->numProps(false), want->numProps(false));
        for (int i = 0; i < want->numProps(false); ++i) {
            VqPropAtom *gk = nullptr, *gv = nullptr, *wk = nullptr, *wv = nullptr;
            got->prop(i, gk, gv, false);
            want->prop(i, wk, wv, false);
            EXPECT_EQ(gk, wk) << i;
            EXPECT_EQ(gv, wv) << i;
        }
    }
    std::vector<VqLateLoadedPropAtom*> late;
    a->appendLateLoadedValues(late);
    EXPECT_EQ(late, std::vector<VqLateLoadedPropAtom*>{ll.get()});
    late.clear();
    b->appendLateLoadedValues(late);
    EXPECT_TRUE(late.empty());
}

TEST_F(PropTest, BoundingBoxHierarchyPairsFollowTheReadFlag) {
    Vq::SharedPtr<VqNode> n = new VqNode();
    Vq::SharedPtr<VqStringPropAtom> bbKey = new VqStringPropAtom("VQ_LLPROP_BBHIER");
    n->addProp(bbKey.get(), new VqInt32PropAtom(1));
    n->addProp(new VqStringPropAtom("other"), new VqInt32PropAtom(2));
    std::vector<uint8_t> image = VqTestSegment::save(n.get(), 10, 0);
    Vq::SharedPtr<VqNode> with = VqTestSegment::load(image, 10, 0, true);
    Vq::SharedPtr<VqNode> without = VqTestSegment::load(image, 10, 0, false);
    ASSERT_TRUE(with && without);
    EXPECT_EQ(with->numProps(), 2);
    EXPECT_EQ(without->numProps(), 1);
    VqPropAtom* v = nullptr;
    without->propValue(bbKey.get(), v);
    EXPECT_EQ(v, nullptr);
}

// Element of a string atom in the older format-10 layout: the atom level of
// local version 1 without fields, then u8, u32, a 16-bit version and the text.
std::vector<uint8_t> oldStringElement(short stringVersion) {
    VqTestObjectStream os = VqTestObjectStream::forWriting(10, 0);
    os->beginWrite();
    os->write(VqGUID(CLSID_ZQStringPropAtom));
    os->write(static_cast<unsigned char>(5));
    os->write(0);
    os->write(static_cast<unsigned char>(1));
    os->write(static_cast<unsigned char>(3));
    os->write(0x12345678u);
    os->write(stringVersion);
    os->write(VqString("legacy"));
    os->endWrite();
    return os.bytes();
}

TEST_F(PropTest, OldVersion10StringLayoutReads) {
    VqTestObjectStream os = VqTestObjectStream::forReading(oldStringElement(1), 10, 0);
    Vq::SharedPtr<VqBase> obj;
    ASSERT_TRUE(VqPartition::readLogicalElementV10(*os, obj)) << lastError();
    auto* s = Vq::typeCast<VqStringPropAtom>(obj.get());
    ASSERT_TRUE(s);
    EXPECT_EQ(s->value(), VqString("legacy"));
    EXPECT_TRUE(s->stateWord() & VqPropAtom::VQ_PROPATOM_OLD_LAYOUT);
    EXPECT_TRUE(s->isPersistable());

    VqTestObjectStream bad = VqTestObjectStream::forReading(oldStringElement(2), 10, 0);
    EXPECT_FALSE(VqPartition::readLogicalElementV10(*bad, obj));
}

TEST_F(PropTest, DataAtomsAreWrittenOnlyBeforeFormat8) {
    Vq::SharedPtr<VqDataPropAtom> d = new VqDataPropAtom(VqSID{1234});
    ASSERT_TRUE(VqPartition::setVersion(8, 0));
    EXPECT_FALSE(d->isPersistable());
    VqTestObjectStream os = VqTestObjectStream::forWriting(7, 0);
    EXPECT_TRUE(d->isPersistable());
    ASSERT_TRUE(VqPartition::writeLogicalElement(*os, d.get()));
    VqTestObjectStream in = VqTestObjectStream::forReading(os.bytes(), 7, 0);
    VqBase* raw = nullptr;
    ASSERT_TRUE(VqPartition::readLogicalElement(*in, raw));
    Vq::SharedPtr<VqBase> hold(raw);
    auto* back = Vq::typeCast<VqDataPropAtom>(raw);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->sid().offset, 1234);
    // What was read from a file is not written again.
    EXPECT_FALSE(back->isPersistable());
}

TEST_F(PropTest, ThumbnailSetsRoundTripAndRefuseBadData) {
    VqThumbnailData t;
    unsigned char rgb[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    EXPECT_FALSE(t.setImageData(2, 2, VqThumbnailData::RawRGB, nullptr, 12));
    EXPECT_EQ(lastError(), "pImageData != __null");
    EXPECT_FALSE(t.setImageData(0, 2, VqThumbnailData::RawRGB, rgb, 12));
    EXPECT_EQ(lastError(), "cWidth > 0 && cHeight > 0");
    ASSERT_TRUE(t.setImageData(2, 2, VqThumbnailData::RawRGB, rgb, 12));
    Vq::SharedPtr<VqThumbnailSet> set = new VqThumbnailSet();
    ASSERT_TRUE(set->addThumbnail(t));
    ASSERT_TRUE(set->addThumbnail(t));

    VqTestObjectStream os = VqTestObjectStream::forWriting(10, 0);
    ASSERT_TRUE(set->serialize(*os));
    std::vector<uint8_t> image = os.bytes();
    ASSERT_EQ(image.size(), 2u + 4u + 2u * (2u + 16u + 12u));
    Vq::SharedPtr<VqThumbnailSet> back = new VqThumbnailSet();
    VqTestObjectStream in = VqTestObjectStream::forReading(image, 10, 0);
    ASSERT_TRUE(back->deserialize(*in));
    const VqThumbnailData* got = nullptr;
    ASSERT_TRUE(back->getThumbnail(got, 1));
    EXPECT_TRUE(*got == t);

    std::vector<uint8_t> tooMany = image;
    int n = 257;
    std::memcpy(tooMany.data() + 2, &n, 4);
    VqTestObjectStream in2 = VqTestObjectStream::forReading(tooMany, 10, 0);
    EXPECT_FALSE(back->deserialize(*in2));
    EXPECT_EQ(lastError(), "nThumbnails >= 0 && nThumbnails <= 256");
    std::vector<uint8_t> newer = image;
    newer[0] = 2;
    VqTestObjectStream in3 = VqTestObjectStream::forReading(newer, 10, 0);
    EXPECT_FALSE(back->deserialize(*in3));
    EXPECT_EQ(lastCode(), VQ_ERR_TOO_NEW);
    std::vector<uint8_t> oversized = image;
    int size = 1 << 30;
    std::memcpy(oversized.data() + 6 + 14, &size, 4);
    VqTestObjectStream in4 = VqTestObjectStream::forReading(oversized, 10, 0);
    EXPECT_FALSE(back->deserialize(*in4));
    EXPECT_EQ(back->numThumbnails(), 2);
}

} // namespace
