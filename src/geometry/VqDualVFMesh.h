#pragma once

#include "VqExport.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

// The dual of a polygon mesh, the structure the topology mesh coder walks:
// its vertices are the mesh's polygons and its faces the mesh's vertices.
// Methods speak in mesh terms (polygon, vertex, corner) to keep the coder
// readable; "slot" is a position in a ring.
//
// A polygon has a degree, the ring of its vertices in winding order (CCW
// seen from outside), a face group (-1 allowed) and 16 flag bits (bit 0: a
// cover polygon closing a hole). A vertex has a valence and the ring of its
// polygons, also CCW seen from outside, and per ring slot the attribute
// record of that corner (-1 for none). With both rings CCW, for polygon
// p = ring_v[s] whose slot i holds v, p's edge from v to slot i + 1 is shared
// with ring_v[s - 1] and its edge from slot i - 1 to v with ring_v[s + 1].
//
// Every link is held from both sides: polygon slot i names the vertex and
// the slot of p in that vertex's ring, and the other way round, so walks
// across edges take constant time and rotating a ring fixes its neighbours'
// back references in time linear in its length. Elements are only appended;
// slots start empty (element -1) and are filled once by link().
class VQ_API VqDualVFMesh {
public:
    // Bounds that keep ring lengths in 16 bits.
    static constexpr int kMaxDegree = 65535;
    static constexpr uint16_t kCoverFlag = 1;

    void clear();
    // Room for what a decoder knows it will create.
    void reserve(uint32_t nPolys, uint32_t nVerts, uint64_t nCorners);
    void shrink();

    int numPolys() const { return int(_nPolys); }
    int numVerts() const { return int(_nVerts); }
    uint32_t numAttrs() const { return _nAttrs; }
    uint64_t numPolyCorners() const { return _nPC; }
    uint64_t numVertCorners() const { return _nVC; }

    // A polygon with empty slots; its number.
    int addPoly(int degree, int group, uint16_t flags) {
        const uint32_t start = _nPC, n = uint32_t(degree);
        if (_nPolys == _nPolyRoom || _nPCRoom - start < n) [[unlikely]]
            return _addPolyGrowing(degree, group, flags);
        _nPC = start + n;
        // Nearly every polygon is a triangle, emptied without a loop.
        Corner* const r = _vPC.data() + start;
        if (n == 3)
            r[0].iElem = r[1].iElem = r[2].iElem = -1;
        else
            _emptySlots(r, n);
        _vPolys[_nPolys] = {start, uint16_t(degree), flags};
        _viPolyGroup[_nPolys] = group;
        return int(_nPolys++);
    }
    // A vertex with an empty ring and nAttrs attribute records numbered on
    // from the records of earlier vertices; its number. The ring's records
    // are left to the caller, who writes every one through vertAttrs before
    // anything reads them: each adder knows them at once, and clearing them
    // here too would be one more store per corner for nothing.
    int addVert(int valence, int nAttrs) {
        const uint32_t start = _nVC, n = uint32_t(valence);
        if (_nVerts == _nVertRoom || _nVCRoom - start < n) [[unlikely]]
            return _addVertGrowing(valence, nAttrs);
        _emptySlots(_vVC.data() + start, n);
        return _addVertRecord(valence, nAttrs);
    }
    // The same for a vertex whose corners all share one new record, nearly
    // every vertex: its slots are emptied and its records written in one
    // pass over the ring. In line: the walk adds nearly every vertex here,
    // and a call would cost about what the common case does.
    [[gnu::always_inline]] int addVertOneAttr(int valence) {
        const uint32_t start = _nVC, n = uint32_t(valence);
        if (_nVerts == _nVertRoom || _nVCRoom - start < n) [[unlikely]] {
            const int w = _addVertGrowing(valence, 1);
            std::fill_n(vertAttrs(w), n, int(vertFirstAttr(w)));
            return w;
        }
        // Nearly every ring has at most eight slots: eight are set, which
        // the storage grown ahead holds nearly always, so that no loop ends
        // on the valence. The slots past the ring belong to no vertex yet,
        // and the next one empties and fills its own.
        if (n <= 8 && _nVCRoom - start >= 8)
            _emptySlotsOneAttr8(_vVC.data() + start, _viVCAttr.data() + start, int(_nAttrs));
        else
            _emptySlotsOneAttr(_vVC.data() + start, _viVCAttr.data() + start, n, int(_nAttrs));
        return _addVertRecord(valence, 1);
    }

