#pragma once

#include "VqExport.h"

#include <pthread.h>

// Recursive POSIX mutex: the byte-stream and stream-manager code re-enters its
// own locks.
class VQ_API VqMutex {
public:
    VqMutex();
    ~VqMutex();
    VqMutex(const VqMutex&) = delete;
    VqMutex& operator=(const VqMutex&) = delete;

    // Fails (code 25, "Mutex lock failed.") only when the system refuses.
    bool lock();
    bool unlock();
    bool tryLock();
    pthread_mutex_t* native() { return &_mutex; }

private:
    pthread_mutex_t _mutex;
};

// Scope guard for a VqMutex.
class VQ_API VqAutoLock {
public:
    explicit VqAutoLock(VqMutex& m) : _m(m) { _m.lock(); }
    explicit VqAutoLock(VqMutex* m) : _m(*m) { _m.lock(); }
    ~VqAutoLock() { _m.unlock(); }
    VqAutoLock(const VqAutoLock&) = delete;
    VqAutoLock& operator=(const VqAutoLock&) = delete;

private:
    VqMutex& _m;
};
