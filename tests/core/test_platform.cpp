#include "VqLibFixture.h"
#include "VqMemBlockPool.h"
#include "VqPlatform.h"
#include "VqScratchMgr.h"
#include "VqStdError.h"

#include <cstdlib>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

namespace {

constexpr uint64_t GiB = 1ull << 30;

// Memory outside the tracked total, as the tests want it.
uint64_t s_nUntracked = 0;
uint64_t untrackedProbe() {
    return s_nUntracked;
}

// Every platform setting a test touches is put back, since the platform
// outlives the library.
class PlatformTest : public VqLibTest {
protected:
    void SetUp() override {
        VqLibTest::SetUp();
        p = g_pInstanceVqPlatform;
        s_nUntracked = 0;
        p->setUntrackedMemProbe(&untrackedProbe);
        p->setTotalPhysicalMem(8 * GiB);
        p->removeFromMemory(p->trackedMemory());
    }
    void TearDown() override {
        p->setMemoryBudget(0ul);
        p->setThreshold(VqPlatform::s_cDefaultThreshold);
        p->setUntrackedMemProbe(nullptr);
        p->setTotalPhysicalMem(0);
        p->removeFromMemory(p->trackedMemory());
        VqLibTest::TearDown();
    }
    VqPlatform* p = nullptr;
};

void recordStatus(int status, void* data) {
    static_cast<std::vector<int>*>(data)->push_back(status);
}

} // namespace

TEST_F(PlatformTest, HalfOfEightGiBIsFourAndRequestsStopAtTheThreshold) {
    EXPECT_EQ(p->totalPhysicalMem(), 8 * GiB);
    EXPECT_EQ(p->kernelPagefileSize(), 12 * GiB);
    ASSERT_TRUE(p->setMemoryBudget(0.5f));
    EXPECT_EQ(p->memoryBudget(), 4 * GiB);
    EXPECT_FLOAT_EQ(p->relativeMemBudget(), 0.5f);

    std::vector<int> changes;
    ASSERT_TRUE(p->addMemoryUseCallback(&recordStatus, &changes));

    // Limit: 0.95 x 4 GiB = 3.8 GiB.
    p->addToMemory(3 * GiB);
    s_nUntracked = GiB / 2;
    bool ok = false;
    ASSERT_TRUE(p->requestMemory(0, ok));
    EXPECT_TRUE(ok);
    EXPECT_EQ(p->processCommittedMem(true), 3 * GiB + GiB / 2);
    ASSERT_TRUE(p->requestMemory(GiB / 4, ok)); // 3.75 GiB
    EXPECT_TRUE(ok);
    ASSERT_TRUE(p->requestMemory(GiB / 2, ok)); // 4 GiB
    EXPECT_FALSE(ok);
    EXPECT_EQ(p->memoryUseStatus(), 0);
    EXPECT_TRUE(changes.empty());

    // Committed memory at the limit turns the status over, once.
    p->addToMemory(GiB / 2);
    ASSERT_TRUE(p->requestMemory(0, ok));
    EXPECT_FALSE(ok);
    EXPECT_EQ(p->memoryUseStatus(), 1);
    ASSERT_TRUE(p->requestMemory(0, ok));
    EXPECT_EQ(changes, std::vector<int>({1}));

    // Without a budget everything is allowed and the status is under again.
    ASSERT_TRUE(p->setMemoryBudget(0ul));
    ASSERT_TRUE(p->requestMemory(100 * GiB, ok));
    EXPECT_TRUE(ok);
    EXPECT_EQ(p->memoryUseStatus(), 0);
    EXPECT_EQ(changes, std::vector<int>({1, 0}));
    ASSERT_TRUE(p->removeMemoryUseCallback(&recordStatus, &changes));
    EXPECT_FALSE(p->removeMemoryUseCallback(&recordStatus, &changes));
}

