// Primitive arrays: construction, the pool, editing, queries and locks. The
// derived topology and its walks are in VqTopoMeshTopo.cpp.
#include "VqTopoMesh.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqIdentityMap.h"
#include "VqStdException.h"
#include "VqTopoMeshTopology.h"

#include <algorithm>
#include <new>
#include <utility>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

VQ_IMPLEMENT_ABSTRACT_TYPE(VqTopoMesh, VqPropBase, CLSID_ZQTopoMesh)

std::atomic<bool> VqTopoMesh::s_bEnforceLocking{true};

namespace {

constexpr const char* kCls = "VqTopoMesh";

// Holds a pool's write lock for a scope.
class PoolWriteGuard {
public:
    explicit PoolWriteGuard(VqVertexRecordPool* p) : _p(p), _bOk(p->lockWrite(true)) {}
    ~PoolWriteGuard() {
        if (_bOk) _p->lockWrite(false);
    }
    PoolWriteGuard(const PoolWriteGuard&) = delete;
    PoolWriteGuard& operator=(const PoolWriteGuard&) = delete;
    bool ok() const { return _bOk; }

private:
    VqVertexRecordPool* _p;
    bool _bOk;
};

// The primitive-size check of each kind, as its text reads.
const char* primSizeText(VqTopoMesh::PrimKind kind) {
    switch (kind) {
    case VqTopoMesh::VQ_PRIM_LINESTRIP:
        return "xPrim.paiPrimStart[iPrim] >= 2";
    case VqTopoMesh::VQ_PRIM_POINT:
        return "xPrim.paiPrimStart[iPrim] >= 1";
    default:
        return "xPrim.paiPrimStart[iPrim] >= 3";
    }
}

// The length of the blocks the primitives' passes are vectorised in.
constexpr size_t kBlock = 64;

// Whether any of the n indices is n0 or more. The build's optimisation
// level leaves plain loops unvectorised: four indices a step, compared as
// signed numbers once their top bits are flipped.
bool anyIndexAtLeast(const uint32_t* idx, size_t n, uint32_t n0) {
    // Below, the largest index allowed is n0 - 1.
    if (n0 == 0) return n > 0;
    size_t i = 0;
    uint32_t uAny = 0;
#ifdef __SSE2__
    const __m128i flip = _mm_set1_epi32(int32_t(0x80000000u));
    const __m128i last = _mm_set1_epi32(int32_t((n0 - 1) ^ 0x80000000u));
    __m128i over = _mm_setzero_si128();
    for (; i + 4 <= n; i += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(idx + i));
        over = _mm_or_si128(over, _mm_cmpgt_epi32(_mm_xor_si128(v, flip), last));
    }
    uAny = uint32_t(_mm_movemask_epi8(over));
#endif
    for (; i < n; ++i)
        uAny |= uint32_t(idx[i] >= n0);
    return uAny != 0;
}

} // namespace

// ---- Construction and the pool

VqTopoMesh::VqTopoMesh(uint64_t eBindings) : VqTopoMesh(new VqVertexRecordPool(eBindings)) {}

VqTopoMesh::VqTopoMesh(VqVertexRecordPool* pPool) : _vuPrimStart{0}, _vuFaceGrps{0} {
    if (!pPool) pPool = new VqVertexRecordPool();
    if (!pPool) throw Vq::StdException(__PRETTY_FUNCTION__, "Memory Allocation", VQ_ERR_ALLOC);
    if (!_setPool(pPool)) throw Vq::makeStdExceptionFromErrorState(__PRETTY_FUNCTION__, "Memory Allocation");
}

VqTopoMesh::VqTopoMesh(const VqTopoMesh& o)
    : Record(o), Vq::RWLockable(), Vq::VertexRecordPoolMesh(), _vuPrimStart(o._vuPrimStart),
      _vuIndices(o._vuIndices), _vuFaceGrps(o._vuFaceGrps) {
    if (!_setPool(o._pVtxRecPool.get()))
        throw Vq::makeStdExceptionFromErrorState(__PRETTY_FUNCTION__, "Memory Allocation");
}

VqTopoMesh::~VqTopoMesh() {
    if (_pVtxRecPool) _pVtxRecPool->removeMesh(this);
}

size_t VqTopoMesh::_memSize(bool deep) const {
    size_t n = VqPropBase::_memSize(deep) + sizeof(*this) - sizeof(VqPropBase);
    n += (_vuPrimStart.capacity() + _vuIndices.capacity() + _vuFaceGrps.capacity()) * sizeof(uint32_t);
    {
        VqAutoLock lock(_topoMutex);
        if (_pTopo) n += _pTopo->memSize();
    }
    return n + (deep && _pVtxRecPool ? _pVtxRecPool->_memSize(true) : 0);
}

uint32_t VqTopoMesh::minPrimSize() const {
    switch (primKind()) {
    case VQ_PRIM_LINESTRIP:
        return 2;
    case VQ_PRIM_POINT:
        return 1;
    default:
        return 3;
    }
}

bool VqTopoMesh::_setPool(VqVertexRecordPool* pPool) {
    if (pPool == _pVtxRecPool.get()) return true;
    // Registered with the new pool before leaving the old one, so that a
    // failure leaves the mesh where it was.
    VQ_PROPAGATE(pPool->addMesh(this));
    if (_pVtxRecPool) _pVtxRecPool->removeMesh(this);
    _pVtxRecPool = pPool;
    return true;
}

bool VqTopoMesh::_checkEdit(const char* method) const {
    if (!(!s_bEnforceLocking || (isWriteLocked())))
        VQ_FAIL(kCls, method, "!s_bEnforceLocking || (isWriteLocked())", VQ_ERR_INTERNAL);
    return true;
}

