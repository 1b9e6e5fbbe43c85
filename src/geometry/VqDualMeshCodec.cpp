#include "VqDualMeshCodec.h"

#include "VqErrorState.h"

#include <algorithm>

namespace Vq {

namespace {
constexpr const char* kCls = "DualMeshCodec";
}

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

bool DualMeshCodec::run(VqDualVFMesh& dst) {
    _pDst = &dst;
    dst.clear();
    _viStack.clear();
    _iChosen = -1;
    for (;;) {
        const int p = ioVtxInit();
        if (p == -1) break;
        VQ_PROPAGATE(p >= 0);
        for (int s = 0; s < dst.polyDegree(p); ++s)
            if (dst.polyVtx(p, s) < 0) VQ_PROPAGATE(_activateF(p, s));
        for (int v; (v = _nextActiveFace()) >= 0;)
            VQ_PROPAGATE(_completeF(v));
    }
    return true;
}

[[gnu::always_inline]] inline bool DualMeshCodec::_activateF(int p, int s) {
    // In line: nearly every polygon activates a slot, nearly always with a
    // new vertex.
    const int iFace = ioFace(p, s);
    if (iFace >= 0) [[likely]] {
        _pDst->link(p, s, iFace, 0);
        _viStack.push_back(iFace);
        return true;
    }
    return _split(p, s, iFace);
}

bool DualMeshCodec::_split(int p, int s, int iFace) {
    VqDualVFMesh& m = *_pDst;
    if (iFace < -1) {
        VqErrorState::rethrowError();
        return false;
    }
    const int w = ioSplitFace(p, s);
    VQ_PROPAGATE(w >= 0);
    const int t = ioSplitPos(p, s);
    VQ_PROPAGATE(t >= 0);
    // The decoder's operations check the ranges; an occupied slot means the
    // streams describe no mesh.
    VQ_CHECK(m.vertPoly(w, t) < 0, kCls, "run", VQ_ERR_CORRUPT);
    m.link(p, s, w, t);
    return true;
}

bool DualMeshCodec::_completeF(int v) {
    VqDualVFMesh& m = *_pDst;
    const int val = m.vertValence(v);
    // v's ring is looked up afresh each time: completing a polygon adds
    // vertices, which may move the rings. Once no slot is empty the rest
    // of the ring needs no look.
    for (int s = 0; s < val && m.vertEmpty(v) > 0; ++s) {
        if (m.vertPoly(v, s) >= 0) continue;
        const int p = ioVtx(v, s);
        VQ_PROPAGATE(p >= 0);
        m.link(p, 0, v, s);
        VQ_PROPAGATE(_completeV(p));
    }
    return true;
}

// In line in its one caller, which calls it once per polygon.
[[gnu::always_inline]] inline bool DualMeshCodec::_completeV(int p) {
    using Corner = VqDualVFMesh::Corner;
    VqDualVFMesh& m = *_pDst;
    const int d = m.polyDegree(p);
    // p's ring stays in place throughout: polygons are only added while a
    // vertex is completed, never while a polygon is. p is new, linked in
    // slot 0 alone, and only this call fills its other slots: forward from
    // slot 1, backward from the last, then the gap between by activation,
    // so which of them are empty follows from the two ends reached.
    Corner* const pr = m.polyRing(p);
    const int w0 = pr[0].iElem, tw0 = pr[0].iSlot;
    // Forward: slot k + 1 is the vertex that precedes w in the polygon
    // across p's edge leaving w.
    int k = 0, w = w0, tw = tw0, vw = m.vertValence(w);
    const Corner* wr = m.vertRing(w);
    while (k + 1 < d) {
        const Corner cq = wr[tw == 0 ? vw - 1 : tw - 1];
        const int q = cq.iElem;
        if (q < 0) break;
        const int j = cq.iSlot, dq = m.polyDegree(q);
        const Corner cx = m.polyRing(q)[j == 0 ? dq - 1 : j - 1];
        const int x = cx.iElem;
        if (x < 0) break;
        Corner* const xr = m.vertRing(x);
        const int u = cx.iSlot, vx = m.vertValence(x), tx = u == 0 ? vx - 1 : u - 1;
        const int jn = xr[tx].iElem < 0 ? tx : -1;
        VQ_CHECK(jn > -1, kCls, "run", VQ_ERR_CORRUPT);
        m.link(pr, p, k + 1, xr, x, tx);
        ++k;
        w = x;
        tw = tx;
        vw = vx;
        wr = xr;
    }
    // Backward from the last slot: the vertex that follows w in the
    // neighbour across p's edge entering w.
    const int fwdEnd = k;
    k = d;
    w = w0;
    tw = tw0;
    vw = m.vertValence(w);
    wr = m.vertRing(w);
    while (k - 1 > fwdEnd) {
        const Corner cq = wr[tw + 1 == vw ? 0 : tw + 1];
        const int q = cq.iElem;
        if (q < 0) break;
        const int j = cq.iSlot, dq = m.polyDegree(q);
        const Corner cx = m.polyRing(q)[j + 1 == dq ? 0 : j + 1];
        const int x = cx.iElem;
        if (x < 0) break;
        Corner* const xr = m.vertRing(x);
        const int u = cx.iSlot, vx = m.vertValence(x), tx = u + 1 == vx ? 0 : u + 1;
        const int jn = xr[tx].iElem < 0 ? tx : -1;
        VQ_CHECK(jn > -1, kCls, "run", VQ_ERR_CORRUPT);
        m.link(pr, p, k - 1, xr, x, tx);
        --k;
        w = x;
        tw = tx;
        vw = vx;
        wr = xr;
    }
    for (int s = fwdEnd + 1; s < k; ++s)
        VQ_PROPAGATE(_activateF(p, s));
    return true;
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
