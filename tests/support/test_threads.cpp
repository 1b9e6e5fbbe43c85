#include "VqBarrier.h"
#include "VqCondVar.h"
#include "VqLibFixture.h"
#include "VqPausableThreadMgr.h"
#include "VqPlatform.h"
#include "VqRWLockable.h"
#include "VqStdError.h"
#include "VqThread.h"
#include "VqThreadPool.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Polls until pred holds; a hang shows up as the test's time-out. The short
// sleep keeps the poller from competing with the threads it waits for.
template <class Pred>
void waitUntil(Pred pred) {
    while (!pred())
        std::this_thread::sleep_for(std::chrono::microseconds(100));
}

class ThreadsTest : public VqLibTest {};

} // namespace

// ---- pool

namespace {
struct RecordingTask {
    Vq::ThreadPool::Task task;
    std::atomic<unsigned> nWorkCalls{0};
    std::atomic<unsigned> indexMask{0};
    unsigned nStartThreads = 0;
    unsigned nFinishThreads = 0;
    std::atomic<unsigned> nWorkThreads{0};

    RecordingTask() {
        task.pData = this;
        task.pfWorkFunction = [](unsigned n, unsigned i, void* d) {
            auto* self = static_cast<RecordingTask*>(d);
            self->nWorkThreads = n; // the same value from every worker
            self->indexMask.fetch_or(1u << i);
            self->nWorkCalls.fetch_add(1);
        };
        task.pfStartFunction = [](unsigned n, void* d) { static_cast<RecordingTask*>(d)->nStartThreads = n; };
        task.pfFinishFunction = [](unsigned n, void* d) {
            static_cast<RecordingTask*>(d)->nFinishThreads = n;
        };
    }
};
} // namespace

TEST_F(ThreadsTest, PoolRefusesBadTasks) {
    Vq::ThreadPool pool;
    ASSERT_TRUE(pool.setNumPoolThreads(2));
    RecordingTask t;

    t.task.nMinThreads = 3;
    EXPECT_FALSE(pool.addTask(&t.task));
    EXPECT_EQ(lastError(), "pTask->nMinThreads <= numPoolThreads()");

    t.task.nMinThreads = 0;
    EXPECT_FALSE(pool.addTask(&t.task));
    EXPECT_EQ(lastError(), "pTask->nMinThreads >= 1");

    t.task.nMinThreads = 2;
    t.task.nMaxThreads = 1;
    EXPECT_FALSE(pool.addTask(&t.task));

    t.task.nMaxThreads = -1;
    t.task.pfWorkFunction = nullptr;
    EXPECT_FALSE(pool.addTask(&t.task));
    EXPECT_EQ(lastError(), "pTask->pfWorkFunction");

    // Never added, so it is still joined.
    EXPECT_FALSE(pool.joinTask(&t.task));
    EXPECT_EQ(t.nWorkCalls, 0u);

    EXPECT_FALSE(pool.setNumPoolThreads(1025));
    EXPECT_FALSE(pool.setNumPoolThreads(-1));
    EXPECT_EQ(pool.numPoolThreads(), 2);
}

TEST_F(ThreadsTest, UnlimitedTaskRunsOnAllIdleWorkersAndFinishSeesTheSameCount) {
    Vq::ThreadPool pool;
    ASSERT_TRUE(pool.setNumPoolThreads(3));
    RecordingTask t;
    ASSERT_TRUE(pool.addTask(&t.task));
    // A task in the queue or running cannot be added again.
    EXPECT_FALSE(pool.addTask(&t.task));
    ASSERT_TRUE(pool.joinTask(&t.task));
    EXPECT_EQ(t.task.eTaskState, Vq::ThreadPool::Task::Joined);
    EXPECT_EQ(t.nWorkCalls, 3u);
    EXPECT_EQ(t.indexMask, 0b111u);
    EXPECT_EQ(t.nStartThreads, 3u);
    EXPECT_EQ(t.nWorkThreads, 3u);
    EXPECT_EQ(t.nFinishThreads, 3u);

    // Joined tasks can go round again, and the maximum caps the count.
    t.nWorkCalls = 0;
    t.indexMask = 0;
    t.task.nMaxThreads = 2;
    ASSERT_TRUE(pool.addTask(&t.task));
    ASSERT_TRUE(pool.joinTask(&t.task));
    EXPECT_EQ(t.nWorkCalls, 2u);
    EXPECT_EQ(t.indexMask, 0b11u);
    EXPECT_EQ(t.nFinishThreads, 2u);
}

