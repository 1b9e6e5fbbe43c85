#include "VqBase.h"
#include "VqLibFixture.h"
#include "VqObjectStream.h"
#include "VqPtrSwizzle.h"
#include "VqSharedPtr.h"
#include "VqStdError.h"

#include <cstdint>
#include <thread>
#include <vector>

namespace {

class PtrSwizzleTest : public VqLibTest {};

// A library object of no particular kind, for the ID slots.
class Obj : public VqBase {
public:
    Obj() = default;
    Obj(const Obj&) = default;
    bool _clone(VqBase*& out) const override {
        out = new Obj(*this);
        return true;
    }
};

TEST_F(PtrSwizzleTest, IdsFollowFirstMeeting) {
    Vq::SharedPtr<VqPtrSwizzle> sw = new VqPtrSwizzle();
    long objs[3];
    int id = 7;
    ASSERT_TRUE(sw->ptr2num(static_cast<const void*>(nullptr), &id));
    EXPECT_EQ(id, -1);
    ASSERT_TRUE(sw->ptr2num(&objs[2], &id));
    EXPECT_EQ(id, 0);
    ASSERT_TRUE(sw->ptr2num(&objs[0], &id));
    EXPECT_EQ(id, 1);
    ASSERT_TRUE(sw->ptr2num(&objs[2], &id));
    EXPECT_EQ(id, 0);
    EXPECT_TRUE(sw->pointerRegistered(&objs[0]));
    EXPECT_FALSE(sw->pointerRegistered(&objs[1]));
    sw->clear();
    ASSERT_TRUE(sw->ptr2num(&objs[1], &id));
    EXPECT_EQ(id, 0);
}

TEST_F(PtrSwizzleTest, WaitingSlotsAreFilledOnRegistration) {
    Vq::SharedPtr<VqPtrSwizzle> sw = new VqPtrSwizzle();
    int target = 0;
    // Three slots of different shapes wait for ID 4: fields and vector entries.
    const void* field = &target;
    std::vector<const void*> entries(2, &target);
    EXPECT_FALSE(sw->ptrFromNum(4, &field));
    EXPECT_FALSE(sw->ptrFromNum(4, &entries[0]));
    EXPECT_FALSE(sw->ptrFromNum(4, &entries[1]));
    EXPECT_EQ(sw->possiblePtr(4), nullptr);
    bool ok = false;
    ASSERT_TRUE(sw->registerPtr(&target, 4, &ok));
    EXPECT_TRUE(ok);
    EXPECT_EQ(field, &target);
    EXPECT_EQ(entries[0], &target);
    EXPECT_EQ(entries[1], &target);
    // Known now: the next reference is filled at once.
    const void* late = nullptr;
    EXPECT_TRUE(sw->ptrFromNum(4, &late));
    EXPECT_EQ(late, &target);
    EXPECT_EQ(sw->possiblePtr(4), &target);
    // -1 is null.
    const void* none = &target;
    EXPECT_TRUE(sw->ptrFromNum(-1, &none));
    EXPECT_EQ(none, nullptr);
}

TEST_F(PtrSwizzleTest, SharedPtrFieldServesAsSlot) {
    Vq::SharedPtr<VqPtrSwizzle> sw = new VqPtrSwizzle();
    Vq::SharedPtr<VqPtrSwizzle> field;
    static_assert(sizeof(field) == sizeof(void*));
    EXPECT_FALSE(sw->ptrFromNum(0, static_cast<const void**>(static_cast<void*>(field.slot()))));
    VqPtrSwizzle other;
    ASSERT_TRUE(sw->registerPtr(&other, 0));
    EXPECT_EQ(field.get(), &other);
    // The slot holds a plain address: hand it back without a release.
    *field.slot() = nullptr;
}

TEST_F(PtrSwizzleTest, ClearNullsWhatStillWaits) {
    Vq::SharedPtr<VqPtrSwizzle> sw = new VqPtrSwizzle();
    int a = 0;
    const void* s1 = &a;
    const void* s2 = &a;
    sw->ptrFromNum(9, &s1);
    sw->ptrFromNum(9, &s2);
    // s2 holds the link to s1 while both wait.
    EXPECT_EQ(s2, &s1);
    sw->clear();
    EXPECT_EQ(s1, nullptr);
    EXPECT_EQ(s2, nullptr);
    EXPECT_EQ(sw->numRecords(), 0);

    const void* s3 = &a;
    sw->ptrFromNum(1, &s3);
    sw = nullptr;
    EXPECT_EQ(s3, nullptr);
}

// A reader meets tens of thousands of IDs, numbered densely but registered in
// any order, some referred to before their object is read: records on both
// sides of every boundary of the reader's storage keep their objects and
// their waiting slots, an ID far beyond the others still works, and clear()
// reaches waiting slots wherever they are.
TEST_F(PtrSwizzleTest, ManyIdsInAnyOrderKeepTheirObjectsAndWaitingSlots) {
    Vq::SharedPtr<VqPtrSwizzle> sw = new VqPtrSwizzle();
    constexpr int kIds = 20000;
    std::vector<long> objs(kIds);
    // Every seventh ID is referred to before it is registered.
    std::vector<const void*> slots(kIds, &objs[0]);
    for (int id = 0; id < kIds; id += 7)
        EXPECT_FALSE(sw->ptrFromNum(id, &slots[static_cast<size_t>(id)]));
    // Odd IDs from the top down, then even ones from the bottom up.
    for (int id = kIds - 1; id >= 0; id -= 2)
        ASSERT_TRUE(sw->registerPtr(&objs[static_cast<size_t>(id)], id)) << id;
    for (int id = 0; id < kIds; id += 2)
        ASSERT_TRUE(sw->registerPtr(&objs[static_cast<size_t>(id)], id)) << id;
    long far = 0;
    bool ok = false;
    ASSERT_TRUE(sw->registerPtr(&far, 1 << 30, &ok));
    EXPECT_TRUE(ok);
    EXPECT_EQ(sw->numRecords(), kIds + 1);
    int wrong = 0;
    for (int id = 0; id < kIds; ++id) {
        const auto i = static_cast<size_t>(id);
        if (sw->possiblePtr(id) != &objs[i] || (id % 7 == 0 && slots[i] != &objs[i])) ++wrong;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(sw->possiblePtr(1 << 30), &far);
    EXPECT_EQ(sw->possiblePtr(kIds), nullptr);

    // Slots still waiting when the map is cleared, in storage far apart, are nulled.
    sw->clear();
    EXPECT_EQ(sw->numRecords(), 0);
    const void* low = &far;
    const void* high = &far;
    EXPECT_FALSE(sw->ptrFromNum(3, &low));
    EXPECT_FALSE(sw->ptrFromNum(kIds - 3, &high));
    EXPECT_EQ(sw->possiblePtr(5), nullptr);
    sw->shrink();
    EXPECT_EQ(low, nullptr);
    EXPECT_EQ(high, nullptr);
    ASSERT_TRUE(sw->registerPtr(&objs[1], 1));
    EXPECT_EQ(sw->possiblePtr(1), &objs[1]);
}

// The reading calls of a stream whose swizzler is held take a short way for
// IDs kept densely. A script of the cases at its edges (slots waiting before
// and after their object, conflicts, null and negative IDs, an ID past the
// dense window in a chunk that exists, IDs in the hash table, slots still
// waiting at the clear) must come out the same as through a plain swizzler.
std::vector<intptr_t> readScript(VqObjectStream& os, VqPtrSwizzle& sw, const long* objs) {
    std::vector<intptr_t> out;
    auto note = [&](const void* p) { out.push_back(reinterpret_cast<intptr_t>(p)); };
    const void* slots[8];
    for (const void*& s : slots)
        s = &objs[9];
    auto fromNum = [&](int id, int slot) {
        out.push_back(os.ptrFromNum(id, &slots[slot]));
        note(slots[slot]);
    };
    auto reg = [&](int obj, int id) {
        bool ok = false;
        out.push_back(os.registerPtr(&objs[obj], id, &ok));
        out.push_back(ok);
    };
    fromNum(5, 0);
    reg(0, 0);
    fromNum(0, 1);
    fromNum(5, 2);
    reg(5, 5);
    reg(6, 5);
    note(os.possiblePtr(5));
    note(os.possiblePtr(7));
    fromNum(-1, 3);
    note(os.possiblePtr(-3));
    reg(1, 4100);
    fromNum(8000, 4);
    note(os.possiblePtr(8000));
    reg(3, 8000);
    note(os.possiblePtr(8000));
    reg(2, 1);
    reg(4, 3000000);
    note(os.possiblePtr(3000000));
    note(os.possiblePtr(8));
    fromNum(9, 5);
    out.push_back(sw.numRecords());
    for (const void* s : slots)
        note(s);
    sw.clear();
    note(slots[5]);
    return out;
}

TEST_F(PtrSwizzleTest, HeldStreamReadsAgreeWithThePlainSwizzler) {
    long objs[10] = {};
    Vq::SharedPtr<VqPtrSwizzle> plain = new VqPtrSwizzle();
    Vq::SharedPtr<VqObjectStream> plainOs = new VqObjectStream();
    ASSERT_TRUE(plainOs->setSwizzler(plain.get()));
    const std::vector<intptr_t> expected = readScript(*plainOs, *plain, objs);

    Vq::SharedPtr<VqRWPtrSwizzle> held = new VqRWPtrSwizzle();
    Vq::SharedPtr<VqObjectStream> heldOs = new VqObjectStream();
    ASSERT_TRUE(heldOs->setSwizzler(held.get()));
    VqRWPtrSwizzle::Hold hold(held.get());
    EXPECT_EQ(readScript(*heldOs, *held, objs), expected);
    // The script's own outcome, where a mistake in both would hide.
    EXPECT_EQ(expected.back(), 0);
    EXPECT_EQ(expected[expected.size() - 10], 7);
}

TEST_F(PtrSwizzleTest, RegistrationConflicts) {
    Vq::SharedPtr<VqPtrSwizzle> sw = new VqPtrSwizzle();
    int a = 0, b = 0;
    bool ok = false;
    ASSERT_TRUE(sw->registerPtr(&a, 3, &ok));
    EXPECT_TRUE(ok);
    ASSERT_TRUE(sw->registerPtr(&a, 3, &ok));
    EXPECT_TRUE(ok);
    ASSERT_TRUE(sw->registerPtr(&b, 3, &ok));
    EXPECT_FALSE(ok);
    EXPECT_EQ(sw->possiblePtr(3), &a);
    // Without the flag, re-registering replaces the object and reports that nothing waited.
    EXPECT_FALSE(sw->registerPtr(&b, 3));
    EXPECT_EQ(lastError(), "pPtrRec->fixupList");
    EXPECT_EQ(sw->possiblePtr(3), &b);
    EXPECT_TRUE(sw->registerPtr(&a, 5));
}

TEST_F(PtrSwizzleTest, LockedSwizzlerUnderThreads) {
    Vq::SharedPtr<VqRWPtrSwizzle> sw = new VqRWPtrSwizzle();
    std::vector<long> objs(4000);
    std::vector<int> ids(objs.size(), -2);
    auto work = [&](size_t from) {
        for (size_t i = from; i < objs.size(); i += 2)
            sw->ptr2num(&objs[i], &ids[i]);
    };
    std::thread t1(work, 0), t2(work, 1);
    t1.join();
    t2.join();
    std::vector<bool> seen(objs.size(), false);
    for (int id : ids) {
        ASSERT_GE(id, 0);
        ASSERT_LT(id, static_cast<int>(objs.size()));
        EXPECT_FALSE(seen[id]);
        seen[id] = true;
    }
}

// Library objects keep their IDs in their slots while one writer holds the
// lease; a value a slot keeps from an earlier writer must never pass for an ID.
TEST_F(PtrSwizzleTest, SlotIdsNeverTrustAnotherWritersValue) {
    std::vector<Vq::SharedPtr<Obj>> o;
    for (int i = 0; i < 4; ++i)
        o.push_back(new Obj());
    auto idOf = [](VqPtrSwizzle& sw, const Obj* p) {
        int id = -2;
        EXPECT_TRUE(sw.ptr2num(p, &id));
        return id;
    };
    Vq::SharedPtr<VqPtrSwizzle> first = new VqPtrSwizzle();
    EXPECT_EQ(idOf(*first, o[0].get()), 0);
    EXPECT_EQ(idOf(*first, o[1].get()), 1);
    // A plain address in between takes the next ID and keeps the numbering dense.
    long plain = 0;
    int id = -2;
    ASSERT_TRUE(first->ptr2num(&plain, &id));
    EXPECT_EQ(id, 2);
    EXPECT_EQ(idOf(*first, o[2].get()), 3);
    EXPECT_EQ(idOf(*first, o[0].get()), 0);
    EXPECT_TRUE(first->pointerRegistered(o[1].get()));
    EXPECT_FALSE(first->pointerRegistered(o[3].get()));

    // A second writer at the same time: o[0]'s slot says 1 (ID 0 of the
    // first); here o[3] comes first and o[0] must get an ID of its own.
    Vq::SharedPtr<VqPtrSwizzle> second = new VqPtrSwizzle();
    EXPECT_EQ(idOf(*second, o[3].get()), 0);
    EXPECT_EQ(idOf(*second, o[0].get()), 1);
    EXPECT_EQ(idOf(*second, o[3].get()), 0);
    EXPECT_EQ(idOf(*first, o[0].get()), 0);
    // A locked swizzler without the lease, used without a hold, goes to its
    // table under its lock once (taking it twice would never return).
    Vq::SharedPtr<VqRWPtrSwizzle> locked = new VqRWPtrSwizzle();
    EXPECT_EQ(idOf(*locked, o[2].get()), 0);
    EXPECT_TRUE(locked->pointerRegistered(o[2].get()));
    EXPECT_FALSE(locked->pointerRegistered(o[1].get()));

    // After clear the first writer starts again: every slot it wrote is stale.
    first->clear();
    EXPECT_FALSE(first->pointerRegistered(o[0].get()));
    EXPECT_EQ(idOf(*first, o[2].get()), 0);
    EXPECT_EQ(idOf(*first, o[0].get()), 1);
    EXPECT_EQ(idOf(*first, o[1].get()), 2);
    EXPECT_EQ(idOf(*first, o[2].get()), 0);
    // A copy does not take its original's slot.
    Vq::SharedPtr<Obj> copy = new Obj(*o[1]);
    EXPECT_EQ(idOf(*first, copy.get()), 3);
}

// Under a hold the stream answers a library object's ID inline: it must be
// the ID the swizzler itself gives, for null right after a clear, for an
// object first numbered by its plain address, and never from a slot value a
// round before the clear left behind.
TEST_F(PtrSwizzleTest, StreamIdsUnderAHoldAgreeWithTheSwizzler) {
    std::vector<Vq::SharedPtr<Obj>> o;
    for (int i = 0; i < 4; ++i)
        o.push_back(new Obj());
    Vq::SharedPtr<VqRWPtrSwizzle> sw = new VqRWPtrSwizzle();
    Vq::SharedPtr<VqObjectStream> os = new VqObjectStream();
    ASSERT_TRUE(os->setSwizzler(sw.get()));
    auto idOf = [&](const VqBase* p) {
        int id = -2;
        EXPECT_TRUE(os->ptr2num(p, &id));
        return id;
    };
    auto plainIdOf = [&](const void* p) {
        int id = -2;
        EXPECT_TRUE(os->ptr2num(p, &id));
        return id;
    };
    {
        sw->reserve(8);
        VqRWPtrSwizzle::Hold hold(sw.get());
        EXPECT_EQ(idOf(o[0].get()), 0);
        EXPECT_EQ(idOf(o[1].get()), 1);
        EXPECT_EQ(idOf(nullptr), -1);
        EXPECT_EQ(idOf(o[0].get()), 0);
        EXPECT_EQ(plainIdOf(o[3].get()), 2);
        EXPECT_EQ(idOf(o[2].get()), 3);
        EXPECT_EQ(idOf(o[3].get()), 2);
        EXPECT_EQ(idOf(o[1].get()), 1);
        EXPECT_TRUE(sw->pointerRegistered(o[2].get()));
        sw->clear();
    }
    {
        VqRWPtrSwizzle::Hold hold(sw.get());
        EXPECT_EQ(idOf(nullptr), -1);
        EXPECT_EQ(idOf(o[1].get()), 0);
        // o[0]'s slot still says ID 0 from the round before.
        EXPECT_EQ(idOf(o[0].get()), 1);
        EXPECT_EQ(idOf(o[1].get()), 0);
        EXPECT_EQ(idOf(o[0].get()), 1);
    }
    // Without a hold the same IDs come through the lock.
    EXPECT_EQ(idOf(o[0].get()), 1);
    EXPECT_EQ(idOf(o[2].get()), 2);
}

// Writers on several threads, each with its own swizzler over the same
// objects: each numbers them densely and consistently, whichever holds the lease.
TEST_F(PtrSwizzleTest, ConcurrentWritersNumberSharedObjectsConsistently) {
    std::vector<Vq::SharedPtr<Obj>> o;
    for (int i = 0; i < 3000; ++i)
        o.push_back(new Obj());
    auto writer = [&](int seed, bool& good) {
        good = true;
        for (int round = 0; round < 20 && good; ++round) {
            Vq::SharedPtr<VqPtrSwizzle> sw = new VqPtrSwizzle();
            std::vector<int> ids(o.size(), -1);
            for (size_t k = 0; k < o.size(); ++k) {
                const size_t i = (k * 7 + static_cast<size_t>(seed + round)) % o.size();
                int id = -1;
                sw->ptr2num(o[i].get(), &id);
                if (id != static_cast<int>(k)) good = false;
                ids[i] = id;
            }
            for (size_t i = 0; i < o.size() && good; i += 13) {
                int id = -1;
                sw->ptr2num(o[i].get(), &id);
                good = id == ids[i];
            }
        }
    };
    bool good1 = false, good2 = false;
    std::thread t1(writer, 1, std::ref(good1)), t2(writer, 2, std::ref(good2));
    t1.join();
    t2.join();
    EXPECT_TRUE(good1);
    EXPECT_TRUE(good2);
}

} // namespace
