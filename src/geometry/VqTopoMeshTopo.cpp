// The derived half-edge topology of a mesh: building, walks, checks and
// topology edits, and normals computed over it.
#include "VqErrorState.h"
#include "VqTopoMesh.h"
#include "VqTopoMeshTopology.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>
#include <vector>

namespace {

constexpr const char* kCls = "VqTopoMesh";

bool inRange(int h, int n) {
    return h >= 0 && h < n;
}

// True when every condition of the topology check holds; false also when
// some cannot be read this way (the check then decides case by case).
template <bool kTriangles>
bool topologyHolds(const VqTopoMeshTopology& t) {
    const int nHE = t.numHEdges(), nFacets = t.numFacets(), nVtx = t.numVertices();
    const int* facetHE = t.viFacetHE.data();
    const int* heFacet = t.viHEFacet.data();
    const int* heVtx = t.viHEVtx.data();
    const int* heRec = t.viHERec.data();
    const int* recVtx = t.viRecVtx.data();
    const int* opp = t.viHEOpp.data();
    const int* heEdge = t.viHEEdge.data();
    // Facets are checked before anything is read through them, so that the
    // successors below stay in range.
    if (t.viFacetHE.size() != size_t(nFacets) + 1 || facetHE[nFacets] != nHE) return false;
    if (!kTriangles && t.viHEFacet.size() != size_t(nHE)) return false;
    if (kTriangles && nHE != 3 * nFacets) return false;
    uint32_t uBad = uint32_t(facetHE[0] != 0);
    for (int f = 0; f < nFacets; ++f)
        uBad |= kTriangles ? uint32_t(facetHE[f] != 3 * f) : uint32_t(facetHE[f] > facetHE[f + 1]);
    if (!kTriangles)
        for (int h = 0; h < nHE; ++h) {
            const int f = heFacet[h];
            uBad |= uint32_t(!(inRange(f, nFacets) && facetHE[f] <= h && h < facetHE[f + 1]));
        }
    if (uBad) return false;
    // Per half-edge h with successor n. The origin of the opposite's
    // successor is not read: opposites pair both ways once every opp[opp[h]]
    // == h holds, and then the opposite's own check below is that condition.
    auto halfEdge = [&](int h, int n) {
        const int o = opp[h];
        // An unpaired half-edge is checked against itself, which passes.
        const uint32_t bPaired = uint32_t(o >= 0), bOut = uint32_t(o >= nHE);
        const int oc = bPaired & (bOut ^ 1) ? o : h;
        const int vh = heVtx[h], vn = heVtx[n];
        uBad |= uint32_t(vh == vn) | uint32_t(recVtx[heRec[h]] != vh) | (bPaired & bOut);
        uBad |= bPaired &
                (uint32_t(opp[oc] != h) | uint32_t(heVtx[oc] != vn) | uint32_t(heEdge[oc] != heEdge[h]));
    };
    if (kTriangles) {
        for (int h = 0; h < nHE; h += 3) {
            halfEdge(h, h + 1);
            halfEdge(h + 1, h + 2);
            halfEdge(h + 2, h);
        }
    } else {
        for (int h = 0; h < nHE; ++h)
            halfEdge(h, t.next(h));
    }
    if (t.viVtxOutStart.size() != size_t(nVtx) + 1) return false;
    const int* outStart = t.viVtxOutStart.data();
    const int* out = t.viVtxOut.data();
    for (int v = 0; v < nVtx; ++v)
        for (int k = outStart[v]; k < outStart[v + 1]; ++k)
            uBad |= uint32_t(heVtx[out[k]] != v);
    return !uBad;
}

} // namespace

// ---- Building and dropping

bool VqTopoMesh::_buildTopology(const char* method) const {
    const VqVertexRecordPool& pool = *_pVtxRecPool;
    const uint32_t nRecs = pool.numVtxRecords();
    VQ_PROPAGATE(_checkArrays(method, nRecs));
    try {
        auto t = std::make_unique<VqTopoMeshTopology>();
        // A pool that knows its positions (a decoded mesh's, nearly always)
        // spares the derivation hashing them.
        vqBuildTopoMeshTopology(primKind(), numPrims(), _vuPrimStart.data(), _vuIndices.data(), nRecs,
                                pool.fields()->vtxCoords(), pool.fields()->numVtxCoordComps(), *t,
                                pool._positionRings());
        _pTopo = std::move(t);
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "ensureTopology", "Caught std::bad_alloc", VQ_ERR_ALLOC);
    }
    _bTopoCurrent.store(true, std::memory_order_release);
    return true;
}

