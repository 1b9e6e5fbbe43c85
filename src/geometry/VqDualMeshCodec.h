#pragma once

#include "VqDualVFMesh.h"
#include "VqErrorState.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace Vq {

// The region-growing walk over a dual mesh that the topology mesh coder's
// encoder and decoder share: the two differ only in the five operations,
// which either describe the source mesh into symbol streams or read the
// streams back, and both build the same destination mesh element by element
// in the same order. Anything the decoder does not get from a symbol must
// therefore follow from the destination alone (contexts, the active stack,
// the adjacency walks).
//
// The walk. A component starts from one polygon whose slots are all
// activated. Then, while the active stack holds a vertex with empty ring
// slots, the best one is completed: for each empty slot in increasing order
// a new polygon is created there (linked to the vertex in its own slot 0)
// and completed. Completing a polygon first fills the slots that follow from
// known adjacency, walking forward from slot 1 and backward from the last
// slot across the shared edges of its neighbours around already known
// vertices, then activates the slots still empty in increasing order: a new
// vertex (pushed on the stack, linked through its own slot 0) or a split to
// an active vertex named by its offset on the stack and the slot.
//
// Bounds: every loop either consumes a symbol or fills a slot of an element
// already created, and elements are only created from symbols, so the walk
// ends on any input; no recursion is used.
class DualMeshCodec {
public:
    static constexpr int kWindow = 16;

    // The attribute record of each ring slot from an attribute mask (bit i
    // set: slot i starts a run; slots before the first set bit belong to the
    // last run), the runs numbered from firstAttr; the number of runs. With
    // no set bit every slot gets -1.
    static int assignRuns(const uint64_t* mask, int valence, int firstAttr, int* attrs);

protected:
    // Clears dst and walks until the operations report no further component.
    //
    // The operations are members of Ops, the class deriving from this one,
    // which names DualMeshCodec its friend. The walk is instantiated for
    // each side within the side's own source, so that a side's operations
    // can be in line in the loops that call them, where an indirect call
    // could never be:
    //   int ioVtxInit();            a new component's first polygon, -1 when
    //                               there is none, below -1 on failure
    //                               (recorded);
    //   int ioVtx(int v, int s);    the polygon to create in ring slot s of
    //                               vertex v; < 0 on failure;
    //   int ioFace(int p, int s, int ctx);
    //                               the vertex in slot s of polygon p, whose
    //                               valence context is ctx: a new one
    //                               (>= 0), -1 for a split, below -1 on
    //                               failure;
    //   int ioSplitFace(int p, int s), ioSplitPos(int p, int s);
    //                               for a split: the active vertex, then the
    //                               slot of its ring holding p; < 0 on
    //                               failure.
    //
    // bTriangles: the caller knows that every polygon ioVtxInit and ioVtx
    // will create is a triangle. The walks across neighbouring polygons
    // then find their rings by their numbers alone (VqDualVFMesh::triRing),
    // which takes a load off the chain of loads each step waits on.
    template <class Ops>
    bool run(VqDualVFMesh& dst, bool bTriangles);

    // The valence context of a vertex reached through p (before the vertex
    // is created). In line and in straight code: it is asked once per
    // vertex, and nearly every polygon here is a triangle.
    int _faceCntxt(int p) const {
        const VqDualVFMesh& m = *_pDst;
        const int d = m.polyDegree(p);
        if (d > 4) return _cntxtOf(d, 0, 0);
        const VqDualVFMesh::Corner* const r = m.polyRing(p);
        int n = 0;
        uint32_t sum = 0;
        const auto known = [&](int s) {
            const int v = r[s].iElem;
            if (v >= 0) {
                ++n;
                sum += uint32_t(m.vertValence(v));
            }
        };
        known(0);
        known(1);
        known(2);
        if (d == 4) known(3);
        return _cntxtOf(d, n, sum);
    }
    // The same from the number of p's vertices known and the sum of their
    // valences, which count for degrees up to 4 only (a sum over a larger
    // ring may wrap).
    static int _cntxtOf(int d, int n, uint32_t sum) {
        if (d > 4) return d == 5 ? 6 : 7;
        // Below, at or above the regular valence times n: 0, 1 or 2 on top
        // of the degree's first context, without a branch on the comparison.
        const uint32_t ref = uint32_t((d == 3 ? 6 : 4) * n);
        return (d == 3 ? 0 : 3) + int(sum >= ref) + int(sum > ref);
    }
    // The active stack, bottom first.
    int _stackLength() const { return int(_nStack); }
    int _stackEntry(int i) const { return _viStack[size_t(i)]; }
    // The offset (top = 1) of v on the stack, -1 when absent.
    int _stackOffsetOf(int v) const;

