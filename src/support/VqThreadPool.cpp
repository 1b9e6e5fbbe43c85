#include "VqThreadPool.h"

#include "VqErrorState.h"

#include <algorithm>
#include <new>

namespace Vq {

ThreadPool::ThreadPool() {
    VqCondVar::synchronize(_cvQueue, _cvWorkers);
    VqCondVar::synchronize(_cvQueue, _cvJoiners);
}

ThreadPool::~ThreadPool() {
    _stopThreads();
}

bool ThreadPool::setNumPoolThreads(int nPoolThreads) {
    VQ_CHECK(nPoolThreads >= 0 && nPoolThreads <= 1024, "Vq::ThreadPool", "setNumPoolThreads",
             VQ_ERR_ARGUMENT);
    VqAutoLock config(_configMutex);
    VQ_PROPAGATE(_cvQueue.lock());
    bool queueEmpty = _queue.empty();
    if (queueEmpty) {
        // Refuses new tasks from here on until the new workers are up.
        _nPoolThreads = 0;
        _bStop = true;
    }
    _cvQueue.unlock();
    if (!queueEmpty) VQ_FAIL("Vq::ThreadPool", "setNumPoolThreads", "Task queue not empty", VQ_ERR_INTERNAL);
    _stopThreads();
    VQ_PROPAGATE(_startThreads(nPoolThreads));
    return true;
}

bool ThreadPool::_startThreads(int n) {
    _bStop = false;
    if (n == 0) return true;
    for (int i = 0; i < n; ++i) {
        Worker* w = new (std::nothrow) Worker;
        if (!w) {
            _stopThreads();
            VQ_FAIL("Vq::ThreadPool", "setNumPoolThreads", "Allocation failed: w = new Worker", VQ_ERR_ALLOC);
        }
        w->pPool = this;
        w->thread.setKickoff(&ThreadPool::_workerMain, w);
        _vpWorkers.push_back(w);
        if (!w->thread.create()) {
            _stopThreads();
            VqErrorState::rethrowError();
            return false;
        }
        w->thread.setThreadName("TPool::Worker");
    }
    _dispatcher.setKickoff(&ThreadPool::_dispatcherMain, this);
    if (!_dispatcher.create()) {
        _stopThreads();
        VqErrorState::rethrowError();
        return false;
    }
    _dispatcher.setThreadName("TPool::Dispatcher");
    _nPoolThreads = n;
    return true;
}

// Lets the dispatcher hand out what is queued and every worker finish, then
// joins all threads.
void ThreadPool::_stopThreads() {
    _cvQueue.lock();
    _bStop = true;
    _nPoolThreads = 0;
    _cvQueue.signalAll();
    _cvWorkers.signalAll();
    _cvQueue.unlock();
    _dispatcher.waitForExit();
    for (Worker* w : _vpWorkers) {
        w->thread.waitForExit();
        delete w;
    }
    _vpWorkers.clear();
}

unsigned ThreadPool::_numIdle() const {
    unsigned n = 0;
    for (const Worker* w : _vpWorkers)
        n += w->bIdle ? 1 : 0;
    return n;
}

bool ThreadPool::addTask(Task* pTask) {
    VQ_CHECK(pTask != nullptr, "Vq::ThreadPool", "addTask", VQ_ERR_ARGUMENT);
    VQ_CHECK(pTask->pfWorkFunction, "Vq::ThreadPool", "addTask", VQ_ERR_ARGUMENT);
    VQ_CHECK(pTask->nMinThreads >= 1, "Vq::ThreadPool", "addTask", VQ_ERR_ARGUMENT);
    VQ_CHECK(pTask->nMaxThreads == -1 || pTask->nMaxThreads >= pTask->nMinThreads, "Vq::ThreadPool",
             "addTask", VQ_ERR_ARGUMENT);
    VQ_PROPAGATE(_cvQueue.lock());
    const char* refused = nullptr;
    if (!(pTask->nMinThreads <= numPoolThreads()))
        refused = "pTask->nMinThreads <= numPoolThreads()";
    else if (!(pTask->eTaskState == Task::Joined))
        refused = "pTask->eTaskState == Task::Joined";
    if (!refused) {
        pTask->eTaskState = Task::Queued;
        pTask->nThreads = 0;
        _queue.push_back(pTask);
        _cvQueue.signalOne();
    }
    _cvQueue.unlock();
    if (refused) VQ_FAIL("Vq::ThreadPool", "addTask", refused, VQ_ERR_ARGUMENT);
    return true;
}

bool ThreadPool::joinTask(Task* pTask) {
    VQ_CHECK(pTask != nullptr, "Vq::ThreadPool", "joinTask", VQ_ERR_ARGUMENT);
    VQ_PROPAGATE(_cvQueue.lock());
    if (pTask->eTaskState == Task::Joined) {
        _cvQueue.unlock();
        VQ_FAIL("Vq::ThreadPool", "joinTask", "pTask->eTaskState != Task::Joined", VQ_ERR_ARGUMENT);
    }
    while (pTask->eTaskState != Task::Finished) {
        bool signalled;
        _cvJoiners.wait(signalled, s_cCVarWaitTimeout);
    }
    pTask->eTaskState = Task::Joined;
    _cvQueue.unlock();
    return true;
}

void* ThreadPool::_dispatcherMain(void* self) {
    static_cast<ThreadPool*>(self)->_dispatch();
    return nullptr;
}

void* ThreadPool::_workerMain(void* worker) {
    Worker* w = static_cast<Worker*>(worker);
    w->pPool->_work(*w);
    return nullptr;
}

void ThreadPool::_dispatch() {
    _cvQueue.lock();
    for (;;) {
        // Finish the tasks whose workers are all done.
        auto done = std::find_if(_vpRunning.begin(), _vpRunning.end(),
                                 [](const Task* t) { return t->eTaskState == Task::Done; });
        if (done != _vpRunning.end()) {
            Task* t = *done;
            _vpRunning.erase(done);
            _cvQueue.unlock();
            if (t->pfFinishFunction) t->pfFinishFunction(t->nThreads, t->pData);
            _cvQueue.lock();
            t->eTaskState = Task::Finished;
            _cvJoiners.signalAll();
            continue;
        }
        if (_bStop && _queue.empty() && _vpRunning.empty()) break;

        // Start the head of the queue once enough workers are idle. It stays at
        // the head while its start function runs: only this thread takes tasks
        // off the queue or makes workers busy, so the idle count can only grow.
        if (!_queue.empty()) {
            Task* t = _queue.front();
            unsigned idle = _numIdle();
            if (idle >= static_cast<unsigned>(t->nMinThreads)) {
                unsigned n =
                    t->nMaxThreads == -1 ? idle : std::min(idle, static_cast<unsigned>(t->nMaxThreads));
                t->nThreads = n;
                if (t->pfStartFunction) {
                    _cvQueue.unlock();
                    t->pfStartFunction(n, t->pData);
                    _cvQueue.lock();
                }
                _queue.pop_front();
                unsigned iThread = 0;
                for (Worker* w : _vpWorkers) {
                    if (iThread == n) break;
                    if (!w->bIdle) continue;
                    w->bIdle = false;
                    w->pTask = t;
                    w->threadIndex = iThread++;
                    w->nThreads = n;
                }
                t->eTaskState = static_cast<int32_t>(n);
                _vpRunning.push_back(t);
                _cvWorkers.signalAll();
                continue;
            }
        }
        bool signalled;
        _cvQueue.wait(signalled, s_cCVarWaitTimeout);
    }
    _cvQueue.unlock();
}

void ThreadPool::_work(Worker& w) {
    _cvQueue.lock();
    for (;;) {
        while (!w.pTask && !(_bStop && _queue.empty())) {
            bool signalled;
            _cvWorkers.wait(signalled, s_cCVarWaitTimeout);
        }
        Task* t = w.pTask;
        if (!t) break;
        const unsigned nThreads = w.nThreads;
        const unsigned index = w.threadIndex;
        _cvQueue.unlock();
        t->pfWorkFunction(nThreads, index, t->pData);
        _cvQueue.lock();
        w.pTask = nullptr;
        w.bIdle = true;
        --t->eTaskState;
        // The dispatcher may be waiting either for this task to finish or for
        // an idle worker.
        _cvQueue.signalOne();
    }
    _cvQueue.unlock();
}

} // namespace Vq
