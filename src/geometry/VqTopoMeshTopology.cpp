#include "VqTopoMeshTopology.h"

#include "VqTopoMesh.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

void VqTopoMeshTopology::clear() {
    VqVeci* arrays[] = {&viRecVtx, &viEquivNext, &viVtxRec,    &viVtxHEdge, &viVtxOutStart,
                        &viVtxOut, &viAtomFacet, &viFacetAtom, &viFacetHE,  &viHEVtx,
                        &viHERec,  &viHEOpp,     &viHEFacet,   &viHEEdge,   &viEdgeHE};
    for (VqVeci* a : arrays) {
        a->clear();
        a->shrink_to_fit();
    }
    bTriangles = true;
    bEdges = true;
    nBoundaryEdges = 0;
    nNonmanifoldEdges = 0;
}

size_t VqTopoMeshTopology::memSize() const {
    const VqVeci* arrays[] = {&viRecVtx, &viEquivNext, &viVtxRec,    &viVtxHEdge, &viVtxOutStart,
                              &viVtxOut, &viAtomFacet, &viFacetAtom, &viFacetHE,  &viHEVtx,
                              &viHERec,  &viHEOpp,     &viHEFacet,   &viHEEdge,   &viEdgeHE};
    size_t n = sizeof(*this);
    for (const VqVeci* a : arrays)
        n += a->capacity() * sizeof(int);
    return n;
}