bool VqTopoMesh::setBindings(uint64_t eBindings) {
    VQ_PROPAGATE(_checkEdit("setBindings"));
    VQ_PROPAGATE(_pVtxRecPool->setBindings(eBindings));
    return true;
}

bool VqTopoMesh::setVtxRecPool(VqVertexRecordPool* pPool, const VqVecu* pIndexMap) {
    VQ_PROPAGATE(_checkEdit("setVtxRecPool"));
    VQ_CHECK(pPool, kCls, "setVtxRecPool", VQ_ERR_ARGUMENT);
    VqVecu mapped;
    try {
        mapped = _vuIndices;
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "setVtxRecPool", "Memory Allocation", VQ_ERR_ALLOC);
    }
    const uint32_t nVtxRecs = pPool->numVtxRecords();
    for (uint32_t& i : mapped) {
        if (pIndexMap) {
            if (!(i < pIndexMap->size()))
                VQ_FAIL(kCls, "setVtxRecPool", "iIdx < vIndexMap.length()", VQ_ERR_ARGUMENT);
            i = (*pIndexMap)[int(i)];
        }
        if (!(i < nVtxRecs)) VQ_FAIL(kCls, "setVtxRecPool", "vIndexMap[iIdx] < nVtxRecs", VQ_ERR_ARGUMENT);
    }
    VQ_PROPAGATE(_setPool(pPool));
    _vuIndices.swap(mapped);
    invalidateTopology();
    return true;
}

bool VqTopoMesh::_replaceVtxRecPool(VqVertexRecordPool* pPool) {
    return setVtxRecPool(pPool, nullptr);
}

bool VqTopoMesh::setCompressionParams(int vtxBits, int normBits, int texBits, int colBits) {
    return _pVtxRecPool->setCompressionParams(vtxBits, normBits, texBits, colBits);
}

void VqTopoMesh::getCompressionParams(int& vtxBits, int& normBits, int& texBits, int& colBits) const {
    _pVtxRecPool->getCompressionParams(vtxBits, normBits, texBits, colBits);
}

bool VqTopoMesh::setCollocateTol(float vertexEps, float angleEps) {
    return _pVtxRecPool->setCollocateTol(vertexEps, angleEps);
}

void VqTopoMesh::getCollocateTol(float& vertexEps, float& angleEps) const {
    _pVtxRecPool->getCollocateTol(vertexEps, angleEps);
}

bool VqTopoMesh::collocate(bool bRemoveUnreferenced) {
    VQ_PROPAGATE(_checkEdit("collocate"));
    VQ_PROPAGATE(_pVtxRecPool->_ensureCollocated(bRemoveUnreferenced));
    return true;
}

template <class M>
bool VqTopoMesh::_transform(const M& m) {
    VQ_PROPAGATE(_checkEdit("transform"));
    PoolWriteGuard guard(_pVtxRecPool.get());
    VQ_PROPAGATE(guard.ok());
    VQ_PROPAGATE(_pVtxRecPool->transform(m));
    return true;
}

bool VqTopoMesh::transform(const VqMatrix4f& m) {
    return _transform(m);
}

bool VqTopoMesh::transform(const VqMatrix4d& m) {
    return _transform(m);
}

// ---- Checks

bool VqTopoMesh::_checkArrays(const char* method, uint32_t nVtxRecs) const {
    if (!(_vuPrimStart.size() >= 1 && _vuPrimStart[0] == 0))
        VQ_FAIL(kCls, method, "xPrim.paiPrimStart[0] == 0", VQ_ERR_CORRUPT);
    if (!(_vuFaceGrps.size() >= 1 && _vuFaceGrps[0] == 0))
        VQ_FAIL(kCls, method, "xPrim.paiFaceGrps[0] == 0", VQ_ERR_CORRUPT);
    const uint32_t nPrims = numPrims(), nFaceGrps = numFaceGroups(), minSize = minPrimSize();
    const uint32_t* start = _vuPrimStart.data();
    // The same for the primitive sizes: a pass that only notes a failure,
    // and the one that names it only when there is one. The pass runs in
    // blocks of a fixed length, each start read as both ends, which the
    // compiler vectorises.
    uint32_t uBad = 0;
    auto gather = [&uBad, minSize](const uint32_t* s, size_t n) {
        for (size_t p = 0; p < n; ++p)
            uBad |= uint32_t(s[p + 1] < s[p]) | uint32_t(s[p + 1] - s[p] < minSize);
    };
    size_t p0 = 0;
    for (; p0 + kBlock <= nPrims; p0 += kBlock)
        gather(start + p0, kBlock);
    gather(start + p0, nPrims - p0);
    for (uint32_t p = 0; uBad != 0 && p < nPrims; ++p) {
        if (!(start[p] <= start[p + 1]))
            VQ_FAIL(kCls, method, "xPrim.paiPrimStart[iPrim] <= xPrim.paiPrimStart[iPrim + 1]",
                    VQ_ERR_CORRUPT);
        if (!(start[p + 1] - start[p] >= minSize))
            VQ_FAIL(kCls, method, primSizeText(primKind()), VQ_ERR_CORRUPT);
    }
    if (!(start[nPrims] == numIndices()))
        VQ_FAIL(kCls, method, "sInt.paiPrimStart[sInt.nPrims] == sInt.nIndices", VQ_ERR_CORRUPT);
    for (uint32_t g = 0; g < nFaceGrps; ++g)
        if (!(_vuFaceGrps[int(g)] <= _vuFaceGrps[int(g + 1)]))
            VQ_FAIL(kCls, method, "xPrim.paiFaceGrps[iFG] <= xPrim.paiFaceGrps[iFG + 1]", VQ_ERR_CORRUPT);
    if (!(_vuFaceGrps[int(nFaceGrps)] == nPrims))
        VQ_FAIL(kCls, method, "sInt.paiFaceGrps[sInt.nFaceGrps] == sInt.nPrims", VQ_ERR_CORRUPT);
    // Every index is checked on each derivation and each assignment, in a
    // loop without exits.
    if (anyIndexAtLeast(_vuIndices.data(), _vuIndices.size(), nVtxRecs))
        VQ_FAIL(kCls, method, "xPrim.paiIndices[iIdx] < nVtxRecs", VQ_ERR_CORRUPT);
    return true;
}

