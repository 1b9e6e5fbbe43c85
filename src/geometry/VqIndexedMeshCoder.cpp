#include "VqIndexedMeshCoder.h"

#include "VqAutoScratchVec.h"
#include "VqCodecDriver2.h"
#include "VqCodecDriver3T.h"
#include "VqErrorState.h"
#include "VqGeomBindings.h"
#include "VqLookup2.h"
#include "VqObjectStream.h"
#include "VqScratchMgr.h"
#include "VqVertexRecordPool.h"

#include <algorithm>
#include <new>

namespace Vq {

namespace {

constexpr const char* kCls = "IndexedMeshCoder";
// The bindings the record carries: the standard attributes and the flag
// that auxiliary fields follow.
constexpr uint64_t kWrittenBindings = 0xFFFFFFFFFFull | VQ_GEOMBIND_AUXFIELDS_MASK;

// The version-2 driver of the 9.x sections, which has no pool of its own.
struct Gen9 {
    static constexpr bool kRings = false;
    VqCodecDriver2 cd;
    VqCodecDriver2& driver() { return cd; }
    bool ok() const { return true; }
    bool write(VqObjectStream& os, VqVeci& v) {
        VQ_PROPAGATE(VqCodecDriver2::packResiduals(v, v, VqCodecDriver2::PredLag1));
        cd.setValueVector(v);
        VQ_PROPAGATE(cd.serialize(os));
        return true;
    }
    bool read(VqObjectStream& os, VqVeci& v, uint64_t nMax) {
        cd.setValueVector(v);
        VQ_PROPAGATE(cd.deserialize(os, VqCodecDriver2::s_clampCount(nMax)));
        VQ_PROPAGATE(VqCodecDriver2::unpackResiduals(v, v, VqCodecDriver2::PredLag1));
        return true;
    }
    static bool writeCheck(VqObjectStream& os, uint32_t u) { return os.write(static_cast<int>(u)); }
    static bool readCheck(VqObjectStream& os, uint32_t& u) {
        int i = 0;
        VQ_PROPAGATE(os.read(&i));
        u = static_cast<uint32_t>(i);
        return true;
    }
};

// The version-3 driver of the VQ 10 sections, borrowed from the scratch
// manager's pool for the section.
struct Gen10 {
    static constexpr bool kRings = true;
    CodecDriver3T<int>* pcd = nullptr;
    Gen10() {
        if (g_pInstanceVqScratchMgr) g_pInstanceVqScratchMgr->acquireCodecDriver(pcd);
    }
    ~Gen10() {
        if (pcd) g_pInstanceVqScratchMgr->releaseCodecDriver(pcd);
    }
    Gen10(const Gen10&) = delete;
    Gen10& operator=(const Gen10&) = delete;
    CodecDriver3T<int>& driver() { return *pcd; }
    bool ok() const { return pcd != nullptr; }
    bool write(VqObjectStream& os, VqVeci& v) {
        VQ_PROPAGATE(CodecDriver3T<int>::packResiduals(v, v, CodecDriver3Base::PredLag1));
        VQ_PROPAGATE(pcd->serialize(os, v));
        return true;
    }
    bool read(VqObjectStream& os, VqVeci& v, uint64_t nMax) {
        VQ_PROPAGATE(pcd->deserialize(os, v, VqCodecDriver2::s_clampCount(nMax)));
        VQ_PROPAGATE(CodecDriver3T<int>::unpackResiduals(v, v, CodecDriver3Base::PredLag1));
        return true;
    }
    static bool writeCheck(VqObjectStream& os, uint32_t u) { return os.write(u); }
    static bool readCheck(VqObjectStream& os, uint32_t& u) { return os.read(&u); }
};

uint32_t chain(const VqVecu& v, uint32_t h) {
    return vqLookup2Words(v.data(), static_cast<uint32_t>(v.size()), h);
}

// The bindings and bit counts go into the check value that follows the
// record lists: nothing else would tell a damaged bit count of an attribute
// that is not bound.
uint32_t chainHeader(uint64_t eBindings, int vtxBits, int normBits, int texBits, int colBits, uint32_t h) {
    const uint32_t w[6] = {uint32_t(eBindings), uint32_t(eBindings >> 32), uint32_t(vtxBits),
                           uint32_t(normBits),  uint32_t(texBits),         uint32_t(colBits)};
    return vqLookup2Words(w, 6, h);
}

// Copies into a scratch vector or fails with the text naming it.
bool scratch(VqAutoScratchVec<VqVecu>& v, const char* text, const char* method) {
    if (!v.ok()) VQ_FAIL(kCls, method, text, VQ_ERR_ALLOC);
    return true;
}

// One array of unsigned values, residual-packed and coded.
template <class G>
bool putArray(VqObjectStream& os, G& g, const VqVecu& v, const char* method) {
    VqAutoScratchVec<VqVeci> resid;
    if (!resid.ok()) VQ_FAIL(kCls, method, "xAutoviResid._p", VQ_ERR_ALLOC);
    try {
        resid->assign(reinterpret_cast<const int*>(v.data()),
                      reinterpret_cast<const int*>(v.data()) + v.size());
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, method, "xAutoviResid._p", VQ_ERR_ALLOC);
    }
    VQ_PROPAGATE(g.write(os, *resid));
    return true;
}

// The next coded array, which must hold n values (n may exceed 32 bits when
// it was read as a count plus one: such an array cannot exist).
template <class G>
bool getArray(VqObjectStream& os, G& g, VqVecu& v, uint64_t n, const char* method, const char* text) {
    VqAutoScratchVec<VqVeci> resid;
    if (!resid.ok()) VQ_FAIL(kCls, method, "xAutoviResid._p", VQ_ERR_ALLOC);
    VQ_PROPAGATE(g.read(os, *resid, n));
    if (uint64_t(resid->size()) != n) VQ_FAIL(kCls, method, text, VQ_ERR_CORRUPT);
    try {
        v.assign(reinterpret_cast<const uint32_t*>(resid->data()),
                 reinterpret_cast<const uint32_t*>(resid->data()) + resid->size());
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, method, "Memory Allocation", VQ_ERR_ALLOC);
    }
    return true;
}

