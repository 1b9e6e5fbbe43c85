#include "VqDualMeshCodec.h"

#include <algorithm>
#include <bit>
#include <utility>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace Vq {

int DualMeshCodec::assignRuns(const uint64_t* mask, int valence, int firstAttr, int* attrs) {
    // Nearly every vertex has one record for all its corners: one set bit
    // among the first 64 corners makes a single run whatever its place.
    if (valence <= 64) {
        const uint64_t m = valence < 64 ? mask[0] & ((uint64_t(1) << valence) - 1) : mask[0];
        if (m != 0 && (m & (m - 1)) == 0) {
            std::fill_n(attrs, valence, firstAttr);
            return 1;
        }
    }
    int nRuns = 0;
    for (int i = 0; i < valence; ++i)
        nRuns += int((mask[i >> 6] >> (i & 63)) & 1u);
    if (nRuns == 0) {
        for (int i = 0; i < valence; ++i)
            attrs[i] = -1;
        return 0;
    }
    // Slots before the first set bit continue the run that wraps around.
    int cur = firstAttr + nRuns - 1;
    int next = firstAttr;
    for (int i = 0; i < valence; ++i) {
        if ((mask[i >> 6] >> (i & 63)) & 1u) cur = next++;
        attrs[i] = cur;
    }
    return nRuns;
}

int DualMeshCodec::_stackOffsetOf(int v) const {
    for (size_t i = _viStack.size(); i-- > 0;)
        if (_viStack[i] == v) return int(_viStack.size() - i);
    return -1;
}

int DualMeshCodec::_nextActiveFace() {
    // The window is the top kWindow entries not completed; the completed
    // ones met leave the stack (the split offsets to come count what
    // stays). A completed vertex has no empty slot: within the top kWindow
    // entries it is chosen before any vertex with one, and completing it
    // again reads nothing, after which it leaves. So the vertex completed
    // with empty slots has the same window and stack as if each completed
    // entry had left as soon as it came within reach, and the choice needs
    // no mark of which vertices are completed.
    int* const b = _viStack.data();
    size_t n = _viStack.size();
    // The vertex chosen last is completed now and still where it was, under
    // only the vertices pushed since and those of the window above it: it
    // leaves when that puts it in the window. The entries above it move
    // down, fewer than kWindow: how many is as good as random, so on a
    // deep stack each of the top kWindow entries takes its upper neighbour
    // or stays by a select, with no loop on the count. (A copy of just the
    // entries above would be a library call for a few words.) Four entries
    // a select where the target has the instructions: the window's top
    // entry, which leaves, takes anything.
    if (_iChosen >= 0) {
        const size_t c = size_t(_iChosen);
        if (n - c <= size_t(kWindow)) {
            if (n > size_t(kWindow)) {
                int* const w = b + (n - size_t(kWindow));
                const int cw = int(c - (n - size_t(kWindow)));
#ifdef __SSE2__
                static_assert(kWindow == 16, "four selects of four entries");
                const auto at = [w](int i) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + i)); };
                const __m128i lo0 = at(0), lo1 = at(4), lo2 = at(8), lo3 = at(12);
                const __m128i up0 = at(1), up1 = at(5), up2 = at(9), up3 = _mm_srli_si128(lo3, 4);
                const __m128i last = _mm_set1_epi32(cw - 1);
                const auto select = [last](int i, __m128i lo, __m128i up) {
                    const __m128i moves = _mm_cmpgt_epi32(_mm_setr_epi32(i, i + 1, i + 2, i + 3), last);
                    return _mm_or_si128(_mm_and_si128(moves, up), _mm_andnot_si128(moves, lo));
                };
                const auto put = [w](int i, __m128i x) {
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(w + i), x);
                };
                put(0, select(0, lo0, up0));
                put(4, select(4, lo1, up1));
                put(8, select(8, lo2, up2));
                put(12, select(12, lo3, up3));
#else
#pragma GCC unroll 16
                for (int i = 0; i < kWindow - 1; ++i)
                    w[i] = w[i + int(i >= cw)];
#endif
            } else
                for (int carry = b[n - 1], i = int(n) - 1; i > int(c); --i)
                    carry = std::exchange(b[i - 1], carry);
            _viStack.pop_back();
            --n;
        }
        _iChosen = -1;
    }
    if (n == 0) return -1;
    const int* const empty = _pDst->vertEmptyCounts();
    // The fewest empty slots, on equal counts the entry nearer the top (the
    // least depth). Which entry wins is no better predicted than a coin, so
    // the counts are compared without a branch.
#ifdef __SSE2__
    // A deep stack, nearly always: the window's counts in two vectors of
    // 16-bit lanes (counts are ring lengths), top first; their least by
    // halving, then the first lane that holds it, which is the depth.
    if (n >= size_t(kWindow)) {
        static_assert(kWindow == 16, "two vectors of eight counts");
        const int* const top = b + (n - 1);
        // Four counts a vector, less half their range so that they pack
        // into signed 16-bit lanes as they are and compare in order.
        const __m128i half = _mm_set1_epi32(0x8000);
        const auto four = [&](int k) {
            return _mm_sub_epi32(
                _mm_setr_epi32(empty[top[-k]], empty[top[-k - 1]], empty[top[-k - 2]], empty[top[-k - 3]]),
                half);
        };
        const __m128i near = _mm_packs_epi32(four(0), four(4)), far = _mm_packs_epi32(four(8), four(12));
        __m128i m = _mm_min_epi16(near, far);
        m = _mm_min_epi16(m, _mm_shuffle_epi32(m, 0x4E));
        m = _mm_min_epi16(m, _mm_shuffle_epi32(m, 0xB1));
        m = _mm_min_epi16(m, _mm_shufflelo_epi16(_mm_shufflehi_epi16(m, 0xB1), 0xB1));
        const unsigned holds =
            unsigned(_mm_movemask_epi8(_mm_packs_epi16(_mm_cmpeq_epi16(near, m), _mm_cmpeq_epi16(far, m))));
        const size_t at0 = n - 1 - size_t(std::countr_zero(holds));
        _iChosen = ptrdiff_t(at0);
        return b[at0];
    }
#endif
    // The least of the keys "count, then depth" (counts in 16 bits).
    static_assert(kWindow == 16, "the depth takes the keys' low 4 bits");
    const auto key = [&](size_t k) { return uint32_t(empty[b[n - 1 - k]]) << 4 | uint32_t(k); };
    uint32_t least = key(0);
    for (size_t k = 1, nWin = std::min(n, size_t(kWindow)); k < nWin; ++k)
        least = std::min(least, key(k));
    const size_t at = n - 1 - (least & uint32_t(kWindow - 1));
    _iChosen = ptrdiff_t(at);
    return b[at];
}

} // namespace Vq