    // The other side of a ring slot: the element there and its slot in the
    // element's own ring; an empty slot's element is -1 and its slot number
    // means nothing.
    struct Corner {
        int32_t iElem;
        int32_t iSlot;
    };
    // A ring in place, for walks that visit several of its slots. Valid
    // until the next element of the same kind is added.
    Corner* polyRing(int p) { return _vPC.data() + _vPolys[size_t(p)].uStart; }
    const Corner* polyRing(int p) const { return _vPC.data() + _vPolys[size_t(p)].uStart; }
    Corner* vertRing(int v) { return _vVC.data() + _vVerts[size_t(v)].uStart; }
    const Corner* vertRing(int v) const { return _vVC.data() + _vVerts[size_t(v)].uStart; }
    // p's ring when every polygon so far is a triangle: the rings follow one
    // another in the order the polygons were added, three corners each, so
    // the ring is found without the load of p's record.
    Corner* triRing(int p) { return _vPC.data() + 3 * size_t(p); }

    // Joins polygon slot ps and vertex slot vs, both empty.
    void link(int p, int ps, int v, int vs) { link(polyRing(p), p, ps, vertRing(v), v, vs); }
    // The same with both rings at hand.
    void link(Corner* pRing, int p, int ps, Corner* vRing, int v, int vs) {
        pRing[ps] = {v, vs};
        vRing[vs] = {p, ps};
        --_vnVEmpty[size_t(v)];
    }

    int polyDegree(int p) const { return _vPolys[size_t(p)].nDeg; }
    int polyGroup(int p) const { return _viPolyGroup[size_t(p)]; }
    uint16_t polyFlags(int p) const { return _vPolys[size_t(p)].uFlags; }
    bool isCover(int p) const { return (_vPolys[size_t(p)].uFlags & kCoverFlag) != 0; }
    int polyVtx(int p, int s) const { return polyRing(p)[s].iElem; }
    int polyVtxSlot(int p, int s) const { return polyRing(p)[s].iSlot; }
    // The attribute record of polygon p's corner in slot s (filled).
    int polyAttr(int p, int s) const {
        const Corner& c = _vPC[_vPolys[size_t(p)].uStart + uint32_t(s)];
        return _viVCAttr[_vVerts[size_t(c.iElem)].uStart + uint32_t(c.iSlot)];
    }

    int vertValence(int v) const { return _vVerts[size_t(v)].nDeg; }
    // The empty ones among the up to 64 slots of v's ring from slot base,
    // as bits from bit 0.
    uint64_t vertEmptyMask(int v, int base) const {
        const uint32_t start = _vVerts[size_t(v)].uStart + uint32_t(base);
        const int n = std::min(vertValence(v) - base, 64);
        const Corner* const r = _vVC.data() + start;
        uint64_t m = 0;
        // Nearly every ring has at most eight slots: eight are read, which
        // the storage grown ahead holds nearly always, so that no loop ends
        // on the valence. What follows the ring is masked off.
        if (n <= 8 && _nVCRoom - start >= 8) {
#ifdef __SSE2__
            // The elements' sign bits, four corners a vector: the elements
            // are the even words.
            const auto two = [r](int k) {
                return _mm_castsi128_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r + k)));
            };
            m = uint64_t(_mm_movemask_ps(_mm_shuffle_ps(two(0), two(2), 0x88)) |
                         _mm_movemask_ps(_mm_shuffle_ps(two(4), two(6), 0x88)) << 4);
#else
#pragma GCC unroll 8
            for (int k = 0; k < 8; ++k)
                m |= uint64_t(r[k].iElem < 0) << k;
#endif
            return m & ((uint64_t(1) << n) - 1);
        }
        for (int k = 0; k < n; ++k)
            m |= uint64_t(r[k].iElem < 0) << k;
        return m;
    }
    int vertEmpty(int v) const { return _vnVEmpty[size_t(v)]; }
    // The empty slot counts of all vertices, by vertex number.
    const uint16_t* vertEmptyCounts() const { return _vnVEmpty.data(); }
    int vertNumAttrs(int v) const { return _vVerts[size_t(v)].nAttrs; }
    uint32_t vertFirstAttr(int v) const { return _vuVertAttrStart[size_t(v)]; }
    int vertPoly(int v, int s) const { return vertRing(v)[s].iElem; }
    int vertPolySlot(int v, int s) const { return vertRing(v)[s].iSlot; }
    int vertAttr(int v, int s) const { return _viVCAttr[_vVerts[size_t(v)].uStart + uint32_t(s)]; }
    int* vertAttrs(int v) { return _viVCAttr.data() + _vVerts[size_t(v)].uStart; }
    const int* vertAttrs(int v) const { return _viVCAttr.data() + _vVerts[size_t(v)].uStart; }

    // Whether every polygon is a triangle, its ring the three corners after
    // the ring of the one before (the first from the first corner in use),
    // none a cover and none of a group above 0: the shape of nearly every
    // decoded mesh, which its export then lists without a visit to each
    // polygon.
    bool plainTriangles() const;
    // Whether every vertex has exactly one attribute record.
    bool oneAttrEach() const;

    // Rotate a ring so that old slot r becomes slot 0, keeping the back
    // references of the other side right (the encoder turns each element to
    // the slot it is reached through before it describes it).
    void rotValRing(int p, int r);
    void rotDegRing(int v, int r);