// Read locks on a mesh and its pool for the guard's lifetime.
class ReadLocks {
public:
    explicit ReadLocks(const VqTopoMesh& tm) : _pTM(const_cast<VqTopoMesh*>(&tm)) {
        _bMesh = _pTM->lockRead(true);
        _pVP = _pTM->vtxRecPool();
        _bPool = _bMesh && _pVP->lockRead(true);
    }
    ~ReadLocks() {
        if (_bPool) _pVP->lockRead(false);
        if (_bMesh) _pTM->lockRead(false);
    }
    ReadLocks(const ReadLocks&) = delete;
    ReadLocks& operator=(const ReadLocks&) = delete;
    bool ok() const { return _bPool; }

private:
    VqTopoMesh* _pTM;
    VqVertexRecordPool* _pVP = nullptr;
    bool _bMesh = false;
    bool _bPool = false;
};

// The records of the vertex-record part, for a pool with given bindings.
template <class G>
bool writeRecords(VqObjectStream& os, G& g, const VqVertexRecordPool& pool, const VqVecu& refs,
                  const VqVecu& reps, uint32_t& uHash) {
    const Vq::VertexRecordFields& f = *pool.fields();
    int vtxBits = 0, normBits = 0, texBits = 0, colBits = 0;
    pool.getCompressionParams(vtxBits, normBits, texBits, colBits);
    const uint32_t n = static_cast<uint32_t>(refs.size());
    auto& cd = g.driver();
    // The quantizer box grows over the coordinates written from empty.
    VQ_PROPAGATE(pool._writeQuantizedVertexArray(os, cd, reps.data(), static_cast<uint32_t>(reps.size()),
                                                 VqBox3<float>(), vtxBits, uHash));
    if (f.numNormalComps())
        VQ_PROPAGATE(pool._writeQuantizedNormalArray(os, cd, refs.data(), n, normBits, uHash));
    if (f.numColorComps())
        VQ_PROPAGATE(pool._writeQuantizedColorArray(os, cd, refs.data(), n, colBits, uHash));
    for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
        if (f.numTexCoordComps(k))
            VQ_PROPAGATE(pool._writeQuantizedTextureArray(os, cd, k, refs.data(), n, texBits, uHash));
    if (f.hasVtxFlags()) VQ_PROPAGATE(pool._writeVtxFlagArray(os, cd, refs.data(), n, uHash));
    if (pool.getBindings() & VQ_GEOMBIND_AUXFIELDS_MASK)
        VQ_PROPAGATE(pool._writeAuxiliaryFields(os, cd, refs.data(), n, uHash));
    return true;
}