TEST_F(ThreadsTest, PoolThreadsCarryTheirNamesCutToFifteenCharacters) {
    Vq::ThreadPool pool;
    ASSERT_TRUE(pool.setNumPoolThreads(1));
    struct Names {
        char dispatcher[32] = {};
        char worker[32] = {};
    } names;
    Vq::ThreadPool::Task task;
    task.pData = &names;
    task.pfStartFunction = [](unsigned, void* d) {
        pthread_getname_np(pthread_self(), static_cast<Names*>(d)->dispatcher, 32);
    };
    task.pfWorkFunction = [](unsigned, unsigned, void* d) {
        pthread_getname_np(pthread_self(), static_cast<Names*>(d)->worker, 32);
    };
    ASSERT_TRUE(pool.addTask(&task));
    ASSERT_TRUE(pool.joinTask(&task));
    EXPECT_STREQ(names.dispatcher, "TPool::Dispatch");
    EXPECT_STREQ(names.worker, "TPool::Worker");
}

TEST_F(ThreadsTest, TaskWaitsForItsMinimumOfIdleWorkers) {
    Vq::ThreadPool pool;
    ASSERT_TRUE(pool.setNumPoolThreads(2));
    // The first task holds one worker until released.
    std::atomic<bool> release{false};
    Vq::ThreadPool::Task blocker;
    blocker.pData = &release;
    blocker.nMaxThreads = 1;
    blocker.pfWorkFunction = [](unsigned, unsigned, void* d) {
        waitUntil([d] { return static_cast<std::atomic<bool>*>(d)->load(); });
    };
    RecordingTask both;
    both.task.nMinThreads = 2;
    ASSERT_TRUE(pool.addTask(&blocker));
    ASSERT_TRUE(pool.addTask(&both.task));
    VqThread::sleep(20);
    EXPECT_EQ(both.nWorkCalls, 0u);
    release = true;
    ASSERT_TRUE(pool.joinTask(&both.task));
    ASSERT_TRUE(pool.joinTask(&blocker));
    EXPECT_EQ(both.nWorkCalls, 2u);
    EXPECT_EQ(both.nFinishThreads, 2u);
}

TEST_F(ThreadsTest, TasksFromSeveralThreadsAllRunOnceInArrivalOrder) {
    Vq::ThreadPool pool;
    ASSERT_TRUE(pool.setNumPoolThreads(2));
    constexpr int kThreads = 4, kPerThread = 50, kTasks = kThreads * kPerThread;

    struct Shared {
        std::mutex arrival;
        int nextArrival = 0;
        std::vector<int> startOrder; // written by the dispatcher only
        std::atomic<int> runs[kTasks];
    } shared;
    for (auto& r : shared.runs)
        r = 0;
    struct Item {
        Vq::ThreadPool::Task task;
        Shared* shared;
        int arrival;
    };
    std::vector<Item> items(kTasks);

    std::vector<std::thread> adders;
    for (int a = 0; a < kThreads; ++a) {
        adders.emplace_back([&, a] {
            for (int k = 0; k < kPerThread; ++k) {
                Item& it = items[a * kPerThread + k];
                it.shared = &shared;
                it.task.pData = &it;
                it.task.nMaxThreads = 1;
                it.task.pfStartFunction = [](unsigned, void* d) {
                    Item* i = static_cast<Item*>(d);
                    i->shared->startOrder.push_back(i->arrival);
                };
                it.task.pfWorkFunction = [](unsigned, unsigned, void* d) {
                    Item* i = static_cast<Item*>(d);
                    i->shared->runs[i->arrival].fetch_add(1);
                };
                // Numbering and queueing under one lock fixes the arrival order.
                std::lock_guard<std::mutex> lock(shared.arrival);
                it.arrival = shared.nextArrival++;
                ASSERT_TRUE(pool.addTask(&it.task));
            }
        });
    }
    for (auto& t : adders)
        t.join();
    for (Item& it : items)
        ASSERT_TRUE(pool.joinTask(&it.task));

    ASSERT_EQ(shared.startOrder.size(), size_t(kTasks));
    for (int i = 0; i < kTasks; ++i) {
        EXPECT_EQ(shared.startOrder[i], i);
        EXPECT_EQ(shared.runs[i].load(), 1);
    }
}

