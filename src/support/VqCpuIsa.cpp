#include "VqCpuIsa.h"

#include <atomic>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#endif

namespace Vq {
namespace {

bool cpuHasFastIsa() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    // The builtin checks that the system saves the AVX registers too; it
    // knows no LZCNT, whose bit the extended leaf holds.
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("bmi") ||
        !__builtin_cpu_supports("bmi2") || !__builtin_cpu_supports("popcnt"))
        return false;
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __get_cpuid(0x80000001u, &a, &b, &c, &d) && (c & bit_LZCNT) != 0;
#else
    return false;
#endif
}

const bool s_bCpuHasFastIsa = cpuHasFastIsa();
// Until the static initialisers have run, this reads false and the baseline
// copies run, which is always safe.
std::atomic<bool> s_bFast{s_bCpuHasFastIsa};

} // namespace

bool CpuIsa::fast() {
    return s_bFast.load(std::memory_order_relaxed);
}

bool CpuIsa::setFast(bool bOn) {
    const bool b = bOn && s_bCpuHasFastIsa;
    s_bFast.store(b, std::memory_order_relaxed);
    return b;
}

} // namespace Vq
