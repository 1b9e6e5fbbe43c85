#include "VqTriStripperEngine.h"

#include "VqErrorState.h"
#include "VqPolygonTopoMesh.h"
#include "VqTopoMeshTopology.h"
#include "VqTriStripTopoMesh.h"
#include "VqVertexRecordPool.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr const char* kCls = "VqTriStripperEngine";

// Groups above this size keep triangles with two free edges on a stack of
// their own; smaller ones find them by scanning, which costs less than the
// stack's upkeep there.
constexpr uint32_t kBigGroup = 5000;

inline uint32_t nextCorner(uint32_t c) {
    return c == 2 ? 0 : c + 1;
}

// i % 3 for the small sums of corners the growth makes, one load instead of
// a multiply and a shift.
constexpr uint8_t kMod3[6] = {0, 1, 2, 0, 1, 2};

// The first of state[at .. end) that is 3, or end. Eight at a time where
// words are little-endian: a byte of 3 is a zero byte of the word xor
// 0x0303..03, and the lowest byte flagged by the zero-byte test is exact.
uint32_t findThree(const uint8_t* state, uint32_t at, uint32_t end) {
    if constexpr (std::endian::native == std::endian::little) {
        constexpr uint64_t kOnes = 0x0101010101010101ull;
        for (; at + 8 <= end; at += 8) {
            uint64_t w;
            std::memcpy(&w, state + at, 8);
            w ^= 3 * kOnes;
            const uint64_t zero = (w - kOnes) & ~w & (kOnes << 7);
            if (zero) return at + uint32_t(std::countr_zero(zero)) / 8;
        }
    }
    while (at < end && state[at] != 3)
        ++at;
    return at;
}

// How many of n ints are negative: their sign bits summed, four at a time.
size_t countNegative(const int* v, size_t n) {
    const uint32_t* u = reinterpret_cast<const uint32_t*>(v);
    size_t count = 0, i = 0;
    for (; i + 4 <= n; i += 4)
        count += (u[i] >> 31) + (u[i + 1] >> 31) + (u[i + 2] >> 31) + (u[i + 3] >> 31);
    for (; i < n; ++i)
        count += u[i] >> 31;
    return count;
}

} // namespace

VqTriStripperEngine::VqTriStripperEngine() = default;
VqTriStripperEngine::~VqTriStripperEngine() = default;

bool VqTriStripperEngine::apply(VqTopoMesh* dest, const VqTopoMesh* src,
                                const VqTopoMeshTopology* pSrcTopology) {
    _nStrips = _nTris = _nDegTris = 0;
    VqTriStripTopoMesh* pDestTSTM = Vq::typeCast<VqTriStripTopoMesh>(dest);
    VQ_CHECK(pDestTSTM, kCls, "apply", VQ_ERR_ARGUMENT);
    VQ_CHECK(pDestTSTM->vtxRecPool(), kCls, "apply", VQ_ERR_ARGUMENT);
    VQ_PROPAGATE(pDestTSTM->lockWrite(true));
    bool ok = false;
    try {
        ok = _run(pDestTSTM, src, pSrcTopology);
    } catch (const std::bad_alloc&) {
        VqErrorState::throwStdError(kCls, "apply", "Caught std::bad_alloc", VQ_ERR_ALLOC);
    }
    // A failed run leaves the destination without primitives, never half filled.
    if (!ok) pDestTSTM->clearPrimitives();
    pDestTSTM->lockWrite(false);
    VQ_PROPAGATE(ok);
    return true;
}

