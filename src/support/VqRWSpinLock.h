#pragma once

#include "VqExport.h"

#include <pthread.h>

// POSIX reader/writer lock with default attributes.
class VQ_API VqRWSpinLock {
public:
    VqRWSpinLock() { pthread_rwlock_init(&_lock, nullptr); }
    ~VqRWSpinLock() { pthread_rwlock_destroy(&_lock); }
    VqRWSpinLock(const VqRWSpinLock&) = delete;
    VqRWSpinLock& operator=(const VqRWSpinLock&) = delete;

    void lockRead() { pthread_rwlock_rdlock(&_lock); }
    void lockWrite() { pthread_rwlock_wrlock(&_lock); }
    void unlock() { pthread_rwlock_unlock(&_lock); }

private:
    pthread_rwlock_t _lock;
};

class VQ_API VqAutoLockRead {
public:
    explicit VqAutoLockRead(VqRWSpinLock& l) : _l(l) { _l.lockRead(); }
    ~VqAutoLockRead() { _l.unlock(); }
    VqAutoLockRead(const VqAutoLockRead&) = delete;
    VqAutoLockRead& operator=(const VqAutoLockRead&) = delete;

private:
    VqRWSpinLock& _l;
};

class VQ_API VqAutoLockWrite {
public:
    explicit VqAutoLockWrite(VqRWSpinLock& l) : _l(l) { _l.lockWrite(); }
    ~VqAutoLockWrite() { _l.unlock(); }
    VqAutoLockWrite(const VqAutoLockWrite&) = delete;
    VqAutoLockWrite& operator=(const VqAutoLockWrite&) = delete;

private:
    VqRWSpinLock& _l;
};