template <class G>
bool serializeSection(VqObjectStream& os, const VqTopoMesh& tm, const char* method) {
    G g;
    if (!g.ok()) VQ_FAIL(kCls, method, "pCD", VQ_ERR_ALLOC);
    VqAutoScratchVec<VqVecu> refs, runLens, reps, mapped;
    VQ_PROPAGATE(
        scratch(refs, "xAutoviRefVtxRecs._p", method) && scratch(runLens, "xAutovnRunLens._p", method) &&
        scratch(reps, "xAutoviUniqVtxRecs._p", method) && scratch(mapped, "xAutoviMappedIndices._p", method));
    {
        ReadLocks locks(tm);
        VQ_PROPAGATE(locks.ok());
        const VqVertexRecordPool& pool = *tm.vtxRecPool();
        const uint32_t nPrims = tm.numPrims(), nFaceGrps = tm.numFaceGroups(), nIndices = tm.numIndices();
        VqVecu primStart, faceGrps;
        try {
            primStart.assign(tm.primStarts(), tm.primStarts() + nPrims + 1);
            faceGrps.assign(tm.faceGroupStarts(), tm.faceGroupStarts() + nFaceGrps + 1);
        } catch (const std::bad_alloc&) {
            VQ_FAIL(kCls, method, "Memory Allocation", VQ_ERR_ALLOC);
        }
        if (faceGrps[nFaceGrps] != nPrims)
            VQ_FAIL(kCls, method, "sInt.paiFaceGrps[sInt.nFaceGrps] == sInt.nPrims", VQ_ERR_INTERNAL);
        if (primStart[nPrims] != nIndices)
            VQ_FAIL(kCls, method, "sInt.paiPrimStart[sInt.nPrims] == sInt.nIndices", VQ_ERR_INTERNAL);
        if constexpr (G::kRings) {
            VQ_PROPAGATE(IndexedMeshCoder::_createIndexMapV10(tm, *refs, *runLens, *reps, *mapped));
        } else {
            VQ_PROPAGATE(IndexedMeshCoder::_createIndexMap(tm, *refs, *mapped));
            // Every record is a ring of its own: its coordinates go with it.
            try {
                reps->assign(refs->begin(), refs->end());
            } catch (const std::bad_alloc&) {
                VQ_FAIL(kCls, method, "xAutoviUniqVtxRecs._p", VQ_ERR_ALLOC);
            }
        }
        VQ_PROPAGATE(os.write(nPrims) && os.write(nFaceGrps) && os.write(nIndices));
        VQ_PROPAGATE(putArray(os, g, primStart, method) && putArray(os, g, faceGrps, method) &&
                     putArray(os, g, *mapped, method));
        uint32_t uHash = chain(*mapped, chain(faceGrps, chain(primStart, 0)));
        VQ_PROPAGATE(G::writeCheck(os, uHash));

        const uint64_t eBindings = pool.getBindings() & kWrittenBindings;
        int vtxBits = 0, normBits = 0, texBits = 0, colBits = 0;
        pool.getCompressionParams(vtxBits, normBits, texBits, colBits);
        VQ_PROPAGATE(os.write(static_cast<unsigned long>(eBindings)));
        for (int b : {vtxBits, normBits, texBits, colBits})
            VQ_PROPAGATE(os.write(static_cast<unsigned char>(b)));
        uHash = chainHeader(eBindings, vtxBits, normBits, texBits, colBits, uHash);
        VQ_PROPAGATE(putArray(os, g, *refs, method));
        uHash = chain(*refs, uHash);
        if constexpr (G::kRings) {
            VQ_PROPAGATE(putArray(os, g, *runLens, method) && putArray(os, g, *reps, method));
            uHash = chain(*reps, chain(*runLens, uHash));
        }
        VQ_PROPAGATE(G::writeCheck(os, uHash));
        VQ_PROPAGATE(writeRecords(os, g, pool, *refs, *reps, uHash));
    }
    return true;
}