bool VqTopoMesh::ensureTopology() const {
    return _ensureTopology("ensureTopology");
}

bool VqTopoMesh::_ensureTopology(const char* method) const {
    if (_bTopoCurrent.load(std::memory_order_acquire)) return true;
    // The pool's lock before the mesh's own mutex, always: a thread that
    // edits the pool holds the pool and then reaches the mesh through its
    // notifications.
    VqVertexRecordPool* pPool = _pVtxRecPool.get();
    VQ_PROPAGATE(pPool->lockRead(true));
    bool ok = true;
    {
        VqAutoLock lock(_topoMutex);
        if (!_bTopoCurrent.load(std::memory_order_relaxed)) ok = _buildTopology(method);
    }
    pPool->lockRead(false);
    VQ_PROPAGATE(ok);
    return true;
}

void VqTopoMesh::invalidateTopology() {
    VqAutoLock lock(_topoMutex);
    _bTopoCurrent.store(false, std::memory_order_release);
    _pTopo.reset();
    _bBBoxValid = false;
}

bool VqTopoMesh::_isValidTopo() const {
    return _bTopoCurrent.load(std::memory_order_acquire) && _pTopo;
}

const VqTopoMeshTopology* VqTopoMesh::_topology() const {
    return _isValidTopo() ? _pTopo.get() : nullptr;
}

// ---- Sizes and walks

uint32_t VqTopoMesh::numFacets() const {
    const VqTopoMeshTopology* t = _topology();
    return t ? uint32_t(t->numFacets()) : 0;
}

uint32_t VqTopoMesh::numHEdges() const {
    const VqTopoMeshTopology* t = _topology();
    return t ? uint32_t(t->numHEdges()) : 0;
}

uint32_t VqTopoMesh::numTopoVertices() const {
    const VqTopoMeshTopology* t = _topology();
    return t ? uint32_t(t->numVertices()) : 0;
}

uint32_t VqTopoMesh::numEdges() const {
    const VqTopoMeshTopology* t = _topology();
    return t ? uint32_t(t->numEdges()) : 0;
}

int VqTopoMesh::facetDegree(VqFacetHdl f) const {
    const VqTopoMeshTopology* t = _topology();
    return t && inRange(f, t->numFacets()) ? t->viFacetHE[f + 1] - t->viFacetHE[f] : 0;
}

VqHEdgeHdl VqTopoMesh::halfedge(VqFacetHdl f, int i) const {
    const VqTopoMeshTopology* t = _topology();
    if (!t || !inRange(f, t->numFacets()) || !inRange(i, t->viFacetHE[f + 1] - t->viFacetHE[f])) return -1;
    return t->viFacetHE[f] + i;
}

VqVtxHdl VqTopoMesh::vertex(VqFacetHdl f, int i) const {
    const VqHEdgeHdl h = halfedge(f, i);
    return h < 0 ? -1 : _pTopo->viHEVtx[h];
}

VqHEdgeHdl VqTopoMesh::nextHEdge(VqHEdgeHdl h) const {
    const VqTopoMeshTopology* t = _topology();
    return t && inRange(h, t->numHEdges()) ? t->next(h) : -1;
}

VqHEdgeHdl VqTopoMesh::prevHEdge(VqHEdgeHdl h) const {
    const VqTopoMeshTopology* t = _topology();
    return t && inRange(h, t->numHEdges()) ? t->prev(h) : -1;
}

VqHEdgeHdl VqTopoMesh::oppositeHEdge(VqHEdgeHdl h) const {
    const VqTopoMeshTopology* t = _topology();
    return t && inRange(h, t->numHEdges()) ? t->viHEOpp[h] : -1;
}

VqVtxHdl VqTopoMesh::origin(VqHEdgeHdl h) const {
    const VqTopoMeshTopology* t = _topology();
    return t && inRange(h, t->numHEdges()) ? t->viHEVtx[h] : -1;
}

VqFacetHdl VqTopoMesh::hedgeFacet(VqHEdgeHdl h) const {
    const VqTopoMeshTopology* t = _topology();
    return t && inRange(h, t->numHEdges()) ? t->facet(h) : -1;
}