    VqDualVFMesh* _pDst = nullptr;

private:
    static constexpr const char* kWalkCls = "DualMeshCodec";

    // The slot before and after s in a ring of n. Whether it wraps is as
    // good as random in the walks, so it is computed, never left to a
    // branch the compiler might choose. Each wrap's mask is one borrow: s
    // is below n, so s + 1 != n is s + 1 < n, and s == 0 is s < 1.
    static int _prevSlot(int s, int n) { return s - 1 + (n & -int(s == 0)); }
    static int _nextSlot(int s, int n) { return (s + 1) & -int(unsigned(s + 1) < unsigned(n)); }

    // Links slot s of p to a new or active vertex, that of valence context
    // ctx; its valence, < 0 on failure (recorded).
    template <class Ops>
    int _activateF(int p, VqDualVFMesh::Corner* pr, int s, int ctx);
    // The rest of an activation that ioFace did not answer with a new
    // vertex: a split, or a failure (iFace < -1).
    template <class Ops>
    int _split(int p, int s, int iFace);
    // run() for triangles only (kTri, see bTriangles) or any polygons.
    template <class Ops, bool kTri>
    bool _run(VqDualVFMesh& dst);
    template <class Ops, bool kTri>
    bool _completeF(int v);
    // The same for a ring of more than 64 slots, 64 at a time.
    template <class Ops, bool kTri>
    bool _completeFWide(int v, int val);
    // The empty slots among the up to 64 of v's ring (valence val) from
    // slot base, each given a new polygon, completed.
    template <class Ops, bool kTri>
    bool _completeSlots(int v, int val, int base);
    // p (ring pr) is new and linked in slot 0 alone, to slot s of the
    // vertex of valence val and ring vr. kDeg is p's degree when not 0.
    template <class Ops, int kDeg, bool kTri>
    bool _completeV(int p, VqDualVFMesh::Corner* pr, int s, int val, const VqDualVFMesh::Corner* vr);
    template <bool kFwd, bool kTri>
    bool _walkRing(VqDualVFMesh& m, int p, VqDualVFMesh::Corner* pr, int s, int val,
                   const VqDualVFMesh::Corner* vr, int& kInOut, int stop, uint32_t& sumInOut);
    int _nextActiveFace();
    // Drops from the active stack the vertices with no empty slot that the
    // choices to come would pass through one by one, the chosen one first.
    void _dropFilled();

    // Appends v to the active stack.
    void _push(int v) {
        if (_nStack >= _nStackRoom) [[unlikely]]
            _growStack();
        _viStack[_nStack++] = v;
    }
    [[gnu::noinline]] void _growStack() {
        _viStack.resize(2 * _viStack.size() + 4 * size_t(kWindow));
        _nStackRoom = _viStack.size() - size_t(kWindow);
    }

    // The active stack's entries are the first _nStack; the storage holds
    // kWindow more past them, so that the window moves whole vectors
    // without a look at where the stack ends. A push within the room
    // (the storage's size less kWindow, kept as such) needs no growth.
    std::vector<int> _viStack;
    size_t _nStack = 0;
    size_t _nStackRoom = 0;
    // The stack entry of the vertex being completed, -1 for none.
    ptrdiff_t _iChosen = -1;
};

