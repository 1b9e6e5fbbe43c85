// Collocation, renumbering and the rings of records at one position.
#include "VqAutoScratchVec.h"
#include "VqCollocRenumber.h"
#include "VqCollocScratch.h"
#include "VqErrorState.h"
#include "VqVertexRecordPool.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <optional>
#include <utility>
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

double dist2(const VqVec3f& a, const VqVec3f& b) {
    const double dx = double(a[0]) - b[0], dy = double(a[1]) - b[1], dz = double(a[2]) - b[2];
    return dx * dx + dy * dy + dz * dz;
}

// Classes of records whose distinct positions all lie more than t apart,
// which is how nearly every pool comes (a decoded mesh's pool always, unless
// its mesh is not manifold). The sweep of vqCollocRenumber then never sees
// two positions in one reach: at each position the records, in index order,
// form classes greedily (the first record left opens a class and takes the
// later ones compatible with it) and all take the first record's position.
// Those classes are found here through a hash of grid cells, without the
// sort, and are the sweep's: classOf[r], head (the record that opened each
// class) and rep (the position it takes), classes numbered by their heads.
// False, with nothing decided, when some two positions lie within t or a
// position is not finite: the sweep decides then.
bool separatedClasses(const VqBox3<float>& box, double t, const VqVertexRecordPool& pool,
                      Vq::CollocScratch& sc) {
    const std::vector<VqVec3f>& points = sc.points;
    std::vector<uint32_t>& classOf = sc.classOf;
    std::vector<uint32_t>& head = sc.head;
    std::vector<uint32_t>& rep = sc.rep;
    const uint32_t n = uint32_t(points.size());
    if (box.isEmpty()) return false;
    double ext = 0;
    for (int c = 0; c < 3; ++c)
        ext = std::max(ext, double(box.max[c]) - box.min[c]);
    // Cells about as many as the points on a surface (one point per cell or
    // so) and at least twice the reach wide, so that a point looks beyond
    // its own cell only when it lies within the reach of a face of it.
    const double reach = 1.5 * t + 1e-300;
    const double cell = std::max({2 * reach, ext / std::sqrt(double(n)), 1e-30});
    const double inv = 1.0 / cell, margin = reach * inv;
    // Cell numbers from 1 (the reach below the box lands in cell 0):
    // truncating a number above 0 is its floor, without a library call.
    auto scaled = [&](double x, int c) { return (x - box.min[c]) * inv + 1.0; };
    auto key = [](int64_t x, int64_t y, int64_t z) {
        return uint64_t(x) | uint64_t(y) << 21 | uint64_t(z) << 42;
    };
    size_t size = 16;
    while (size < size_t(n) * 2)
        size <<= 1;
    const size_t mask = size - 1;
    // Slots by the cell's place in a dense grid of odd row and layer sizes,
    // wrapped: the cells of nearby points, which a mesh lists together,
    // share cache lines, and an odd stride still spreads a row or a plane
    // of cells over distinct slots. Probes and cells are bounded, so that
    // no placement of points makes the pass quadratic: past the bounds the
    // sweep decides.
    const uint64_t W = (uint64_t(scaled(box.max[0], 0)) + 2) | 1,
                   H = (uint64_t(scaled(box.max[1], 1)) + 2) | 1;
    constexpr int kMaxProbes = 64, kMaxPerCell = 32;
    // Per slot the last group (by its first record) opened in a cell, whose
    // position tells the cell: four bytes a slot keep the table in the
    // nearer caches, where its probes, one per point, are cheap. Per group
    // a link to the one opened before it in its cell and to its next record.
    std::vector<uint32_t>& slots = sc.slots;
    std::vector<uint32_t>& prevInCell = sc.prevInCell;
    std::vector<uint32_t>& nextInGroup = sc.nextInGroup;
    std::vector<uint32_t>& tail = sc.tail;
    // A link is read only once set: prevInCell and tail of a group when it
    // opens.
    slots.assign(size, kNone);
    prevInCell.resize(n);
    nextInGroup.assign(n, kNone);
    tail.resize(n);
    auto cellKey = [&](const VqVec3f& p) {
        return key(int64_t(scaled(p[0], 0)), int64_t(scaled(p[1], 1)), int64_t(scaled(p[2], 2)));
    };
    auto find = [&](int64_t x, int64_t y, int64_t z) -> uint32_t* {
        const uint64_t k = key(x, y, z);
        size_t s = size_t(uint64_t(x) + W * (uint64_t(y) + H * uint64_t(z))) & mask;
        for (int i = 0; slots[s] != kNone && cellKey(points[slots[s]]) != k; ++i) {
            if (i == kMaxProbes) return nullptr;
            s = (s + 1) & mask;
        }
        return &slots[s];
    };
    const double t2 = t * t;
    // rep[] first holds each record's group (its first record).
    rep.resize(n);
    for (uint32_t r = 0; r < n; ++r) {
        const VqVec3f& p = points[r];
        if (!(std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]))) return false;
        double f[3];
        int64_t ci[3];
        bool bNearFace = false;
        for (int c = 0; c < 3; ++c) {
            f[c] = scaled(p[c], c);
            ci[c] = int64_t(f[c]);
            const double frac = f[c] - double(ci[c]);
            bNearFace |= frac < margin || frac > 1.0 - margin;
        }
        uint32_t* s = find(ci[0], ci[1], ci[2]);
        if (!s) return false;
        uint32_t g = *s;
        for (int i = 0; g != kNone; g = prevInCell[g], ++i) {
            if (points[g][0] == p[0] && points[g][1] == p[1] && points[g][2] == p[2]) break;
            if (dist2(points[g], p) <= t2 || i == kMaxPerCell) return false;
        }
        if (g != kNone) {
            rep[r] = g;
            nextInGroup[tail[g]] = r;
            tail[g] = r;
            continue;
        }
        // A new position: the positions opened before it in the other cells
        // its reach touches must all lie beyond t.
        if (bNearFace) {
            int64_t lo[3], hi[3];
            for (int c = 0; c < 3; ++c) {
                lo[c] = int64_t(scaled(double(p[c]) - reach, c));
                hi[c] = int64_t(scaled(double(p[c]) + reach, c));
            }
            for (int64_t x = lo[0]; x <= hi[0]; ++x)
                for (int64_t y = lo[1]; y <= hi[1]; ++y)
                    for (int64_t z = lo[2]; z <= hi[2]; ++z) {
                        if (x == ci[0] && y == ci[1] && z == ci[2]) continue;
                        const uint32_t* o = find(x, y, z);
                        if (!o) return false;
                        int i = 0;
                        for (uint32_t q = *o; q != kNone; q = prevInCell[q], ++i)
                            if (dist2(points[q], p) <= t2 || i == kMaxPerCell) return false;
                    }
        }
        // The neighbours' lookups may have moved nothing: slots are only
        // ever filled, and s was found before them.
        prevInCell[r] = *s;
        *s = r;
        rep[r] = r;
        tail[r] = r;
    }
    classOf.assign(n, kNone);
    head.clear();
    for (uint32_t a = 0; a < n; ++a) {
        if (classOf[a] != kNone) continue;
        const uint32_t cls = uint32_t(head.size());
        head.push_back(a);
        classOf[a] = cls;
        for (uint32_t b = nextInGroup[a]; b != kNone; b = nextInGroup[b])
            if (classOf[b] == kNone && pool.isCompatibleVtxRecs(a, b)) classOf[b] = cls;
    }
    // From groups to classes: each class takes its group's first record.
    for (uint32_t c = 0; c < head.size(); ++c)
        rep[c] = rep[head[c]];
    rep.resize(head.size());
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
    // told, so that a failure leaves pool and meshes as they were. Records
    // that keep their places and coordinates (a decoded mesh's, which come
    // in the order the mesh first uses them) are not copied.
    const uint32_t nRecs = static_cast<uint32_t>(recordMap.size());
    bool bSame = nRecs == numVtxRecords();
    for (uint32_t j = 0; bSame && j < nRecs; ++j)
        bSame = recordMap[static_cast<int>(j)] == j && (!coordMap || (*coordMap)[static_cast<int>(j)] == j);
    if (!bSame)
        VQ_PROPAGATE(_pFields->reorder(recordMap.data(), nRecs, coordMap ? coordMap->data() : nullptr));
    // Every record kept, each in its own place, is the identity from old to
    // new (recordMap is oldToNew inverted): the meshes' indices stand as they
    // are, and what they derived from the records is dropped by the change
    // notice that follows every renumbering.
    bool ok = true;
    if (!bSame)
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