TEST_F(PlatformTest, BudgetIsCappedByThePageFileAndArgumentsAreChecked) {
    ASSERT_TRUE(p->setMemoryBudget(2.0f));
    EXPECT_EQ(p->memoryBudget(), 12 * GiB);
    ASSERT_TRUE(p->setMemoryBudget(static_cast<unsigned long>(100 * GiB)));
    EXPECT_EQ(p->memoryBudget(), 12 * GiB);

    EXPECT_FALSE(p->setMemoryBudget(2.5f));
    EXPECT_EQ(lastError(), "fPercentage >= 0.0f && fPercentage <= 2.0f");
    EXPECT_FALSE(p->setThreshold(0.96f));
    EXPECT_EQ(lastError(), "fThreshold >= 0.0f && fThreshold <= 0.95f");

    // A lower threshold takes effect at once.
    ASSERT_TRUE(p->setMemoryBudget(static_cast<unsigned long>(4 * GiB)));
    p->addToMemory(2 * GiB);
    EXPECT_EQ(p->memoryUseStatus(), 0);
    ASSERT_TRUE(p->setThreshold(0.5f));
    EXPECT_EQ(p->memoryUseStatus(), 1);
}

TEST_F(PlatformTest, TrackedMemoryNeverGoesBelowZero) {
    p->addToMemory(100);
    p->removeFromMemory(250);
    EXPECT_EQ(p->trackedMemory(), 0u);
}

TEST_F(PlatformTest, CommittedMemoryIsCachedUnlessForced) {
    s_nUntracked = 1000;
    EXPECT_EQ(p->processCommittedMem(true), 1000u);
    s_nUntracked = 5000;
    // Tracked memory counts at once; the untracked part waits for the cache.
    p->addToMemory(10);
    EXPECT_EQ(p->processCommittedMem(false), 1010u);
    EXPECT_EQ(p->processCommittedMem(true), 5010u);

    // The process's own measurement is a plausible resident size.
    p->setUntrackedMemProbe(nullptr);
    const uint64_t measured = p->processCommittedMem(true);
    EXPECT_GT(measured, 1024u * 1024u);
    EXPECT_LT(measured, 64 * GiB);
}

// Threads add their allocations to the totals in batches: none may be lost,
// neither the calling thread's last partial batch nor that of a thread that
// has ended. Other threads only ever add, hence the lower bounds.
TEST_F(PlatformTest, EveryAllocationReachesTheTotals) {
    auto allocSome = [this](int n, size_t size) {
        for (int i = 0; i < n; ++i)
            p->dealloc(p->alloc(size));
    };
    uint64_t count = p->numAllocations(), bytes = p->allocatedBytes();
    allocSome(3 * 64 + 5, 24);
    EXPECT_GE(p->numAllocations(), count + 3 * 64 + 5);
    EXPECT_GE(p->allocatedBytes(), bytes + (3 * 64 + 5) * 24);

    count = p->numAllocations();
    bytes = p->allocatedBytes();
    std::thread few(allocSome, 5, 40);
    few.join();
    std::thread many(allocSome, 64 + 7, 8);
    many.join();
    EXPECT_GE(p->numAllocations(), count + 5 + 64 + 7);
    EXPECT_GE(p->allocatedBytes(), bytes + 5 * 40 + (64 + 7) * 8);
}

namespace {
// Returns 0 when every step holds, else the number of the first that failed.
int checkBudgets(VqPlatform* p) {
    int step = 0;
    auto check = [&](bool cond) { return ++step, cond; };
    if (!check(p->streamBudget() == 32)) return step;
    if (!check(!p->setStreamBudget(40) && lastError() == "Stream budget request not possible" &&
               VqErrorState::currentError()->code() == VQ_ERR_ARGUMENT))
        return step;
    if (!check(p->setStreamBudget(20) && p->setStreamBudget(25) && p->streamBudget() == 25)) return step;
    if (!check(!p->setStreamBudget(32) && p->setStreamBudget(29))) return step;
    if (!check(p->codecDriver2Budget() == 16 && p->compressedRepHelperBudget() == 16 &&
               p->topoMeshCoderBudget() == 16))
        return step;
    if (!check(!p->setCodecDriver2Budget(30) && lastError() == "Budget request not possible")) return step;
    if (!check(p->setCodecDriver2Budget(29) && p->codecDriver2Budget() == 29)) return step;
    if (!check(!p->setTopoMeshCoderBudget(0) && p->setCompressedRepHelperBudget(8))) return step;
    return 0;
}
} // namespace