TEST_F(ThreadsTest, PoolResizesOnlyWithAnEmptyQueue) {
    Vq::ThreadPool pool;
    ASSERT_TRUE(pool.setNumPoolThreads(1));
    std::atomic<bool> release{false};
    Vq::ThreadPool::Task blocker, queued;
    blocker.pData = &release;
    blocker.pfWorkFunction = [](unsigned, unsigned, void* d) {
        waitUntil([d] { return static_cast<std::atomic<bool>*>(d)->load(); });
    };
    queued.pfWorkFunction = [](unsigned, unsigned, void*) {};
    ASSERT_TRUE(pool.addTask(&blocker));
    ASSERT_TRUE(pool.addTask(&queued));
    EXPECT_FALSE(pool.setNumPoolThreads(3));
    release = true;
    ASSERT_TRUE(pool.joinTask(&blocker));
    ASSERT_TRUE(pool.joinTask(&queued));
    ASSERT_TRUE(pool.setNumPoolThreads(3));
    EXPECT_EQ(pool.numPoolThreads(), 3);
    RecordingTask t;
    t.task.nMinThreads = 3;
    ASSERT_TRUE(pool.addTask(&t.task));
    ASSERT_TRUE(pool.joinTask(&t.task));
    EXPECT_EQ(t.nWorkCalls, 3u);

    ASSERT_TRUE(pool.setNumPoolThreads(0));
    t.task.nMinThreads = 1;
    EXPECT_FALSE(pool.addTask(&t.task));
}

TEST_F(ThreadsTest, PlatformOwnsThePoolAndSizesItFromTheThreadLimit) {
    VqPlatform* platform = g_pInstanceVqPlatform;
    Vq::ThreadPool* pool = platform->threadPool();
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(platform->threadPool(), pool);
    EXPECT_GE(pool->numPoolThreads(), 1);
    ASSERT_TRUE(platform->setMaxTaskThreads(3));
    EXPECT_EQ(pool->numPoolThreads(), 3);
    EXPECT_FALSE(platform->setMaxTaskThreads(-1));
    ASSERT_TRUE(platform->setMaxTaskThreads(VqPlatform::s_cNoThreadLimit));
    platform->releaseThreadPool();
    EXPECT_NE(platform->threadPool(), nullptr);
}

// ---- barrier, condition variable, thread

TEST_F(ThreadsTest, BarrierReleasesOnTheThirdWaiterAndIsReusableAtOnce) {
    VqBarrier barrier;
    EXPECT_FALSE(barrier.setReleaseCount(0));
    EXPECT_EQ(lastError(), "relCount >= 1");
    ASSERT_TRUE(barrier.setReleaseCount(3));

    constexpr int kRounds = 50;
    std::atomic<int> passed[kRounds];
    for (auto& p : passed)
        p = 0;
    auto body = [&] {
        for (int r = 0; r < kRounds; ++r) {
            ASSERT_TRUE(barrier.wait());
            passed[r].fetch_add(1);
        }
    };
    std::thread a(body), b(body);
    waitUntil([&] { return barrier.numWaiting() == 2; });
    EXPECT_EQ(passed[0].load(), 0);
    EXPECT_FALSE(barrier.setReleaseCount(2));
    EXPECT_EQ(lastError(), "isValid() && numWaiting()==0");
    body(); // the third waiter opens every round
    a.join();
    b.join();
    for (auto& p : passed)
        EXPECT_EQ(p.load(), 3);
    EXPECT_EQ(barrier.numWaiting(), 0u);
}

