#include "VqCondVar.h"

#include "VqErrorState.h"

#include <cerrno>
#include <ctime>

VqCondVar::VqCondVar() : _pLock(&_lockOwn) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    // Deadlines are taken on the monotonic clock so that a change of the time
    // of day neither stretches nor cuts a wait.
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    bool condOk = pthread_cond_init(&_cond, &attr) == 0;
    pthread_condattr_destroy(&attr);
    bool mutexOk = pthread_mutex_init(&_lockOwn.mutex, nullptr) == 0;
    _bValid = condOk && mutexOk;
}

VqCondVar::~VqCondVar() {
    if (_pLock != &_lockOwn) _pLock->nBorrowers.fetch_sub(1);
    pthread_cond_destroy(&_cond);
    pthread_mutex_destroy(&_lockOwn.mutex);
}

bool VqCondVar::lock() {
    if (pthread_mutex_lock(&_pLock->mutex) != 0) {
        VqErrorState::throwStdError("VqCondVar", "lock", "Mutex lock failed.", VQ_ERR_MUTEX);
        return false;
    }
    _pLock->holder.store(pthread_self(), std::memory_order_relaxed);
    return true;
}

bool VqCondVar::unlock() {
    if (!isHeldByCurrentThread()) {
        VqErrorState::throwStdError("VqCondVar", "unlock", "isHeldByCurrentThread()", VQ_ERR_INTERNAL);
        return false;
    }
    _pLock->holder.store(0, std::memory_order_relaxed);
    pthread_mutex_unlock(&_pLock->mutex);
    return true;
}

bool VqCondVar::isHeldByCurrentThread() const {
    pthread_t h = _pLock->holder.load(std::memory_order_relaxed);
    return h != 0 && pthread_equal(h, pthread_self());
}

bool VqCondVar::wait(bool& signalled, unsigned timeoutMs) {
    signalled = false;
    if (!isHeldByCurrentThread()) {
        VqErrorState::throwStdError("VqCondVar", "wait", "isHeldByCurrentThread()", VQ_ERR_INTERNAL);
        return false;
    }
    _pLock->holder.store(0, std::memory_order_relaxed);
    int rc;
    if (timeoutMs == s_cInfinite) {
        rc = pthread_cond_wait(&_cond, &_pLock->mutex);
    } else {
        timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += timeoutMs / 1000;
        deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        rc = pthread_cond_timedwait(&_cond, &_pLock->mutex, &deadline);
    }
    _pLock->holder.store(pthread_self(), std::memory_order_relaxed);
    if (rc == ETIMEDOUT) return true;
    if (rc != 0) {
        VqErrorState::throwStdError("VqCondVar", "wait", "Wait failed", VQ_ERR_INTERNAL);
        return false;
    }
    signalled = true;
    return true;
}

bool VqCondVar::signalOne() {
    return pthread_cond_signal(&_cond) == 0;
}

bool VqCondVar::signalAll() {
    return pthread_cond_broadcast(&_cond) == 0;
}

bool VqCondVar::synchronize(VqCondVar& a, VqCondVar& b) {
    if (&a == &b) return true;
    if (a._pLock->holder.load() != 0 || b._pLock->holder.load() != 0 || b._lockOwn.nBorrowers.load() != 0) {
        VqErrorState::throwStdError("VqCondVar", "synchronize", "Condition variable in use", VQ_ERR_INTERNAL);
        return false;
    }
    if (b._pLock != &b._lockOwn) b._pLock->nBorrowers.fetch_sub(1);
    b._pLock = a._pLock;
    b._pLock->nBorrowers.fetch_add(1);
    return true;
}
