#pragma once

#include "VqExport.h"

#include <atomic>
#include <pthread.h>

// Condition variable with its own lock and the identity of the thread holding
// that lock. Several condition variables may share one lock (synchronize), so
// that a single state guarded by one lock can have separate wake-up channels.
class VQ_API VqCondVar {
public:
    // Waits without a time limit.
    static constexpr unsigned s_cInfinite = 0xFFFFFFFFu;

    VqCondVar();
    ~VqCondVar();
    VqCondVar(const VqCondVar&) = delete;
    VqCondVar& operator=(const VqCondVar&) = delete;

    bool isValid() const { return _bValid; }

    bool lock();
    bool unlock();
    // True when the calling thread holds the lock.
    bool isHeldByCurrentThread() const;

    // Only the holder may wait. The lock is released during the wait and held
    // again on return. `signalled` is false when the deadline ended the wait;
    // callers re-check their condition either way.
    bool wait(bool& signalled, unsigned timeoutMs = s_cInfinite);
    bool signalOne();
    bool signalAll();

    // Makes `b` use the lock of `a`. Neither may be held, and `b` must not be
    // lending its own lock to another condition variable.
    static bool synchronize(VqCondVar& a, VqCondVar& b);

private:
    struct Lock {
        pthread_mutex_t mutex;
        std::atomic<pthread_t> holder{0};
        std::atomic<int> nBorrowers{0};
    };

    Lock _lockOwn;
    Lock* _pLock;
    pthread_cond_t _cond;
    bool _bValid = false;
};