TEST_F(ThreadsTest, CondVarWaitReportsSignalOrTimeOutAndNeedsTheLock) {
    VqCondVar cv;
    bool signalled = true;
    EXPECT_FALSE(cv.wait(signalled, 1));
    ASSERT_TRUE(cv.lock());
    ASSERT_TRUE(cv.wait(signalled, 1));
    EXPECT_FALSE(signalled);

    bool flag = false;
    std::thread t([&] {
        cv.lock();
        flag = true;
        cv.signalAll();
        cv.unlock();
    });
    while (!flag)
        ASSERT_TRUE(cv.wait(signalled, VqCondVar::s_cInfinite));
    EXPECT_TRUE(signalled);
    EXPECT_TRUE(cv.isHeldByCurrentThread());
    cv.unlock();
    t.join();
}

TEST_F(ThreadsTest, ThreadRunsItsRoutineAndChecksItsState) {
    VqThread empty;
    EXPECT_FALSE(empty.create());
    EXPECT_EQ(lastError(), "No kickoff routine specified");
    EXPECT_FALSE(empty.setCPUAffinity(0));

    std::atomic<int> value{0};
    VqThread t(
        [](void* arg) -> void* {
            static_cast<std::atomic<int>*>(arg)->store(7);
            return arg;
        },
        &value);
    ASSERT_TRUE(t.create());
    EXPECT_FALSE(t.create());
    EXPECT_EQ(lastError(), "!isActive()");
    EXPECT_TRUE(t.setThreadName("TPool::Dispatcher")); // longer than the system keeps
    void* result = nullptr;
    ASSERT_TRUE(t.waitForExit(VqThread::s_cInfinite, &result));
    EXPECT_EQ(result, &value);
    EXPECT_EQ(value.load(), 7);
    EXPECT_FALSE(t.isActive());

    // exit() ends the thread it is called on, and only that one.
    VqThread self;
    self.setKickoff(
        [](void* arg) -> void* {
            static_cast<VqThread*>(arg)->exit(42);
            return nullptr;
        },
        &self);
    EXPECT_FALSE(self.exit(1));
    ASSERT_TRUE(self.create());
    ASSERT_TRUE(self.waitForExit(VqThread::s_cInfinite, &result));
    EXPECT_EQ(reinterpret_cast<intptr_t>(result), 42);
}

// ---- reader/writer lock

TEST_F(ThreadsTest, RWLockableReadersShareAndWritersExcludeUnderContention) {
    Vq::RWLockable lock;
    EXPECT_FALSE(lock.lockRead(false));
    EXPECT_EQ(lastError(), "!( bLock == false && _iReadLock == 0)");
    EXPECT_FALSE(lock.lockWrite(false));
    EXPECT_EQ(lastError(), "_iWriteLock > 0");

    // Two readers hold the lock together.
    ASSERT_TRUE(lock.lockRead(true));
    std::thread other([&] {
        ASSERT_TRUE(lock.lockRead(true));
        EXPECT_EQ(lock.numReadLocks(), 2);
        ASSERT_TRUE(lock.lockRead(false));
    });
    other.join();
    ASSERT_TRUE(lock.lockRead(false));

    // Writers keep a two-word value consistent while readers check it.
    constexpr int kIters = 500;
    long a = 0, b = 0;
    std::atomic<bool> torn{false};
    std::atomic<int> writersDone{0};
    auto writer = [&] {
        for (int i = 0; i < kIters; ++i) {
            lock.lockWrite(true);
            EXPECT_EQ(lock.numReadLocks(), 0);
            ++a;
            ++b;
            lock.lockWrite(false);
        }
        writersDone.fetch_add(1);
    };
    auto reader = [&] {
        while (writersDone.load() < 2) {
            lock.lockRead(true);
            if (a != b) torn = true;
            lock.lockRead(false);
        }
    };
    std::thread w1(writer), w2(writer), r1(reader), r2(reader);
    w1.join();
    w2.join();
    r1.join();
    r2.join();
    EXPECT_FALSE(torn.load());
    EXPECT_EQ(a, 2 * kIters);
    EXPECT_EQ(b, 2 * kIters);
    EXPECT_EQ(lock.numWriteLocks(), 0);
}

