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

int DualMeshCodec::_faceCntxt(int p) const {
    const VqDualVFMesh& m = *_pDst;
    const int d = m.polyDegree(p);
    if (d > 4) return d == 5 ? 6 : 7;
    int n = 0, sum = 0;
    for (int s = 0; s < d; ++s) {
        const int v = m.polyVtx(p, s);
        if (v >= 0) {
            ++n;
            sum += m.vertValence(v);
        }
    }
    const int ref = (d == 3 ? 6 : 4) * n;
    const int base = d == 3 ? 0 : 3;
    return base + (sum < ref ? 0 : sum == ref ? 1 : 2);
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
    _vbCompleted.clear();
    for (;;) {
        const int p = ioVtxInit();
        if (p == -1) break;
        VQ_PROPAGATE(p >= 0);
        for (int s = 0; s < dst.polyDegree(p); ++s)
            if (dst.polyVtx(p, s) < 0) VQ_PROPAGATE(_activateF(p, s));
        for (int v; (v = _nextActiveFace()) >= 0;) {
            VQ_PROPAGATE(_completeF(v));
            _vbCompleted[size_t(v)] = 1;
        }
    }
    return true;
}

bool DualMeshCodec::_activateF(int p, int s) {
    VqDualVFMesh& m = *_pDst;
    const int iFace = ioFace(p, s);
    if (iFace >= 0) {
        m.link(p, s, iFace, 0);
        _viStack.push_back(iFace);
        _vbCompleted.resize(size_t(m.numVerts()), 0);
        return true;
    }
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
    for (int s = 0; s < val; ++s) {
        if (m.vertPoly(v, s) >= 0) continue;
        const int p = ioVtx(v, s);
        VQ_PROPAGATE(p >= 0);
        m.link(p, 0, v, s);
        VQ_PROPAGATE(_completeV(p));
    }
    return true;
}

bool DualMeshCodec::_completeV(int p) {
    VqDualVFMesh& m = *_pDst;
    const int d = m.polyDegree(p);
    // Forward: slot k + 1 is the vertex that precedes w in the polygon
    // across p's edge leaving w.
    int k = 0, w = m.polyVtx(p, 0), tw = m.polyVtxSlot(p, 0);
    while (k + 1 < d && m.polyVtx(p, k + 1) < 0) {
        const int vw = m.vertValence(w), sq = tw == 0 ? vw - 1 : tw - 1;
        const int q = m.vertPoly(w, sq);
        if (q < 0) break;
        const int j = m.vertPolySlot(w, sq), dq = m.polyDegree(q), jp = j == 0 ? dq - 1 : j - 1;
        const int x = m.polyVtx(q, jp);
        if (x < 0) break;
        const int u = m.polyVtxSlot(q, jp), vx = m.vertValence(x), tx = u == 0 ? vx - 1 : u - 1;
        const int jn = m.vertPoly(x, tx) < 0 ? tx : -1;
        VQ_CHECK(jn > -1, kCls, "run", VQ_ERR_CORRUPT);
        m.link(p, k + 1, x, tx);
        ++k;
        w = x;
        tw = tx;
    }
    // Backward from the last slot: the vertex that follows w in the
    // neighbour across p's edge entering w.
    const int fwdEnd = k;
    k = d;
    w = m.polyVtx(p, 0);
    tw = m.polyVtxSlot(p, 0);
    while (k - 1 > fwdEnd && m.polyVtx(p, k - 1) < 0) {
        const int vw = m.vertValence(w), sq = tw + 1 == vw ? 0 : tw + 1;
        const int q = m.vertPoly(w, sq);
        if (q < 0) break;
        const int j = m.vertPolySlot(w, sq), dq = m.polyDegree(q), jn1 = j + 1 == dq ? 0 : j + 1;
        const int x = m.polyVtx(q, jn1);
        if (x < 0) break;
        const int u = m.polyVtxSlot(q, jn1), vx = m.vertValence(x), tx = u + 1 == vx ? 0 : u + 1;
        const int jn = m.vertPoly(x, tx) < 0 ? tx : -1;
        VQ_CHECK(jn > -1, kCls, "run", VQ_ERR_CORRUPT);
        m.link(p, k - 1, x, tx);
        --k;
        w = x;
        tw = tx;
    }
    for (int s = 1; s < d; ++s)
        if (m.polyVtx(p, s) < 0) VQ_PROPAGATE(_activateF(p, s));
    return true;
}

int DualMeshCodec::_nextActiveFace() {
    while (!_viStack.empty() && _vbCompleted[size_t(_viStack.back())])
        _viStack.pop_back();
    if (_viStack.empty()) return -1;
    int best = -1, bestEmpty = 0x7FFFFFFF, seen = 0;
    for (size_t i = _viStack.size(); i-- > 0 && seen < kWindow;) {
        const int v = _viStack[i];
        if (_vbCompleted[size_t(v)]) {
            _viStack.erase(_viStack.begin() + ptrdiff_t(i));
            continue;
        }
        ++seen;
        const int e = _pDst->vertEmpty(v);
        if (e < bestEmpty) {
            best = v;
            bestEmpty = e;
        }
    }
    return best;
}

} // namespace Vq