// Always in line: the decoder builds the walk once for each instruction set
// (see Vq::withBestIsa).
template <class Ops>
[[gnu::always_inline]] inline bool DualMeshCodec::run(VqDualVFMesh& dst, bool bTriangles) {
    return bTriangles ? _run<Ops, true>(dst) : _run<Ops, false>(dst);
}

template <class Ops, bool kTri>
[[gnu::always_inline]] inline bool DualMeshCodec::_run(VqDualVFMesh& dst) {
    _pDst = &dst;
    dst.clear();
    _nStack = 0;
    _iChosen = -1;
    for (;;) {
        const int p = static_cast<Ops*>(this)->ioVtxInit();
        if (p == -1) break;
        VQ_PROPAGATE(p >= 0);
        for (int s = 0; s < dst.polyDegree(p); ++s)
            if (dst.polyVtx(p, s) < 0)
                VQ_PROPAGATE(_activateF<Ops>(p, dst.polyRing(p), s, _faceCntxt(p)) >= 0);
        for (int v; (v = _nextActiveFace()) >= 0;)
            VQ_PROPAGATE((_completeF<Ops, kTri>(v)));
    }
    return true;
}

template <class Ops>
[[gnu::always_inline]] inline int DualMeshCodec::_activateF(int p, VqDualVFMesh::Corner* pr, int s, int ctx) {
    // In line: nearly every polygon activates a slot, nearly always with a
    // new vertex. p's ring pr stays in place: only vertices are added here.
    const int iFace = static_cast<Ops*>(this)->ioFace(p, s, ctx);
    if (iFace >= 0) [[likely]] {
        _pDst->link(pr, p, s, _pDst->vertRing(iFace), iFace, 0);
        _push(iFace);
        return _pDst->vertValence(iFace);
    }
    return _split<Ops>(p, s, iFace);
}

template <class Ops>
[[gnu::noinline]] int DualMeshCodec::_split(int p, int s, int iFace) {
    VqDualVFMesh& m = *_pDst;
    if (iFace < -1) {
        VqErrorState::rethrowError();
        return -1;
    }
    const int w = static_cast<Ops*>(this)->ioSplitFace(p, s);
    const int t = w < 0 ? -1 : static_cast<Ops*>(this)->ioSplitPos(p, s);
    if (t < 0) {
        VqErrorState::rethrowError();
        return -1;
    }
    // The decoder's operations check the ranges; an occupied slot means the
    // streams describe no mesh.
    if (m.vertPoly(w, t) >= 0) {
        VqErrorState::throwStdError(kWalkCls, "run", "m.vertPoly(w, t) < 0", VQ_ERR_CORRUPT);
        return -1;
    }
    m.link(p, s, w, t);
    return m.vertValence(w);
}

template <class Ops, bool kTri>
[[gnu::always_inline]] inline bool DualMeshCodec::_completeF(int v) {
    // In line in the walk's loop, which calls it once per vertex: as a call
    // of its own, setting up and restoring the registers its loops need cost
    // some twenty instructions a vertex.
    VqDualVFMesh& m = *_pDst;
    const int val = m.vertValence(v);
    // Which slots are empty is read once per 64 slots into a mask. Nearly
    // every ring has at most 64, read in one mask here; a longer one goes
    // out of line, so that the loop over chunks does not hold its count and
    // the valence at the cost of the common case's registers. Once no slot
    // is empty the rest of the ring needs no look.
    if (val > 64) [[unlikely]]
        return _completeFWide<Ops, kTri>(v, val);
    if (m.vertEmpty(v) == 0) {
        _dropFilled();
        return true;
    }
    return _completeSlots<Ops, kTri>(v, val, 0);
}

template <class Ops, bool kTri>
[[gnu::noinline]] bool DualMeshCodec::_completeFWide(int v, int val) {
    for (int base = 0; base < val && _pDst->vertEmpty(v) > 0; base += 64)
        VQ_PROPAGATE((_completeSlots<Ops, kTri>(v, val, base)));
    return true;
}