// ---- pausable thread manager

namespace {
struct StrategyRun {
    std::atomic<int> steps{0};
    std::atomic<int> runs{0};
    std::atomic<bool> aborted{false};
    std::atomic<bool> selfControlRefused{false};
    int stepsToFinish = 1 << 30;
};

bool runSteps(VqPausableThreadMgr* mgr) {
    StrategyRun* s = static_cast<StrategyRun*>(mgr->data());
    // Only the controlling side may pause or destroy.
    if (s->runs.fetch_add(1) == 0) s->selfControlRefused = !mgr->pauseThread(false) && !mgr->destroy();
    for (;;) {
        bool paused, aborted;
        if (!mgr->getContinueExecution(paused, aborted)) {
            EXPECT_FALSE(paused && aborted);
            return false;
        }
        if (s->steps.fetch_add(1) + 1 >= s->stepsToFinish) return true;
        std::this_thread::yield();
    }
}

bool onAbort(VqPausableThreadMgr* mgr) {
    static_cast<StrategyRun*>(mgr->data())->aborted = true;
    return true;
}
} // namespace

TEST_F(ThreadsTest, PausableManagerPausesResumesAndAborts) {
    VqPausableThreadMgr mgr;
    StrategyRun s;
    EXPECT_FALSE(mgr.create(&s));
    EXPECT_EQ(lastError(), "_pfCallbacks[VQ_PTM_CB_RUN] != __null");
    ASSERT_TRUE(mgr.registerWorkerCB(&runSteps, VQ_PTM_CB_RUN));
    ASSERT_TRUE(mgr.registerWorkerCB(&onAbort, VQ_PTM_CB_ABORT));
    ASSERT_TRUE(mgr.create(&s));
    EXPECT_TRUE(mgr.isPaused());
    EXPECT_EQ(s.runs.load(), 0);

    ASSERT_TRUE(mgr.resumeThread(true));
    waitUntil([&] { return s.steps.load() > 10; });
    EXPECT_TRUE(mgr.isRunning());
    EXPECT_FALSE(mgr.resumeThread(false)); // not paused

    ASSERT_TRUE(mgr.pauseThread(true));
    EXPECT_TRUE(mgr.isPaused());
    const int atPause = s.steps.load();
    VqThread::sleep(5);
    EXPECT_EQ(s.steps.load(), atPause);

    ASSERT_TRUE(mgr.resumeThread(true));
    waitUntil([&] { return s.steps.load() > atPause + 10; });
    EXPECT_EQ(s.runs.load(), 2);
    EXPECT_TRUE(s.selfControlRefused.load());

    ASSERT_TRUE(mgr.abortThread());
    waitUntil([&] { return mgr.isAborted(); });
    EXPECT_TRUE(s.aborted.load());
    EXPECT_FALSE(mgr.pauseThread(true));
    ASSERT_TRUE(mgr.destroy());
}

TEST_F(ThreadsTest, PausableManagerRunsToCompletionAndRestarts) {
    VqPausableThreadMgr mgr;
    StrategyRun s;
    s.stepsToFinish = 100;
    ASSERT_TRUE(mgr.registerWorkerCB(&runSteps, VQ_PTM_CB_RUN));
    ASSERT_TRUE(mgr.create(&s));
    ASSERT_TRUE(mgr.resumeThread(false));
    waitUntil([&] { return mgr.isFinished(); });
    EXPECT_EQ(s.steps.load(), 100);
    // Nothing left to pause.
    ASSERT_TRUE(mgr.pauseThread(true));
    EXPECT_TRUE(mgr.isFinished());

    s.steps = 0;
    ASSERT_TRUE(mgr.restartThread(true));
    waitUntil([&] { return mgr.isFinished(); });
    EXPECT_EQ(s.runs.load(), 2);
    EXPECT_EQ(s.steps.load(), 100);
    // The destructor aborts and joins the parked worker.
}