namespace {

// Position classes of the pool's records: cls[r] is the lowest record at r's
// position. An open-addressing hash on the bit patterns of the projected
// position; -0 is folded onto +0 so that the two zeros meet.
void positionClasses(uint32_t nRecs, const float* coords, int nComps, int32_t* cls, VqVeci& table) {
    if (nComps < 2 || nComps > 4) {
        for (uint32_t r = 0; r < nRecs; ++r)
            cls[r] = int32_t(r);
        return;
    }
    std::vector<float> projected;
    const float* p = coords;
    if (nComps != 3) {
        projected.resize(size_t(nRecs) * 3);
        for (uint32_t r = 0; r < nRecs; ++r) {
            const float* c = coords + size_t(r) * nComps;
            float* o = projected.data() + size_t(r) * 3;
            if (nComps == 2) {
                o[0] = c[0], o[1] = c[1], o[2] = 0.0f;
            } else {
                o[0] = c[0] / c[3], o[1] = c[1] / c[3], o[2] = c[2] / c[3];
            }
        }
        p = projected.data();
    }
    size_t size = 16;
    while (size < size_t(nRecs) * 2)
        size <<= 1;
    table.assign(size, -1);
    int32_t* tab = table.data();
    const size_t mask = size - 1;
    for (uint32_t r = 0; r < nRecs; ++r) {
        const float* q = p + size_t(r) * 3;
        if (std::isnan(q[0]) || std::isnan(q[1]) || std::isnan(q[2])) {
            cls[r] = int32_t(r);
            continue;
        }
        uint32_t b[3];
        for (int c = 0; c < 3; ++c) {
            const float v = q[c] == 0.0f ? 0.0f : q[c];
            std::memcpy(&b[c], &v, 4);
        }
        uint64_t h =
            b[0] * 0x9E3779B97F4A7C15ull ^ b[1] * 0xC2B2AE3D27D4EB4Full ^ b[2] * 0x165667B19E3779F9ull;
        h ^= h >> 29;
        size_t slot = size_t(h) & mask;
        for (;;) {
            const int32_t s = tab[slot];
            if (s < 0) {
                tab[slot] = int32_t(r);
                cls[r] = int32_t(r);
                break;
            }
            const float* o = p + size_t(s) * 3;
            if (o[0] == q[0] && o[1] == q[1] && o[2] == q[2]) {
                cls[r] = s;
                break;
            }
            slot = (slot + 1) & mask;
        }
    }
}

// Visitors of a mesh's half-edges h with their ends a and b, fn(h, a, b).
auto triangleHalfEdges(uint32_t nTri, const int32_t* triVtx) {
    return [nTri, triVtx](auto&& fn) {
        for (uint32_t t = 0; t < nTri; ++t) {
            const int32_t* v = triVtx + 3 * size_t(t);
            fn(3 * t, v[0], v[1]);
            fn(3 * t + 1, v[1], v[2]);
            fn(3 * t + 2, v[2], v[0]);
        }
    };
}

auto polygonHalfEdges(int nF, const int* facetHE, const int* heVtx) {
    return [nF, facetHE, heVtx](auto&& fn) {
        for (int f = 0; f < nF; ++f) {
            const int fs = facetHE[f], fe = facetHE[f + 1];
            for (int h = fs; h < fe; ++h)
                fn(uint32_t(h), heVtx[h], heVtx[h + 1 == fe ? fs : h + 1]);
        }
    };
}

// The pairing. Half-edges are bucketed by their lower end (a counting sort),
// each entry holding the higher end above the code 2 h + (h leaves the lower
// end), so that an edge's half-edges share a bucket and a higher end. Within
// a bucket, a mark per higher end (the last entry seen with it) links each
// entry to the one before it with the same end; the mark then names the
// group's last entry, and two steps back along the links tell its size.
// Marks need no clearing: one that points before the bucket is stale. No
// step branches on the data, whose tests are coin tosses on real meshes:
// mispredicting them cost more than the work itself.
//
// With kNumber, onEdge(e, h) hears of each edge e with one of its half-edges
// and onMember(h, e) of every half-edge with its edge; edges are numbered in
// bucket order, each where its first half-edge stands.
template <bool kNumber, class HalfEdges, class OnEdge, class OnMember>
uint32_t pairHalfEdges(uint32_t nHE, uint32_t nVtx, HalfEdges halfEdges, int32_t* opp, uint32_t& nBoundary,
                       uint32_t& nNonmanifold, VqHalfEdgePairing& scratch, OnEdge onEdge, OnMember onMember) {
    scratch.viBucketStart.assign(size_t(nVtx) + 1, 0);
    int32_t* start = scratch.viBucketStart.data();
    halfEdges([start](uint32_t, int32_t a, int32_t b) { ++start[std::min(a, b) + 1]; });
    for (uint32_t v = 0; v < nVtx; ++v)
        start[v + 1] += start[v];
    if (scratch.vEntries.size() < nHE) scratch.vEntries.resize(nHE);
    if (scratch.viLink.size() < nHE) scratch.viLink.resize(nHE);
    scratch.viMark.assign(nVtx, -1);
    if (kNumber) scratch.viMarkEdge.resize(nVtx);
    uint64_t* entries = scratch.vEntries.data();
    int32_t* link = scratch.viLink.data();
    int32_t* mark = scratch.viMark.data();
    int32_t* markEdge = scratch.viMarkEdge.data();
    // Filling moves each start to the end of its bucket, which is where the
    // next bucket begins.
    halfEdges([start, entries](uint32_t h, int32_t a, int32_t b) {
        const uint32_t lo = uint32_t(std::min(a, b)), hi = uint32_t(std::max(a, b));
        entries[start[lo]++] = uint64_t(hi) << 32 | (h << 1) | uint32_t(a < b);
    });
    // Selections by masks: the compiler would branch on the conditions.
    auto pick = [](uint32_t c, int32_t x, int32_t y) { return y ^ ((x ^ y) & -int32_t(c)); };
    uint32_t nEdges = 0, nB = 0, nNM = 0;
    int32_t b = 0;
    for (uint32_t v = 0; v < nVtx; ++v) {
        const int32_t e = start[v];
        for (int32_t i = b; i < e; ++i) {
            const uint32_t hi = uint32_t(entries[i] >> 32);
            const int32_t m = mark[hi];
            link[i] = m | -int32_t(m < b);
            mark[hi] = i;
        }
        for (int32_t i = b; i < e; ++i) {
            const uint64_t x = entries[i];
            const uint32_t hi = uint32_t(x >> 32), h = uint32_t(x) >> 1;
            // The group's last entry, the one before it (or the last itself
            // when alone) and the one before that.
            const int32_t last = mark[hi], p1 = link[last];
            const uint32_t alone = uint32_t(p1) >> 31;
            const int32_t q = pick(alone, last, p1);
            const uint32_t two = (alone ^ 1) & (uint32_t(link[q]) >> 31);
            const uint32_t paired = two & uint32_t(entries[last] ^ entries[q]) & 1;
            const int32_t partner = pick(i == last, q, last);
            opp[h] = pick(paired, int32_t(uint32_t(entries[partner]) >> 1), -1);
            const uint32_t lead = uint32_t(link[i]) >> 31;
            nB += alone;
            nNM += lead & (alone ^ 1) & (paired ^ 1);
            if constexpr (kNumber) {
                if (lead) {
                    markEdge[hi] = int32_t(nEdges);
                    onEdge(nEdges, h);
                }
                onMember(h, uint32_t(markEdge[hi]));
            }
            nEdges += lead;
        }
        b = e;
    }
    nBoundary = nB;
    nNonmanifold = nNM;
    return nEdges;
}

bool distinctCorners(const int32_t* v, uint32_t n, std::vector<int32_t>& scratch) {
    if (n <= 8) {
        for (uint32_t i = 1; i < n; ++i)
            for (uint32_t j = 0; j < i; ++j)
                if (v[i] == v[j]) return false;
        return true;
    }
    scratch.assign(v, v + n);
    std::sort(scratch.begin(), scratch.end());
    return std::adjacent_find(scratch.begin(), scratch.end()) == scratch.end();
}

// The pairing when no vertex has two outgoing half-edges to one vertex,
// which holds for every manifold surface: an edge then carries at most one
// half-edge each way, and the rule of the topology pairs exactly the edges
// that carry both. Each vertex v marks the ends of its outgoing half-edges
// (stamp[c] == v, to[c] the half-edge v -> c) and gives each half-edge
// coming in from a its opposite v -> a. This needs no sort of the
// half-edges by their ends, which was most of the derivation's cost. Needs
// the outgoing lists; stamp holds -1 per vertex on entry. False, with
// opposites partly written, when some vertex has two half-edges to one end:
// the general pairing decides then.
//
// Each half-edge is met here with both its ends, which is what the edge
// numbering needs first: the edge's lower end goes to heEdge at the edge's
// first half-edge and is counted in count[lower end + 1] (zeroed on entry).
//
// Polygons step through their facets; triangles read what the outgoing
// lists' fill left beside out[k] in corner[3 k .. 3 k + 2]: its end, its
// predecessor and that one's origin. Working these out here took remainders
// by three and reads scattered over the half-edges, most of the pairing's
// cost. Triangles also pick their vertices' start half-edges (vtxHE, see
// vqBuildTopoMeshTopology) on the way: an incoming half-edge that finds its
// opposite marks that opposite's end (stamp ~v), so an outgoing half-edge
// whose end is still stamped v has none.
// Without kEdges, only the opposites and the border count are made.
template <bool kTriangles, bool kEdges>
bool pairThroughOutgoing(VqTopoMeshTopology& t, const int32_t* corner, int32_t* stamp, int32_t* to,
                         int32_t* count, int* vtxHE) {
    const int nVtx = t.numVertices();
    const int* heVtx = t.viHEVtx.data();
    const int* outStart = t.viVtxOutStart.data();
    const int* out = t.viVtxOut.data();
    int* opp = t.viHEOpp.data();
    int* heEdge = t.viHEEdge.data();
    uint32_t nB = 0;
    for (int v = 0; v < nVtx; ++v) {
        const int ks = outStart[v], ke = outStart[v + 1];
        for (int k = ks; k < ke; ++k) {
            const int g = out[k], c = kTriangles ? corner[3 * k] : heVtx[t.next(g)];
            if (stamp[c] == v) return false;
            stamp[c] = v;
            to[c] = g;
        }
        // Every half-edge comes into exactly one vertex, as the predecessor
        // of one of that vertex's outgoing half-edges.
        int nPaired = 0;
        for (int k = ks; k < ke; ++k) {
            const int h = kTriangles ? corner[3 * k + 1] : t.prev(out[k]);
            const int a = kTriangles ? corner[3 * k + 2] : heVtx[h];
            const int s = stamp[a];
            const bool hit = s == v;
            const int o = hit ? to[a] : -1;
            if (kTriangles && kEdges) stamp[a] = hit ? ~v : s;
            opp[h] = o;
            nPaired += int(hit);
            if constexpr (kEdges) {
                // h is its edge's first half-edge when unpaired (o reads as
                // the largest unsigned number) or below its opposite. The
                // others' entries are overwritten by the numbering.
                const int lo = std::min(a, v);
                heEdge[h] = lo;
                count[lo + 1] += int(uint32_t(o) > uint32_t(h));
            }
        }
        nB += uint32_t(ke - ks - nPaired);
        if (kTriangles && kEdges) {
            int k = ks;
            if (nPaired < ke - ks)
                while (stamp[corner[3 * k]] != v)
                    ++k;
            vtxHE[v] = k < ke ? out[k] : -1;
        }
    }
    t.nBoundaryEdges = nB;
    t.nNonmanifoldEdges = 0;
    return true;
}

// Numbers the edges of a paired topology as the general pairing does: by
// their lower end, then by their first half-edge, which the topology keeps
// for each edge. start holds the pairing's counts of edges by lower end,
// and each edge's first half-edge its lower end in heEdge. Returns the
// number of edges.
uint32_t numberEdges(VqTopoMeshTopology& t, int32_t* start) {
    const int nHE = t.numHEdges(), nVtx = t.numVertices();
    const int* opp = t.viHEOpp.data();
    int* heEdge = t.viHEEdge.data();
    int* edgeHE = t.viEdgeHE.data();
    for (int v = 0; v < nVtx; ++v)
        start[v + 1] += start[v];
    for (int h = 0; h < nHE; ++h) {
        const int o = opp[h];
        if (o >= 0 && o < h) continue;
        const int e = start[heEdge[h]]++;
        edgeHE[e] = h;
        heEdge[h] = e;
        if (o >= 0) heEdge[o] = e;
    }
    return uint32_t(start[nVtx]);
}

} // namespace