bool VqTopoMesh::_faceGroupRange(const char* method, int iFGStart, int iFGEnd, uint32_t& primBegin,
                                 uint32_t& primEnd) const {
    const uint32_t nFaceGrps = numFaceGroups();
    primBegin = 0;
    primEnd = numPrims();
    if (iFGStart == -1) return true;
    // Negative values other than -1 fail the unsigned comparisons.
    if (!(uint32_t(iFGStart) < nFaceGrps)) VQ_FAIL(kCls, method, "iFGStart < nFaceGrps", VQ_ERR_ARGUMENT);
    if (!(uint32_t(iFGEnd) < nFaceGrps && iFGEnd >= iFGStart))
        VQ_FAIL(kCls, method, "iFGEnd < nFaceGrps && iFGEnd >= iFGStart", VQ_ERR_ARGUMENT);
    primBegin = _vuFaceGrps[iFGStart];
    primEnd = _vuFaceGrps[iFGEnd + 1];
    return true;
}

// ---- Building

void VqTopoMesh::_primitivesChanged() {
    // Inside a topology edit the handles the editor holds must stay valid;
    // the topology goes when the edit ends.
    if (_nTopoEdit > 0)
        _bPrimsEditedInTopoEdit = true;
    else
        invalidateTopology();
}

bool VqTopoMesh::allocatePrimitives(uint32_t nPrims, uint32_t nIndices, uint32_t nFaceGrps) {
    VQ_PROPAGATE(_checkEdit("allocatePrimitives"));
    VQ_CHECK(nPrims < 0xFFFFFFFFu && nFaceGrps < 0xFFFFFFFFu, kCls, "allocatePrimitives", VQ_ERR_ARGUMENT);
    try {
        VqVecu start(size_t(nPrims) + 1, 0u), idx(nIndices, 0u), fg(size_t(nFaceGrps) + 1, 0u);
        _vuPrimStart.swap(start);
        _vuIndices.swap(idx);
        _vuFaceGrps.swap(fg);
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "allocatePrimitives", "allocatePrimitives(nPrims, nIndices, nFaceGrps)", VQ_ERR_ALLOC);
    }
    _primitivesChanged();
    return true;
}

bool VqTopoMesh::ensureNumFaceGroups(uint32_t n) {
    VQ_PROPAGATE(_checkEdit("ensureNumFaceGroups"));
    if (n <= numFaceGroups()) return true;
    VQ_CHECK(n < 0xFFFFFFFFu, kCls, "ensureNumFaceGroups", VQ_ERR_ARGUMENT);
    try {
        _vuFaceGrps.resize(size_t(n) + 1, numPrims());
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "ensureNumFaceGroups", "Memory Allocation", VQ_ERR_ALLOC);
    }
    return true;
}

bool VqTopoMesh::_insertPrimitives(const char* method, int faceGroup, uint32_t nPrims,
                                   const uint32_t* primSizes, uint32_t primSize, const uint32_t* indices) {
    VQ_CHECK(faceGroup >= 0, kCls, method, VQ_ERR_ARGUMENT);
    if (nPrims == 0) return ensureNumFaceGroups(uint32_t(faceGroup) + 1);
    const uint32_t minSize = minPrimSize();
    uint64_t total = 0;
    for (uint32_t i = 0; i < nPrims; ++i) {
        const uint32_t n = primSizes ? primSizes[i] : primSize;
        if (!(n >= minSize)) VQ_FAIL(kCls, method, primSizeText(primKind()), VQ_ERR_ARGUMENT);
        total += n;
    }
    if (!(total <= 0xFFFFFFFFull - numIndices() && nPrims < 0xFFFFFFFFu - numPrims()))
        VQ_FAIL(kCls, method, "nIndices + nNewIndices <= 0xFFFFFFFF", VQ_ERR_ARGUMENT);
    VQ_CHECK(indices, kCls, method, VQ_ERR_ARGUMENT);
    const uint32_t nVtxRecs = _pVtxRecPool->numVtxRecords();
    for (uint64_t i = 0; i < total; ++i)
        if (!(indices[i] < nVtxRecs)) VQ_FAIL(kCls, method, "paiIndices[iIdx] < nVtxRecs", VQ_ERR_ARGUMENT);
    VQ_PROPAGATE(ensureNumFaceGroups(uint32_t(faceGroup) + 1));
    // Everything that can fail is done before the arrays change.
    try {
        _vuIndices.reserve(_vuIndices.size() + total);
        _vuPrimStart.reserve(_vuPrimStart.size() + nPrims);
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, method, "Memory Allocation", VQ_ERR_ALLOC);
    }
    const uint32_t p = _vuFaceGrps[faceGroup + 1];
    const uint32_t q = _vuPrimStart[int(p)];
    _vuIndices.insert(_vuIndices.begin() + q, indices, indices + total);
    for (size_t k = p; k < _vuPrimStart.size(); ++k)
        _vuPrimStart[k] += uint32_t(total);
    uint32_t s = q;
    std::vector<uint32_t> starts(nPrims);
    for (uint32_t i = 0; i < nPrims; ++i) {
        starts[i] = s;
        s += primSizes ? primSizes[i] : primSize;
    }
    _vuPrimStart.insert(_vuPrimStart.begin() + p, starts.begin(), starts.end());
    for (size_t g = size_t(faceGroup) + 1; g < _vuFaceGrps.size(); ++g)
        _vuFaceGrps[g] += nPrims;
    _primitivesChanged();
    return true;
}

