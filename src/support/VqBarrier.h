#pragma once

#include "VqCondVar.h"
#include "VqExport.h"

// Releases its waiters together once the release count of them have arrived.
// A generation number tells the waiters of one round from those of the next,
// so the barrier can be used again as soon as it opens.
class VQ_API VqBarrier {
public:
    explicit VqBarrier(unsigned releaseCount = 1);

    bool isValid() const { return _cv.isValid(); }
    bool setReleaseCount(unsigned relCount);
    unsigned releaseCount() const;
    unsigned numWaiting() const;

    // Blocks until the release count of threads are waiting, then all go on.
    bool wait();

private:
    mutable VqCondVar _cv;
    unsigned _nReleaseCount;
    unsigned _nWaiting = 0;
    unsigned long _nGeneration = 0;
};
