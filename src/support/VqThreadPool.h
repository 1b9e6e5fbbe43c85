#pragma once

#include "VqAllocHooked.h"
#include "VqCondVar.h"
#include "VqExport.h"
#include "VqMutex.h"
#include "VqThread.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <vector>

namespace Vq {

// Process-wide pool of worker threads and one dispatcher. Tasks start one at
// a time in order of arrival; a task runs its work function once on each of
// the workers it is given, all at once.
class VQ_API ThreadPool : public VqAllocHooked {
public:
    // Filled by the caller, who owns it until joinTask returns.
    struct Task {
        enum State : int32_t { Joined = -2, Queued = -3, Finished = -1, Done = 0 };

        // Runs once on every assigned worker.
        void (*pfWorkFunction)(unsigned nThreads, unsigned threadIndex, void* data) = nullptr;
        // Run by the dispatcher before the workers start and after all of them finished.
        void (*pfStartFunction)(unsigned nThreads, void* data) = nullptr;
        void (*pfFinishFunction)(unsigned nThreads, void* data) = nullptr;
        void* pData = nullptr;
        // The task waits until this many workers are idle.
        int16_t nMinThreads = 1;
        // -1 for no limit; otherwise not below the minimum.
        int16_t nMaxThreads = -1;
        // Joined, Queued, n workers still running, Done, Finished. Changed by the
        // pool under its lock.
        int32_t eTaskState = Joined;
        // The number of workers the task was given.
        unsigned nThreads = 0;
    };

    // Every wait in the pool is bounded by this time-out (ms) and its
    // condition is tested again, so a lost wake-up costs at most this much.
    static constexpr unsigned s_cCVarWaitTimeout = 100;
    static constexpr int s_cMaxPoolThreads = 1024;

    // Starts without threads; setNumPoolThreads brings them up.
    ThreadPool();
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // Stops the threads and starts nPoolThreads new workers; the queue must be empty.
    bool setNumPoolThreads(int nPoolThreads);
    int numPoolThreads() const { return _nPoolThreads.load(); }

    bool addTask(Task* pTask);
    // Waits until the task has finished and hands it back to the caller.
    bool joinTask(Task* pTask);

private:
    struct Worker {
        ThreadPool* pPool = nullptr;
        VqThread thread;
        Task* pTask = nullptr;
        unsigned threadIndex = 0;
        unsigned nThreads = 0;
        bool bIdle = true;
    };

    static void* _dispatcherMain(void* self);
    static void* _workerMain(void* worker);
    void _dispatch();
    void _work(Worker& w);
    bool _startThreads(int n);
    void _stopThreads();
    unsigned _numIdle() const;

    // _cvQueue's lock guards all the state below; the three variables share it.
    VqCondVar _cvQueue;   // the dispatcher: tasks arrived or workers became idle
    VqCondVar _cvWorkers; // the workers: tasks assigned or stop
    VqCondVar _cvJoiners; // the joiners: tasks finished
    std::deque<Task*> _queue;
    std::vector<Task*> _vpRunning;
    std::vector<Worker*> _vpWorkers;
    VqThread _dispatcher;
    std::atomic<int> _nPoolThreads{0};
    // Serialises changes of the pool size.
    VqMutex _configMutex;
    bool _bStop = false;
};

} // namespace Vq