template <class Ops, bool kTri>
[[gnu::always_inline]] inline bool DualMeshCodec::_completeSlots(int v, int val, int base) {
    // v's ring is looked up afresh after each polygon: completing one adds
    // vertices, which may move the rings. The mask is walked in increasing
    // order: where the filled slots before the next empty one were skipped
    // one by one, each a branch on how the ring was filled, the mask finds
    // it in one step. Slots are only ever filled, so the empty ones are
    // among the mask's; a split while a polygon is completed may fill one of
    // them, which is passed over.
    VqDualVFMesh& m = *_pDst;
    for (uint64_t empty = m.vertEmptyMask(v, base); empty != 0; empty &= empty - 1) {
        const int s = base + std::countr_zero(empty);
        if (m.vertPoly(v, s) >= 0) [[unlikely]]
            continue;
        const int p = static_cast<Ops*>(this)->ioVtx(v, s);
        VQ_PROPAGATE(p >= 0);
        // What the link writes the completion takes from here, not back
        // from the rings.
        VqDualVFMesh::Corner* const pr = kTri ? m.triRing(p) : m.polyRing(p);
        VqDualVFMesh::Corner* const vr = m.vertRing(v);
        m.link(pr, p, 0, vr, v, s);
        // Nearly every polygon is a triangle: with its degree known, the
        // walks around its ring, at most two steps, and the contexts of its
        // activations fold to straight code.
        if constexpr (kTri)
            VQ_PROPAGATE((_completeV<Ops, 3, true>(p, pr, s, val, vr)));
        else
            VQ_PROPAGATE((m.polyDegree(p) == 3 ? _completeV<Ops, 3, false>(p, pr, s, val, vr)
                                               : _completeV<Ops, 0, false>(p, pr, s, val, vr)));
    }
    return true;
}

// One end of p's ring filled from slot k on, forward or backward, from its
// vertex in slot 0 (p in slot s of its ring vr, valence val), until a
// neighbour is not known yet or before slot stop; k returns the last slot
// filled. Forward, slot k + 1 is the vertex that precedes w, the vertex in
// slot k (p in slot tw of its ring wr, valence vw), in the polygon across
// p's edge leaving w; backward, the vertex that follows w in the polygon
// across p's edge entering w. The valences of the vertices filled in are
// added to sum. In line in its one caller, once each way.
template <bool kFwd, bool kTri>
[[gnu::always_inline]] inline bool DualMeshCodec::_walkRing(VqDualVFMesh& m, int p, VqDualVFMesh::Corner* pr,
                                                            int s, int val, const VqDualVFMesh::Corner* vr,
                                                            int& kInOut, int stop, uint32_t& sumInOut) {
    using Corner = VqDualVFMesh::Corner;
    const auto step = [](int t, int n) { return kFwd ? _prevSlot(t, n) : _nextSlot(t, n); };
    // A local meanwhile: the links written on the way could alias kInOut.
    int k = kInOut, tw = s, vw = val;
    uint32_t sum = sumInOut;
    const Corner* wr = vr;
    // Unrolled by two: a triangle takes at most two steps each way, which
    // then run as straight code.
#pragma GCC unroll 2
    for (int next = kFwd ? k + 1 : k - 1; next != stop; next = kFwd ? k + 1 : k - 1) {
        const Corner cq = wr[step(tw, vw)];
        const int q = cq.iElem;
        if (q < 0) break;
        const int j = cq.iSlot, dq = kTri ? 3 : m.polyDegree(q);
        const Corner cx = (kTri ? m.triRing(q) : m.polyRing(q))[step(j, dq)];
        const int x = cx.iElem;
        if (x < 0) break;
        Corner* const xr = m.vertRing(x);
        const int u = cx.iSlot, vx = m.vertValence(x), tx = step(u, vx);
        const int jn = xr[tx].iElem < 0 ? tx : -1;
        VQ_CHECK(jn > -1, kWalkCls, "run", VQ_ERR_CORRUPT);
        m.link(pr, p, next, xr, x, tx);
        k = next;
        tw = tx;
        vw = vx;
        wr = xr;
        sum += uint32_t(vx);
    }
    kInOut = k;
    sumInOut = sum;
    return true;
}

