// The residency request manager with a probe kind of its own: queue order and
// limits, pausing, blocking loads, loader threads and failures.

#include "RequestProbe.h"
#include "VqLibFixture.h"
#include "VqNoArgFtor.h"
#include "VqPlatform.h"
#include "VqResidencyRequestManager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

VqType Probe::s_vqType = {VqGUID(), "Probe", nullptr, 0, nullptr};
VqBase* Probe::createInstance() {
    return nullptr;
}
bool Probe::constructType() {
    return true;
}
bool Probe::destructType() {
    return true;
}
bool Probe::_clone(VqBase*& out) const {
    out = nullptr;
    return true;
}

namespace {

using Probes = std::vector<Vq::SharedPtr<Probe>>;

Probes makeProbes(int n) {
    Probes out;
    for (int i = 0; i < n; ++i)
        out.emplace_back(new Probe(i));
    return out;
}

// Polls cond for up to 20 s.
template <class Cond>
bool waitUntil(Cond cond) {
    for (int i = 0; i < 20000 && !cond(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return cond();
}

class ResidencyTest : public VqLibTest {
protected:
    void SetUp() override {
        VqLibTest::SetUp();
        Probe::s_nDestroyed = 0;
        Probe::s_nLoadCounter = 0;
        mgr = std::make_unique<VqResidencyRequestManager>();
        ASSERT_TRUE(mgr->registerHandler(Probe::classTypeID(), new ProbeHandler()));
        // Enough for every test's requests to be served by one execute.
        ASSERT_TRUE(mgr->setExecutionTime(60000));
    }
    void TearDown() override {
        mgr.reset();
        VqLibTest::TearDown();
    }
    bool need(Probe* p, float priority) { return mgr->willNeed(VqRequestInfo(p, priority)); }
    bool pending(Probe* p) const {
        bool isPending = false, loaded = false;
        float priority = 0;
        return mgr->getStatus(VqRequestInfo(p, 0), isPending, loaded, priority) && isPending;
    }
    // Serves every request of the probe document on this thread.
    bool serve(Probe* document) { return mgr->execute(VqRequestInfo(document, 0)); }

    std::unique_ptr<VqResidencyRequestManager> mgr;
};

// An entry whose object nobody else holds is skipped, and the object is
// released on the thread that calls execute, not on a loader.
TEST_F(ResidencyTest, RequestOfAReleasedObjectIsDroppedWithoutLoading) {
    Vq::SharedPtr<Probe> kept = new Probe(1);
    Vq::SharedPtr<Probe> released = new Probe(2);
    ASSERT_TRUE(need(released.get(), 5));
    ASSERT_TRUE(need(kept.get(), 1));
    released.reset();
    EXPECT_EQ(Probe::s_nDestroyed, 0);
    EXPECT_EQ(mgr->numRequestedItemsPending(), 2);

    ASSERT_TRUE(serve(kept.get())) << lastError();
    EXPECT_EQ(kept->nLoads, 1);
    EXPECT_EQ(kept->nHookups, 1);
    EXPECT_EQ(Probe::s_nDestroyed, 1);
    EXPECT_FALSE(mgr->areItemsPending());
    const auto perf = mgr->perfCounters();
    EXPECT_EQ(perf.nDropped, 1u);
    EXPECT_EQ(perf.nLoaded, 1u);

    // The same with a loader thread: the drop happens there, the release here.
    Vq::SharedPtr<Probe> gone = new Probe(3);
    ASSERT_TRUE(need(gone.get(), 1));
    gone.reset();
    ASSERT_TRUE(mgr->setUseThreadedLoading(1));
    ASSERT_TRUE(waitUntil([&] { return !mgr->numRequestedItemsPending(); }));
    EXPECT_EQ(mgr->perfCounters().nDropped, 2u);
    EXPECT_EQ(Probe::s_nDestroyed, 1);
    ASSERT_TRUE(serve(kept.get()));
    EXPECT_EQ(Probe::s_nDestroyed, 2);
    EXPECT_EQ(mgr->perfCounters().nLoaded, 1u);
}

// With a length limit of 10, twenty requests of rising priority keep the top
// ten at the next merge; the full queue then admits only what ranks at least
// as high as its lowest entry, and loads in order of priority.
TEST_F(ResidencyTest, LengthLimitEvictsTheLowestAndAdmitsOnlyHigher) {
    mgr->setMaxQueueLength(10);
    Probes probes = makeProbes(20);
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(need(probes[i].get(), float(i + 1)));
    EXPECT_EQ(mgr->queue().queueLength(), 0u);
    ASSERT_TRUE(mgr->queue().mergePreIn());
    EXPECT_EQ(mgr->queue().queueLength(), 10u);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(pending(probes[i].get()), i >= 10) << "probe " << i;

    Vq::SharedPtr<Probe> low = new Probe(100), high = new Probe(101), tie = new Probe(102);
    EXPECT_TRUE(need(low.get(), 10.5f));
    EXPECT_FALSE(pending(low.get()));
    EXPECT_EQ(mgr->perfCounters().nRefused, 1u);
    EXPECT_TRUE(need(tie.get(), 11));
    EXPECT_TRUE(need(high.get(), 30));
    EXPECT_TRUE(pending(tie.get()) && pending(high.get()));

    // high, then the kept ten from the top; the merge evicts two: 11 and the
    // tie, which came after it.
    ASSERT_TRUE(serve(probes[0].get()));
    EXPECT_EQ(high->nLoadOrder, 0);
    for (int i = 19, order = 1; i >= 12; --i, ++order)
        EXPECT_EQ(probes[i]->nLoadOrder, order) << "probe " << i;
    EXPECT_EQ(probes[10]->nLoads + tie->nLoads, 0);
    EXPECT_EQ(probes[11]->nLoads, 1);
}

// Ties are served in the order they came.
TEST_F(ResidencyTest, EqualPrioritiesAreServedFirstComeFirstServed) {
    Probes probes = makeProbes(5);
    for (auto& p : probes)
        ASSERT_TRUE(need(p.get(), 2));
    ASSERT_TRUE(serve(probes[0].get()));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(probes[i]->nLoadOrder, i);
}

// An entry that starts asleep is known but not loaded until woken.
TEST_F(ResidencyTest, SleepingEntryWaitsUntilWoken) {
    Vq::SharedPtr<Probe> p = new Probe();
    p->bSleeps = true;
    ASSERT_TRUE(need(p.get(), 1));
    EXPECT_TRUE(pending(p.get()));
    ASSERT_TRUE(serve(p.get()));
    EXPECT_EQ(p->nLoads, 0);
    Vq::SharedPtr<VqRequestEntry> e = mgr->queue().find(p.get());
    ASSERT_TRUE(e);
    EXPECT_EQ(e->stage(), VqRequestEntry::REQ_STAGE_SLEEPING);
    ASSERT_TRUE(mgr->queue().wakeupEntry(e.get(), 1));
    ASSERT_TRUE(serve(p.get()));
    EXPECT_TRUE(p->bResident);
    EXPECT_EQ(e->stage(), VqRequestEntry::REQ_STAGE_RETIRED);
}

// priority x exp(-s x age), the age counted in unsigned 32-bit frames.
TEST_F(ResidencyTest, TimeDecayAgesRequestsByFrame) {
    using P = VqRequestQueue::Priority;
    EXPECT_EQ(VqRequestQueue::adjustedPriority(P{8.0f, 3}, 0.0f, 1000), 8.0f);
    EXPECT_NEAR(VqRequestQueue::adjustedPriority(P{8.0f, 10}, 0.1f, 20), 8.0f * std::exp(-1.0f), 1e-5);
    // A counter that wrapped still ages the request by the frames in between.
    EXPECT_NEAR(VqRequestQueue::adjustedPriority(P{8.0f, 0xFFFFFFFEu}, 0.5f, 2), 8.0f * std::exp(-2.0f),
                1e-5);

    // An old request of higher priority ranks below a fresh one.
    ASSERT_TRUE(mgr->setTimeDecayScale(0.01f));
    Vq::SharedPtr<Probe> old = new Probe(1), fresh = new Probe(2);
    ASSERT_TRUE(need(old.get(), 10));
    for (int i = 0; i < 100; ++i)
        VqPlatform::EnsureInstance()->incrementFrameCount();
    ASSERT_TRUE(need(fresh.get(), 5));
    ASSERT_TRUE(serve(old.get()));
    EXPECT_EQ(fresh->nLoadOrder, 0);
    EXPECT_EQ(old->nLoadOrder, 1);
}

TEST_F(ResidencyTest, SettingsRefuseWhatTheyCannotMean) {
    EXPECT_FALSE(mgr->setExecutionTime(-1));
    EXPECT_EQ(lastError(), "milliseconds >= 0");
    EXPECT_EQ(mgr->executionTime(), 60000);
    EXPECT_TRUE(mgr->setExecutionTime(0));
    EXPECT_FALSE(mgr->setUseThreadedLoading(-1));
    EXPECT_EQ(lastCode(), VQ_ERR_ARGUMENT);
    EXPECT_FALSE(mgr->setTimeDecayScale(-0.5f));
    EXPECT_FALSE(mgr->setTimeDecayScale(NAN));
    EXPECT_EQ(mgr->timeDecayScale(), 0.0f);
    mgr->setMaxQueueLength(0);
    EXPECT_EQ(mgr->maxQueueLength(), -1);
    // Requests need an object of a kind some handler knows.
    EXPECT_FALSE(mgr->willNeed(VqRequestInfo(nullptr, 1)));
    Vq::SharedPtr<VqStdError> unknownKind = new VqStdError();
    EXPECT_FALSE(mgr->willNeed(VqRequestInfo(unknownKind.get(), 1)));
    EXPECT_FALSE(mgr->unregisterHandler(VqStdError::classTypeID()));
    // Pools are kept by identity, each once.
    Vq::SharedPtr<Probe> pool = new Probe();
    EXPECT_TRUE(mgr->registerPool(pool.get()) && mgr->registerPool(pool.get()));
    std::vector<Vq::SharedPtr<VqBase>> pools;
    mgr->registeredPools(pools);
    EXPECT_EQ(pools.size(), 1u);
    EXPECT_TRUE(mgr->unregisterPool(pool.get()));
    EXPECT_FALSE(mgr->isPoolRegistered(pool.get()));
    EXPECT_FALSE(mgr->unregisterPool(pool.get()));
}

// Without any loader, blockOnLoad loads on the calling thread and hooks up;
// a resident object needs nothing; a failed load is the call's error.
TEST_F(ResidencyTest, BlockOnLoadServesTheCallingThread) {
    Vq::SharedPtr<Probe> p = new Probe(), other = new Probe();
    ASSERT_TRUE(need(p.get(), 1));
    ASSERT_TRUE(need(other.get(), 2));
    ASSERT_TRUE(mgr->blockOnLoad(p.get())) << lastError();
    EXPECT_EQ(p->nLoads, 1);
    EXPECT_EQ(p->nHookups, 1);
    EXPECT_TRUE(pthread_equal(p->tLoadThread, pthread_self()));
    EXPECT_FALSE(pending(p.get()));
    // Only the object asked for was served.
    EXPECT_EQ(other->nLoads, 0);
    ASSERT_TRUE(mgr->blockOnLoad(p.get()));
    EXPECT_EQ(p->nLoads, 1);

    // A loader busy with something else leaves it to the caller too.
    Vq::SharedPtr<Probe> busy = new Probe();
    busy->bGate = true;
    ASSERT_TRUE(need(busy.get(), 100));
    ASSERT_TRUE(mgr->setUseThreadedLoading(1));
    ASSERT_TRUE(waitUntil([&] { return busy->bInLoad.load(); }));
    Vq::SharedPtr<Probe> q = new Probe();
    q->eFault = Probe::Fault::Fail;
    EXPECT_FALSE(mgr->blockOnLoad(q.get()));
    EXPECT_EQ(lastError(), "Probe refused to load");
    EXPECT_EQ(lastCode(), VQ_ERR_CORRUPT);
    EXPECT_TRUE(pthread_equal(q->tLoadThread, pthread_self()));
    EXPECT_EQ(q->nHookups, 1);
    EXPECT_FALSE(q->bResident);
    busy->bGate = false;
}

// While the queue is locked only urgent requests get in; loaders and the
// calling thread's time slice take only those. Crossing the platform's
// memory threshold locks and unlocks the process-wide manager's queue.
TEST_F(ResidencyTest, PausedQueueTakesOnlyUrgentRequests) {
    Vq::SharedPtr<Probe> normal = new Probe(), urgent = new Probe();
    mgr->lockLoadQueue();
    EXPECT_TRUE(need(normal.get(), 5));
    EXPECT_FALSE(pending(normal.get()));
    EXPECT_EQ(mgr->perfCounters().nIgnoredPaused, 1u);
    ASSERT_TRUE(need(urgent.get(), VqRequestInfo::s_cUrgentPriority));
    EXPECT_TRUE(pending(urgent.get()));
    ASSERT_TRUE(serve(urgent.get()));
    EXPECT_TRUE(urgent->bResident);
    mgr->unlockLoadQueue();
    EXPECT_TRUE(need(normal.get(), 5));
    EXPECT_TRUE(pending(normal.get()));

    VqPlatform* platform = VqPlatform::EnsureInstance();
    VqResidencyRequestManager* global = VqResidencyRequestManagerSingleton::EnsureInstance();
    ASSERT_EQ(global, g_pInstanceVqResidencyRequestManager);
    platform->setUntrackedMemProbe([]() -> uint64_t { return 1000ull << 20; });
    bool ok = true;
    ASSERT_TRUE(platform->setMemoryBudget(1024ul << 20));
    ASSERT_TRUE(platform->requestMemory(0, ok));
    EXPECT_TRUE(global->isPaused());
    ASSERT_TRUE(platform->setMemoryBudget(0ul));
    ASSERT_TRUE(platform->requestMemory(0, ok));
    EXPECT_FALSE(global->isPaused());
    platform->setUntrackedMemProbe(nullptr);
}

// Failures stay with their entry; the loader goes on with the next, and the
// hook-up reports each: a failed load keeps its code, exhausted memory is
// code 20, any other exception code 5.
TEST_F(ResidencyTest, FailedLoadsAreKeptAndTheLoaderGoesOn) {
    Probes probes = makeProbes(4);
    probes[0]->eFault = Probe::Fault::Fail;
    probes[1]->eFault = Probe::Fault::BadAlloc;
    probes[2]->eFault = Probe::Fault::Throw;
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(need(probes[i].get(), float(10 - i)));
    ASSERT_TRUE(mgr->setUseThreadedLoading(1));
    ASSERT_TRUE(waitUntil([&] { return !mgr->numRequestedItemsPending(); }));
    EXPECT_EQ(mgr->perfCounters().nLoaded, 1u);
    EXPECT_EQ(mgr->perfCounters().nFailed, 3u);

    const int codes[] = {VQ_ERR_CORRUPT, VQ_ERR_ALLOC, VQ_ERR_INTERNAL};
    const char* texts[] = {"Probe refused to load", "Caught std::bad_alloc", "Caught unknown std::exception"};
    for (int i = 0; i < 3; ++i) {
        VqErrorState::clearError();
        EXPECT_FALSE(serve(probes[i].get()));
        EXPECT_EQ(lastCode(), codes[i]);
        EXPECT_EQ(lastError(), texts[i]);
        EXPECT_EQ(probes[i]->nHookups, 1);
    }
    EXPECT_TRUE(serve(probes[3].get()));
    EXPECT_TRUE(probes[3]->bResident);
    EXPECT_FALSE(mgr->areItemsPending());
}

// One execute hooks up everything of its document; a hook-up that throws is
// reported and the others still happen.
TEST_F(ResidencyTest, ThrowingHookupDoesNotStopTheOthers) {
    Vq::SharedPtr<Probe> document = new Probe();
    Probes probes = makeProbes(3);
    probes[0]->bThrowOnHookup = true;
    for (int i = 0; i < 3; ++i) {
        probes[i]->pDocument = document.get();
        ASSERT_TRUE(need(probes[i].get(), float(3 - i)));
    }
    EXPECT_FALSE(serve(document.get()));
    EXPECT_EQ(lastError(), "Caught unknown std::exception");
    EXPECT_EQ(lastCode(), VQ_ERR_INTERNAL);
    for (auto& p : probes)
        EXPECT_EQ(p->nHookups, 1);
    EXPECT_TRUE(probes[1]->bResident && probes[2]->bResident);
    EXPECT_FALSE(mgr->areItemsPending());
}

// Loaders start and stop as asked, and requests made while none ran are
// served once some run again.
TEST_F(ResidencyTest, LoadersStopAndStart) {
    ASSERT_TRUE(mgr->setUseThreadedLoading(2));
    EXPECT_EQ(mgr->numLoaderThreads(), 2);
    ASSERT_TRUE(mgr->setUseThreadedLoading(0));
    EXPECT_EQ(mgr->numLoaderThreads(), 0);
    Probes probes = makeProbes(8);
    for (auto& p : probes)
        ASSERT_TRUE(need(p.get(), 1));
    EXPECT_EQ(mgr->perfCounters().nLoaded, 0u);
    ASSERT_TRUE(mgr->setUseThreadedLoading(1));
    ASSERT_TRUE(waitUntil([&] { return !mgr->numRequestedItemsPending(); }));
    EXPECT_EQ(mgr->perfCounters().nLoaded, 8u);
    for (auto& p : probes)
        EXPECT_FALSE(pthread_equal(p->tLoadThread, pthread_self()));
    EXPECT_EQ(mgr->numLoadedPartnsPending(), 0);
    for (auto& p : probes) {
        ASSERT_TRUE(serve(p.get()));
        EXPECT_TRUE(p->bResident);
    }
}

// A loader that does not finish in time is reported with code 26; the stop
// still waits for it.
TEST_F(ResidencyTest, StuckLoaderIsReportedAndAwaited) {
    mgr->setLoaderStopTimeout(50);
    Vq::SharedPtr<Probe> stuck = new Probe();
    stuck->bGate = true;
    ASSERT_TRUE(need(stuck.get(), 1));
    ASSERT_TRUE(mgr->setUseThreadedLoading(1));
    ASSERT_TRUE(waitUntil([&] { return stuck->bInLoad.load(); }));
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stuck->bGate = false;
    });
    EXPECT_FALSE(mgr->setUseThreadedLoading(0));
    opener.join();
    EXPECT_EQ(lastCode(), VQ_ERR_THREAD_EXIT);
    EXPECT_EQ(lastError(),
              "Normal loader thread exit timed-out.  Waiting indefinitely for remaining active threads...");
    EXPECT_EQ(mgr->numLoaderThreads(), 0);
    EXPECT_EQ(stuck->nLoads, 1);
}

// Several threads request many objects, some of which they let go again,
// while two loaders run and this thread hooks up: every kept object is loaded
// once on a loader and hooked up once here; the released ones are loaded at
// most once and never hooked up.
TEST_F(ResidencyTest, ManyRequestsFromSeveralThreadsWithLoadersRunning) {
    constexpr int kThreads = 4, kPerThread = 150;
    Probes kept = makeProbes(kThreads * kPerThread);
    ASSERT_TRUE(mgr->setUseThreadedLoading(2));
    std::vector<std::thread> requesters;
    std::atomic<int> done{0};
    for (int t = 0; t < kThreads; ++t)
        requesters.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                Probe* p = kept[size_t(t * kPerThread + i)].get();
                mgr->willNeed(VqRequestInfo(p, float(i % 7)));
                // A second request only changes the priority.
                if (i % 3 == 0) mgr->willNeed(VqRequestInfo(p, float(i % 5)));
                Vq::SharedPtr<Probe> transient = new Probe(-1);
                mgr->willNeed(VqRequestInfo(transient.get(), 1.0f));
            }
            ++done;
        });
    const pthread_t self = pthread_self();
    Vq::SharedPtr<Probe> document = new Probe();
    auto allHooked = [&] {
        for (auto& p : kept)
            if (p->nHookups == 0) return false;
        return true;
    };
    bool finished = false;
    for (int round = 0; round < 20000 && !finished; ++round) {
        finished = done == kThreads && allHooked();
        // Each probe is its own document: hook up every one of them.
        for (auto& p : kept)
            if (p->nLoads > 0 && p->nHookups == 0) {
                ASSERT_TRUE(mgr->execute(VqRequestInfo(p.get(), 0)));
            }
        ASSERT_TRUE(mgr->execute(VqRequestInfo(document.get(), 0)));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (auto& t : requesters)
        t.join();
    ASSERT_TRUE(finished);
    for (auto& p : kept) {
        EXPECT_EQ(p->nLoads, 1);
        EXPECT_EQ(p->nHookups, 1);
        EXPECT_FALSE(pthread_equal(p->tLoadThread, self));
        EXPECT_TRUE(pthread_equal(p->tHookupThread, self));
    }
    ASSERT_TRUE(mgr->setUseThreadedLoading(0));
    mgr->clear();
    // Every transient probe is gone, released here or by its requester.
    EXPECT_EQ(Probe::s_nDestroyed, kThreads * kPerThread);
    EXPECT_FALSE(mgr->areItemsPending());
}