template <class T>
bool VqTopoMesh::_addWithRecords(const char* method, int faceGroup, uint32_t nPrims,
                                 const uint32_t* primSizes, uint32_t primSize, const T* coords,
                                 const T* normals, const T* colors, const T* const* texCoords,
                                 const unsigned char* flags, bool bCollocate) {
    VQ_PROPAGATE(_checkEdit(method));
    VQ_CHECK(faceGroup >= 0, kCls, method, VQ_ERR_ARGUMENT);
    VQ_CHECK(nPrims == 0 || primSizes || primSize, kCls, method, VQ_ERR_ARGUMENT);
    uint64_t total = 0;
    for (uint32_t i = 0; i < nPrims; ++i) {
        const uint32_t n = primSizes ? primSizes[i] : primSize;
        if (!(n >= minPrimSize())) VQ_FAIL(kCls, method, primSizeText(primKind()), VQ_ERR_ARGUMENT);
        total += n;
    }
    VQ_CHECK(total < 0xFFFFFFFFull, kCls, method, VQ_ERR_ARGUMENT);
    VqVecu idx;
    try {
        idx.resize(total);
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, method, "Memory Allocation", VQ_ERR_ALLOC);
    }
    {
        PoolWriteGuard guard(_pVtxRecPool.get());
        VQ_PROPAGATE(guard.ok());
        uint32_t first = 0;
        VQ_PROPAGATE(
            _pVtxRecPool->addVtxRecords(uint32_t(total), first, coords, normals, colors, texCoords, flags));
        for (uint32_t i = 0; i < uint32_t(total); ++i)
            idx[int(i)] = first + i;
    }
    VQ_PROPAGATE(_insertPrimitives(method, faceGroup, nPrims, primSizes, primSize, idx.data()));
    if (bCollocate) VQ_PROPAGATE(_pVtxRecPool->_ensureCollocated(false));
    return true;
}

bool VqTopoMesh::addPrimitive(int faceGroup, uint32_t n, const float* coords, const float* normals,
                              const float* colors, const float* const* texCoords, const unsigned char* flags,
                              bool bCollocate) {
    return _addWithRecords("addPrimitive", faceGroup, 1, nullptr, n, coords, normals, colors, texCoords,
                           flags, bCollocate);
}

bool VqTopoMesh::addPrimitives(int faceGroup, uint32_t nPrims, const uint32_t* primSizes, const float* coords,
                               const float* normals, const float* colors, const float* const* texCoords,
                               const unsigned char* flags, bool bCollocate) {
    VQ_CHECK(nPrims == 0 || primSizes, kCls, "addPrimitives", VQ_ERR_ARGUMENT);
    return _addWithRecords("addPrimitives", faceGroup, nPrims, primSizes, 0, coords, normals, colors,
                           texCoords, flags, bCollocate);
}

bool VqTopoMesh::addPrimitives(int faceGroup, uint32_t nPrims, const uint32_t* primSizes,
                               const double* coords, const double* normals, const double* colors,
                               const double* const* texCoords, const unsigned char* flags, bool bCollocate) {
    VQ_CHECK(nPrims == 0 || primSizes, kCls, "addPrimitives", VQ_ERR_ARGUMENT);
    return _addWithRecords("addPrimitives", faceGroup, nPrims, primSizes, 0, coords, normals, colors,
                           texCoords, flags, bCollocate);
}

bool VqTopoMesh::addPrimitives(int faceGroup, uint32_t nPrims, const uint32_t* primSizes,
                               const uint32_t* indices) {
    VQ_PROPAGATE(_checkEdit("addPrimitives"));
    VQ_CHECK(nPrims == 0 || primSizes, kCls, "addPrimitives", VQ_ERR_ARGUMENT);
    return _insertPrimitives("addPrimitives", faceGroup, nPrims, primSizes, 0, indices);
}

bool VqTopoMesh::addPrimitives(int faceGroup, uint32_t nPrims, uint32_t primSize, const uint32_t* indices) {
    VQ_PROPAGATE(_checkEdit("addPrimitives"));
    return _insertPrimitives("addPrimitives", faceGroup, nPrims, nullptr, primSize, indices);
}

bool VqTopoMesh::createPrimitive(int faceGroup, const VqVtxHdl* vertices, uint32_t n) {
    VQ_PROPAGATE(_checkEdit("createPrimitive"));
    VQ_CHECK(_nTopoEdit > 0, kCls, "createPrimitive", VQ_ERR_INTERNAL);
    VQ_CHECK(_isValidTopo(), kCls, "createPrimitive", VQ_ERR_INTERNAL);
    VQ_CHECK(n == 0 || vertices, kCls, "createPrimitive", VQ_ERR_ARGUMENT);
    const int nVertices = _pTopo->numVertices();
    VqVecu recs;
    try {
        recs.resize(n);
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "createPrimitive", "Memory Allocation", VQ_ERR_ALLOC);
    }
    for (uint32_t i = 0; i < n; ++i) {
        if (!(vertices[i] >= 0 && vertices[i] < nVertices))
            VQ_FAIL(kCls, "createPrimitive", "vertices[i] >= 0 && vertices[i] < nVertices", VQ_ERR_ARGUMENT);
        recs[int(i)] = uint32_t(_pTopo->viVtxRec[vertices[i]]);
    }
    return _insertPrimitives("createPrimitive", faceGroup, 1, nullptr, n, recs.data());
}