// The section's arrays as read, before they become a mesh.
struct Section {
    VqVecu primStart, faceGrps, mapped, refs, runLens, reps;
    Vq::SharedPtr<VqVertexRecordPool> pPool;
};

template <class G>
bool readConnectivity(VqObjectStream& os, G& g, Section& s, uint32_t& uHash, const char* method) {
    uint32_t nPrims = 0, nFaceGrps = 0, nIndices = 0;
    VQ_PROPAGATE(os.read(&nPrims) && os.read(&nFaceGrps) && os.read(&nIndices));
    // The arrays' own packets bound what is allocated; the counts must agree.
    VQ_PROPAGATE(getArray(os, g, s.primStart, uint64_t(nPrims) + 1, method,
                          "sInt.paiPrimStart.length() == sInt.nPrims + 1"));
    VQ_PROPAGATE(getArray(os, g, s.faceGrps, uint64_t(nFaceGrps) + 1, method,
                          "sInt.paiFaceGrps.length() == sInt.nFaceGrps + 1"));
    VQ_PROPAGATE(getArray(os, g, s.mapped, nIndices, method, "xAutovIdxMap.length() == sInt.nIndices"));
    uHash = chain(s.mapped, chain(s.faceGrps, chain(s.primStart, 0)));
    uint32_t uRefHash = 0;
    VQ_PROPAGATE(G::readCheck(os, uRefHash));
    VQ_CHECK(uHash == uRefHash, kCls, method, VQ_ERR_CORRUPT);
    return true;
}

// The next coded array, of at most nMax values.
template <class G>
bool getArrayAtMost(VqObjectStream& os, G& g, VqVecu& v, uint64_t nMax, const char* method, const char* text,
                    const char* allocText) {
    VqAutoScratchVec<VqVeci> resid;
    if (!resid.ok()) VQ_FAIL(kCls, method, "xAutoviResid._p", VQ_ERR_ALLOC);
    VQ_PROPAGATE(g.read(os, *resid, nMax));
    if (uint64_t(resid->size()) > nMax) VQ_FAIL(kCls, method, text, VQ_ERR_CORRUPT);
    try {
        v.assign(reinterpret_cast<const uint32_t*>(resid->data()),
                 reinterpret_cast<const uint32_t*>(resid->data()) + resid->size());
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, method, allocText, VQ_ERR_ALLOC);
    }
    return true;
}