int VqTopoMesh::hedgeRecord(VqHEdgeHdl h) const {
    const VqTopoMeshTopology* t = _topology();
    return t && inRange(h, t->numHEdges()) ? t->viHERec[h] : -1;
}

// Facets wind counter-clockwise seen from the side they face. Around the
// origin v of h = (v, a): the previous half-edge of h's facet comes into v
// from the next neighbour counter-clockwise, so its opposite leaves v on the
// far side of that neighbour; clockwise, the opposite of h comes back into v
// and its successor leaves v again.
VqHEdgeHdl VqTopoMesh::circulateCW(VqHEdgeHdl h) const {
    const VqTopoMeshTopology* t = _topology();
    if (!t || !inRange(h, t->numHEdges())) return -1;
    const int o = t->viHEOpp[h];
    return o < 0 ? -1 : t->next(o);
}

VqHEdgeHdl VqTopoMesh::circulateCCW(VqHEdgeHdl h) const {
    const VqTopoMeshTopology* t = _topology();
    if (!t || !inRange(h, t->numHEdges())) return -1;
    return t->viHEOpp[t->prev(h)];
}

VqHEdgeHdl VqTopoMesh::vtxHEdge(VqVtxHdl v) const {
    const VqTopoMeshTopology* t = _topology();
    return t && inRange(v, t->numVertices()) ? t->viVtxHEdge[v] : -1;
}

int VqTopoMesh::vtxRecord(VqVtxHdl v) const {
    const VqTopoMeshTopology* t = _topology();
    return t && inRange(v, t->numVertices()) ? t->viVtxRec[v] : -1;
}

VqVtxHdl VqTopoMesh::recordVtx(uint32_t iRec) const {
    const VqTopoMeshTopology* t = _topology();
    return t && iRec < t->viRecVtx.size() ? t->viRecVtx[int(iRec)] : -1;
}

bool VqTopoMesh::anyBorder(VqVtxHdl v) const {
    const VqTopoMeshTopology* t = _topology();
    if (!t || !inRange(v, t->numVertices())) return false;
    for (int k = t->viVtxOutStart[v]; k < t->viVtxOutStart[v + 1]; ++k) {
        const int h = t->viVtxOut[k];
        if (t->viHEOpp[h] < 0 || t->viHEOpp[t->prev(h)] < 0) return true;
    }
    return false;
}

bool VqTopoMesh::featureEdge(VqHEdgeHdl h) const {
    const VqTopoMeshTopology* t = _topology();
    if (!t || !inRange(h, t->numHEdges())) return false;
    const int o = t->viHEOpp[h];
    if (o < 0) return true;
    return t->viHERec[h] != t->viHERec[t->next(o)] || t->viHERec[t->next(h)] != t->viHERec[o];
}

int VqTopoMesh::valence(VqVtxHdl v) const {
    const VqTopoMeshTopology* t = _topology();
    return t && inRange(v, t->numVertices()) ? t->viVtxOutStart[v + 1] - t->viVtxOutStart[v] : 0;
}

uint32_t VqTopoMesh::nextEquivVtx(uint32_t iRec) const {
    const VqTopoMeshTopology* t = _topology();
    return t && iRec < t->viEquivNext.size() ? uint32_t(t->viEquivNext[int(iRec)]) : iRec;
}

VqFacetHdl VqTopoMesh::atomToFacet(uint32_t iAtom) const {
    const VqTopoMeshTopology* t = _topology();
    return t && iAtom < t->viAtomFacet.size() ? t->viAtomFacet[int(iAtom)] : -1;
}

int VqTopoMesh::facetToAtom(VqFacetHdl f) const {
    const VqTopoMeshTopology* t = _topology();
    return t && inRange(f, t->numFacets()) ? t->viFacetAtom[f] : -1;
}

// ---- Whole-mesh answers

bool VqTopoMesh::isClosedSolid() const {
    if (!ensureTopology()) return false;
    const VqTopoMeshTopology& t = *_pTopo;
    return t.numFacets() > 0 && t.nBoundaryEdges == 0 && t.nNonmanifoldEdges == 0;
}

int VqTopoMesh::numBoundaryEdges() const {
    return ensureTopology() ? int(_pTopo->nBoundaryEdges) : -1;
}