void vqPositionClasses(uint32_t nRecs, const float* coords, int nCoordComps, int32_t* cls, VqVeci& table) {
    positionClasses(nRecs, coords, nCoordComps, cls, table);
}

void vqPairTriangleHalfEdges(uint32_t nTri, const int32_t* triVtx, uint32_t nVtx, int32_t* opp,
                             uint32_t& nBoundaryEdges, uint32_t& nNonmanifoldEdges,
                             VqHalfEdgePairing& scratch) {
    pairHalfEdges<false>(
        nTri * 3, nVtx, triangleHalfEdges(nTri, triVtx), opp, nBoundaryEdges, nNonmanifoldEdges, scratch,
        [](uint32_t, uint32_t) {}, [](uint32_t, uint32_t) {});
}

void vqBuildTopoMeshTopology(int kind, uint32_t nPrims, const uint32_t* primStart, const uint32_t* indices,
                             uint32_t nRecs, const float* coords, int nCoordComps, VqTopoMeshTopology& t,
                             const uint32_t* positionRings, bool bEdges) {
    // Storage kept from an earlier derivation keeps its sizes: each array
    // is sized here and then written whole, and resizing one to the size it
    // has does not clear it first (a pass over every array that the writes
    // would repeat).
    t.bTriangles = true;
    t.bEdges = bEdges;
    t.nBoundaryEdges = 0;
    t.nNonmanifoldEdges = 0;
    const uint32_t nIndices = primStart[nPrims];

    // Vertices: position classes numbered in order of first use.
    t.viRecVtx.resize(nRecs);
    t.viEquivNext.resize(nRecs);
    int32_t* recVtx = t.viRecVtx.data();
    {
        // The classes are worked out in the records' vertex array, which
        // takes their vertex numbers at the end: cls[r] is the lowest record
        // of r's class, the class's own number.
        int32_t* cls = recVtx;
        int* equivNext = t.viEquivNext.data();
        if (positionRings) {
            // The rings are the records' own; a pass in record order meets
            // each first at its lowest record, the class's number.
            std::fill_n(cls, nRecs, -1);
            if (bEdges) std::copy_n(positionRings, nRecs, equivNext);
            for (uint32_t r = 0; r < nRecs; ++r)
                for (uint32_t x = r; x < nRecs && cls[x] < 0; x = positionRings[x])
                    cls[x] = int32_t(r);
        } else {
            VqVeci table;
            positionClasses(nRecs, coords, nCoordComps, cls, table);
        }
        if (bEdges && !positionRings) {
            // The rings: each class is closed on its lowest record, which is
            // the class's own number, so the tail of every ring is found
            // through it.
            std::vector<int32_t> tail(nRecs, -1);
            for (uint32_t r = 0; r < nRecs; ++r) {
                const int32_t c = cls[r];
                if (tail[c] >= 0) equivNext[tail[c]] = int(r);
                tail[c] = int32_t(r);
            }
            for (uint32_t r = 0; r < nRecs; ++r)
                if (cls[r] == int32_t(r)) equivNext[tail[r]] = int(r);
        }
    }
    // A class's vertex number is held at its lowest record as ~v, which is
    // negative and so told apart from the class numbers the others hold; no
    // array of its own is needed. Facets number their corners as they meet
    // them, which is the order of the index list: a pass of its own over the
    // indices cost as much as the facets' reads.
    // Sized for the most there can be and cut to size after, as below.
    t.viVtxRec.resize(nRecs);
    int* vtxRec = t.viVtxRec.data();
    int32_t nV = 0;
    auto vtxOf = [&](uint32_t r) __attribute__((always_inline)) {
        // The records' vertex array holds the classes until the end.
        const int32_t c = recVtx[r];
        if (c < 0) return ~c;
        const int32_t x = recVtx[c];
        if (x < 0) return ~x;
        recVtx[c] = ~nV;
        vtxRec[nV] = int(r);
        return nV++;
    };
    auto finishVertices = [&] {
        t.viVtxRec.resize(size_t(nV));
        // Downwards, so that each lowest record still holds its class's
        // number when the records above it read it.
        int32_t* cls = recVtx;
        for (uint32_t r = nRecs; r-- > 0;) {
            const int32_t c = cls[r];
            const int32_t v = c < 0 ? c : cls[c];
            recVtx[r] = v < 0 ? ~v : -1;
        }
    };
    if (kind != VqTopoMesh::VQ_PRIM_TRISTRIP && kind != VqTopoMesh::VQ_PRIM_POLYGON) {
        for (uint32_t i = 0; i < nIndices; ++i)
            vtxOf(indices[i]);
        finishVertices();
        const int nVtx = nV;
        t.viVtxHEdge.assign(nVtx, -1);
        t.viVtxOutStart.assign(nVtx + 1, 0);
        t.viFacetHE.assign(1, 0);
        VqVeci* unused[] = {&t.viVtxOut, &t.viAtomFacet, &t.viFacetAtom, &t.viHEVtx, &t.viHERec,
                            &t.viHEOpp,  &t.viHEFacet,   &t.viHEEdge,    &t.viEdgeHE};
        for (VqVeci* a : unused)
            a->clear();
        return;
    }

    // Facets and their half-edges, in atom order, written through pointers
    // into arrays sized for the most there can be and cut to size after.
    const bool strips = kind == VqTopoMesh::VQ_PRIM_TRISTRIP;
    const uint32_t nAtoms = strips ? nIndices - 2 * nPrims : nPrims;
    const size_t nHEMax = strips ? size_t(nAtoms) * 3 : nIndices;
    t.bTriangles = strips || nIndices == 3 * uint64_t(nPrims);
    // Without bEdges the atoms' facets are left out too: a walk over facets
    // reads the facets' atoms, never the other way round.
    if (bEdges) t.viAtomFacet.resize(nAtoms);
    t.viFacetAtom.resize(nAtoms);
    t.viFacetHE.resize(size_t(nAtoms) + 1);
    t.viHEVtx.resize(nHEMax);
    t.viHERec.resize(nHEMax);
    if (t.bTriangles)
        t.viHEFacet.clear();
    else
        t.viHEFacet.resize(nHEMax);
    int* atomFacet = bEdges ? t.viAtomFacet.data() : nullptr;
    int* facetAtom = t.viFacetAtom.data();
    int* facetHE = t.viFacetHE.data();
    int* heVtx = t.viHEVtx.data();
    int* heRec = t.viHERec.data();
    // Triangles keep no owners: storage kept from a derivation of polygons
    // must not be written.
    int* heFacet = t.bTriangles ? nullptr : t.viHEFacet.data();
    // Outgoing half-edges are counted by vertex as the facets are made,
    // which are numbered meanwhile: room for the most there can be.
    t.viVtxOutStart.assign(size_t(nRecs) + 1, 0);
    int* outStart = t.viVtxOutStart.data();
    int nF = 0, nH = 0;
    facetHE[0] = 0;
    // Inlined: as a call it cost more than its work, its state spilled.
    auto addTriangle = [&](uint32_t atom, uint32_t r0, uint32_t r1, uint32_t r2) __attribute__((always_inline)) {
        const int32_t v0 = vtxOf(r0), v1 = vtxOf(r1), v2 = vtxOf(r2);
        if (v0 == v1 || v1 == v2 || v0 == v2) {
            if (atomFacet) atomFacet[atom] = -1;
            return;
        }
        if (atomFacet) atomFacet[atom] = nF;
        facetAtom[nF] = int(atom);
        heVtx[nH] = v0, heVtx[nH + 1] = v1, heVtx[nH + 2] = v2;
        ++outStart[v0 + 1], ++outStart[v1 + 1], ++outStart[v2 + 1];
        heRec[nH] = int(r0), heRec[nH + 1] = int(r1), heRec[nH + 2] = int(r2);
        if (heFacet) heFacet[nH] = heFacet[nH + 1] = heFacet[nH + 2] = nF;
        nH += 3;
        facetHE[++nF] = nH;
    };
    uint32_t atom = 0;
    std::vector<int32_t> scratch;
    // Polygons of at least three corners, three a polygon on average, are
    // all triangles, polygon p at indices 3 p .. 3 p + 2: read straight,
    // without their starts or a test per polygon.
    if (!strips && t.bTriangles) {
        for (const uint32_t* c = indices; atom < nPrims; ++atom, c += 3)
            addTriangle(atom, c[0], c[1], c[2]);
    } else {
        for (uint32_t p = 0; p < nPrims; ++p) {
            const uint32_t s = primStart[p], e = primStart[p + 1];
            if (strips) {
                // Odd triangles are (s[i + 1], s[i], s[i + 2]).
                for (uint32_t i = s; i + 2 < e; ++i, ++atom) {
                    const uint32_t odd = (i - s) & 1;
                    addTriangle(atom, indices[i + odd], indices[i + 1 - odd], indices[i + 2]);
                }
            } else if (e - s == 3) {
                addTriangle(atom++, indices[s], indices[s + 1], indices[s + 2]);
            } else {
                for (uint32_t i = s; i < e; ++i)
                    heVtx[nH + int(i - s)] = vtxOf(indices[i]);
                if (!distinctCorners(heVtx + nH, e - s, scratch)) {
                    if (atomFacet) atomFacet[atom] = -1;
                    ++atom;
                    continue;
                }
                if (atomFacet) atomFacet[atom] = nF;
                facetAtom[nF] = int(atom++);
                for (uint32_t i = s; i < e; ++i) {
                    ++outStart[heVtx[nH] + 1];
                    heRec[nH] = int(indices[i]);
                    heFacet[nH++] = nF;
                }
                facetHE[++nF] = nH;
            }
        }
    }
    finishVertices();
    const int nVtx = nV;
    t.viVtxOutStart.resize(size_t(nVtx) + 1);
    t.viFacetAtom.resize(nF);
    t.viFacetHE.resize(size_t(nF) + 1);
    t.viHEVtx.resize(nH);
    t.viHERec.resize(nH);
    if (!t.bTriangles) t.viHEFacet.resize(nH);
    const int nHE = nH;

    // Outgoing half-edges by vertex, in half-edge order within a vertex.
    for (int v = 0; v < nVtx; ++v)
        outStart[v + 1] += outStart[v];
    t.viVtxOut.resize(nHE);
    int* out = t.viVtxOut.data();
    // The per-vertex scratch of the fill and the pairing lives in arrays
    // written only after it: the vertices' start half-edges (a fill cursor,
    // then the edge numbering's counts and buckets, unless triangles pick
    // the start half-edges while pairing) and the edges' half-edges (the
    // pairing's stamps and half-edges to each end).
    t.viVtxHEdge.resize(size_t(nVtx) + 1);
    int* cursor = t.viVtxHEdge.data();
    std::copy_n(outStart, nVtx, cursor);
    // Triangles: the corners the pairing reads beside each outgoing
    // half-edge, then the numbering's counts. Without edges there is no
    // numbering, and the edges' array, scratch then, holds the corners:
    // storage kept for the next derivation keeps them too, where a fresh
    // block would cost its pages again on every derivation.
    std::unique_ptr<int32_t[]> triScratch;
    int32_t* corner = nullptr;
    int32_t* count = cursor;
    if (t.bTriangles) {
        if (bEdges) {
            triScratch.reset(new int32_t[3 * size_t(nHE) + size_t(nVtx) + 1]);
            corner = triScratch.get();
            count = corner + 3 * size_t(nHE);
        } else {
            t.viHEEdge.resize(3 * size_t(nHE));
            corner = t.viHEEdge.data();
        }
        for (int h = 0; h < nHE; h += 3) {
            const int v0 = heVtx[h], v1 = heVtx[h + 1], v2 = heVtx[h + 2];
            int k = cursor[v0]++;
            out[k] = h;
            int32_t* q = corner + 3 * size_t(k);
            q[0] = v1, q[1] = h + 2, q[2] = v2;
            k = cursor[v1]++;
            out[k] = h + 1;
            q = corner + 3 * size_t(k);
            q[0] = v2, q[1] = h, q[2] = v0;
            k = cursor[v2]++;
            out[k] = h + 2;
            q = corner + 3 * size_t(k);
            q[0] = v0, q[1] = h + 1, q[2] = v1;
        }
    } else {
        for (int h = 0; h < nHE; ++h)
            out[cursor[heVtx[h]]++] = h;
    }

    // Edges.
    t.viHEOpp.resize(nHE);
    if (bEdges) t.viHEEdge.resize(nHE);
    t.viEdgeHE.resize(std::max(size_t(nHE), 2 * size_t(nVtx)));
    int* opp = t.viHEOpp.data();
    int* heEdge = t.viHEEdge.data();
    int* edgeHE = t.viEdgeHE.data();
    uint32_t nEdges = 0;
    std::fill_n(edgeHE, nVtx, -1);
    if (bEdges) std::fill_n(count, nVtx + 1, 0);
    bool bPaired = false;
    if (!bEdges)
        bPaired = t.bTriangles
                      ? pairThroughOutgoing<true, false>(t, corner, edgeHE, edgeHE + nVtx, count, cursor)
                      : pairThroughOutgoing<false, false>(t, nullptr, edgeHE, edgeHE + nVtx, count, nullptr);
    else
        bPaired = t.bTriangles
                      ? pairThroughOutgoing<true, true>(t, corner, edgeHE, edgeHE + nVtx, count, cursor)
                      : pairThroughOutgoing<false, true>(t, nullptr, edgeHE, edgeHE + nVtx, count, nullptr);
    if (!bEdges) {
        // The arrays the numbering would fill held scratch: they keep their
        // sizes, so that storage kept for the next derivation is not cleared
        // when it grows them back.
        if (!bPaired) {
            VqHalfEdgePairing pairing;
            auto none = [](uint32_t, uint32_t) {};
            if (t.bTriangles)
                pairHalfEdges<false>(uint32_t(nHE), uint32_t(nVtx), triangleHalfEdges(uint32_t(nF), heVtx),
                                     opp, t.nBoundaryEdges, t.nNonmanifoldEdges, pairing, none, none);
            else
                pairHalfEdges<false>(uint32_t(nHE), uint32_t(nVtx), polygonHalfEdges(nF, facetHE, heVtx), opp,
                                     t.nBoundaryEdges, t.nNonmanifoldEdges, pairing, none, none);
        }
        return;
    }
    if (bPaired) {
        nEdges = numberEdges(t, count);
    } else {
        auto onEdge = [edgeHE](uint32_t e, uint32_t h) { edgeHE[e] = int(h); };
        auto onMember = [heEdge](uint32_t h, uint32_t e) { heEdge[h] = int(e); };
        VqHalfEdgePairing pairing;
        if (t.bTriangles) {
            nEdges =
                pairHalfEdges<true>(uint32_t(nHE), uint32_t(nVtx), triangleHalfEdges(uint32_t(nF), heVtx),
                                    opp, t.nBoundaryEdges, t.nNonmanifoldEdges, pairing, onEdge, onMember);
        } else {
            nEdges =
                pairHalfEdges<true>(uint32_t(nHE), uint32_t(nVtx), polygonHalfEdges(nF, facetHE, heVtx), opp,
                                    t.nBoundaryEdges, t.nNonmanifoldEdges, pairing, onEdge, onMember);
        }
    }
    t.viEdgeHE.resize(nEdges);

    // The half-edge each vertex starts its walks from has no opposite when
    // the vertex lies on a border, and is its first outgoing one otherwise
    // (-1 when it has none).
    t.viVtxHEdge.resize(nVtx);
    if (t.bTriangles && bPaired) return;
    int* vtxHE = t.viVtxHEdge.data();
    for (int v = 0; v < nVtx; ++v) {
        const int ks = outStart[v], ke = outStart[v + 1];
        int k = ks;
        while (k < ke && opp[out[k]] >= 0)
            ++k;
        vtxHE[v] = k < ke ? out[k] : ks < ke ? out[ks] : -1;
    }
}

