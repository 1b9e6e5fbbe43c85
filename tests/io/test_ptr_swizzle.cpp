#include "VqLibFixture.h"
#include "VqPtrSwizzle.h"
#include "VqSharedPtr.h"
#include "VqStdError.h"

#include <thread>
#include <vector>

namespace {

class PtrSwizzleTest : public VqLibTest {};

TEST_F(PtrSwizzleTest, IdsFollowFirstMeeting) {
    Vq::SharedPtr<VqPtrSwizzle> sw = new VqPtrSwizzle();
    long objs[3];
    int id = 7;
    ASSERT_TRUE(sw->ptr2num(nullptr, &id));
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

} // namespace
