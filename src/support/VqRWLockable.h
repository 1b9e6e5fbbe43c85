#pragma once

#include "VqExport.h"
#include "VqMutex.h"

#include <atomic>

namespace Vq {

// Object-level reader/writer lock built from a mutex and two counts. Readers
// only pass through the mutex to count themselves in, so they never block each
// other; a writer waits until no reader is counted and then keeps the mutex,
// which holds new readers out until it is done.
class VQ_API RWLockable {
public:
    RWLockable() = default;
    RWLockable(const RWLockable&) = delete;
    RWLockable& operator=(const RWLockable&) = delete;

    // lockRead(true) takes a read lock, lockRead(false) gives it back.
    bool lockRead(bool bLock);
    // lockWrite(true) takes the write lock, lockWrite(false) gives it back.
    bool lockWrite(bool bLock);

    int numReadLocks() const { return _iReadLock.load(); }
    int numWriteLocks() const { return _iWriteLock.load(); }

private:
    VqMutex _mutex;
    std::atomic<int> _iReadLock{0};
    std::atomic<int> _iWriteLock{0};
};

} // namespace Vq