bool VqVertexRecordPool::_ensureCollocated(bool bRemoveUnreferenced, Vq::CollocScratch* pScratch) {
    if (_bCollocated) return true;
    VQ_CHECK(!_bDynamic, kCls, "_ensureCollocated", VQ_ERR_INTERNAL);
    VQ_CHECK(!isReadLocked(), kCls, "_ensureCollocated", VQ_ERR_INTERNAL);
    VQ_PROPAGATE(lockWrite(true));
    bool ok = false;
    try {
        ok = _collocate(bRemoveUnreferenced, pScratch);
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

bool VqVertexRecordPool::_collocate(bool bRemoveUnreferenced, Vq::CollocScratch* pScratch) {
    const uint32_t n = numVtxRecords();
    _bEquivRingsValid = false;
    _bRingsArePositions = false;
    if (n < 2) {
        _bCollocated = true;
        return true;
    }
    VQ_CHECK(_pFields->numVtxCoordComps() >= 2 && _pFields->numVtxCoordComps() <= 4, kCls,
             "_ensureCollocated", VQ_ERR_ARGUMENT);

    // Without a caller's scratch the arrays are this call's own, and the two
    // largest index lists come from the library's scratch vectors.
    Vq::CollocScratch local;
    Vq::CollocScratch& sc = pScratch ? *pScratch : local;
    std::optional<VqAutoScratchVec<VqVecu>> xAutovTmp, xAutovRecMap;
    if (!pScratch) {
        xAutovTmp.emplace();
        if (!xAutovTmp->ok()) VQ_FAIL(kCls, "_ensureCollocated", "xAutovTmp._p", VQ_ERR_ALLOC);
    }
    VqVecu& rank = pScratch ? sc.rank : **xAutovTmp;
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

    std::vector<VqVec3f>& points = sc.points;
    points.resize(n);
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
    // Each class keeps the record that opened it and that record's position
    // representative.
    std::vector<uint32_t>& classOf = sc.classOf;
    std::vector<uint32_t>& head = sc.head;
    std::vector<uint32_t>& rep = sc.rep;
    // Unreferenced classes would follow in the sweep's order, which only the
    // sweep knows.
    const bool bSeparated = nReferenced == n && separatedClasses(box, t, *this, sc);
    if (!bSeparated) {
        std::vector<VqCollocKey>& keys = sc.keys;
        keys.resize(n);
        uint32_t nClasses = 0;
        VQ_PROPAGATE(vqCollocRenumber(n, points.data(), box, t, &compatible, this, keys.data(), nClasses));
        // The keys of a class follow the one that opened it.
        classOf.assign(n, 0);
        head.assign(nClasses, kNone);
        rep.assign(nClasses, 0);
        for (const VqCollocKey& k : keys) {
            const uint32_t tIdx = static_cast<uint32_t>(k.iClass);
            if (!(k.iClass >= 0 && tIdx < nClasses))
                VQ_FAIL(kCls, "_ensureCollocated", "tIdx <= nUniq", VQ_ERR_INTERNAL);
            classOf[k.iIdx] = tIdx;
            if (head[tIdx] == kNone) {
                head[tIdx] = k.iIdx;
                rep[tIdx] = static_cast<uint32_t>(k.iRep);
            }
        }
    }
    if (!pScratch) std::vector<VqVec3f>().swap(points);
    const uint32_t nUniq = uint32_t(head.size());

    // Classes are numbered in the order the meshes first reference them
    // (through any of their records); classes no mesh references follow.
    std::vector<uint32_t>& byRank = sc.byRank;
    byRank.assign(nReferenced, kNone);
    for (uint32_t i = 0; i < n; ++i)
        if (rank[static_cast<int>(i)] != kNone) byRank[rank[static_cast<int>(i)]] = i;
    std::vector<uint32_t>& classOrder = sc.classOrder;
    classOrder.assign(nUniq, kNone);
    uint32_t next = 0;
    for (uint32_t r : byRank)
        if (r != kNone && classOrder[classOf[r]] == kNone) classOrder[classOf[r]] = next++;
    // Removing unreferenced records keeps the referenced classes alone: a
    // copy that could not merge (a NaN attribute equals nothing, not even
    // itself) goes as well.
    const uint32_t nKeep = bRemoveUnreferenced ? next : nUniq;
    for (uint32_t c = 0; c < nUniq; ++c)
        if (classOrder[c] == kNone) classOrder[c] = next++;

    if (!pScratch) {
        xAutovRecMap.emplace();
        if (!xAutovRecMap->ok()) VQ_FAIL(kCls, "_ensureCollocated", "xAutovRecMap._p", VQ_ERR_ALLOC);
    }
    VqVecu& recordMap = pScratch ? sc.recordMap : **xAutovRecMap;
    VqVecu& coordMap = sc.coordMap;
    // classOrder maps the classes onto 0 .. nUniq - 1: every kept entry is
    // written.
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
    if (bSeparated) {
        // The rings are the classes of one position (those with one
        // representative), which now share its coordinates and no others
        // do: known here, without hashing the coordinates again. Nearly
        // every position keeps one class, a ring of its own.
        _vuEquivRing.resize(nUniq);
        uint32_t* ring = _vuEquivRing.data();
        std::vector<std::pair<uint32_t, uint32_t>>& shared = sc.shared;
        shared.clear();
        for (uint32_t c = 0; c < nUniq; ++c) {
            ring[classOrder[c]] = classOrder[c];
            if (rep[c] != head[c]) {
                shared.emplace_back(rep[c], classOrder[c]);
                shared.emplace_back(rep[c], classOrder[classOf[rep[c]]]);
            }
        }
        std::sort(shared.begin(), shared.end());
        shared.erase(std::unique(shared.begin(), shared.end()), shared.end());
        for (size_t i = 0; i < shared.size();) {
            size_t e = i + 1;
            while (e < shared.size() && shared[e].first == shared[i].first)
                ++e;
            for (size_t k = i; k + 1 < e; ++k)
                ring[shared[k].second] = shared[k + 1].second;
            ring[shared[e - 1].second] = shared[i].second;
            i = e;
        }
        _bEquivRingsValid = true;
        _bRingsArePositions = true;
    }
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

bool VqVertexRecordPool::_ensureEquivRings(Vq::CollocScratch* pScratch) {
    if (_bEquivRingsValid) return true;
    VQ_PROPAGATE(_ensureCollocated(false, pScratch));
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
    _bRingsArePositions = false;
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

bool VqVertexRecordPool::_isValidColloc(Vq::CollocScratch* pScratch) {
    if (!_ensureEquivRings(pScratch)) return false;
    for (uint32_t a = 0; a < numVtxRecords(); ++a)
        for (uint32_t b = nextEquivVtx(a); b != a; b = nextEquivVtx(b))
            if (isCompatibleVtxRecs(a, b)) return false;
    return true;
}