bool VqTriStripperEngine::_run(VqTopoMesh* pDestTSTM, const VqTopoMesh* src,
                               const VqTopoMeshTopology* pSrcTopology) {
    const VqTriStripTopoMesh* pSrcTSTM = Vq::typeCast<VqTriStripTopoMesh>(src);
    const VqPolygonTopoMesh* pSrcPTM = Vq::typeCast<VqPolygonTopoMesh>(src);
    VQ_CHECK(pSrcTSTM || pSrcPTM, kCls, "apply", VQ_ERR_ARGUMENT);
    if (pSrcPTM)
        VQ_CHECK(pSrcPTM->vtxRecPool() == pDestTSTM->vtxRecPool(), kCls, "apply", VQ_ERR_ARGUMENT);
    else
        VQ_CHECK(pSrcTSTM->vtxRecPool() == pDestTSTM->vtxRecPool(), kCls, "apply", VQ_ERR_ARGUMENT);

    // The source is read under its lock, taken after the destination's write
    // lock, which lets the source be the destination itself; the pool's lock
    // comes last, as when a mesh derives its topology.
    // The triangles stripped may be the source topology's own arrays: the
    // source stays locked until the strips are made.
    VqTopoMesh* pSrc = const_cast<VqTopoMesh*>(src);
    VqTopoMeshPrimitives view;
    VQ_PROPAGATE(pSrc->acquirePrimitives(view, false));
    struct Release {
        VqTopoMesh* pSrc;
        VqTopoMeshPrimitives& view;
        void now() {
            if (pSrc) pSrc->releasePrimitives(view);
            pSrc = nullptr;
        }
        ~Release() { now(); }
    } release{pSrc, view};
    const uint32_t nFaceGrps = src->numFaceGroups();
    bool ok = true;
    if (src->numPrims() > 0) {
        if (pSrcPTM && !(pSrcPTM->uniformPrimSize() == 3)) {
            VqErrorState::throwStdError(kCls, "apply", "pSrcPTM->uniformPrimSize() == 3", VQ_ERR_ARGUMENT);
            ok = false;
        }
        VqVertexRecordPool* pPool = pDestTSTM->vtxRecPool();
        ok = ok && pPool->lockRead(true);
        if (ok) {
            // Released on every way out, a bad_alloc from the import included.
            struct PoolRead {
                VqVertexRecordPool* pPool;
                ~PoolRead() { pPool->lockRead(false); }
            } poolRead{pPool};
            // A current topology was derived from arrays checked against
            // the pool, and any change to either drops it, so checking them
            // again would repeat that check; inside a topology edit the
            // primitives may have changed under a topology kept for the
            // editor, and are checked. A topology the caller derived was
            // derived from checked arrays too.
            const VqTopoMeshTopology* t = pSrcTopology          ? pSrcTopology
                                          : src->_isValidTopo() ? src->_topology()
                                                                : nullptr;
            const bool bChecked = pSrcTopology || (t && !src->isInTopoEdit());
            ok = bChecked || src->verifyTopoMesh(false);
            if (ok && t)
                ok = _importTopology(src, *t);
            else if (ok)
                ok = _doImport(view, *pPool, pSrcTSTM != nullptr);
        }
    } else {
        // Nothing to strip: an empty mesh with the source's face groups.
        _pTriRec = nullptr;
        _pOpp = nullptr;
        _nTriangles = 0;
        _vuGroupStart.assign(size_t(nFaceGrps) + 1, 0u);
    }
    VQ_PROPAGATE(ok);

    _vuOutStart.assign(1, 0u);
    _vuOutFaceGrps.assign(1, 0u);
    const uint32_t nTri = _nTriangles;
    // Every group sets its triangles' states before reading them.
    _vnState.resize(nTri);
    _vuOutIndices.clear();
    _vuOutIndices.resize(size_t(nTri) * 3 / 2 + 16);
    _nOut = 0;
    for (uint32_t g = 0; g < nFaceGrps; ++g) {
        VQ_PROPAGATE(_stripGroup(_vuGroupStart[int(g)], _vuGroupStart[int(g + 1)]));
        _vuOutFaceGrps.push_back(uint32_t(_vuOutStart.size() - 1));
    }
    _vuOutIndices.resize(_nOut);
    _nTris = nTri;
    release.now();
    VQ_PROPAGATE(pDestTSTM->_assignPrimitives(std::move(_vuOutStart), std::move(_vuOutIndices),
                                              std::move(_vuOutFaceGrps)));
    if (src->numPrims() == 0) VQ_PROPAGATE(pDestTSTM->ensureTopology());
    return true;
}

