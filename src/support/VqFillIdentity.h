#pragma once

#include <cstdint>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace Vq {

// p[i] = i for i in [0, n): the identity map of ranks and rings. Four numbers
// a store, where the compiler leaves the loop one at a time.
inline void fillIdentity(uint32_t* p, uint32_t n) {
    uint32_t i = 0;
#ifdef __SSE2__
    for (__m128i four = _mm_setr_epi32(0, 1, 2, 3); n - i >= 4; i += 4) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + i), four);
        four = _mm_add_epi32(four, _mm_set1_epi32(4));
    }
#endif
    for (; i < n; ++i)
        p[i] = i;
}

} // namespace Vq