int VqTopoMesh::numNonmanifoldEdges() const {
    return ensureTopology() ? int(_pTopo->nNonmanifoldEdges) : -1;
}

bool VqTopoMesh::verifyTopoMesh(bool bTopology) const {
    // A derivation checks the arrays first, under this method's name: a
    // topology that is not current is derived without checking them twice.
    if (!bTopology || _bTopoCurrent.load(std::memory_order_acquire)) {
        VQ_PROPAGATE(_checkArrays("verifyTopoMesh", _pVtxRecPool->numVtxRecords()));
        if (!bTopology) return true;
    }
    VQ_PROPAGATE(_ensureTopology("verifyTopoMesh"));
    const VqTopoMeshTopology& t = *_pTopo;
    // A pass without exits that only notes a failure, and the one below that
    // names it only when there is one: every decoded mesh is checked, and
    // branching on each condition cost more than deriving the half-edges.
    if (t.bTriangles ? topologyHolds<true>(t) : topologyHolds<false>(t)) return true;
    const int nHE = t.numHEdges(), nFacets = t.numFacets();
    for (int h = 0; h < nHE; ++h) {
        const int f = t.facet(h);
        if (!(inRange(f, nFacets) && t.viFacetHE[f] <= h && h < t.viFacetHE[f + 1]))
            VQ_FAIL(kCls, "verifyTopoMesh", "hedgeFacet(h) owns h", VQ_ERR_INTERNAL);
        if (!(t.viHEVtx[h] != t.viHEVtx[t.next(h)]))
            VQ_FAIL(kCls, "verifyTopoMesh", "origin(h) != origin(nextHEdge(h))", VQ_ERR_INTERNAL);
        if (!(t.viRecVtx[t.viHERec[h]] == t.viHEVtx[h]))
            VQ_FAIL(kCls, "verifyTopoMesh", "recordVtx(hedgeRecord(h)) == origin(h)", VQ_ERR_INTERNAL);
        const int o = t.viHEOpp[h];
        if (o < 0) continue;
        if (!(inRange(o, nHE) && t.viHEOpp[o] == h && t.viHEVtx[o] == t.viHEVtx[t.next(h)] &&
              t.viHEVtx[t.next(o)] == t.viHEVtx[h] && t.viHEEdge[o] == t.viHEEdge[h]))
            VQ_FAIL(
                kCls, "verifyTopoMesh",
                "oppositeHEdge(oppositeHEdge(h)) == h && origin(oppositeHEdge(h)) == origin(nextHEdge(h))",
                VQ_ERR_INTERNAL);
    }
    for (int v = 0; v < t.numVertices(); ++v)
        for (int k = t.viVtxOutStart[v]; k < t.viVtxOutStart[v + 1]; ++k)
            if (!(t.viHEVtx[t.viVtxOut[k]] == v))
                VQ_FAIL(kCls, "verifyTopoMesh", "origin(viVtxOut[k]) == v", VQ_ERR_INTERNAL);
    return true;
}

// ---- Topology edits

bool VqTopoMesh::beginTopoEdit() {
    VQ_PROPAGATE(_checkEdit("beginTopoEdit"));
    // The editor works with handles: they must exist before the edit.
    VQ_PROPAGATE(ensureTopology());
    ++_nTopoEdit;
    return true;
}

bool VqTopoMesh::endTopoEdit() {
    VQ_PROPAGATE(_checkEdit("endTopoEdit"));
    VQ_CHECK(_nTopoEdit > 0, kCls, "endTopoEdit", VQ_ERR_INTERNAL);
    if (--_nTopoEdit == 0 && _bPrimsEditedInTopoEdit) {
        _bPrimsEditedInTopoEdit = false;
        invalidateTopology();
    }
    return true;
}

bool VqTopoMesh::makeWeak(VqHEdgeHdl h) {
    VQ_PROPAGATE(_checkEdit("makeWeak"));
    VQ_CHECK(_nTopoEdit > 0, kCls, "makeWeak", VQ_ERR_INTERNAL);
    VQ_CHECK(_isValidTopo(), kCls, "makeWeak", VQ_ERR_INTERNAL);
    VqTopoMeshTopology& t = *_pTopo;
    if (!inRange(h, t.numHEdges())) VQ_FAIL(kCls, "makeWeak", "h >= 0 && h < numHEdges()", VQ_ERR_ARGUMENT);
    const int o = t.viHEOpp[h];
    if (o < 0) return true;
    t.viHEOpp[h] = t.viHEOpp[o] = -1;
    ++t.nBoundaryEdges;
    // Both ends now lie on a border; their walks start at the cut.
    t.viVtxHEdge[t.viHEVtx[h]] = h;
    t.viVtxHEdge[t.viHEVtx[o]] = o;
    return true;
}