bool vqStripsListFacets(const VqTopoMeshTopology& t, uint32_t nPrims, const uint32_t* primStart,
                        const uint32_t* indices, VqVec<uint8_t>& used) {
    if (!t.bTriangles) return false;
    const int nF = t.numFacets();
    const size_t nRecs = t.viRecVtx.size();
    const int* recVtx = t.viRecVtx.data();
    const int* heRec = t.viHERec.data();
    const int* heOpp = t.viHEOpp.data();
    const int* outStart = t.viVtxOutStart.data();
    const int* out = t.viVtxOut.data();
    used.assign(size_t(nF), 0);
    uint8_t* bUsed = used.data();
    int nListed = 0;
    // A half-edge h of facet f, with the two that follow it round the facet.
    // Half-edges here are never negative: unsigned division by three is a
    // multiply and a shift, signed division several steps more.
    struct Corner {
        uint32_t f;
        int h, n, q;
    };
    auto corner = [](int h) {
        const uint32_t f = uint32_t(h) / 3;
        const int b = int(3 * f);
        const int n = h + 1 == b + 3 ? b : h + 1, q = n + 1 == b + 3 ? b : n + 1;
        return Corner{f, h, n, q};
    };
    auto matches = [&](const Corner& c, uint32_t r0, uint32_t r1, uint32_t r2) {
        return heRec[c.h] == int(r0) && heRec[c.n] == int(r1) && heRec[c.q] == int(r2) && !bUsed[c.f];
    };
    int fLast = -1;
    for (uint32_t p = 0; p < nPrims; ++p) {
        const uint32_t s = primStart[p], e = primStart[p + 1];
        // The half-edge of the last facet found that the next strip triangle
        // shares: its first two strip records, which are that triangle's
        // first corner edge turned round. Its opposite is tried before any
        // search, and is the facet in all but turns and seams.
        int hShared = -1;
        if (s + 2 >= e) continue;
        // Odd triangles are (s[i + 1], s[i], s[i + 2]). The last two
        // records are carried from one triangle to the next.
        uint32_t x = indices[s], y = indices[s + 1];
        for (uint32_t i = s; i + 2 < e; ++i) {
            const uint32_t odd = (i - s) & 1;
            const uint32_t r0 = odd ? y : x, r1 = odd ? x : y, r2 = indices[i + 2];
            x = y, y = r2;
            // A facet's records are in range, at three positions the mesh
            // uses: a triangle that matches one needs no other test.
            Corner c{0, -1, 0, 0};
            if (hShared >= 0 && heOpp[hShared] >= 0) {
                c = corner(heOpp[hShared]);
                if (!matches(c, r0, r1, r2)) c.h = -1;
            }
            // Where a strip turns through repeated records, or a new strip
            // starts, the next facet is most often still a neighbour of the
            // last one found, whose opposites share a cache line: the search
            // below reads scattered half-edges.
            if (c.h < 0 && fLast >= 0 && r0 != r1 && r1 != r2 && r0 != r2)
                for (int k = 3 * fLast, ke = k + 3; k < ke && c.h < 0; ++k)
                    if (heOpp[k] >= 0) {
                        c = corner(heOpp[k]);
                        if (!matches(c, r0, r1, r2)) c.h = -1;
                    }
            if (c.h < 0) {
                if (r0 >= nRecs || r1 >= nRecs || r2 >= nRecs) return false;
                const int v0 = recVtx[r0], v1 = recVtx[r1], v2 = recVtx[r2];
                // A record at a position no facet uses lies on no facet.
                if (v0 < 0 || v1 < 0 || v2 < 0) return false;
                if (v0 == v1 || v1 == v2 || v0 == v2) {
                    hShared = -1;
                    continue;
                }
                // The facet is found among the half-edges leaving its first
                // corner; a facet listed twice is passed over, so that a
                // repeated triangle matches its own copy or nothing. Facets
                // with the same records in the same turn serve any triangle
                // alike, so which of them is taken first does not change the
                // outcome.
                for (int k = outStart[v0]; k < outStart[v0 + 1] && c.h < 0; ++k) {
                    c = corner(out[k]);
                    if (!matches(c, r0, r1, r2)) c.h = -1;
                }
                if (c.h < 0) return false;
            }
            bUsed[c.f] = 1;
            fLast = int(c.f);
            ++nListed;
            // Even triangles share their second corner edge with the next,
            // odd ones their third.
            hShared = odd ? c.q : c.n;
        }
    }
    return nListed == nF;
}
