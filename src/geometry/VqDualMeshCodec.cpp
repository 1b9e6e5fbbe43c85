#include "VqDualMeshCodec.h"

#include <algorithm>

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
    // leaves when that puts it in the window.
    if (_iChosen >= 0) {
        const size_t c = size_t(_iChosen);
        if (n - c <= size_t(kWindow)) {
            std::copy(b + c + 1, b + n, b + c);
            _viStack.pop_back();
            --n;
        }
        _iChosen = -1;
    }
    if (n == 0) return -1;
    const int* const empty = _pDst->vertEmptyCounts();
    int best = -1, bestEmpty = 0x7FFFFFFF;
    size_t bestAt = 0;
    // Strictly fewer: on equal counts the entry nearer the top stays.
    const auto consider = [&](size_t at) {
        const int v = b[at], e = empty[v];
        const bool bBetter = e < bestEmpty;
        best = bBetter ? v : best;
        bestEmpty = bBetter ? e : bestEmpty;
        bestAt = bBetter ? at : bestAt;
    };
    // A deep stack, nearly always: a window of fixed length, unrolled.
    if (n >= size_t(kWindow)) {
#pragma GCC unroll 16
        for (size_t k = 1; k <= size_t(kWindow); ++k)
            consider(n - k);
    } else
        for (size_t k = 1; k <= n; ++k)
            consider(n - k);
    _iChosen = ptrdiff_t(bestAt);
    return best;
}

} // namespace Vq
