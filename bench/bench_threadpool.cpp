#include "VqLib.h"
#include "VqPlatform.h"
#include "VqThreadPool.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>

namespace {
typedef std::chrono::steady_clock Clock;

struct LibScope {
    LibScope() { VqLib::init(); }
    ~LibScope() { VqLib::fini(); }
};

struct StartProbe {
    Clock::time_point started;
    std::atomic<bool> recorded{false};
};

void recordStart(unsigned, unsigned, void* data) {
    StartProbe* p = static_cast<StartProbe*>(data);
    // The first worker to start gives the latency.
    bool expected = false;
    if (p->recorded.compare_exchange_strong(expected, true)) p->started = Clock::now();
}

// Time from addTask until the first worker runs the work function, on an idle
// pool of arg(0) workers (the dispatcher sits in its wait when the task comes).
void BM_AddTaskToWorkStart(benchmark::State& state) {
    LibScope lib;
    Vq::ThreadPool pool;
    pool.setNumPoolThreads(static_cast<int>(state.range(0)));
    StartProbe probe;
    Vq::ThreadPool::Task task;
    task.pfWorkFunction = &recordStart;
    task.pData = &probe;
    for (auto _ : state) {
        probe.recorded = false;
        const Clock::time_point added = Clock::now();
        pool.addTask(&task);
        pool.joinTask(&task);
        state.SetIterationTime(std::chrono::duration<double>(probe.started - added).count());
    }
}
BENCHMARK(BM_AddTaskToWorkStart)->Arg(1)->Arg(2)->Arg(4)->UseManualTime()->Unit(benchmark::kMicrosecond);

// Time from addTask until joinTask returns for an empty task: dispatch, the
// workers, the finish step and the joiner's wake-up.
void BM_AddTaskToJoinReturn(benchmark::State& state) {
    LibScope lib;
    Vq::ThreadPool pool;
    pool.setNumPoolThreads(static_cast<int>(state.range(0)));
    Vq::ThreadPool::Task task;
    task.pfWorkFunction = [](unsigned, unsigned, void*) {};
    task.pfFinishFunction = [](unsigned, void*) {};
    for (auto _ : state) {
        pool.addTask(&task);
        pool.joinTask(&task);
    }
}
BENCHMARK(BM_AddTaskToJoinReturn)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMicrosecond);

// The process-wide pool as the library's own users get it.
void BM_PlatformPoolRoundTrip(benchmark::State& state) {
    LibScope lib;
    Vq::ThreadPool* pool = g_pInstanceVqPlatform->threadPool();
    Vq::ThreadPool::Task task;
    task.pfWorkFunction = [](unsigned, unsigned, void*) {};
    for (auto _ : state) {
        pool->addTask(&task);
        pool->joinTask(&task);
    }
    state.counters["workers"] = pool->numPoolThreads();
}
BENCHMARK(BM_PlatformPoolRoundTrip)->Unit(benchmark::kMicrosecond);
} // namespace
