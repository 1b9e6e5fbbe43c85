#include "VqRWLockable.h"

#include "VqErrorState.h"

#include <sched.h>

namespace Vq {

bool RWLockable::lockRead(bool bLock) {
    if (bLock) {
        VQ_PROPAGATE(_mutex.lock());
        _iReadLock.fetch_add(1);
        _mutex.unlock();
        return true;
    }
    int n = _iReadLock.load();
    do {
        if (n == 0)
            VQ_FAIL("Vq::RWLockable", "lockRead", "!( bLock == false && _iReadLock == 0)", VQ_ERR_INTERNAL);
    } while (!_iReadLock.compare_exchange_weak(n, n - 1));
    return true;
}

bool RWLockable::lockWrite(bool bLock) {
    if (bLock) {
        for (;;) {
            while (_iReadLock.load() != 0)
                sched_yield();
            VQ_PROPAGATE(_mutex.lock());
            // A reader may have counted itself in between the test and the lock.
            if (_iReadLock.load() == 0) break;
            _mutex.unlock();
        }
        _iWriteLock.fetch_add(1);
        return true;
    }
    VQ_CHECK(_iWriteLock > 0, "Vq::RWLockable", "lockWrite", VQ_ERR_INTERNAL);
    _iWriteLock.fetch_sub(1);
    _mutex.unlock();
    return true;
}

} // namespace Vq