// Without a current topology, the adjacency is derived here rather than
// through one: the mesh is stripped right after it is decoded, when it has
// none, and the full topology (vertex numbering, outgoing lists, edges) would
// cost several times what the stripper needs and stay allocated afterwards.
// The pairing is the topology's own (vqPositionClasses,
// vqPairTriangleHalfEdges over the facets in atom order), so the strips are
// those the topology would give, and the arrays live in the engine, which
// strips mesh after mesh without allocating again.
bool VqTriStripperEngine::_doImport(const VqTopoMeshPrimitives& view, const VqVertexRecordPool& pool,
                                    bool strips) {
    const uint32_t nRecs = pool.numVtxRecords();
    const uint32_t nPrims = view.nPrims, nFaceGrps = view.nFaceGrps;
    const uint32_t* primStart = view.paiPrimStart;
    const uint32_t* idx = view.paiIndices;
    const uint64_t nAtoms = strips ? uint64_t(view.nIndices) - 2 * uint64_t(nPrims) : nPrims;
    // Corner codes 3 t + c are ints.
    if (!(nAtoms <= uint64_t(INT_MAX / 3)))
        VQ_FAIL(kCls, "apply", "3 * nTriangles <= INT_MAX", VQ_ERR_ARGUMENT);

    _viRecPos.resize(nRecs);
    vqPositionClasses(nRecs, pool.fields()->vtxCoords(), pool.fields()->numVtxCoordComps(), _viRecPos.data(),
                      _viPosTable);
    const int32_t* pos = _viRecPos.data();

    // Triangles in atom order, face group by face group; degenerate ones (two
    // corners at one position) are left out, as the topology leaves them.
    _vuTriRec.resize(size_t(nAtoms) * 3);
    _viTriPos.resize(size_t(nAtoms) * 3);
    _vuGroupStart.resize(size_t(nFaceGrps) + 1);
    uint32_t* rec = _vuTriRec.data();
    int32_t* tpos = _viTriPos.data();
    uint32_t nTri = 0;
    auto add = [&](uint32_t r0, uint32_t r1, uint32_t r2) {
        const int32_t p0 = pos[r0], p1 = pos[r1], p2 = pos[r2];
        if (p0 == p1 || p1 == p2 || p0 == p2) return;
        uint32_t* r = rec + 3 * size_t(nTri);
        int32_t* p = tpos + 3 * size_t(nTri);
        r[0] = r0, r[1] = r1, r[2] = r2;
        p[0] = p0, p[1] = p1, p[2] = p2;
        ++nTri;
    };
    _vuGroupStart[0] = 0;
    for (uint32_t g = 0; g < nFaceGrps; ++g) {
        const uint32_t pb = view.paiFaceGrps[g], pe = view.paiFaceGrps[g + 1];
        if (strips) {
            // Odd triangles are (s[i + 1], s[i], s[i + 2]).
            for (uint32_t p = pb; p < pe; ++p)
                for (uint32_t i = primStart[p]; i + 2 < primStart[p + 1]; ++i) {
                    const uint32_t odd = (i - primStart[p]) & 1;
                    add(idx[i + odd], idx[i + 1 - odd], idx[i + 2]);
                }
        } else {
            for (uint32_t i = 3 * pb; i < 3 * pe; i += 3)
                add(idx[i], idx[i + 1], idx[i + 2]);
        }
        _vuGroupStart[int(g + 1)] = nTri;
    }
    _vuTriRec.resize(size_t(nTri) * 3);
    _nTriangles = nTri;
    _pTriRec = _vuTriRec.data();

    // Joins: a paired edge within one group whose two sides use the same
    // records; everything else is cut.
    _viOpp.resize(size_t(nTri) * 3);
    uint32_t nBoundary = 0, nNonmanifold = 0;
    if (!_pPairing) _pPairing = std::make_unique<VqHalfEdgePairing>();
    vqPairTriangleHalfEdges(nTri, tpos, nRecs, _viOpp.data(), nBoundary, nNonmanifold, *_pPairing);
    // Where no two records share a position, paired edges have equal
    // records on both sides, and reading the records of the triangle across
    // (a cache miss each) can be spared.
    bool bSeams = false;
    for (uint32_t r = 0; r < nRecs && !bSeams; ++r)
        bSeams = pos[r] != int32_t(r);
    _pOpp = _viOpp.data();
    _cutJoins(bSeams);
    return true;
}

