// Collocation, renumbering and the rings of records at one position.
#include "VqAutoScratchVec.h"
#include "VqCollocRenumber.h"
#include "VqErrorState.h"
#include "VqVertexRecordPool.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr const char* kCls = "VqVertexRecordPool";
constexpr uint32_t kNone = 0xFFFFFFFFu;

bool compatible(const void* context, uint32_t a, uint32_t b) {
    return static_cast<const VqVertexRecordPool*>(context)->isCompatibleVtxRecs(a, b);
}

// Exact equality of n floats, which NaN never passes (memcmp would let two
// NaNs of one pattern through).
bool equalFloats(const float* a, const float* b, int n) {
    for (int c = 0; c < n; ++c)
        if (!(a[c] == b[c])) return false;
    return true;
}

} // namespace

bool VqVertexRecordPool::isCompatibleVtxRecs(uint32_t a, uint32_t b) const {
    const Vq::VertexRecordFields& f = *_pFields;
    if (f.hasVtxFlags() && f.vtxFlags().get(static_cast<int>(a)) != f.vtxFlags().get(static_cast<int>(b)))
        return false;
    if (f.numNormalComps()) {
        // The squared chord between the normals against 1 - cos(angle): the
        // same as comparing the angle for unit normals, without a square root.
        const float* na = f.normals() + size_t(a) * 3;
        const float* nb = f.normals() + size_t(b) * 3;
        const float dx = na[0] - nb[0], dy = na[1] - nb[1], dz = na[2] - nb[2];
        if (!(dx * dx + dy * dy + dz * dz <= _fNormalThreshold)) return false;
    }
    if (const int n = f.numColorComps())
        if (!equalFloats(f.colors() + size_t(a) * n, f.colors() + size_t(b) * n, n)) return false;
    for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
        if (const int n = f.numTexCoordComps(k))
            if (!equalFloats(f.texCoords(k) + size_t(a) * n, f.texCoords(k) + size_t(b) * n, n)) return false;
    return f.equalAuxRecords(a, b);
}

bool VqVertexRecordPool::_referenceRanks(VqVecu& rank, uint32_t& nReferenced) const {
    nReferenced = 0;
    try {
        rank.assign(numVtxRecords(), kNone);
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "_referenceRanks", "xAutovTmp._p", VQ_ERR_ALLOC);
    }
    for (Vq::VertexRecordPoolMesh* m : _vpMeshes)
        m->_indexMapReference(rank, nReferenced);
    return true;
}

bool VqVertexRecordPool::_reorderAndNotify(const VqVecu& recordMap, const VqVecu* coordMap,
                                           const VqVecu& oldToNew) {
    // The fields change all at once or not at all; only then are the meshes
    // told, so that a failure leaves pool and meshes as they were.
    VQ_PROPAGATE(_pFields->reorder(recordMap.data(), static_cast<uint32_t>(recordMap.size()),
                                   coordMap ? coordMap->data() : nullptr));
    bool ok = true;
    for (Vq::VertexRecordPoolMesh* m : _vpMeshes)
        ok = m->_indexMapUpdate(oldToNew) && ok;
    try {
        _vuIndexMap = oldToNew;
    } catch (const std::bad_alloc&) {
        _vuIndexMap.clear();
        VQ_FAIL(kCls, "_reorderAndNotify", "Memory Allocation", VQ_ERR_ALLOC);
    }
    if (!ok) {
        VqErrorState::rethrowError();
        return false;
    }
    return true;
}

bool VqVertexRecordPool::_ensureCollocated(bool bRemoveUnreferenced) {
    if (_bCollocated) return true;
    VQ_CHECK(!_bDynamic, kCls, "_ensureCollocated", VQ_ERR_INTERNAL);
    VQ_CHECK(!isReadLocked(), kCls, "_ensureCollocated", VQ_ERR_INTERNAL);
    VQ_PROPAGATE(lockWrite(true));
    bool ok = false;
    try {
        ok = _collocate(bRemoveUnreferenced);
    } catch (...) {
        ok = VqErrorState::recordCurrentException(kCls, "_ensureCollocated");
    }
    lockWrite(false);
    if (!ok) {
        VqErrorState::rethrowError();
        return false;
    }
    return _sendChange(VQ_VRP_RECORDS_CHANGED);
}