// The record lists: the referenced records, and in VQ 10 the rings. They
// must be what the writer's index maps produce.
template <class G>
bool readLists(VqObjectStream& os, G& g, Section& s, uint32_t& uHash, const char* method) {
    // Every listed record is referenced, so the index list bounds the list.
    VQ_PROPAGATE(getArrayAtMost(os, g, s.refs, s.mapped.size(), method, "nRefVtxRecs <= nIndices",
                                "xAutoviRefVtxRecs._p"));
    const uint32_t nRefs = static_cast<uint32_t>(s.refs.size());
    uHash = chain(s.refs, uHash);
    if constexpr (G::kRings) {
        VQ_PROPAGATE(
            getArrayAtMost(os, g, s.runLens, nRefs, method, "nRuns <= nRefVtxRecs", "xAutovnRunLens._p"));
        VQ_PROPAGATE(getArray(os, g, s.reps, s.runLens.size(), method, "viUniqVtxRecs.length() == nRuns"));
        uHash = chain(s.reps, chain(s.runLens, uHash));
    }
    uint32_t uRefHash = 0;
    VQ_PROPAGATE(G::readCheck(os, uRefHash));
    VQ_CHECK(uHash == uRefHash, kCls, method, VQ_ERR_CORRUPT);

    if constexpr (G::kRings) {
        uint64_t nListed = 0;
        for (size_t r = 0; r < s.runLens.size(); ++r) {
            const uint32_t len = s.runLens[r];
            if (!(len >= 1 && nListed + len <= nRefs))
                VQ_FAIL(kCls, method, "vnRunLens[iRun] >= 1 && iRef + vnRunLens[iRun] <= nRefVtxRecs",
                        VQ_ERR_CORRUPT);
            if (!(s.refs[nListed] == s.reps[r] && (r == 0 || s.reps[r - 1] < s.reps[r])))
                VQ_FAIL(kCls, method, "viRefVtxRecs[iRef] == viUniqVtxRecs[iRun]", VQ_ERR_CORRUPT);
            for (uint64_t k = nListed + 1; k < nListed + len; ++k)
                if (!(s.refs[k - 1] < s.refs[k]))
                    VQ_FAIL(kCls, method, "viRefVtxRecs[iRef - 1] < viRefVtxRecs[iRef]", VQ_ERR_CORRUPT);
            nListed += len;
        }
        if (nListed != nRefs) VQ_FAIL(kCls, method, "iRef == nRefVtxRecs", VQ_ERR_CORRUPT);
    } else {
        for (uint32_t k = 1; k < nRefs; ++k)
            if (!(s.refs[k - 1] < s.refs[k]))
                VQ_FAIL(kCls, method, "viRefVtxRecs[iRef - 1] < viRefVtxRecs[iRef]", VQ_ERR_CORRUPT);
    }
    for (uint32_t i : s.mapped)
        if (!(i < nRefs)) VQ_FAIL(kCls, method, "xAutovIdxMap[iIdx] < nRefVtxRecs", VQ_ERR_CORRUPT);
    return true;
}