// A raised budget cannot be lowered back above 29 and the platform outlives
// the library, so the checks run in a process of their own.
TEST_F(PlatformTest, BudgetsCanBeLoweredButNotRaisedAbove29) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::_Exit(checkBudgets(p)), ::testing::ExitedWithCode(0), "");
}

// ---- block pools

TEST_F(PlatformTest, BlockPoolRoundsElementsAndSizesBlocks) {
    VqMemBlockPool* pool = VqMemBlockPool::getPool(12, true);
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(pool->elementSize(), 16u);
    EXPECT_EQ(pool->blockSize(), 16384u);
    EXPECT_EQ(pool->elementsPerBlock(), 1024u);
    // Shared requests of the same aligned size get the same pool.
    EXPECT_EQ(VqMemBlockPool::getPool(16, true), pool);
    VqMemBlockPool* own = VqMemBlockPool::getPool(16, false);
    EXPECT_NE(own, pool);

    VqMemBlockPool* tiny = VqMemBlockPool::getPool(1, true);
    EXPECT_EQ(tiny->elementSize(), 8u);
    VqMemBlockPool* big = VqMemBlockPool::getPool(1000, true);
    EXPECT_EQ(big->elementSize(), 1000u);
    EXPECT_EQ(big->blockSize(), 32000u);
    EXPECT_EQ(big->elementsPerBlock(), 32u);

    VqMemBlockPool::releasePool(pool);
    VqMemBlockPool::releasePool(pool);
    VqMemBlockPool::releasePool(own);
    VqMemBlockPool::releasePool(tiny);
    // `big` is left for fini to delete.
}

TEST_F(PlatformTest, BlockPoolReusesElementsAndReturnsEmptyBlocks) {
    VqMemBlockPool* pool = VqMemBlockPool::getPool(24, false);
    ASSERT_NE(pool, nullptr);
    const unsigned perBlock = pool->elementsPerBlock();
    const uint64_t tracked = p->trackedMemory();

    std::vector<char*> elems;
    std::set<char*> distinct;
    for (unsigned i = 0; i < 3 * perBlock; ++i) {
        char* e = static_cast<char*>(pool->allocate());
        ASSERT_NE(e, nullptr);
        memset(e, 0xAB, 24); // every byte of an element is the caller's
        elems.push_back(e);
        distinct.insert(e);
    }
    EXPECT_EQ(distinct.size(), elems.size());
    EXPECT_EQ(pool->numBlocks(), 3);
    EXPECT_EQ(p->trackedMemory(), tracked + 3 * pool->blockSize());

    // A freed element comes straight back.
    pool->deallocate(elems.back());
    EXPECT_EQ(pool->allocate(), elems.back());

    // Freeing everything hands whole blocks back once the freed list overflows.
    for (char* e : elems)
        pool->deallocate(e);
    EXPECT_LT(pool->numBlocks(), 3);
    EXPECT_LT(p->trackedMemory(), tracked + 3 * pool->blockSize());
    VqMemBlockPool::releasePool(pool);
    EXPECT_EQ(p->trackedMemory(), tracked);
}

// ---- scratch vectors