bool VqVertexRecordPool::_collocate(bool bRemoveUnreferenced) {
    const uint32_t n = numVtxRecords();
    _bEquivRingsValid = false;
    if (n < 2) {
        _bCollocated = true;
        return true;
    }
    VQ_CHECK(_pFields->numVtxCoordComps() >= 2 && _pFields->numVtxCoordComps() <= 4, kCls,
             "_ensureCollocated", VQ_ERR_ARGUMENT);

    VqAutoScratchVec<VqVecu> xAutovTmp;
    if (!xAutovTmp.ok()) VQ_FAIL(kCls, "_ensureCollocated", "xAutovTmp._p", VQ_ERR_ALLOC);
    VqVecu& rank = *xAutovTmp;
    uint32_t nReferenced = 0;
    VQ_PROPAGATE(_referenceRanks(rank, nReferenced));
    if (bRemoveUnreferenced) {
        if (nReferenced == 0) {
            _pFields->clear(false);
            _vuIndexMap.assign(n, kNone);
            _recordsChanged();
            _bCollocated = true;
            return true;
        }
        // An unreferenced record becomes a copy of the first referenced one,
        // which the sweep then merges away with it.
        const uint32_t first = static_cast<uint32_t>(std::find(rank.begin(), rank.end(), 0u) - rank.begin());
        for (uint32_t i = 0; i < n; ++i)
            if (rank[static_cast<int>(i)] == kNone) _pFields->copyRecord(i, first);
    }

    std::vector<VqVec3f> points(n);
    VqBox3<float> box;
    for (uint32_t i = 0; i < n; ++i) {
        _projectedPoint(i, points[i]);
        const VqVec3f& p = points[i];
        if (std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2])) box.extendBy(p);
    }
    // A positive epsilon is relative to the size of the model, a negative one
    // is a distance in model units.
    double t = -double(_fVertexEps);
    if (_fVertexEps > 0) {
        const double dx = double(box.max[0]) - box.min[0], dy = double(box.max[1]) - box.min[1],
                     dz = double(box.max[2]) - box.min[2];
        t = box.isEmpty() ? 0.0 : _fVertexEps * std::sqrt(dx * dx + dy * dy + dz * dz);
    }
    std::vector<VqCollocKey> keys(n);
    uint32_t nUniq = 0;
    VQ_PROPAGATE(vqCollocRenumber(n, points.data(), box, t, &compatible, this, keys.data(), nUniq));
    std::vector<VqVec3f>().swap(points);

    // Each class keeps the record that opened it and that record's position
    // representative; the keys of a class follow the one that opened it.
    std::vector<uint32_t> classOf(n), head(nUniq, kNone), rep(nUniq);
    for (const VqCollocKey& k : keys) {
        const uint32_t tIdx = static_cast<uint32_t>(k.iClass);
        if (!(k.iClass >= 0 && tIdx < nUniq))
            VQ_FAIL(kCls, "_ensureCollocated", "tIdx <= nUniq", VQ_ERR_INTERNAL);
        classOf[k.iIdx] = tIdx;
        if (head[tIdx] == kNone) {
            head[tIdx] = k.iIdx;
            rep[tIdx] = static_cast<uint32_t>(k.iRep);
        }
    }
    std::vector<VqCollocKey>().swap(keys);

    // Classes are numbered in the order the meshes first reference them
    // (through any of their records); classes no mesh references follow.
    std::vector<uint32_t> byRank(nReferenced, kNone);
    for (uint32_t i = 0; i < n; ++i)
        if (rank[static_cast<int>(i)] != kNone) byRank[rank[static_cast<int>(i)]] = i;
    std::vector<uint32_t> classOrder(nUniq, kNone);
    uint32_t next = 0;
    for (uint32_t r : byRank)
        if (r != kNone && classOrder[classOf[r]] == kNone) classOrder[classOf[r]] = next++;
    // Removing unreferenced records keeps the referenced classes alone: a
    // copy that could not merge (a NaN attribute equals nothing, not even
    // itself) goes as well.
    const uint32_t nKeep = bRemoveUnreferenced ? next : nUniq;
    for (uint32_t c = 0; c < nUniq; ++c)
        if (classOrder[c] == kNone) classOrder[c] = next++;

    VqAutoScratchVec<VqVecu> xAutovRecMap;
    if (!xAutovRecMap.ok()) VQ_FAIL(kCls, "_ensureCollocated", "xAutovRecMap._p", VQ_ERR_ALLOC);
    VqVecu& recordMap = *xAutovRecMap;
    VqVecu coordMap;
    recordMap.resize(nKeep);
    coordMap.resize(nKeep);
    for (uint32_t c = 0; c < nUniq; ++c) {
        if (classOrder[c] >= nKeep) continue;
        recordMap[static_cast<int>(classOrder[c])] = head[c];
        coordMap[static_cast<int>(classOrder[c])] = rep[c];
    }
    // rank is done with: it becomes the map from old to new records (all
    // ones for a record that was removed).
    VqVecu& oldToNew = rank;
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t j = classOrder[classOf[i]];
        oldToNew[static_cast<int>(i)] = j < nKeep ? j : kNone;
    }
    VQ_PROPAGATE(_reorderAndNotify(recordMap, &coordMap, oldToNew));
    _recordsChanged();
    _bCollocated = true;
    return true;
}

