#pragma once

#include "VqExport.h"

#include <type_traits>

// Hot decode loops can be built twice: for the baseline x86-64 instruction
// set the library is built for, and for the set that every x86-64 CPU made
// since about 2015 has (AVX2, BMI1, BMI2, LZCNT, POPCNT). The copy to run is
// chosen at run time, once a process, so that one build runs everywhere and
// uses what the CPU has. The wider set's three-operand shifts and leading-zero
// counts matter most to a loop short of registers, whose baseline shifts tie
// one up for the count: the arithmetic decoder's symbol loop is built so. The
// mesh walk is too, for its BMI shifts and three-operand forms: it runs about
// 2.5% fewer instructions so, and times 1-4% faster (best of many short runs;
// runs of a second each, on a noisy host, had once shown it slower). Only
// loops that time faster so are built twice.
//
// FMA is left out on purpose: with it the compiler may fuse a multiply and an
// add, and a decoded coordinate could then differ in its last bit between two
// CPUs reading the same file.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VQ_FAST_ISA_TARGET gnu::target("avx2,bmi,bmi2,lzcnt,popcnt")
#else
#define VQ_FAST_ISA_TARGET
#endif

// For the body of a lambda passed to Vq::withBestIsa: it must be inlined into
// the copy built for the fast set, or that copy would only call it.
#define VQ_ISA_BODY __attribute__((always_inline))

namespace Vq {

class VQ_API CpuIsa {
public:
    // The fast copies are in use: the CPU has the set, and they were not
    // turned off.
    static bool fast();
    // Turns the fast copies off, or back on where the CPU has the set, for the
    // whole process; tests compare both copies this way. Whether they are now
    // in use.
    static bool setFast(bool bOn);
};

namespace detail {
// Both copies out of line, so that the baseline one is built as it would be
// without the choice, and the caller's code around the call is the same.
template <class F>
[[VQ_FAST_ISA_TARGET, gnu::noinline]] std::invoke_result_t<F&> callFastIsa(F& f) {
    return f();
}
template <class F>
[[gnu::noinline]] std::invoke_result_t<F&> callBaseIsa(F& f) {
    return f();
}
} // namespace detail

// f(), run by the copy built for the fast set where it is in use. What f
// inlines is built for that set too, so f's body (VQ_ISA_BODY) and the hot
// functions it calls must be always inlined; a call left out of line runs the
// baseline code.
template <class F>
[[gnu::always_inline]] inline std::invoke_result_t<F&> withBestIsa(F&& f) {
    return CpuIsa::fast() ? detail::callFastIsa(f) : detail::callBaseIsa(f);
}

} // namespace Vq