bool VqTopoMesh::removePrimitives(const VqBitVec& toRemove) {
    VQ_PROPAGATE(_checkEdit("removePrimitives"));
    const uint32_t nPrims = numPrims(), nFaceGrps = numFaceGroups();
    auto removed = [&](uint32_t p) { return int(p) < toRemove.length() && toRemove.get(int(p)); };
    VqVecu start, idx, fg;
    try {
        start.reserve(nPrims + 1);
        idx.reserve(_vuIndices.size());
        fg.reserve(nFaceGrps + 1);
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "removePrimitives", "Memory Allocation", VQ_ERR_ALLOC);
    }
    start.push_back(0);
    fg.push_back(0);
    for (uint32_t g = 0; g < nFaceGrps; ++g) {
        for (uint32_t p = _vuFaceGrps[int(g)]; p < _vuFaceGrps[int(g + 1)]; ++p) {
            if (removed(p)) continue;
            idx.insert(idx.end(), _vuIndices.begin() + _vuPrimStart[int(p)],
                       _vuIndices.begin() + _vuPrimStart[int(p + 1)]);
            start.push_back(uint32_t(idx.size()));
        }
        fg.push_back(uint32_t(start.size() - 1));
    }
    _vuPrimStart.swap(start);
    _vuIndices.swap(idx);
    _vuFaceGrps.swap(fg);
    _primitivesChanged();
    return true;
}

bool VqTopoMesh::removePrimitive(uint32_t iPrim) {
    VQ_CHECK(iPrim < numPrims(), kCls, "removePrimitive", VQ_ERR_ARGUMENT);
    VqBitVec bits;
    try {
        bits.set(int(iPrim));
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "removePrimitive", "Memory Allocation", VQ_ERR_ALLOC);
    }
    return removePrimitives(bits);
}

bool VqTopoMesh::clearPrimitives() {
    VQ_PROPAGATE(_checkEdit("clearPrimitives"));
    _vuPrimStart.assign(1, 0u);
    _vuIndices.clear();
    _vuFaceGrps.assign(1, 0u);
    _primitivesChanged();
    return true;
}

bool VqTopoMesh::_assignPrimitives(VqVecu&& primStart, VqVecu&& indices, VqVecu&& faceGrps) {
    VQ_PROPAGATE(_checkEdit("_assignPrimitives"));
    _vuPrimStart.swap(primStart);
    _vuIndices.swap(indices);
    _vuFaceGrps.swap(faceGrps);
    if (!_checkArrays("_assignPrimitives", _pVtxRecPool->numVtxRecords())) {
        _vuPrimStart.swap(primStart);
        _vuIndices.swap(indices);
        _vuFaceGrps.swap(faceGrps);
        VqErrorState::rethrowError();
        return false;
    }
    _primitivesChanged();
    return true;
}

bool VqTopoMesh::shrink() {
    VQ_PROPAGATE(_checkEdit("shrink"));
    _vuPrimStart.shrink_to_fit();
    _vuIndices.shrink_to_fit();
    _vuFaceGrps.shrink_to_fit();
    invalidateTopology();
    return true;
}

// ---- Records through index positions

bool VqTopoMesh::getVertexRecord(uint32_t iIndex, float* coord, float* normal, float* color,
                                 float* const* texCoords, bool* flag) const {
    VQ_CHECK(iIndex < numIndices(), kCls, "getVertexRecord", VQ_ERR_ARGUMENT);
    VQ_PROPAGATE(_pVtxRecPool->getVtxRecord(_vuIndices[int(iIndex)], coord, normal, color, texCoords, flag));
    return true;
}

bool VqTopoMesh::setVertexRecord(uint32_t iIndex, const float* coord, const float* normal, const float* color,
                                 const float* const* texCoords, const bool* flag) {
    VQ_PROPAGATE(_checkEdit("setVertexRecord"));
    VQ_CHECK(iIndex < numIndices(), kCls, "setVertexRecord", VQ_ERR_ARGUMENT);
    PoolWriteGuard guard(_pVtxRecPool.get());
    VQ_PROPAGATE(guard.ok());
    VQ_PROPAGATE(_pVtxRecPool->setVtxRecord(_vuIndices[int(iIndex)], coord, normal, color, texCoords, flag));
    return true;
}

bool VqTopoMesh::getPrimitive(uint32_t iPrim, VqVecf* coords, VqVecf* normals, VqVecf* colors,
                              VqVecf* const* texCoords, VqVecuc* flags) const {
    VQ_CHECK(iPrim < numPrims(), kCls, "getPrimitive", VQ_ERR_ARGUMENT);
    const Vq::VertexRecordFields& f = *_pVtxRecPool->fields();
    const uint32_t s = _vuPrimStart[int(iPrim)], e = _vuPrimStart[int(iPrim + 1)], nRecs = f.numRecords();
    for (uint32_t i = s; i < e; ++i)
        VQ_CHECK(_vuIndices[int(i)] < nRecs, kCls, "getPrimitive", VQ_ERR_CORRUPT);
    auto gather = [&](VqVecf* out, const float* src, int nComps) {
        if (!out) return;
        out->clear();
        if (!nComps) return;
        out->reserve(size_t(e - s) * nComps);
        for (uint32_t i = s; i < e; ++i)
            out->insert(out->end(), src + size_t(_vuIndices[int(i)]) * nComps,
                        src + size_t(_vuIndices[int(i)] + 1) * nComps);
    };
    try {
        gather(coords, f.vtxCoords(), f.numVtxCoordComps());
        gather(normals, f.normals(), f.numNormalComps());
        gather(colors, f.colors(), f.numColorComps());
        for (int k = 0; texCoords && k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
            gather(texCoords[k], f.texCoords(k), f.numTexCoordComps(k));
        if (flags) {
            flags->clear();
            for (uint32_t i = s; f.hasVtxFlags() && i < e; ++i)
                flags->push_back(f.vtxFlags().get(int(_vuIndices[int(i)])) ? 1 : 0);
        }
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "getPrimitive", "Memory Allocation", VQ_ERR_ALLOC);
    }
    return true;
}

// ---- Queries