// A source whose topology is current is read from it: its facets are the
// triangles above, in the same order, and its pairing is the same one, so
// the strips do not depend on whether the topology was there; edges cut by
// makeWeak stay cut.
bool VqTriStripperEngine::_importTopology(const VqTopoMesh* src, const VqTopoMeshTopology& t) {
    const uint32_t nTri = uint32_t(t.numFacets());
    // Every facet of a triangle mesh is a triangle, so facet f owns
    // half-edges 3 f .. 3 f + 2, which are its corners' edges in order.
    if (!(t.bTriangles && t.viHEOpp.size() == size_t(nTri) * 3))
        VQ_FAIL(kCls, "apply", "_sIns.paiOppXHEdge", VQ_ERR_INTERNAL);
    _nTriangles = nTri;

    // Face groups as triangle ranges: facets follow atom order. The last
    // group ends with the last facet, which is not looked for.
    const uint32_t nFaceGrps = src->numFaceGroups();
    _vuGroupStart.assign(size_t(nFaceGrps) + 1, 0u);
    uint32_t f = 0;
    for (uint32_t g = 0; g < nFaceGrps; ++g) {
        const uint32_t pe = src->faceGroupStart(g + 1);
        if (pe < src->numPrims()) {
            const uint32_t atomEnd = uint32_t(src->firstFacetOnPrim(pe));
            while (f < nTri && uint32_t(t.viFacetAtom[int(f)]) < atomEnd)
                ++f;
        } else {
            f = nTri;
        }
        _vuGroupStart[int(g + 1)] = f;
    }
    // The topology pairs half-edges by vertex: when every vertex has one
    // record, paired edges have the same records on both sides.
    const size_t nUsedRecs = t.viRecVtx.size() - countNegative(t.viRecVtx.data(), t.viRecVtx.size());
    const bool bSeams = nUsedRecs != size_t(t.numVertices());
    // Where nothing is cut, the topology's arrays are read as they are
    // (records as uint32_t: the same object representation for valid ones).
    _pTriRec = reinterpret_cast<const uint32_t*>(t.viHERec.data());
    _pOpp = t.viHEOpp.data();
    if (bSeams || nFaceGrps != 1) {
        _vuTriRec.assign(t.viHERec.begin(), t.viHERec.end());
        _viOpp.assign(t.viHEOpp.begin(), t.viHEOpp.end());
        _pTriRec = _vuTriRec.data();
        _pOpp = _viOpp.data();
        _cutJoins(bSeams);
    }
    return true;
}

void VqTriStripperEngine::_cutJoins(bool bSeams) {
    const uint32_t* rec = _vuTriRec.data();
    int32_t* join = _viOpp.data();
    const uint32_t nFaceGrps = uint32_t(_vuGroupStart.size() - 1);
    for (uint32_t g = 0; g < nFaceGrps; ++g) {
        const uint32_t hs = 3 * _vuGroupStart[int(g)], he = 3 * _vuGroupStart[int(g + 1)];
        for (uint32_t h = hs; h < he; ++h) {
            const int32_t o = join[h];
            if (o < 0) continue;
            const uint32_t uo = uint32_t(o);
            if (uo < hs || uo >= he) {
                join[h] = -1;
            } else if (bSeams) {
                const uint32_t hn = h - h % 3 + nextCorner(h % 3), on = uo - uo % 3 + nextCorner(uo % 3);
                if (rec[h] != rec[on] || rec[hn] != rec[uo]) join[h] = -1;
            }
        }
    }
}