private:
    // The walks read an element's counts and ring start together, and a
    // corner's element and slot together: each is kept in one record, which
    // also makes appending an element one write per array instead of one
    // per field. What the walks never read (a polygon's group, a vertex's
    // first record) stays apart, so that a record is eight bytes: one
    // scaled index finds it, and more of them share a cache line. The empty
    // slot counts stay apart too: the choice of the next vertex reads them
    // alone, up to sixteen vertices at a time.
    struct Poly {
        uint32_t uStart;
        uint16_t nDeg;
        uint16_t uFlags;
    };
    struct Vert {
        uint32_t uStart;
        uint16_t nDeg;
        uint16_t nAttrs;
    };
    static_assert(sizeof(Poly) == 8 && sizeof(Vert) == 8, "records of eight bytes");
    // Storage grows ahead of use, in doubling steps within the reserved
    // capacity, and stays sized across clear(): adding an element then only
    // writes its record and empties its own slots, which it is about to
    // use, so no pass over storage ahead of or after the walk is needed.
    // The arrays' sizes are what was grown (the rooms below), the counts
    // what is in use. The growing adders add once they have grown.
    int _addPolyGrowing(int degree, int group, uint16_t flags);
    int _addVertGrowing(int valence, int nAttrs);
    // The record of a vertex added within the room, its slots emptied.
    int _addVertRecord(int valence, int nAttrs) {
        const uint32_t start = _nVC;
        _nVC = start + uint32_t(valence);
        _vVerts[_nVerts] = {start, uint16_t(valence), uint16_t(nAttrs)};
        _vuVertAttrStart[_nVerts] = _nAttrs;
        _vnVEmpty[_nVerts] = uint16_t(valence);
        _nAttrs += uint32_t(nAttrs);
        return int(_nVerts++);
    }
    // An empty slot names element -1. Only the element is written: an empty
    // slot's own slot number is never read, and the strided stores stay
    // inline where a fill of whole slots would become a library call.
    static void _emptySlots(Corner* r, uint32_t n) {
        for (uint32_t k = 0; k < n; ++k)
            r[k].iElem = -1;
    }
    // The same, each slot's record set to iAttr in the same pass.
    static void _emptySlotsOneAttr(Corner* r, int* a, uint32_t n, int iAttr);
    // The same for eight slots, whole corners at a time: an empty slot's
    // own slot number may be anything.
    static void _emptySlotsOneAttr8(Corner* r, int* a, int iAttr) {
#ifdef __SSE2__
        // Two corners or four records a store.
        const __m128i none = _mm_set1_epi32(-1), rec = _mm_set1_epi32(iAttr);
        const auto put = [](void* q, __m128i x) { _mm_storeu_si128(static_cast<__m128i*>(q), x); };
        put(r, none);
        put(r + 2, none);
        put(r + 4, none);
        put(r + 6, none);
        put(a, rec);
        put(a + 4, rec);
#else
#pragma GCC unroll 8
        for (int k = 0; k < 8; ++k) {
            r[k] = {-1, -1};
            a[k] = iAttr;
        }
#endif
    }

    std::vector<Poly> _vPolys;
    std::vector<int32_t> _viPolyGroup;
    std::vector<Corner> _vPC;
    std::vector<Vert> _vVerts;
    std::vector<uint32_t> _vuVertAttrStart;
    // In 16 bits, as ring lengths are: the choice reads them into 16-bit
    // lanes one by one.
    std::vector<uint16_t> _vnVEmpty;
    std::vector<Corner> _vVC;
    std::vector<int32_t> _viVCAttr;
    uint32_t _nPolyRoom = 0;
    uint32_t _nPCRoom = 0;
    uint32_t _nVertRoom = 0;
    uint32_t _nVCRoom = 0;
    uint32_t _nPolys = 0;
    uint32_t _nVerts = 0;
    uint32_t _nPC = 0;
    uint32_t _nVC = 0;
    uint32_t _nAttrs = 0;
};

inline void VqDualVFMesh::_emptySlotsOneAttr(Corner* r, int* a, uint32_t n, int iAttr) {
    // Two corners a step: a ring has six on average.
#pragma GCC unroll 2
    for (uint32_t k = 0; k < n; ++k) {
        r[k].iElem = -1;
        a[k] = iAttr;
    }
}