uint32_t VqTopoMesh::numPrims(uint32_t iFaceGrp) const {
    if (iFaceGrp >= numFaceGroups()) return 0;
    return _vuFaceGrps[int(iFaceGrp + 1)] - _vuFaceGrps[int(iFaceGrp)];
}

int VqTopoMesh::faceGroupStart(uint32_t iFaceGrp) const {
    return iFaceGrp <= numFaceGroups() ? int(_vuFaceGrps[int(iFaceGrp)]) : -1;
}

uint32_t VqTopoMesh::_atomStart(uint32_t iPrim) const {
    // Every primitive holds at least minPrimSize() indices, which gives the
    // atom offsets in closed form.
    const uint32_t s = _vuPrimStart[int(iPrim)];
    switch (primKind()) {
    case VQ_PRIM_TRISTRIP:
        return s - 2 * iPrim;
    case VQ_PRIM_LINESTRIP:
        return s - iPrim;
    case VQ_PRIM_POLYGON:
        return iPrim;
    default:
        return s;
    }
}

uint32_t VqTopoMesh::numAtoms() const {
    const uint32_t nPrims = numPrims(), nIndices = numIndices();
    switch (primKind()) {
    case VQ_PRIM_TRISTRIP:
        return nIndices >= 2 * uint64_t(nPrims) ? nIndices - 2 * nPrims : 0;
    case VQ_PRIM_LINESTRIP:
        return nIndices >= nPrims ? nIndices - nPrims : 0;
    case VQ_PRIM_POLYGON:
        return nPrims;
    default:
        return nIndices;
    }
}

uint32_t VqTopoMesh::uniformPrimSize() const {
    const uint32_t nPrims = numPrims();
    if (nPrims == 0) return 0;
    const uint32_t* start = _vuPrimStart.data();
    const uint32_t n = start[1] - start[0];
    // Blocks without exits, which the compiler vectorises; a mesh of mixed
    // sizes still stops at the first block that shows them.
    size_t p0 = 0;
    for (; p0 + kBlock <= nPrims; p0 += kBlock) {
        const uint32_t* s = start + p0;
        uint32_t uDiff = 0;
        for (size_t p = 0; p < kBlock; ++p)
            uDiff |= (s[p + 1] - s[p]) ^ n;
        if (uDiff != 0) return 0;
    }
    for (; p0 < nPrims; ++p0)
        if (start[p0 + 1] - start[p0] != n) return 0;
    return n;
}

int VqTopoMesh::firstVtxOnPrim(uint32_t iPrim) const {
    return iPrim < numPrims() ? int(_vuPrimStart[int(iPrim)]) : -1;
}

int VqTopoMesh::lastVtxOnPrim(uint32_t iPrim) const {
    return iPrim < numPrims() ? int(_vuPrimStart[int(iPrim + 1)]) - 1 : -1;
}

int VqTopoMesh::firstFacetOnPrim(uint32_t iPrim) const {
    return iPrim < numPrims() ? int(_atomStart(iPrim)) : -1;
}

int VqTopoMesh::lastFacetOnPrim(uint32_t iPrim) const {
    return iPrim < numPrims() ? int(_atomStart(iPrim + 1)) - 1 : -1;
}

namespace {
// The global number of primitive i of face group g, or all ones.
uint32_t primInGroup(const VqTopoMesh& m, uint32_t g, uint32_t i) {
    return i < m.numPrims(g) ? uint32_t(m.faceGroupStart(g)) + i : 0xFFFFFFFFu;
}
} // namespace

int VqTopoMesh::firstVtxOnPrim(uint32_t iFaceGrp, uint32_t iPrimInGrp) const {
    return firstVtxOnPrim(primInGroup(*this, iFaceGrp, iPrimInGrp));
}

int VqTopoMesh::lastVtxOnPrim(uint32_t iFaceGrp, uint32_t iPrimInGrp) const {
    return lastVtxOnPrim(primInGroup(*this, iFaceGrp, iPrimInGrp));
}

int VqTopoMesh::firstFacetOnPrim(uint32_t iFaceGrp, uint32_t iPrimInGrp) const {
    return firstFacetOnPrim(primInGroup(*this, iFaceGrp, iPrimInGrp));
}

int VqTopoMesh::lastFacetOnPrim(uint32_t iFaceGrp, uint32_t iPrimInGrp) const {
    return lastFacetOnPrim(primInGroup(*this, iFaceGrp, iPrimInGrp));
}

int VqTopoMesh::_primOfIndex(uint32_t iIndex) const {
    if (iIndex >= numIndices()) return -1;
    const auto it = std::upper_bound(_vuPrimStart.begin(), _vuPrimStart.end(), iIndex);
    return int(it - _vuPrimStart.begin()) - 1;
}

int VqTopoMesh::nextVtxOnPrim(uint32_t iIndex) const {
    const int p = _primOfIndex(iIndex);
    return p >= 0 && iIndex + 1 < _vuPrimStart[p + 1] ? int(iIndex + 1) : -1;
}

int VqTopoMesh::prevVtxOnPrim(uint32_t iIndex) const {
    const int p = _primOfIndex(iIndex);
    return p >= 0 && iIndex > _vuPrimStart[p] ? int(iIndex - 1) : -1;
}

int VqTopoMesh::atomToPrim(uint32_t iAtom) const {
    if (iAtom >= numAtoms()) return -1;
    // The last primitive whose first atom is at or before iAtom.
    uint32_t lo = 0, hi = numPrims();
    while (hi - lo > 1) {
        const uint32_t mid = lo + (hi - lo) / 2;
        if (_atomStart(mid) <= iAtom)
            lo = mid;
        else
            hi = mid;
    }
    return int(lo);
}

int VqTopoMesh::atomToFaceGroup(uint32_t iAtom) const {
    const int p = atomToPrim(iAtom);
    if (p < 0) return -1;
    const auto it = std::upper_bound(_vuFaceGrps.begin(), _vuFaceGrps.end(), uint32_t(p));
    return int(it - _vuFaceGrps.begin()) - 1;
}

