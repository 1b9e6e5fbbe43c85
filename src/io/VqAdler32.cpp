#include "VqAdler32.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {
constexpr uint32_t kBase = 65521;
// Bytes summed between two reductions, a multiple of the 16 bytes of a step:
// the weighted sums' 32-bit lanes grow by less than 2^14 a step, the other
// sums are kept in 64 bits.
constexpr size_t kRun = size_t(1) << 16;

#ifdef __SSE2__
inline uint64_t sumLanes64(__m128i v) {
    return static_cast<uint64_t>(_mm_cvtsi128_si64(v)) +
           static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(v, v)));
}

inline uint64_t sumLanes32(__m128i v) {
    const __m128i z = _mm_setzero_si128();
    return sumLanes64(_mm_add_epi64(_mm_unpacklo_epi32(v, z), _mm_unpackhi_epi32(v, z)));
}
#endif
} // namespace

uint32_t Vq::adler32(uint32_t adler, const uint8_t* p, size_t n) {
    uint64_t a = adler & 0xFFFF;
    uint64_t b = adler >> 16;
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128();
    // Byte i of a step of sixteen counts 16 - i times towards b.
    const __m128i wLo = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
    const __m128i wHi = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
    while (n >= 16) {
        const size_t steps = (n < kRun ? n : kRun) / 16;
        // Per step: a's growth so far (64-bit lanes from the byte sums), the
        // running total of a at each step's start, and the weighted bytes.
        __m128i sumA = zero;
        __m128i sumPrefix = zero;
        __m128i sumWeighted = zero;
        for (size_t s = 0; s < steps; ++s, p += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            sumPrefix = _mm_add_epi64(sumPrefix, sumA);
            sumA = _mm_add_epi64(sumA, _mm_sad_epu8(v, zero));
            sumWeighted = _mm_add_epi32(sumWeighted, _mm_madd_epi16(_mm_unpacklo_epi8(v, zero), wLo));
            sumWeighted = _mm_add_epi32(sumWeighted, _mm_madd_epi16(_mm_unpackhi_epi8(v, zero), wHi));
        }
        n -= steps * 16;
        b += 16 * steps * a + 16 * sumLanes64(sumPrefix) + sumLanes32(sumWeighted);
        a += sumLanes64(sumA);
        a %= kBase;
        b %= kBase;
    }
#else
    // Without vectors, byte by byte, reduced once a run: b grows by less
    // than 2^8 kRun^2 in 64 bits.
    while (n >= kRun) {
        for (size_t i = 0; i < kRun; ++i) {
            a += p[i];
            b += a;
        }
        p += kRun;
        n -= kRun;
        a %= kBase;
        b %= kBase;
    }
#endif
    for (size_t i = 0; i < n; ++i) {
        a += p[i];
        b += a;
    }
    return static_cast<uint32_t>(((b % kBase) << 16) | (a % kBase));
}
