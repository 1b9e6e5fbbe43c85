#pragma once

#include <cstdint>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

// The identity map (p[i] == i) of ranks and rings: a decoded mesh's records
// come in their own order and mostly alone at their positions, so these
// maps are written and tested whole, four numbers a vector, where the
// compiler leaves the loops one number at a time.
namespace Vq {

// p[i] = i * step for i in [0, n) (a step of 3: the starts of triangles).
inline void fillSteps(uint32_t* p, uint32_t n, uint32_t step) {
    uint32_t i = 0;
#ifdef __SSE2__
    const int s = int(step);
    for (__m128i four = _mm_setr_epi32(0, s, 2 * s, 3 * s); n - i >= 4; i += 4) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + i), four);
        four = _mm_add_epi32(four, _mm_set1_epi32(4 * s));
    }
#endif
    for (; i < n; ++i)
        p[i] = i * step;
}

// p[i] = i for i in [0, n).
inline void fillIdentity(uint32_t* p, uint32_t n) {
    fillSteps(p, n, 1);
}

// The first i in [from, n) with p[i] != i, or n.
inline uint32_t firstNonIdentity(const uint32_t* p, uint32_t from, uint32_t n) {
    uint32_t i = from;
#ifdef __SSE2__
    for (__m128i four = _mm_add_epi32(_mm_setr_epi32(0, 1, 2, 3), _mm_set1_epi32(int(from))); n - i >= 4;
         i += 4) {
        const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(r, four)) != 0xFFFF) break;
        four = _mm_add_epi32(four, _mm_set1_epi32(4));
    }
#endif
    while (i < n && p[i] == i)
        ++i;
    return i;
}

} // namespace Vq