// An interrupt stops the calling thread's time slice between entries.
TEST_F(ResidencyTest, InterruptEndsTheTimeSlice) {
    struct AfterTwo : VqNoArgFtor {
        int calls = 0;
        bool operator()() override { return ++calls > 2; }
    } interrupt;
    Probes probes = makeProbes(5);
    for (auto& p : probes)
        ASSERT_TRUE(need(p.get(), 1));
    ASSERT_TRUE(mgr->execute(VqRequestInfo(probes[0].get(), 0), &interrupt));
    EXPECT_EQ(mgr->perfCounters().nLoaded, 2u);
    EXPECT_EQ(mgr->numRequestedItemsPending(), 3);
}

// The library's shutdown stops the process-wide manager's loaders and drops
// its requests; the next start-up makes a new manager without loaders.
TEST_F(ResidencyTest, LibraryShutdownStopsTheLoaders) {
    VqResidencyRequestManager* global = VqResidencyRequestManagerSingleton::EnsureInstance();
    ASSERT_TRUE(global->registerHandler(Probe::classTypeID(), new ProbeHandler()));
    ASSERT_TRUE(global->setUseThreadedLoading(2));
    global->lockLoadQueue();
    Vq::SharedPtr<Probe> p = new Probe();
    ASSERT_TRUE(global->willNeed(VqRequestInfo(p.get(), VqRequestInfo::s_cUrgentPriority)));
    global->clearAllRequests();
    ASSERT_TRUE(global->willNeed(VqRequestInfo(p.get(), VqRequestInfo::s_cUrgentPriority)));
    ASSERT_TRUE(VqLib::fini());
    EXPECT_EQ(g_pInstanceVqResidencyRequestManager, nullptr);
    ASSERT_TRUE(VqLib::init());
    EXPECT_EQ(p->refCount(), 1u);
    ASSERT_NE(g_pInstanceVqResidencyRequestManager, nullptr);
    EXPECT_EQ(g_pInstanceVqResidencyRequestManager->numLoaderThreads(), 0);
    EXPECT_EQ(g_pInstanceVqResidencyRequestManager->handler(Probe::classTypeID()), nullptr);
}

} // namespace