bool VqVertexRecordPool::optimizePoolCache() {
    VQ_CHECK(!_bDynamic, kCls, "optimizePoolCache", VQ_ERR_INTERNAL);
    VQ_CHECK(!isReadLocked(), kCls, "optimizePoolCache", VQ_ERR_INTERNAL);
    VQ_PROPAGATE(lockWrite(true));
    bool ok = true;
    try {
        const uint32_t n = numVtxRecords();
        VqAutoScratchVec<VqVecu> xAutovTmp;
        VqAutoScratchVec<VqVecu> xAutovRecMap;
        if (!xAutovTmp.ok())
            VqErrorState::throwStdError(kCls, "optimizePoolCache", "xAutovTmp._p", VQ_ERR_ALLOC);
        if (!xAutovRecMap.ok())
            VqErrorState::throwStdError(kCls, "optimizePoolCache", "xAutovRecMap._p", VQ_ERR_ALLOC);
        uint32_t nReferenced = 0;
        ok = xAutovTmp.ok() && xAutovRecMap.ok() && _referenceRanks(*xAutovTmp, nReferenced);
        if (ok) {
            VqVecu& oldToNew = *xAutovTmp;
            VqVecu& recordMap = *xAutovRecMap;
            uint32_t next = nReferenced;
            recordMap.resize(n);
            for (uint32_t i = 0; i < n; ++i) {
                uint32_t& r = oldToNew[static_cast<int>(i)];
                if (r == kNone) r = next++;
                recordMap[static_cast<int>(r)] = i;
            }
            // Renumbering moves records, not positions: collocation stays.
            const bool bCollocated = _bCollocated;
            ok = _reorderAndNotify(recordMap, nullptr, oldToNew);
            if (ok) {
                _recordsChanged();
                _bCollocated = bCollocated;
            }
        }
    } catch (...) {
        ok = VqErrorState::recordCurrentException(kCls, "optimizePoolCache");
    }
    lockWrite(false);
    if (!ok) {
        VqErrorState::rethrowError();
        return false;
    }
    return _sendChange(VQ_VRP_RECORDS_CHANGED);
}

bool VqVertexRecordPool::_ensureEquivRings() {
    if (_bEquivRingsValid) return true;
    VQ_PROPAGATE(_ensureCollocated(false));
    VqAutoLock lock(_cacheMutex);
    if (_bEquivRingsValid) return true;
    // After collocation the records of one position carry the very same
    // coordinates (their representative's), so a ring is the set of records
    // with equal coordinate bits, linked in ascending index order and closed
    // on its lowest record. An open-addressing table on the bits finds each
    // record's ring in one pass: a sort of all records cost several times
    // as much and was the larger half of checking a decoded mesh's pool.
    const uint32_t n = numVtxRecords();
    const int nComps = std::min(_pFields->numVtxCoordComps(), 4);
    const uint32_t* bits = reinterpret_cast<const uint32_t*>(_pFields->vtxCoords());
    try {
        size_t size = 16;
        while (size < size_t(n) * 2)
            size <<= 1;
        // Per slot: the ring's lowest record (its first) and its last so far.
        std::vector<uint32_t> first(size, kNone), last(size);
        const size_t mask = size - 1;
        _vuEquivRing.resize(n);
        uint32_t* ring = _vuEquivRing.data();
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t* b = bits + size_t(i) * size_t(nComps);
            uint64_t h = 0;
            for (int c = 0; c < nComps; ++c)
                h = (h ^ b[c]) * 0x9E3779B97F4A7C15ull;
            size_t slot = size_t(h ^ (h >> 31)) & mask;
            for (;; slot = (slot + 1) & mask) {
                const uint32_t f = first[slot];
                if (f == kNone) {
                    first[slot] = last[slot] = i;
                    ring[i] = i;
                    break;
                }
                const uint32_t* o = bits + size_t(f) * size_t(nComps);
                int c = 0;
                while (c < nComps && o[c] == b[c])
                    ++c;
                if (c == nComps) {
                    ring[last[slot]] = i;
                    ring[i] = f;
                    last[slot] = i;
                    break;
                }
            }
        }
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "_ensureEquivRings", "Memory Allocation", VQ_ERR_ALLOC);
    }
    _bEquivRingsValid = true;
    return true;
}

bool VqVertexRecordPool::_isValidColloc() {
    if (!_ensureEquivRings()) return false;
    for (uint32_t a = 0; a < numVtxRecords(); ++a)
        for (uint32_t b = nextEquivVtx(a); b != a; b = nextEquivVtx(b))
            if (isCompatibleVtxRecs(a, b)) return false;
    return true;
}