TEST_F(PlatformTest, ScratchVectorsAreReusedEmptiedAndCounted) {
    Vq::ScratchMgr* mgr = g_pInstanceVqScratchMgr;
    ASSERT_NE(mgr, nullptr);
    VqVeci* vi = nullptr;
    ASSERT_TRUE(mgr->acquireVeci(vi));
    vi->resize(100, 7);
    mgr->releaseVeci(vi);
    EXPECT_EQ(mgr->numIdle(Vq::ScratchMgr::PoolInt), 1);
    EXPECT_GE(mgr->memSize(), 100 * sizeof(int));

    VqVeci* again = nullptr;
    ASSERT_TRUE(mgr->acquireVeci(again));
    EXPECT_EQ(again, vi);
    EXPECT_TRUE(again->empty());
    EXPECT_GE(again->capacity(), 100u);

    // Two callers at once get two vectors; unsigned shares the integer pool.
    VqVecu* vu = nullptr;
    ASSERT_TRUE(mgr->acquireVecu(vu));
    mgr->releaseVecu(vu);
    mgr->releaseVeci(again);
    EXPECT_EQ(mgr->numIdle(Vq::ScratchMgr::PoolInt), 2);

    // Vectors that grew too large are not kept.
    VqVecf* vf = nullptr;
    ASSERT_TRUE(mgr->acquireVecf(vf));
    vf->resize(Vq::ScratchMgr::s_cMaxIdleCapacity + 1);
    mgr->releaseVecf(vf);
    EXPECT_EQ(mgr->numIdle(Vq::ScratchMgr::PoolFloat), 0);

    uint64_t counts[Vq::ScratchMgr::s_cNumCapacityClasses];
    mgr->getUsageStats(Vq::ScratchMgr::PoolInt, counts);
    EXPECT_EQ(counts[7], 1u); // 100 elements
    EXPECT_EQ(counts[0], 2u); // two empty requests
    mgr->getUsageStats(Vq::ScratchMgr::PoolFloat, counts);
    EXPECT_EQ(counts[Vq::ScratchMgr::s_cNumCapacityClasses - 1], 0u);
    EXPECT_EQ(counts[21], 1u);

    mgr->shrink();
    EXPECT_EQ(mgr->memSize(), 0u);
    EXPECT_EQ(mgr->numIdle(Vq::ScratchMgr::PoolInt), 0);
}

// A stand-in for a codec driver, which lives in a layer above the manager.
struct PooledDriver {
    static constexpr Vq::ScratchMgr::DriverPool s_eScratchPool = Vq::ScratchMgr::PoolCodecDriver3L;
    static inline int s_nAlive = 0;
    PooledDriver() { ++s_nAlive; }
    ~PooledDriver() { --s_nAlive; }
};

TEST_F(PlatformTest, CodecDriversArePooled) {
    Vq::ScratchMgr* mgr = g_pInstanceVqScratchMgr;
    // A released driver serves the next caller; two callers at once get two.
    PooledDriver *a = nullptr, *b = nullptr;
    ASSERT_TRUE(mgr->acquireCodecDriver(a));
    mgr->releaseCodecDriver(a);
    ASSERT_TRUE(mgr->acquireCodecDriver(b));
    EXPECT_EQ(a, b);
    ASSERT_TRUE(mgr->acquireCodecDriver(a));
    EXPECT_NE(a, b);
    EXPECT_EQ(PooledDriver::s_nAlive, 2);
    mgr->releaseCodecDriver(a);
    mgr->releaseCodecDriver(b);
    EXPECT_EQ(mgr->numIdleDrivers(Vq::ScratchMgr::PoolCodecDriver3L), 2);
    EXPECT_EQ(mgr->numIdleDrivers(Vq::ScratchMgr::PoolCodecDriver3), 0);

    // Beyond the platform's codec-driver budget released drivers are deleted.
    ASSERT_TRUE(g_pInstanceVqPlatform->setCodecDriver2Budget(1));
    ASSERT_TRUE(mgr->acquireCodecDriver(a));
    ASSERT_TRUE(mgr->acquireCodecDriver(b));
    mgr->releaseCodecDriver(a);
    mgr->releaseCodecDriver(b);
    EXPECT_EQ(mgr->numIdleDrivers(Vq::ScratchMgr::PoolCodecDriver3L), 1);
    EXPECT_EQ(PooledDriver::s_nAlive, 1);
    mgr->shrinkCodecDriverPool();
    EXPECT_EQ(PooledDriver::s_nAlive, 0);
    EXPECT_TRUE(g_pInstanceVqPlatform->setCodecDriver2Budget(16));
}
