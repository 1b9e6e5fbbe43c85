#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

// Helpers for the ASCII runs that make up most of the library's text: names,
// paths and version texts. They work a word (or a vector) at a time.
namespace Vq {

// Number of leading bytes below 0x80.
inline size_t asciiPrefix(const unsigned char* s, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, s + i, 8);
        if (w & 0x8080808080808080ull) break;
    }
    while (i < n && s[i] < 0x80)
        ++i;
    return i;
}

// Number of leading code units below 0x80.
inline size_t asciiPrefix(const unsigned short* s, size_t n) {
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        uint64_t w;
        std::memcpy(&w, s + i, 8);
        if (w & 0xFF80FF80FF80FF80ull) break;
    }
    while (i < n && s[i] < 0x80)
        ++i;
    return i;
}

// Bytes to code units; the bytes need not be ASCII.
inline void widenBytes(unsigned short* d, const unsigned char* s, size_t n) {
    size_t i = 0;
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), _mm_unpacklo_epi8(v, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i + 8), _mm_unpackhi_epi8(v, zero));
    }
#endif
    for (; i < n; ++i)
        d[i] = s[i];
}

// Code units below 0x100 to bytes.
inline void narrowUnits(unsigned char* d, const unsigned short* s, size_t n) {
    size_t i = 0;
#ifdef __SSE2__
    for (; i + 16 <= n; i += 16) {
        __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 8));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), _mm_packus_epi16(lo, hi));
    }
#endif
    for (; i < n; ++i)
        d[i] = static_cast<unsigned char>(s[i]);
}

} // namespace Vq
