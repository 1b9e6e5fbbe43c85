#pragma once

#include <sys/resource.h>

// The process's peak resident size in KiB (-1 when the system cannot tell).
// A test measures how far one operation raises it: earlier tests of the same
// process may have set the peak already, so only a rise says anything.
inline long vqPeakRssKiB() {
    struct rusage usage {};
    return getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_maxrss : -1L;
}