// In line in its one caller, which calls it once per polygon.
template <class Ops, int kDeg, bool kTri>
[[gnu::always_inline]] inline bool DualMeshCodec::_completeV(int p, VqDualVFMesh::Corner* pr, int s, int val,
                                                             const VqDualVFMesh::Corner* vr) {
    VqDualVFMesh& m = *_pDst;
    const int d = kDeg != 0 ? kDeg : m.polyDegree(p);
    // p's ring stays in place throughout: polygons are only added while a
    // vertex is completed, never while a polygon is. p is new, linked in
    // slot 0 alone, and only this call fills its other slots: forward from
    // slot 1, backward from the last, then the gap between by activation,
    // so which of them are empty follows from the two ends reached.
    //
    // The valence context of each vertex activated counts p's vertices known
    // by then: they are those of the slots filled so far, so their number
    // and valences are summed on the way rather than read back from p's
    // ring and their records, which would put those reads between each
    // activation and its symbol.
    int k = 0;
    uint32_t sum = uint32_t(val);
    VQ_PROPAGATE((_walkRing<true, kTri>(m, p, pr, s, val, vr, k, d, sum)));
    const int fwdEnd = k;
    k = d;
    VQ_PROPAGATE((_walkRing<false, kTri>(m, p, pr, s, val, vr, k, fwdEnd, sum)));
    for (int t = fwdEnd + 1, n = 1 + fwdEnd + (d - k); t < k; ++t, ++n) {
        const int w = _activateF<Ops>(p, pr, t, _cntxtOf(d, n, sum));
        VQ_PROPAGATE(w >= 0);
        sum += uint32_t(w);
    }
    return true;
}