bool VqTriStripperEngine::_stripGroup(uint32_t gs, uint32_t ge) {
    const bool big = ge - gs > kBigGroup;
    // Each triangle enters each stack once at most: when its free count
    // falls to (or starts at) one, or to two, or to none. Pushes write the
    // slot above the top whether they push or not, hence one slot more.
    // The three share one array, so that growth keeps one base in a
    // register: ones from 0, twos from _nBase2, the alone ones from
    // _nBaseAlone.
    const uint32_t nSlots = ge - gs + 1;
    _vuStacks.resize(size_t(nSlots) * 3);
    _nBase2 = nSlots;
    _nBaseAlone = 2 * nSlots;
    const int* opp = _pOpp;
    uint8_t* state = _vnState.data();
    // The stacks pop the newest first; seeded from the group's end, so that
    // its first triangles come first. Triangles with no join are emitted
    // first, in order.
    uint32_t* stacks = _vuStacks.data();
    uint32_t top1 = 0, top2 = _nBase2;
    bool bAlone = false;
    for (uint32_t t = ge; t-- > gs;) {
        // Unjoined corners are negative: their sign bits count them.
        const uint32_t* o = reinterpret_cast<const uint32_t*>(opp) + 3 * size_t(t);
        const uint32_t n = 3 - ((o[0] >> 31) + (o[1] >> 31) + (o[2] >> 31));
        state[t] = uint8_t(n);
        // Most triangles have three neighbours: a branch that is mostly
        // not taken costs less than pushing by masks.
        if (n != 3) {
            if (n == 1)
                stacks[top1++] = t;
            else if (n == 2)
                stacks[top2++] = t;
            else
                bAlone = true;
        }
    }
    _nTop1 = top1;
    _nTop2 = top2;
    if (bAlone)
        for (uint32_t t = gs; t < ge; ++t)
            if (state[t] == 0) _emitAlone(t);

    uint32_t cursor = gs;
    uint32_t anAtom[3], anDegTri[3], aEdge[3];
    for (;;) {
        const int start = _nextStart(gs, ge, big, cursor);
        if (start < 0) break;
        const uint32_t s = uint32_t(start);
        uint32_t nEdges = 0;
        for (uint32_t c = 0; c < 3; ++c) {
            const int o = opp[3 * s + c];
            if (o >= 0 && !(state[o / 3] & kUsed)) aEdge[nEdges++] = c;
        }
        if (nEdges == 0) {
            _emitAlone(s);
            continue;
        }
        uint32_t iPath = 0;
        if (nEdges > 1) {
            for (uint32_t k = 0; k < nEdges; ++k) {
                _growStrip<true>(s, aEdge[k], anAtom[k], anDegTri[k]);
                const uint32_t tris = anAtom[k] - anDegTri[k], best = anAtom[iPath] - anDegTri[iPath];
                if (tris > best || (tris == best && anDegTri[k] < anDegTri[iPath])) iPath = k;
            }
        }
        uint32_t nRAtoms = 0, nRDeTris = 0;
        _growStrip<false>(s, aEdge[iPath], nRAtoms, nRDeTris);
        if (nEdges > 1) {
            VQ_CHECK(nRAtoms == anAtom[iPath], kCls, "apply", VQ_ERR_INTERNAL);
            VQ_CHECK(nRDeTris == anDegTri[iPath], kCls, "apply", VQ_ERR_INTERNAL);
        }
        _nDegTris += nRDeTris;
    }
    return true;
}

int VqTriStripperEngine::_nextStart(uint32_t gs, uint32_t ge, bool big, uint32_t& cursor) {
    const uint8_t* state = _vnState.data();
    const uint32_t* stacks = _vuStacks.data();
    // The tops in locals: the states, bytes, could otherwise be them.
    uint32_t top = _nTop1;
    while (top > 0) {
        const uint32_t t = stacks[--top];
        if (!(state[t] & kUsed)) {
            _nTop1 = top;
            return int(t);
        }
    }
    _nTop1 = 0;
    if (big) {
        // Small groups stack twos too, but find them by the scan below.
        top = _nTop2;
        const uint32_t base = _nBase2;
        while (top > base) {
            const uint32_t t = stacks[--top];
            if (!(state[t] & kUsed)) {
                _nTop2 = top;
                return int(t);
            }
        }
        _nTop2 = base;
        // Free counts only fall, every fall to one or two is stacked and
        // every fall to none left alone: what is left has three, and a
        // cursor that never goes back finds it, or nothing is left. Outside
        // trials, a state of 3 is a triangle not used with three free edges.
        cursor = findThree(state, cursor, ge);
        return cursor < ge ? int(cursor) : -1;
    }
    int first[4] = {-1, -1, -1, -1};
    for (uint32_t t = gs; t < ge; ++t)
        if (!(state[t] & kUsed) && first[state[t] & kFreeMask] < 0) first[state[t] & kFreeMask] = int(t);
    for (int n = 1; n <= 3; ++n)
        if (first[n] >= 0) return first[n];
    return first[0];
}