int VqTopoMesh::nextFacetOnPrim(uint32_t iAtom) const {
    const int p = atomToPrim(iAtom);
    return p >= 0 && iAtom + 1 < _atomStart(uint32_t(p) + 1) ? int(iAtom + 1) : -1;
}

int VqTopoMesh::prevFacetOnPrim(uint32_t iAtom) const {
    const int p = atomToPrim(iAtom);
    return p >= 0 && iAtom > _atomStart(uint32_t(p)) ? int(iAtom - 1) : -1;
}

uint32_t VqTopoMesh::atomRecords(uint32_t iAtom, uint32_t* out, uint32_t maxOut) const {
    const int p = atomToPrim(iAtom);
    if (p < 0) return 0;
    const uint32_t s = _vuPrimStart[p], j = iAtom - _atomStart(uint32_t(p));
    const uint32_t* idx = _vuIndices.data();
    switch (primKind()) {
    case VQ_PRIM_TRISTRIP: {
        if (maxOut < 3) return 0;
        const uint32_t odd = j & 1, i = s + j;
        out[0] = idx[i + odd], out[1] = idx[i + 1 - odd], out[2] = idx[i + 2];
        return 3;
    }
    case VQ_PRIM_POLYGON: {
        const uint32_t n = _vuPrimStart[p + 1] - s;
        if (maxOut < n) return 0;
        std::copy(idx + s, idx + s + n, out);
        return n;
    }
    case VQ_PRIM_LINESTRIP:
        if (maxOut < 2) return 0;
        out[0] = idx[s + j], out[1] = idx[s + j + 1];
        return 2;
    default:
        if (maxOut < 1) return 0;
        out[0] = idx[s + j];
        return 1;
    }
}

bool VqTopoMesh::numVertices(VqFixedVec<int, 2>& out) const {
    int nVerts = 0, nPolys = 0;
    VQ_PROPAGATE(numVertsAndPolys(nVerts, nPolys));
    out[0] = nVerts;
    out[1] = int(numIndices());
    return true;
}

bool VqTopoMesh::numVertsAndPolys(int& nVerts, int& nPolys) const {
    nVerts = nPolys = 0;
    VqBitVec used;
    try {
        used.resize(int(_pVtxRecPool->numVtxRecords()));
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "numVertsAndPolys", "Memory Allocation", VQ_ERR_ALLOC);
    }
    for (uint32_t i : _vuIndices)
        if (int(i) < used.length() && !used.get(int(i))) {
            used.set(int(i));
            ++nVerts;
        }
    if (primKind() == VQ_PRIM_POLYGON || primKind() == VQ_PRIM_POINT) {
        nPolys = int(numAtoms());
        return true;
    }
    const bool strips = primKind() == VQ_PRIM_TRISTRIP;
    for (uint32_t p = 0; p < numPrims(); ++p)
        for (uint32_t i = _vuPrimStart[int(p)]; i + (strips ? 2 : 1) < _vuPrimStart[int(p + 1)]; ++i) {
            const uint32_t a = _vuIndices[int(i)], b = _vuIndices[int(i + 1)];
            const bool distinct =
                strips ? a != b && b != _vuIndices[int(i + 2)] && a != _vuIndices[int(i + 2)] : a != b;
            nPolys += distinct;
        }
    return true;
}

bool VqTopoMesh::computeFaceGroupBBox(int iFGStart, int iFGEnd, VqBox3<float>& box) const {
    box.makeEmpty();
    uint32_t pb = 0, pe = 0;
    VQ_PROPAGATE(_faceGroupRange("computeFaceGroupBBox", iFGStart, iFGEnd, pb, pe));
    const uint32_t s = _vuPrimStart[int(pb)], e = _vuPrimStart[int(pe)];
    if (s == e) return true;
    VQ_PROPAGATE(_pVtxRecPool->computeVertexRefBBox(_vuIndices.data() + s, e - s, box));
    return true;
}

bool VqTopoMesh::computeMinimalBBox(VqBox3<float>& box) const {
    return computeFaceGroupBBox(-1, -1, box);
}

VqBox3<float> VqTopoMesh::bbox() const {
    VqAutoLock lock(_topoMutex);
    if (!_bBBoxValid) {
        VqBox3<float> box;
        // A mesh whose indices the pool cannot serve has no box to give.
        if (!computeMinimalBBox(box)) box.makeEmpty();
        _bbox = box;
        _bBBoxValid = true;
    }
    return _bbox;
}

// ---- Locks and views

bool VqTopoMesh::acquirePrimitives(VqTopoMeshPrimitives& out, bool bWritable) {
    out = VqTopoMeshPrimitives();
    if (bWritable) {
        VQ_CHECK(!isReadLocked(), kCls, "acquirePrimitives", VQ_ERR_INTERNAL);
        VQ_PROPAGATE(lockWrite(true));
    } else {
        VQ_PROPAGATE(lockRead(true));
    }
    out.pMesh = this;
    out.bWritable = bWritable;
    out.nPrims = numPrims();
    out.nIndices = numIndices();
    out.nFaceGrps = numFaceGroups();
    out.paiPrimStart = _vuPrimStart.data();
    out.paiIndices = _vuIndices.data();
    out.paiFaceGrps = _vuFaceGrps.data();
    return true;
}