// In line in the walk's loop, which calls it once per vertex: a call would
// load the stack's and the counts' places afresh each time, on top of the
// call and return.
[[gnu::always_inline]] inline int DualMeshCodec::_nextActiveFace() {
    // The window is the top kWindow entries not completed; the completed
    // ones met leave the stack (the split offsets to come count what
    // stays). A completed vertex has no empty slot: within the top kWindow
    // entries it is chosen before any vertex with one, and completing it
    // reads nothing but makes it leave, with those that would be chosen
    // next for the same reason (_dropFilled). So the vertex completed with
    // empty slots has the same window and stack as if each completed entry
    // had left as soon as it came within reach, and the choice needs no
    // mark of which vertices are completed.
    int* const b = _viStack.data();
    size_t n = _nStack;
    // The vertex chosen last is completed now and still where it was, under
    // only the vertices pushed since and those of the window above it: it
    // leaves when that puts it in the window. The entries above it move
    // down, fewer than kWindow: how many is as good as random, so kWindow
    // of them are moved whatever their number, all read before any is
    // written, with no loop on the count. What moves in from past the top
    // belongs to no entry.
    if (_iChosen >= 0) {
        const size_t c = size_t(_iChosen);
        if (n - c <= size_t(kWindow)) {
#ifdef __SSE2__
            // Four vectors held in registers: a copy through a buffer went
            // by the stack, and a move of a constant size became a call.
            static_assert(kWindow == 16, "four vectors of four entries");
            const auto at = [](int* q) { return reinterpret_cast<__m128i*>(q); };
            const __m128i m0 = _mm_loadu_si128(at(b + c + 1)), m1 = _mm_loadu_si128(at(b + c + 5)),
                          m2 = _mm_loadu_si128(at(b + c + 9)), m3 = _mm_loadu_si128(at(b + c + 13));
            _mm_storeu_si128(at(b + c), m0);
            _mm_storeu_si128(at(b + c + 4), m1);
            _mm_storeu_si128(at(b + c + 8), m2);
            _mm_storeu_si128(at(b + c + 12), m3);
#else
            int moved[kWindow];
            std::memcpy(moved, b + c + 1, sizeof moved);
            std::memcpy(b + c, moved, sizeof moved);
#endif
            _nStack = --n;
        }
        _iChosen = -1;
    }
    if (n == 0) return -1;
    const uint16_t* const empty = _pDst->vertEmptyCounts();
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
        // Eight counts a vector, each put in its lane straight from memory,
        // less half their range so that they compare in order as signed.
        const __m128i half = _mm_set1_epi16(int16_t(0x8000));
        const auto eight = [&]<int... k>(int from, std::integer_sequence<int, k...>) {
            __m128i x = _mm_setzero_si128();
            ((x = _mm_insert_epi16(x, empty[top[-from - k]], k)), ...);
            return _mm_xor_si128(x, half);
        };
        const __m128i near = eight(0, std::make_integer_sequence<int, 8>()),
                      far = eight(8, std::make_integer_sequence<int, 8>());
        __m128i m = _mm_min_epi16(near, far);
        m = _mm_min_epi16(m, _mm_shuffle_epi32(m, 0x4E));
        m = _mm_min_epi16(m, _mm_shuffle_epi32(m, 0xB1));
        m = _mm_min_epi16(m, _mm_shufflelo_epi16(_mm_shufflehi_epi16(m, 0xB1), 0xB1));
        const unsigned holds =
            unsigned(_mm_movemask_epi8(_mm_packs_epi16(_mm_cmpeq_epi16(near, m), _mm_cmpeq_epi16(far, m))));
        // The least is in some lane, so holds is never 0: the bit past the
        // lanes spares the count its case for 0.
        const size_t at0 = n - 1 - size_t(std::countr_zero(holds | 1u << 16));
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

// Out of line: about one choice in nine is of a vertex with no empty slot,
// and such choices come several in a row. Such a vertex in the window is chosen
// before any other, completes reading nothing and leaves, letting the next
// entry below into the window; so one after another they all leave, down to
// the kWindow-th entry from the top that has an empty slot, with no symbol
// read in between. Dropping them all at once leaves the same stack, which
// the split offsets to come count, and the same choice next, for a fraction
// of a trip through the walk's loop each.
[[gnu::noinline]] inline void DualMeshCodec::_dropFilled() {
    int* const b = _viStack.data();
    const uint16_t* const empty = _pDst->vertEmptyCounts();
    const size_t n = _nStack;
    // From the top down, each entry read is written just below the nKept
    // kept, where the next one read overwrites it unless it is kept itself.
    // Which entries are dropped is no better predicted than a coin: whether
    // one is kept is counted by arithmetic, never branched on.
    int* const top = b + n;
    const int* r = top;
    size_t nKept = 0;
    const auto one = [&] {
        const int v = *--r;
        top[-1 - ptrdiff_t(nKept)] = v;
        // 1 for a count of 1 to 0xffff, 0 for none.
        nKept += (uint32_t(empty[v]) + 0xffffu) >> 16;
    };
    // The window first, which keeps at most kWindow whatever is dropped;
    // then as many entries as came in for those dropped, and so on.
    if (n >= size_t(kWindow)) {
#pragma GCC unroll 16
        for (int k = 0; k < kWindow; ++k)
            one();
    }
    while (r > b && nKept < size_t(kWindow))
        one();
    // Those kept down onto the entries not read. In general registers, as a
    // call or a vector would take registers the walk's loop keeps across
    // this call.
    const size_t i = size_t(r - b);
    const int* const kept = top - nKept;
    for (size_t k = 0; k < nKept; ++k)
        b[i + k] = kept[k];
    _nStack = i + nKept;
    _iChosen = -1;
}

} // namespace Vq
