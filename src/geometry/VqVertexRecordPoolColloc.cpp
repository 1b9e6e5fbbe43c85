// Collocation, renumbering and the rings of records at one position.
#include "VqAutoScratchVec.h"
#include "VqCollocRenumber.h"
#include "VqCollocScratch.h"
#include "VqErrorState.h"
#include "VqIdentityMap.h"
#include "VqVertexRecordPool.h"

#include <emmintrin.h>

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

double dist2(const float* a, const float* b) {
    const double dx = double(a[0]) - b[0], dy = double(a[1]) - b[1], dz = double(a[2]) - b[2];
    return dx * dx + dy * dy + dz * dz;
}

// The box of the positions that are finite (three floats a record), and
// whether all are. Four records are twelve floats, in which each place holds
// one coordinate: the bounds run per place, four places a register, and so
// does a sum of x - x, which stays 0 unless some x is not finite. Such a
// value, rare as it is, sends the whole box to the loop that leaves those
// positions out.
VqBox3<float> finiteBox(const float* xyz, uint32_t n, bool& bAllFinite) {
    // The places' registers named one by one: in arrays indexed by a loop
    // the compiler kept them in memory, a load and a store per place and
    // block. min_ps(p, lo) is p < lo ? p : lo, and max_ps(p, hi)
    // p > hi ? p : hi, NaN included.
    constexpr int kBlock = 12;
    __m128 vLo0 = _mm_set1_ps(HUGE_VALF), vLo1 = vLo0, vLo2 = vLo0;
    __m128 vHi0 = _mm_set1_ps(-HUGE_VALF), vHi1 = vHi0, vHi2 = vHi0;
    __m128 vNan0 = _mm_setzero_ps(), vNan1 = vNan0, vNan2 = vNan0;
    const size_t nBlocks = n / 4;
    for (size_t i = 0; i < nBlocks; ++i) {
        const float* p = xyz + i * kBlock;
        const __m128 v0 = _mm_loadu_ps(p), v1 = _mm_loadu_ps(p + 4), v2 = _mm_loadu_ps(p + 8);
        vLo0 = _mm_min_ps(v0, vLo0);
        vLo1 = _mm_min_ps(v1, vLo1);
        vLo2 = _mm_min_ps(v2, vLo2);
        vHi0 = _mm_max_ps(v0, vHi0);
        vHi1 = _mm_max_ps(v1, vHi1);
        vHi2 = _mm_max_ps(v2, vHi2);
        vNan0 = _mm_add_ps(vNan0, _mm_sub_ps(v0, v0));
        vNan1 = _mm_add_ps(vNan1, _mm_sub_ps(v1, v1));
        vNan2 = _mm_add_ps(vNan2, _mm_sub_ps(v2, v2));
    }
    float lo[kBlock], hi[kBlock], nan[kBlock];
    _mm_storeu_ps(lo, vLo0), _mm_storeu_ps(lo + 4, vLo1), _mm_storeu_ps(lo + 8, vLo2);
    _mm_storeu_ps(hi, vHi0), _mm_storeu_ps(hi + 4, vHi1), _mm_storeu_ps(hi + 8, vHi2);
    _mm_storeu_ps(nan, vNan0), _mm_storeu_ps(nan + 4, vNan1), _mm_storeu_ps(nan + 8, vNan2);
    VqBox3<float> box;
    for (int k = 0; k < kBlock && nBlocks; ++k) {
        box.min[k % 3] = std::min(box.min[k % 3], lo[k]);
        box.max[k % 3] = std::max(box.max[k % 3], hi[k]);
    }
    bAllFinite = true;
    for (int k = 0; k < kBlock; ++k)
        bAllFinite = bAllFinite && nan[k] == 0;
    const size_t first = bAllFinite ? nBlocks * 4 : 0;
    if (!bAllFinite) box = VqBox3<float>();
    for (size_t i = first; i < n; ++i) {
        const float* p = xyz + i * 3;
        if (std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]))
            box.extendBy(VqVec3f(p[0], p[1], p[2]));
        else
            bAllFinite = false;
    }
    return box;
}

