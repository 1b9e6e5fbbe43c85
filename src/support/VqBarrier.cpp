#include "VqBarrier.h"

#include "VqErrorState.h"

VqBarrier::VqBarrier(unsigned releaseCount) : _nReleaseCount(releaseCount >= 1 ? releaseCount : 1) {}

bool VqBarrier::setReleaseCount(unsigned relCount) {
    VQ_CHECK(relCount >= 1, "VqBarrier", "setReleaseCount", VQ_ERR_ARGUMENT);
    VQ_PROPAGATE(_cv.lock());
    bool idle = isValid() && _nWaiting == 0;
    if (idle) _nReleaseCount = relCount;
    _cv.unlock();
    if (!idle) VQ_FAIL("VqBarrier", "setReleaseCount", "isValid() && numWaiting()==0", VQ_ERR_INTERNAL);
    return true;
}

unsigned VqBarrier::releaseCount() const {
    _cv.lock();
    unsigned n = _nReleaseCount;
    _cv.unlock();
    return n;
}

unsigned VqBarrier::numWaiting() const {
    _cv.lock();
    unsigned n = _nWaiting;
    _cv.unlock();
    return n;
}

bool VqBarrier::wait() {
    VQ_PROPAGATE(_cv.lock());
    if (++_nWaiting >= _nReleaseCount) {
        _nWaiting = 0;
        ++_nGeneration;
        _cv.signalAll();
        _cv.unlock();
        return true;
    }
    const unsigned long generation = _nGeneration;
    while (generation == _nGeneration) {
        bool signalled = false;
        bool ok = _cv.wait(signalled);
        if (!ok || !signalled) {
            _cv.unlock();
            VQ_FAIL("VqBarrier", "wait", "signalled", VQ_ERR_INTERNAL);
        }
    }
    _cv.unlock();
    return true;
}