// Growing. The strip so far ends in its last two records, which lie on the
// edge being crossed. The triangle across adds its third corner; it is atom
// i of the strip, so it leaves naturally through the edge of its last two
// strip records, which is its corner edge ce + 1 for even i and ce + 2 for
// odd i (ce being the corner edge it was entered through). When only the
// other edge is free the strip turns there: the record before last is
// repeated ahead of the new one, which inserts one degenerate triangle and
// flips the parity, and the strip goes on as before.
//
// Strips grow forward only. A start is a triangle with the fewest free
// edges, a corner of the region still to strip, so that little lies behind
// it; trials across each of its free edges stand in for growing both ways.
//
// The real growth tells each triangle's neighbours as it takes it, while
// the triangle's edges are at hand, rather than in a second pass over the
// strip. It skips the neighbours it came from and goes to, which are in the
// strip; a neighbour the strip takes later nonetheless (it may wind back
// beside itself) gets its count lowered and may be stacked, which is
// harmless: counts of used triangles are not read, and the stacks skip
// them. Every other neighbour sees the same counts in the same order as
// after the whole strip, so the stacks and the strips are the same either
// way. Only a neighbour left without free edges waits for the end of the
// strip, which might still take it.
template <bool trial>
void VqTriStripperEngine::_growStrip(uint32_t t, uint32_t c, uint32_t& nAtoms, uint32_t& nDegTris) {
    const uint32_t* rec = _pTriRec;
    const int* opp = _pOpp;
    // A trial marks what it takes, and unmarks it after; the real growth
    // marks triangles used, and only used ones are taken then.
    uint8_t* state = _vnState.data();
    constexpr uint8_t kTaken = trial ? kUsed | kTrial : kUsed;
    constexpr uint8_t kTake = trial ? kTrial : kUsed;
    uint32_t* stacks = _vuStacks.data();
    // The stacks' tops as pointers: no base to keep besides them.
    uint32_t* top1 = stacks + _nTop1;
    uint32_t* top2 = stacks + _nTop2;
    uint32_t* topAlone = stacks + _nBaseAlone;
    uint32_t* out = nullptr;
    uint32_t* outEnd = nullptr;
    auto isFree = [&](uint32_t tri) { return !(state[tri] & kTaken); };
    auto canCross = [&](int o) { return o >= 0 && isFree(uint32_t(o) / 3); };
    // The neighbour across o loses a free edge, used or not: counts of used
    // triangles are never read, and never fall below zero, as each of a
    // triangle's joined edges is visited once at most, from the other side.
    // Its whole state is compared, so that only one not used is stacked or
    // left alone (no trial marks are left outside trials). Whether it falls
    // to one, two or none is a coin toss: the stacks are updated by masks
    // rather than by branches on it. Inlined, so that the stack tops stay in
    // registers.
    auto visit = [&](int o) __attribute__((always_inline)) {
        if constexpr (!trial) {
            if (o < 0) return;
            const uint32_t n = uint32_t(o) / 3;
            const uint8_t b = uint8_t(state[n] - 1);
            state[n] = b;
            *top1 = n;
            top1 += b == 1;
            *top2 = n;
            top2 += b == 2;
            *topAlone = n;
            topAlone += b == 0;
        }
    };
    auto room = [&]() {
        _nOut = size_t(out - _vuOutIndices.data());
        out = _outRoom(2);
        outEnd = _vuOutIndices.data() + _vuOutIndices.size();
    };
    if constexpr (!trial) {
        out = _outRoom(3);
        outEnd = _vuOutIndices.data() + _vuOutIndices.size();
        out[0] = rec[3 * t + kMod3[c + 2]];
        out[1] = rec[3 * t + c];
        out[2] = rec[3 * t + nextCorner(c)];
        out += 3;
    }
    // A trial lists what it takes where the real growth lists the alone
    // ones, which a trial does not.
    uint32_t* taken = stacks + _nBaseAlone;
    uint32_t nTaken = 0;
    auto take = [&](uint32_t tri) {
        state[tri] |= kTake;
        if constexpr (trial) taken[nTaken++] = tri;
    };
    take(t);
    for (uint32_t k = 0; k < 3; ++k)
        if (k != c) visit(opp[3 * t + k]);
    // Counted in locals: the strip's writes, unsigned too, could otherwise
    // overwrite them. The real growth counts its atoms by what it wrote.
    const size_t stripStart = _nOut;
    uint32_t nA = 1, nD = 0, parity = 0;
    // o is the corner code across the edge the strip leaves by; once the
    // first is checked, each step checks the next before it leaves, and
    // nothing between marks a triangle.
    int o = opp[3 * t + c];
    if (!canCross(o)) {
        visit(o);
    } else {
        for (;;) {
            const uint32_t nt = uint32_t(o) / 3, ce = uint32_t(o) - 3 * nt;
            take(nt);
            if constexpr (trial) ++nA;
            parity ^= 1;
            const uint32_t natural = kMod3[ce + 1 + parity], turn = kMod3[ce + 2 - parity];
            if constexpr (!trial) {
                if (outEnd - out < 2) room();
            }
            const uint32_t r = trial ? 0 : rec[3 * nt + kMod3[ce + 2]];
            const int* o3 = opp + 3 * size_t(nt);
            const int oNatural = o3[natural], oTurn = o3[turn];
            if (canCross(oNatural)) {
                visit(oTurn);
                o = oNatural;
            } else if (canCross(oTurn)) {
                visit(oNatural);
                if constexpr (!trial) {
                    const uint32_t again = out[-2];
                    *out++ = again;
                }
                if constexpr (trial) ++nA;
                ++nD;
                parity ^= 1;
                o = oTurn;
            } else {
                // Neighbours are told in corner order.
                visit(natural < turn ? oNatural : oTurn);
                visit(natural < turn ? oTurn : oNatural);
                if constexpr (!trial) *out++ = r;
                break;
            }
            if constexpr (!trial) *out++ = r;
        }
    }
    nDegTris = nD;
    if constexpr (!trial) {
        _nOut = size_t(out - _vuOutIndices.data());
        nAtoms = uint32_t(_nOut - stripStart - 2);
        _vuOutStart.push_back(uint32_t(_nOut));
        ++_nStrips;
        _nTop1 = uint32_t(top1 - stacks);
        _nTop2 = uint32_t(top2 - stacks);
        for (const uint32_t* p = stacks + _nBaseAlone; p < topAlone; ++p)
            if (!(state[*p] & kUsed)) _emitAlone(*p);
    } else {
        nAtoms = nA;
        for (uint32_t i = 0; i < nTaken; ++i)
            state[taken[i]] &= uint8_t(~kTrial);
    }
}

void VqTriStripperEngine::_emitAlone(uint32_t t) {
    _vnState.data()[t] |= kUsed;
    uint32_t* out = _outRoom(3);
    const uint32_t* r = _pTriRec + 3 * size_t(t);
    out[0] = r[0], out[1] = r[1], out[2] = r[2];
    _nOut += 3;
    _vuOutStart.push_back(uint32_t(_nOut));
    ++_nStrips;
}

uint32_t* VqTriStripperEngine::_outRoom(size_t n) {
    if (_vuOutIndices.size() - _nOut < n) _vuOutIndices.resize(std::max(2 * _vuOutIndices.size(), _nOut + n));
    return _vuOutIndices.data() + _nOut;
}