// ---- Normals

namespace {

struct NormalKey {
    uint32_t rec;
    uint32_t bits[3];
    bool operator==(const NormalKey& o) const {
        return rec == o.rec && bits[0] == o.bits[0] && bits[1] == o.bits[1] && bits[2] == o.bits[2];
    }
};
struct NormalKeyHash {
    size_t operator()(const NormalKey& k) const {
        uint64_t h = k.rec * 0x9E3779B97F4A7C15ull;
        for (uint32_t b : k.bits)
            h = (h ^ b) * 0xC2B2AE3D27D4EB4Full;
        return size_t(h ^ (h >> 29));
    }
};

// Positions as 3D points, as the pool's box sees them.
VqVec3d pointOf(const float* coords, int nComps, int rec) {
    const float* c = coords + size_t(rec) * nComps;
    if (nComps == 2) return VqVec3d(c[0], c[1], 0.0);
    if (nComps == 4) return VqVec3d(double(c[0]) / c[3], double(c[1]) / c[3], double(c[2]) / c[3]);
    return VqVec3d(c[0], c[1], c[2]);
}

} // namespace

bool VqTopoMesh::generateGouraudNormals(float creaseAngle, bool bCollocate) {
    VQ_PROPAGATE(_checkEdit("generateGouraudNormals"));
    VQ_CHECK(primKind() == VQ_PRIM_TRISTRIP || primKind() == VQ_PRIM_POLYGON, kCls, "generateGouraudNormals",
             VQ_ERR_ARGUMENT);
    VqVertexRecordPool& pool = *_pVtxRecPool;
    const int nComps = pool.fields()->numVtxCoordComps();
    VQ_CHECK(nComps >= 2 && nComps <= 4, kCls, "generateGouraudNormals", VQ_ERR_ARGUMENT);
    if (!pool.fields()->numNormalComps())
        VQ_PROPAGATE(pool.setBindings(getBindings() | VQ_GEOMBIND_NORMVEC3));
    VQ_PROPAGATE(ensureTopology());
    const VqTopoMeshTopology& t = *_pTopo;
    const int nFacets = t.numFacets(), nHE = t.numHEdges();
    const float* coords = pool.fields()->vtxCoords();

    try {
        // Facet normals by Newell's sum: twice the area in length, so that
        // summing them weighs each facet by its area.
        std::vector<VqVec3d> area(nFacets), unit(nFacets);
        for (int f = 0; f < nFacets; ++f) {
            VqVec3d n(0.0, 0.0, 0.0);
            for (int h = t.viFacetHE[f]; h < t.viFacetHE[f + 1]; ++h) {
                const VqVec3d a = pointOf(coords, nComps, t.viHERec[h]);
                const VqVec3d b = pointOf(coords, nComps, t.viHERec[t.next(h)]);
                n += VqVec3d((a[1] - b[1]) * (a[2] + b[2]), (a[2] - b[2]) * (a[0] + b[0]),
                             (a[0] - b[0]) * (a[1] + b[1]));
            }
            area[f] = n;
            const double len = n.length();
            unit[f] = len > 0 ? n * (1.0 / len) : n;
        }
        // Each corner smooths over the facets around its position that lie
        // within the crease angle of its own facet.
        const double cosCrease = std::cos(double(creaseAngle));
        std::vector<float> cornerNormal(size_t(nHE) * 3);
        for (int h = 0; h < nHE; ++h) {
            const int f = t.facet(h), v = t.viHEVtx[h];
            VqVec3d sum(0.0, 0.0, 0.0);
            for (int k = t.viVtxOutStart[v]; k < t.viVtxOutStart[v + 1]; ++k) {
                const int g = t.facet(t.viVtxOut[k]);
                if (g == f || unit[f].dot(unit[g]) >= cosCrease) sum += area[g];
            }
            const double len = sum.length();
            const VqVec3d n = len > 0 ? sum * (1.0 / len) : unit[f];
            for (int c = 0; c < 3; ++c)
                cornerNormal[size_t(h) * 3 + c] = float(n[c]);
        }

        // The normal each index position takes: from the first facet that
        // uses it, in atom order (a strip's index serves up to three).
        const uint32_t nIndices = numIndices();
        std::vector<int32_t> posHEdge(nIndices, -1);
        const bool strips = primKind() == VQ_PRIM_TRISTRIP;
        for (int f = 0; f < nFacets; ++f) {
            const uint32_t atom = uint32_t(t.viFacetAtom[f]);
            const uint32_t p = uint32_t(atomToPrim(atom));
            const uint32_t s = _vuPrimStart[int(p)];
            for (int c = 0; c < t.viFacetHE[f + 1] - t.viFacetHE[f]; ++c) {
                uint32_t pos = s + uint32_t(c);
                if (strips) {
                    const uint32_t j = atom - _atomStart(p), odd = j & 1;
                    const uint32_t corner[3] = {s + j + odd, s + j + 1 - odd, s + j + 2};
                    pos = corner[c];
                }
                if (posHEdge[pos] < 0) posHEdge[pos] = t.viFacetHE[f] + c;
            }
        }

        // Records: the first position to claim a record sets its normal;
        // a position whose normal differs gets a copy of its record.
        const uint32_t nRecs = pool.numVtxRecords();
        std::vector<char> claimed(nRecs, 0);
        std::vector<float> claimedNormal(size_t(nRecs) * 3);
        std::unordered_map<NormalKey, uint32_t, NormalKeyHash> copies;
        VqVecu copySrc;
        std::vector<float> copyNormal;
        VqVecu newIndices = _vuIndices;
        for (uint32_t i = 0; i < nIndices; ++i) {
            if (posHEdge[i] < 0) continue;
            const float* n = &cornerNormal[size_t(posHEdge[i]) * 3];
            const uint32_t r = _vuIndices[int(i)];
            if (!claimed[r]) {
                claimed[r] = 1;
                std::memcpy(&claimedNormal[size_t(r) * 3], n, sizeof(float) * 3);
                continue;
            }
            if (std::memcmp(&claimedNormal[size_t(r) * 3], n, sizeof(float) * 3) == 0) continue;
            NormalKey key{r, {}};
            std::memcpy(key.bits, n, sizeof(key.bits));
            const auto it = copies.try_emplace(key, nRecs + uint32_t(copySrc.size())).first;
            if (it->second == nRecs + copySrc.size()) {
                copySrc.push_back(r);
                copyNormal.insert(copyNormal.end(), n, n + 3);
            }
            newIndices[int(i)] = it->second;
        }

        {
            VqVertexRecordPool* pPool = &pool;
            VQ_PROPAGATE(pPool->lockWrite(true));
            bool ok = true;
            if (!copySrc.empty()) {
                // The copies come from a snapshot: appending a pool's records
                // to itself would read arrays that the append moves.
                Vq::SharedPtr<VqVertexRecordPool> snapshot;
                uint32_t first = 0;
                ok = pool.clone(snapshot) &&
                     pool.addVtxRecords(*snapshot, copySrc.data(), uint32_t(copySrc.size()), nullptr, first);
                ok = ok && first == nRecs;
            }
            VqBaseVertexRecordPoolInternals view;
            if (ok) ok = pool.acquireInternals(view, true);
            if (ok) {
                for (uint32_t r = 0; r < nRecs; ++r)
                    if (claimed[r])
                        std::memcpy(view.pfNormals + size_t(r) * 3, &claimedNormal[size_t(r) * 3], 12);
                if (!copyNormal.empty())
                    std::memcpy(view.pfNormals + size_t(nRecs) * 3, copyNormal.data(),
                                copyNormal.size() * sizeof(float));
                ok = pool.releaseInternals(view);
            }
            pPool->lockWrite(false);
            VQ_PROPAGATE(ok);
        }
        _vuIndices.swap(newIndices);
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "generateGouraudNormals", "Caught std::bad_alloc", VQ_ERR_ALLOC);
    }
    _primitivesChanged();
    if (bCollocate) VQ_PROPAGATE(pool._ensureCollocated(false));
    return true;
}
