#include "VqVertexCacheOptimizer.h"

#include "VqErrorState.h"
#include "VqPolygonTopoMesh.h"
#include "VqRandom.h"

#include <algorithm>
#include <new>
#include <utility>

namespace {
constexpr const char* kCls = "VqVertexCacheOptimizer";
}

bool VqVertexCacheOptimizer::execute(VqPolygonTopoMesh* pPTM) {
    VQ_CHECK(pPTM, kCls, "execute", VQ_ERR_ARGUMENT);
    if (_nCacheSize == 0) return true;
    VQ_PROPAGATE(pPTM->lockWrite(true));
    bool ok = true;
    try {
        if (pPTM->numPrims() > 0 && !(pPTM->uniformPrimSize() == 3)) {
            VqErrorState::throwStdError(kCls, "execute", "pPTM->uniformPrimSize() == 3", VQ_ERR_ARGUMENT);
            ok = false;
        }
        const uint32_t nFaceGrps = pPTM->numFaceGroups();
        VqVecu indices(pPTM->indices(), pPTM->indices() + pPTM->numIndices());
        VqVecu out(indices.size());
        VqRandom rng(0);
        for (uint32_t g = 0; ok && g < nFaceGrps; ++g) {
            const uint32_t pb = uint32_t(pPTM->faceGroupStart(g)), pe = uint32_t(pPTM->faceGroupStart(g + 1));
            uint32_t* grp = indices.data() + size_t(pb) * 3;
            if (_nCacheSize == s_cShuffle) {
                _shuffleGroup(grp, pe - pb, rng);
                std::copy(grp, grp + size_t(pe - pb) * 3, out.data() + size_t(pb) * 3);
            } else {
                ok = _reorderGroup(grp, pe - pb, out.data() + size_t(pb) * 3);
            }
        }
        if (ok) {
            VqVecu start(pPTM->primStarts(), pPTM->primStarts() + pPTM->numPrims() + 1);
            VqVecu faceGrps(pPTM->faceGroupStarts(), pPTM->faceGroupStarts() + nFaceGrps + 1);
            ok = pPTM->_assignPrimitives(std::move(start), std::move(out), std::move(faceGrps));
        }
    } catch (const std::bad_alloc&) {
        VqErrorState::throwStdError(kCls, "execute", "Caught std::bad_alloc", VQ_ERR_ALLOC);
        ok = false;
    }
    pPTM->lockWrite(false);
    VQ_PROPAGATE(ok);
    return true;
}

void VqVertexCacheOptimizer::_shuffleGroup(uint32_t* indices, uint32_t nTri, VqRandom& rng) {
    if (nTri < 2) return;
    for (uint32_t i = 0; i < nTri; ++i) {
        const uint32_t a = rng.nextUInt() % nTri, b = rng.nextUInt() % nTri;
        std::swap_ranges(indices + size_t(a) * 3, indices + size_t(a) * 3 + 3, indices + size_t(b) * 3);
    }
}

bool VqVertexCacheOptimizer::_reorderGroup(const uint32_t* indices, uint32_t nTri, uint32_t* out) {
    if (nTri == 0) return true;
    const uint32_t nCorners = 3 * nTri;
    // Records renumbered in order of first use, so that every array below
    // is as long as the group's own records.
    _vuLocalRec.clear();
    VqVecu corner(nCorners);
    for (uint32_t i = 0; i < nCorners; ++i) {
        const uint32_t r = indices[i];
        if (r >= _viLocal.size()) _viLocal.resize(size_t(r) + 1, -1);
        if (_viLocal[int(r)] < 0) {
            _viLocal[int(r)] = int(_vuLocalRec.size());
            _vuLocalRec.push_back(r);
        }
        corner[int(i)] = uint32_t(_viLocal[int(r)]);
    }
    for (uint32_t r : _vuLocalRec)
        _viLocal[int(r)] = -1;
    const uint32_t nV = uint32_t(_vuLocalRec.size());

    _vuAdjStart.assign(size_t(nV) + 1, 0u);
    for (uint32_t i = 0; i < nCorners; ++i)
        ++_vuAdjStart[int(corner[int(i)] + 1)];
    for (uint32_t v = 0; v < nV; ++v)
        _vuAdjStart[int(v + 1)] += _vuAdjStart[int(v)];
    _vuLive.assign(nV, 0u);
    _vuAdj.resize(nCorners);
    for (uint32_t i = 0; i < nCorners; ++i) {
        const uint32_t v = corner[int(i)];
        _vuAdj[int(_vuAdjStart[int(v)] + _vuLive[int(v)]++)] = i / 3;
    }

    const uint32_t k = _nCacheSize;
    // The cache as entry times: a record entered at time s has aged
    // time - s steps and is still held while that is at most k. The ring
    // remembers the newest entries (no more than there are corners).
    const uint32_t ringSize = std::min(k, nCorners);
    _vuRing.assign(ringSize, 0u);
    _vuStamp.assign(nV, 0u);
    _vuCandMark.assign(nV, 0u);
    _vbEmitted.assign(nTri, 0);
    _vDeadEnd.clear();
    uint32_t time = 1, fan = 0, nEmit = 0, cursor = 0;
    auto inCache = [&](uint32_t v) { return _vuStamp[int(v)] != 0 && time - _vuStamp[int(v)] <= k; };

    uint32_t v = 0;
    for (;;) {
        // Emit the fan around v, newest incident triangle first.
        ++fan;
        _vuCand.clear();
        for (uint32_t j = _vuAdjStart[int(v + 1)]; j-- > _vuAdjStart[int(v)];) {
            const uint32_t t = _vuAdj[int(j)];
            if (_vbEmitted[int(t)]) continue;
            _vbEmitted[int(t)] = 1;
            std::copy(indices + size_t(t) * 3, indices + size_t(t) * 3 + 3, out + size_t(nEmit) * 3);
            ++nEmit;
            for (uint32_t c = 0; c < 3; ++c) {
                const uint32_t w = corner[int(3 * t + c)];
                --_vuLive[int(w)];
                if (!inCache(w)) {
                    _vuStamp[int(w)] = time;
                    if (ringSize) _vuRing[int(time % ringSize)] = w;
                    ++time;
                }
                if (_vuCandMark[int(w)] != fan) {
                    _vuCandMark[int(w)] = fan;
                    _vuCand.push_back(w);
                }
                _vDeadEnd.push(w);
            }
        }
        // The next fan: a candidate that fits, the oldest of those first.
        int next = -1;
        uint32_t bestAge = 0;
        for (uint32_t w : _vuCand) {
            const uint32_t live = _vuLive[int(w)];
            if (live == 0 || !inCache(w)) continue;
            const uint64_t age = time - _vuStamp[int(w)];
            if (age + 2ull * live <= k && age > bestAge) {
                next = int(w);
                bestAge = uint32_t(age);
            }
        }
        for (uint32_t s = time; next < 0 && s-- > 1 && time - s <= ringSize;) {
            const uint32_t w = _vuRing[int(s % ringSize)];
            if (_vuStamp[int(w)] == s && _vuLive[int(w)] > 0) next = int(w);
        }
        while (next < 0 && !_vDeadEnd.empty()) {
            const uint32_t w = _vDeadEnd.pop();
            if (_vuLive[int(w)] > 0) next = int(w);
        }
        while (next < 0 && cursor < nV) {
            if (_vuLive[int(cursor)] > 0) next = int(cursor);
            ++cursor;
        }
        if (next < 0) break;
        v = uint32_t(next);
    }
    VQ_CHECK(nEmit == nTri, kCls, "execute", VQ_ERR_INTERNAL);
    return true;
}