// The bindings, the bits and the records, into a new pool of the listed
// records in list order.
template <class G>
bool readRecords(VqObjectStream& os, G& g, Section& s, uint32_t uHash, const char* method) {
    unsigned long eRead = 0;
    VQ_PROPAGATE(os.read(&eRead));
    const uint64_t eBindings = eRead;
    if (eBindings & ~kWrittenBindings)
        VQ_FAIL(kCls, method, "(eBindings & ~0x80000000FFFFFFFFFF) == 0", VQ_ERR_CORRUPT);
    unsigned char bits[4] = {};
    for (unsigned char& b : bits)
        VQ_PROPAGATE(os.read(&b));
    uHash = chainHeader(eBindings, bits[0], bits[1], bits[2], bits[3], uHash);
    VQ_PROPAGATE(readLists(os, g, s, uHash, method));
    const uint32_t nRefs = static_cast<uint32_t>(s.refs.size());

    Vq::SharedPtr<VqVertexRecordPool> pPool = new VqVertexRecordPool();
    if (!pPool)
        VQ_FAIL(kCls, method, "Allocation failed: pVRP = new VqVertexRecordPool(eBindings)", VQ_ERR_ALLOC);
    VQ_PROPAGATE(pPool->setBindings(eBindings & ~VQ_GEOMBIND_AUXFIELDS_MASK));
    VQ_PROPAGATE(pPool->lockWrite(true));
    bool ok = false;
    try {
        ok = pPool->setCompressionParams(bits[0], bits[1], bits[2], bits[3]) && pPool->allocate(nRefs);
        VqAutoScratchVec<VqVecu> positions;
        if (ok && !positions.ok()) {
            VqErrorState::throwStdError(kCls, method, "xAutovIndices._p", VQ_ERR_ALLOC);
            ok = false;
        }
        // Where each ring starts in the new pool, and then every record.
        if (ok) {
            if constexpr (G::kRings) {
                positions->resize(s.runLens.size());
                uint32_t k = 0;
                for (size_t r = 0; r < s.runLens.size(); ++r) {
                    (*positions)[r] = k;
                    k += s.runLens[r];
                }
            } else {
                positions->resize(nRefs);
                for (uint32_t k = 0; k < nRefs; ++k)
                    (*positions)[k] = k;
            }
            auto& cd = g.driver();
            ok = pPool->_readQuantizedVertexArray(os, cd, positions->data(), uint32_t(positions->size()),
                                                  uHash);
            if (ok && G::kRings && nRefs > 0) {
                // A ring's other records take its representative's coordinates.
                VqBaseVertexRecordPoolInternals in;
                ok = pPool->acquireInternals(in, true);
                if (ok) {
                    const size_t nc = size_t(in.nCoordComps);
                    uint32_t k = 0;
                    for (size_t r = 0; r < s.runLens.size(); ++r) {
                        const float* c = in.pfCoords + size_t(k) * nc;
                        for (uint32_t j = 1; j < s.runLens[r]; ++j)
                            std::copy_n(c, nc, in.pfCoords + size_t(k + j) * nc);
                        k += s.runLens[r];
                    }
                    ok = pPool->releaseInternals(in);
                }
            }
            if (ok && nRefs != positions->size()) {
                positions->resize(nRefs);
                for (uint32_t k = 0; k < nRefs; ++k)
                    (*positions)[k] = k;
            }
            const Vq::VertexRecordFields& f = *pPool->fields();
            const uint32_t* all = positions->data();
            if (ok && f.numNormalComps()) ok = pPool->_readQuantizedNormalArray(os, cd, all, nRefs, uHash);
            if (ok && f.numColorComps()) ok = pPool->_readQuantizedColorArray(os, cd, all, nRefs, uHash);
            for (int k = 0; ok && k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
                if (f.numTexCoordComps(k))
                    ok = pPool->_readQuantizedTextureArray(os, cd, k, all, nRefs, uHash);
            if (ok && f.hasVtxFlags()) ok = pPool->_readVtxFlagArray(os, cd, all, nRefs, uHash);
            if (ok && (eBindings & VQ_GEOMBIND_AUXFIELDS_MASK))
                ok = pPool->_readAuxiliaryFields(os, cd, all, nRefs, uHash);
        }
    } catch (...) {
        ok = VqErrorState::recordCurrentException(kCls, method);
    }
    pPool->lockWrite(false);
    VQ_PROPAGATE(ok);
    s.pPool = pPool;
    return true;
}

template <class G>
bool deserializeSection(VqObjectStream& os, VqTopoMesh& tm, const char* method) {
    bool ok = false;
    try {
        G g;
        if (!g.ok()) VQ_FAIL(kCls, method, "pCD", VQ_ERR_ALLOC);
        Section s;
        uint32_t uHash = 0;
        ok = readConnectivity(os, g, s, uHash, method) && readRecords(os, g, s, uHash, method);
        if (ok) {
            ok = tm.lockWrite(true);
            if (ok) {
                ok = tm.clearPrimitives() && tm._replaceVtxRecPool(s.pPool.get()) &&
                     tm._assignPrimitives(std::move(s.primStart), std::move(s.mapped), std::move(s.faceGrps));
                tm.lockWrite(false);
            }
        }
    } catch (...) {
        ok = VqErrorState::recordCurrentException(kCls, method);
    }
    if (!ok && tm.lockWrite(true)) {
        // Nothing half built stays behind.
        tm.clearPrimitives();
        tm.lockWrite(false);
    }
    VQ_PROPAGATE(ok);
    return true;
}

} // namespace