// Classes of records whose distinct positions all lie more than t apart,
// which is how nearly every pool comes (a decoded mesh's pool always, unless
// its mesh is not manifold). The sweep of vqCollocRenumber then never sees
// two positions in one reach: at each position the records, in index order,
// form classes greedily (the first record left opens a class and takes the
// later ones compatible with it) and all take the first record's position.
// Those classes are found here through a hash of grid cells, without the
// sort, and are the sweep's. bAlone tells that every record has a position
// of its own, each then its own class in index order, which is all there is
// to know: nothing more is filled. Otherwise classOf[r], head (the record
// that opened each class) and rep (the position it takes), classes numbered
// by their heads. False, with nothing decided, when some two positions lie
// within t: the sweep decides then, as it does when a position is not
// finite (the caller's to see: this one takes finite positions only).
bool separatedClasses(const float* xyz, uint32_t n, const VqBox3<float>& box, double t,
                      const VqVertexRecordPool& pool, Vq::CollocScratch& sc, bool& bAlone) {
    double ext = 0;
    for (int c = 0; c < 3; ++c)
        ext = std::max(ext, double(box.max[c]) - box.min[c]);
    // Cells several times as many as the points on a surface, so that most
    // points open a cell of their own (a point that finds its cell open
    // walks the cell's positions), and at least twice the reach wide, so
    // that a point looks beyond its own cell only when it lies within the
    // reach of a face of it.
    const double reach = 1.5 * t + 1e-300;
    const double cell = std::max({2 * reach, ext / (2 * std::sqrt(double(n))), 1e-30});
    const double inv = 1.0 / cell, margin = reach * inv;
    const double lo[3] = {box.min[0], box.min[1], box.min[2]};
    // Cell numbers from 1 (the reach below the box lands in cell 0), below
    // 2^21 (n is below 2^32): every position is finite, so in the box.
    // Truncating a number above 0 is its floor, without a library call.
    auto scaled = [&](double x, int c) { return (x - lo[c]) * inv + 1.0; };
    auto key = [](int64_t x, int64_t y, int64_t z) {
        return uint64_t(x) | uint64_t(y) << 21 | uint64_t(z) << 42;
    };
    auto cellKey = [&](uint32_t r) {
        const float* p = xyz + size_t(r) * 3;
        return key(int64_t(scaled(p[0], 0)), int64_t(scaled(p[1], 1)), int64_t(scaled(p[2], 2)));
    };
    int bits = 4;
    while ((size_t(1) << bits) < size_t(n) * 2)
        ++bits;
    const size_t mask = (size_t(1) << bits) - 1;
    // Slots by the top bits of the key times an odd constant, which spreads
    // rows and planes of cells, as a surface fills them, over the whole
    // table: slots by place in a wrapped grid laid them in runs that the
    // probes of a flat model overran. A slot keeps the last position opened
    // in its cell and 32 more bits of that product, so that a probe
    // recomputes the cell of a position only when they match. Probes and
    // positions per cell are bounded, so that no placement of points makes
    // the pass quadratic: past the bounds the sweep decides.
    constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
    constexpr int kMaxProbes = 64, kMaxPerCell = 32;
    std::vector<Vq::CollocScratch::Slot>& slots = sc.slots;
    std::vector<uint32_t>& prevInCell = sc.prevInCell;
    std::vector<std::pair<uint32_t, uint32_t>>& joins = sc.joins;
    // A slot keeps its head as a number from base on, and a number below
    // base is an empty slot. Each pass takes the numbers after the last
    // one's, so a table kept from the last pool of this size is passed on
    // as it is (its clearing was a pass of its own in the profile) until
    // the numbers would wrap.
    uint32_t base = sc.slotEnd;
    if (slots.size() != mask + 1 || base == 0 || base > 0xFFFFFFFFu - n) {
        slots.assign(mask + 1, Vq::CollocScratch::Slot{0, 0});
        base = 1;
    }
    sc.slotEnd = base + n;
    auto headOf = [base](const Vq::CollocScratch::Slot& e) { return e.head >= base ? e.head - base : kNone; };
    // Per position (by its first record) the one opened before it in its
    // cell, set when it opens; per record that found its position open, the
    // pair (position, record), in record order.
    prevInCell.resize(n);
    joins.clear();
    // The slot of the cell with key k, or the empty one where it would go;
    // tag receives the bits a slot keeps of it.
    // A key's first slot, from the top bits of its product.
    auto home = [bits](uint64_t k) { return size_t((k * kMul) >> (64 - bits)); };
    auto find = [&](uint64_t k, uint32_t& tag) -> Vq::CollocScratch::Slot* {
        tag = uint32_t(k * kMul);
        size_t s = home(k);
        for (int i = 0;; ++i) {
            Vq::CollocScratch::Slot& e = slots[s];
            if (e.head < base || (e.tag == tag && cellKey(e.head - base) == k)) return &e;
            if (i == kMaxProbes) return nullptr;
            s = (s + 1) & mask;
        }
    };
    const double t2 = t * t;
    // The cell of a point and whether its reach crosses a face of it, with
    // x and y in the two lanes of one register and z in the low lane of
    // another (its high lane, 0 less 0, is left out of the test): the same
    // operations in the same order as one axis at a time, so the same cells.
    // Cell numbers, below 2^21, truncate exactly in 32 bits.
    const __m128d vLoXY = _mm_set_pd(lo[1], lo[0]), vLoZ = _mm_set_sd(lo[2]);
    const __m128d vInv = _mm_set1_pd(inv), vOne = _mm_set1_pd(1.0);
    const __m128d vMargin = _mm_set1_pd(margin), vUpper = _mm_set1_pd(1.0 - margin);
    auto axes = [&](__m128d x, __m128d l, __m128i& cells) {
        const __m128d f = _mm_add_pd(_mm_mul_pd(_mm_sub_pd(x, l), vInv), vOne);
        cells = _mm_cvttpd_epi32(f);
        const __m128d frac = _mm_sub_pd(f, _mm_cvtepi32_pd(cells));
        return unsigned(_mm_movemask_pd(_mm_or_pd(_mm_cmplt_pd(frac, vMargin), _mm_cmpgt_pd(frac, vUpper))));
    };
    // The first slot a record probes is a miss in a table this size, and
    // each record's costs little else: the cells are found kAhead records
    // early and their slots fetched meanwhile. A cell's key (three numbers
    // below 2^21) keeps in its top bit whether the reach crosses a face.
    constexpr uint32_t kAhead = 16;
    constexpr uint64_t kNearBit = uint64_t(1) << 63, kField = (uint64_t(1) << 21) - 1;
    uint64_t ahead[kAhead];
    auto cellAhead = [&](uint32_t r) {
        const float* p = xyz + size_t(r) * 3;
        const __m128d xy =
            _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
        const __m128d z = _mm_cvtps_pd(_mm_load_ss(p + 2));
        __m128i cXY, cZ;
        const unsigned near = axes(xy, vLoXY, cXY) | (axes(z, vLoZ, cZ) & 1u);
        const uint64_t uXY = uint64_t(_mm_cvtsi128_si64(cXY));
        const uint64_t k =
            key(int64_t(uXY & 0xFFFFFFFFu), int64_t(uXY >> 32), int64_t(_mm_cvtsi128_si32(cZ)));
        __builtin_prefetch(&slots[home(k)]);
        return k | (near ? kNearBit : 0);
    };
    for (uint32_t r = 0; r < n && r < kAhead; ++r)
        ahead[r] = cellAhead(r);
    for (uint32_t r = 0; r < n; ++r) {
        const float* p = xyz + size_t(r) * 3;
        const uint64_t a = ahead[r % kAhead];
        if (r + kAhead < n) ahead[r % kAhead] = cellAhead(r + kAhead);
        const uint64_t k = a & ~kNearBit;
        const bool bNearFace = (a & kNearBit) != 0;
        const int64_t ci[3] = {int64_t(k & kField), int64_t((k >> 21) & kField), int64_t(k >> 42)};
        uint32_t tag = 0;
        Vq::CollocScratch::Slot* s = find(k, tag);
        if (!s) return false;
        uint32_t g = headOf(*s);
        for (int i = 0; g != kNone; g = prevInCell[g], ++i) {
            const float* q = xyz + size_t(g) * 3;
            if (q[0] == p[0] && q[1] == p[1] && q[2] == p[2]) break;
            if (dist2(q, p) <= t2 || i == kMaxPerCell) return false;
        }
        if (g != kNone) {
            joins.emplace_back(g, r);
            continue;
        }
        // A new position: the positions opened before it in the other cells
        // its reach touches must all lie beyond t.
        if (bNearFace) {
            int64_t from[3], to[3];
            for (int c = 0; c < 3; ++c) {
                from[c] = int64_t(scaled(double(p[c]) - reach, c));
                to[c] = int64_t(scaled(double(p[c]) + reach, c));
            }
            for (int64_t x = from[0]; x <= to[0]; ++x)
                for (int64_t y = from[1]; y <= to[1]; ++y)
                    for (int64_t z = from[2]; z <= to[2]; ++z) {
                        if (x == ci[0] && y == ci[1] && z == ci[2]) continue;
                        uint32_t otherTag = 0;
                        const Vq::CollocScratch::Slot* o = find(key(x, y, z), otherTag);
                        if (!o) return false;
                        int i = 0;
                        for (uint32_t q = headOf(*o); q != kNone; q = prevInCell[q], ++i)
                            if (dist2(xyz + size_t(q) * 3, p) <= t2 || i == kMaxPerCell) return false;
                    }
        }
        // The neighbours' lookups have moved nothing: slots are filled only
        // here, and s was found before them.
        prevInCell[r] = headOf(*s);
        s->head = r + base;
        s->tag = tag;
    }
    bAlone = joins.empty();
    if (bAlone) return true;
    // Records that share a position, each position's in index order: rep[]
    // first holds each record's position (its first record).
    std::vector<uint32_t>& classOf = sc.classOf;
    std::vector<uint32_t>& head = sc.head;
    std::vector<uint32_t>& rep = sc.rep;
    std::vector<uint32_t>& nextInGroup = sc.nextInGroup;
    std::vector<uint32_t>& tail = sc.tail;
    rep.resize(n);
    nextInGroup.assign(n, kNone);
    tail.resize(n);
    for (uint32_t r = 0; r < n; ++r)
        rep[r] = r;
    for (const auto& [g, r] : joins)
        tail[g] = g;
    for (const auto& [g, r] : joins) {
        rep[r] = g;
        nextInGroup[tail[g]] = r;
        tail[g] = r;
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

// Whether no two of n finite positions (three floats a record) are equal,
// through a hash of their values in the cells' table (a slot: bits of the
// hash and the record numbered on from the pass's first number, as there).
// False as well past a bound on the probes, which no placement of points
// may turn quadratic: the caller then decides through the cells.
bool distinctPositions(const float* xyz, uint32_t n, Vq::CollocScratch& sc) {
    int bits = 4;
    while ((size_t(1) << bits) < size_t(n) * 2)
        ++bits;
    const size_t mask = (size_t(1) << bits) - 1;
    std::vector<Vq::CollocScratch::Slot>& slots = sc.slots;
    uint32_t base = sc.slotEnd;
    if (slots.size() != mask + 1 || base == 0 || base > 0xFFFFFFFFu - n) {
        slots.assign(mask + 1, Vq::CollocScratch::Slot{0, 0});
        base = 1;
    }
    sc.slotEnd = base + n;
    constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
    constexpr int kMaxProbes = 64;
    // Adding 0 makes -0 the +0 it equals; NaN is not among the positions.
    auto hashOf = [&](uint32_t r) {
        uint32_t u[3];
        const float* p = xyz + size_t(r) * 3;
        for (int c = 0; c < 3; ++c) {
            const float f = p[c] + 0.0f;
            std::memcpy(&u[c], &f, sizeof f);
        }
        return ((uint64_t(u[0]) << 32 | u[1]) * kMul ^ u[2]) * kMul;
    };
    auto home = [bits](uint64_t h) { return size_t(h >> (64 - bits)); };
    // The first slot a record probes is a miss in a table this size: the
    // hashes are found kAhead records early and their slots fetched.
    constexpr uint32_t kAhead = 32;
    uint64_t ahead[kAhead];
    auto hashAhead = [&](uint32_t r) {
        const uint64_t h = hashOf(r);
        __builtin_prefetch(&slots[home(h)]);
        return h;
    };
    for (uint32_t r = 0; r < n && r < kAhead; ++r)
        ahead[r] = hashAhead(r);
    for (uint32_t r = 0; r < n; ++r) {
        const uint64_t h = ahead[r % kAhead];
        if (r + kAhead < n) ahead[r % kAhead] = hashAhead(r + kAhead);
        const float* p = xyz + size_t(r) * 3;
        const uint32_t tag = uint32_t(h);
        size_t s = home(h);
        for (int i = 0;; ++i) {
            Vq::CollocScratch::Slot& e = slots[s];
            if (e.head < base) {
                e.head = r + base;
                e.tag = tag;
                break;
            }
            if (e.tag == tag) {
                const float* q = xyz + size_t(e.head - base) * 3;
                if (q[0] == p[0] && q[1] == p[1] && q[2] == p[2]) return false;
            }
            if (i == kMaxProbes) return false;
            s = (s + 1) & mask;
        }
    }
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
    VQ_PROPAGATE(_keepIndexMap(oldToNew));
    if (!ok) {
        VqErrorState::rethrowError();
        return false;
    }
    return true;
}

bool VqVertexRecordPool::_keepIndexMap(const VqVecu& oldToNew) {
    try {
        _vuIndexMap = oldToNew;
    } catch (const std::bad_alloc&) {
        _vuIndexMap.clear();
        VQ_FAIL(kCls, "_reorderAndNotify", "Memory Allocation", VQ_ERR_ALLOC);
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
    if (sc.bFirstUseOrder && _vpMeshes.size() == 1) {
        rank.resizeUnset(n); // written in full
        Vq::fillIdentity(rank.data(), n);
        nReferenced = n;
    } else {
        VQ_PROPAGATE(_referenceRanks(rank, nReferenced));
    }
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

    // Three coordinates a record are read where they lie; other layouts,
    // and the sweep, take the points projected.
    std::vector<VqVec3f>& points = sc.points;
    static_assert(sizeof(VqVec3f) == 3 * sizeof(float), "points are three floats");
    auto project = [&] {
        points.resize(n);
        for (uint32_t i = 0; i < n; ++i)
            _projectedPoint(i, points[i]);
    };
    const bool bDirect = _pFields->numVtxCoordComps() == 3;
    if (!bDirect) project();
    const float* xyz = bDirect ? _pFields->vtxCoords() : points[0].data();
    bool bAllFinite = false;
    const VqBox3<float> box = finiteBox(xyz, n, bAllFinite);
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
    bool bAlone = false;
    bool bSeparated = false;
    if (nReferenced == n && bAllFinite) {
        // Positions known to lie more than t apart when they differ (with
        // room for the rounding of squared distances) are each alone when
        // none are equal: the cells would find no more.
        bAlone = bDirect && sc.dPointGap > 1.001 * t && distinctPositions(xyz, n, sc);
        bSeparated = bAlone || separatedClasses(xyz, n, box, t, *this, sc, bAlone);
    }
    if (bAlone) {
        // Every record a class and a position of its own, all referenced:
        // the new numbers are the ranks, and the rings single records. A
        // decoded mesh's pool comes so, its records already in the order of
        // first use, and then nothing moves.
        if (!pScratch) std::vector<VqVec3f>().swap(points);
        const uint32_t i = Vq::firstNonIdentity(rank.data(), 0, n);
        if (i < n) {
            if (!pScratch) {
                xAutovRecMap.emplace();
                if (!xAutovRecMap->ok()) VQ_FAIL(kCls, "_ensureCollocated", "xAutovRecMap._p", VQ_ERR_ALLOC);
            }
            VqVecu& recordMap = pScratch ? sc.recordMap : **xAutovRecMap;
            recordMap.resize(n);
            for (uint32_t r = 0; r < n; ++r)
                recordMap[static_cast<int>(rank[static_cast<int>(r)])] = r;
            VQ_PROPAGATE(_reorderAndNotify(recordMap, &recordMap, rank));
        } else {
            // The ranks are the map as they stand: taken, not copied (the
            // scratch array is sized and filled anew by every collocation).
            _vuIndexMap.swap(rank);
        }
        _recordsChanged();
        _bCollocated = true;
        // Every ring is written, as are those below: none is zeroed first.
        _vuEquivRing.resizeUnset(n);
        Vq::fillIdentity(_vuEquivRing.data(), n);
        _bEquivRingsValid = true;
        _bRingsArePositions = true;
        return true;
    }
    if (!bSeparated) {
        if (bDirect) project();
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
        _vuEquivRing.resizeUnset(nUniq);
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
        _vuEquivRing.resizeUnset(n);
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
    // Nearly every record is alone at its position, a ring of itself: such
    // rings are passed over four a comparison, and only the others walked.
    const uint32_t n = numVtxRecords();
    const uint32_t* ring = _vuEquivRing.data();
    for (uint32_t a = Vq::firstNonIdentity(ring, 0, n); a < n; a = Vq::firstNonIdentity(ring, a + 1, n))
        for (uint32_t b = ring[a]; b != a; b = ring[b])
            if (isCompatibleVtxRecs(a, b)) return false;
    return true;
}