bool VqTopoMesh::releasePrimitives(VqTopoMeshPrimitives& view) {
    VQ_CHECK(view.pMesh == this, kCls, "releasePrimitives", VQ_ERR_ARGUMENT);
    const bool bWritable = view.bWritable;
    view = VqTopoMeshPrimitives();
    if (!bWritable) return lockRead(false);
    // What a writer filled in must agree with itself; a mesh that does not
    // is emptied rather than left for later readers to trip over. Indices
    // are checked when the topology is derived: a decoder may fill the pool
    // after the primitives.
    const bool ok = _checkArrays("releasePrimitives", 0xFFFFFFFFu);
    if (!ok) {
        _vuPrimStart.assign(1, 0u);
        _vuIndices.clear();
        _vuFaceGrps.assign(1, 0u);
    }
    _primitivesChanged();
    VQ_PROPAGATE(lockWrite(false));
    if (!ok) {
        VqErrorState::rethrowError();
        return false;
    }
    return true;
}

bool VqTopoMesh::acquireInternals(VqTopoMeshInternals& out, bool bWritable) {
    out = VqTopoMeshInternals();
    VQ_PROPAGATE(acquirePrimitives(out, bWritable));
    if (!_pVtxRecPool->acquireInternals(out.sPool, bWritable)) {
        out = VqTopoMeshInternals();
        // The mesh's lock goes back; its arrays were not touched.
        if (bWritable)
            lockWrite(false);
        else
            lockRead(false);
        VqErrorState::rethrowError();
        return false;
    }
    return true;
}

bool VqTopoMesh::releaseInternals(VqTopoMeshInternals& view) {
    VQ_CHECK(view.pMesh == this, kCls, "releaseInternals", VQ_ERR_ARGUMENT);
    const bool poolOk = _pVtxRecPool->releaseInternals(view.sPool);
    const bool meshOk = releasePrimitives(view);
    view = VqTopoMeshInternals();
    if (!poolOk || !meshOk) {
        VqErrorState::rethrowError();
        return false;
    }
    return true;
}

// ---- Pool notifications

void VqTopoMesh::_indexMapReference(VqVecu& vMap, uint32_t& nNext) const {
    const size_t n = vMap.size();
    uint32_t* map = vMap.data();
    // A decoded mesh uses its records in their own order: each index is at
    // most one past the largest before it. Then the ranks are the records
    // themselves, and the map is known without reading it back. The loop
    // below, where every corner's slot may have been written a few corners
    // before, waits on each; this test carries only the running bound from
    // one block of four corners to the next. Before any mesh has ranked a
    // record (nNext 0) every slot is still unranked.
    const uint32_t* idx = _vuIndices.data();
    const size_t nIdx = _vuIndices.size();
    if (nNext == 0 && nIdx > 0) {
        // top: one past the largest index so far. Indices below 2^24, as
        // floats, are exact and so are their successors, and floats have a
        // one-instruction maximum: four corners a block, each checked
        // against top and the corners before it in the block (a prefix
        // maximum in two shifted steps; lanes shifted in are 0, below any
        // successor). A larger index leaves the work to the loop below.
        __m128 vTop = _mm_setzero_ps(), vBad = _mm_setzero_ps();
        __m128i vHigh = _mm_setzero_si128();
        const __m128 vOne = _mm_set1_ps(1.0f);
        // The lanes moved up by one or two, zeros shifted in.
        auto up1 = [](__m128 v) { return _mm_castsi128_ps(_mm_slli_si128(_mm_castps_si128(v), 4)); };
        auto up2 = [](__m128 v) { return _mm_castsi128_ps(_mm_slli_si128(_mm_castps_si128(v), 8)); };
        size_t k = 0;
        for (; k + 4 <= nIdx; k += 4) {
            const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(idx + k));
            vHigh = _mm_or_si128(vHigh, raw);
            const __m128 v = _mm_cvtepi32_ps(raw);
            __m128 p = _mm_add_ps(v, vOne);
            p = _mm_max_ps(p, up1(p));
            p = _mm_max_ps(p, up2(p));
            // Lane j's bound: top and the successors of lanes before j.
            const __m128 bound = _mm_max_ps(vTop, up1(p));
            vBad = _mm_or_ps(vBad, _mm_cmpgt_ps(v, bound));
            vTop = _mm_max_ps(vTop, _mm_shuffle_ps(p, p, _MM_SHUFFLE(3, 3, 3, 3)));
        }
        uint32_t high[4];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(high), vHigh);
        uint32_t bad = uint32_t(_mm_movemask_ps(vBad)) | ((high[0] | high[1] | high[2] | high[3]) >> 24);
        uint32_t top = uint32_t(_mm_cvtss_si32(vTop));
        // The last corners one at a time. An index of all ones wraps its
        // successor to 0, but it lies above top and fails already.
        for (; k < nIdx; ++k) {
            bad |= uint32_t(idx[k] > top);
            top = std::max(top, idx[k] + 1);
        }
        if (!bad && top <= n) {
            Vq::fillIdentity(map, top);
            nNext = top;
            return;
        }
    }
    // Without a branch on whether the record is new: in a decoded mesh new
    // records come every few corners, in no pattern a predictor learns. The
    // slot is written whatever it held.
    uint32_t next = nNext;
    for (uint32_t i : _vuIndices) {
        if (i >= n) continue;
        const uint32_t had = map[i];
        const uint32_t bNew = uint32_t(had == 0xFFFFFFFFu);
        map[i] = bNew ? next : had;
        next += bNew;
    }
    nNext = next;
}

bool VqTopoMesh::_indexMapUpdate(const VqVecu& vMap) {
    const size_t n = vMap.size();
    const uint32_t* map = vMap.data();
    for (uint32_t& i : _vuIndices)
        if (i < n) i = map[i];
    // Records moved: what the topology and the box say is stale at once,
    // inside a topology edit too.
    invalidateTopology();
    return true;
}

bool VqTopoMesh::_vtxRecPoolChanged(const VqVertexRecordPool* pPool, Vq::BaseChange change) {
    (void)pPool;
    if (change != VqVertexRecordPool::VQ_VRP_TOLERANCE_CHANGED) invalidateTopology();
    return true;
}
