#include "VqDualMeshCodec.h"

#include <algorithm>
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
    // The fewest empty slots, on equal counts the entry nearer the top: the
    // least of the keys "count, then depth" (counts are ring lengths, in 16
    // bits). Which entry wins is no better predicted than a coin, so the
    // keys are compared without a branch, as a tree of minima over the
    // whole window rather than one chain of them.
    static_assert(kWindow == 16, "the depth takes the keys' low 4 bits");
    const auto key = [&](size_t k) { return uint32_t(empty[b[n - 1 - k]]) << 4 | uint32_t(k); };
    uint32_t least;
    // A deep stack, nearly always: a window of fixed length, unrolled.
    if (n >= size_t(kWindow)) {
        uint32_t keys[kWindow];
#pragma GCC unroll 16
        for (size_t k = 0; k < size_t(kWindow); ++k)
            keys[k] = key(k);
#pragma GCC unroll 16
        for (size_t w = size_t(kWindow) / 2; w > 0; w /= 2)
#pragma GCC unroll 16
            for (size_t k = 0; k < w; ++k)
                keys[k] = std::min(keys[k], keys[k + w]);
        least = keys[0];
    } else {
        least = key(0);
        for (size_t k = 1; k < n; ++k)
            least = std::min(least, key(k));
    }
    const size_t at = n - 1 - (least & uint32_t(kWindow - 1));
    _iChosen = ptrdiff_t(at);
    return b[at];
}

} // namespace Vq