namespace {
// Both index maps: without rings every referenced record is a ring of its
// own, so the list is simply ascending. runLens and reps are filled when given.
bool indexMap(const VqTopoMesh& tm, const char* method, bool bRings, VqVecu& refs, VqVecu* runLens,
              VqVecu* reps, VqVecu& mapped) {
    VqVertexRecordPool& pool = *tm.vtxRecPool();
    const uint32_t nRecs = pool.numVtxRecords(), nIndices = tm.numIndices();
    const uint32_t* indices = tm.indices();
    VqAutoScratchVec<VqVecu> pos;
    if (!pos.ok()) VQ_FAIL(kCls, method, "xAutovIdxMap._p", VQ_ERR_ALLOC);
    constexpr uint32_t kUnused = ~0u, kReferenced = ~0u - 1;
    try {
        pos->assign(nRecs, kUnused);
        for (uint32_t j = 0; j < nIndices; ++j) {
            if (!(indices[j] < nRecs))
                VQ_FAIL(kCls, method, "xPrim.paiIndices[iIdx] < nVtxRecs", VQ_ERR_ARGUMENT);
            (*pos)[indices[j]] = kReferenced;
        }
        refs.clear();
        if (runLens) runLens->clear();
        if (reps) reps->clear();
        std::vector<uint32_t> ring;
        for (uint32_t i = 0; i < nRecs; ++i) {
            if ((*pos)[i] != kReferenced) continue;
            // i is the lowest referenced record of its ring: lower ones have
            // placed the whole ring already.
            ring.assign(1, i);
            if (bRings)
                for (uint32_t r = pool.nextEquivVtx(i); r != i; r = pool.nextEquivVtx(r))
                    if ((*pos)[r] == kReferenced) ring.push_back(r);
            std::sort(ring.begin() + 1, ring.end());
            if (reps) reps->push_back(i);
            if (runLens) runLens->push_back(static_cast<uint32_t>(ring.size()));
            for (uint32_t r : ring) {
                (*pos)[r] = static_cast<uint32_t>(refs.size());
                refs.push_back(r);
            }
        }
        mapped.resize(nIndices);
        for (uint32_t j = 0; j < nIndices; ++j)
            mapped[j] = (*pos)[indices[j]];
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, method, "xAutoviMappedIndices._p", VQ_ERR_ALLOC);
    }
    return true;
}
} // namespace

bool IndexedMeshCoder::_createIndexMap(const VqTopoMesh& tm, VqVecu& refs, VqVecu& mapped) {
    return indexMap(tm, "_createIndexMap", false, refs, nullptr, nullptr, mapped);
}

bool IndexedMeshCoder::_createIndexMapV10(const VqTopoMesh& tm, VqVecu& refs, VqVecu& runLens, VqVecu& reps,
                                          VqVecu& mapped) {
    VqVertexRecordPool& pool = *tm.vtxRecPool();
    // Rings are only as good as the collocation under them; building them
    // for a collocated pool only fills the pool's cache.
    bool bRings = false;
    if (pool.isCollocated()) {
        VQ_PROPAGATE(pool._ensureEquivRings());
        bRings = pool.equivRingsValid();
    }
    return indexMap(tm, "_createIndexMapV10", bRings, refs, &runLens, &reps, mapped);
}

bool IndexedMeshCoder::serialize(VqObjectStream& os, const RecordFormat& fmt, const VqTopoMesh& tm) {
    if (fmt.generation() == 10) return serialize10x(os, tm);
    if (fmt.generation() == 9) return serialize9x(os, tm);
    VQ_FAIL(kCls, "serialize", "iMaj >= 9", VQ_ERR_ARGUMENT);
}

bool IndexedMeshCoder::deserialize(VqObjectStream& os, const RecordFormat& fmt, VqTopoMesh& tm) {
    if (fmt.generation() == 10) return deserialize10x(os, tm);
    if (fmt.generation() == 9) return deserialize9x(os, tm);
    VQ_FAIL(kCls, "deserialize", "iMaj >= 9", VQ_ERR_CORRUPT);
}

bool IndexedMeshCoder::serialize9x(VqObjectStream& os, const VqTopoMesh& tm) {
    return serializeSection<Gen9>(os, tm, "serialize9x");
}

bool IndexedMeshCoder::deserialize9x(VqObjectStream& os, VqTopoMesh& tm) {
    return deserializeSection<Gen9>(os, tm, "deserialize9x");
}

bool IndexedMeshCoder::serialize10x(VqObjectStream& os, const VqTopoMesh& tm) {
    return serializeSection<Gen10>(os, tm, "serialize10x");
}

bool IndexedMeshCoder::deserialize10x(VqObjectStream& os, VqTopoMesh& tm) {
    return deserializeSection<Gen10>(os, tm, "deserialize10x");
}

} // namespace Vq
