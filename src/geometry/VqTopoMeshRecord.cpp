// The mesh records: the head that every kind writes first (VqTopoMesh's
// level), and each kind's own level.
//
//   VQ 10     u8 local version 1; u32 pool number
//   VQ 9.4+   i16 local version 2; u32 pool number
//   VQ 9.0    i16 local version 1; i32 object reference to the pool
//
// then the kind's level: its local version (1) and its connectivity with the
// vertex data of the records it uses.
//
// The pool number names a pool that several meshes share, so that a reader
// can join them to one pool again (see Vq::PartNumContainer); 0 says there is
// nothing to share. A pool that serves only the mesh being written gets 0:
// the record carries all the vertex data the mesh uses, so the number would
// only tie the reader to a partition for nothing. A shared pool needs the
// stream's partition ("iostrm.partition()"), and a number read back needs
// the reader's ("pPart"). The residency request manager, which will hand
// out these numbers ("pRRM" when it is missing), is not there yet; the
// numbering of Vq::PartNumContainer stands in for it.
//
// The 9.0 object reference would name an element of the pool itself. Pools
// are never written as elements here (the record carries the vertex data),
// so the reference is always written null (-1), and a reader refuses any
// other value: it could only name an element that this reader has no way to
// read, and a record that disagrees with itself this way is damaged.
#include "VqDualTopoMeshCoder.h"
#include "VqErrorState.h"
#include "VqIndexedMeshCoder.h"
#include "VqLineStripTopoMesh.h"
#include "VqObjectStream.h"
#include "VqPartNumContainer.h"
#include "VqPointTopoMesh.h"
#include "VqPolygonTopoMesh.h"
#include "VqTopoMesh.h"
#include "VqTriStripTopoMesh.h"

namespace {
constexpr const char* kCls = "VqTopoMesh";

// The newest local version the head reads in each generation.
int newestLocalVersion(const Vq::RecordFormat& f) {
    return f.generation() == 9 ? 2 : 1;
}
} // namespace

// ---- The head

bool VqTopoMesh::_writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
    // Meshes of the formats before 9 travel as compressed vertex data of
    // their shapes, never as mesh elements.
    if (fmt.generation() == 0) VQ_FAIL(kCls, "_writeFields", "iMaj >= 9", VQ_ERR_ARGUMENT);
    if (_localVersion(fmt) == 1 && fmt.generation() == 9) return os.write(static_cast<int>(-1));
    uint32_t uPoolNum = 0;
    if (_pVtxRecPool->numMeshes() > 1) {
        VqPartition* pPart = os.partition();
        if (!pPart) VQ_FAIL(kCls, "_writeFields", "iostrm.partition()", VQ_ERR_SETTING);
        VQ_PROPAGATE(Vq::PartNumContainer::poolToPoolNum(pPart, _pVtxRecPool.get(), uPoolNum));
    }
    return os.write(uPoolNum);
}

bool VqTopoMesh::_readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion) {
    // Reading replaces the mesh: from here on a failure leaves it empty.
    _emptyAfterFailedRead();
    if (fmt.generation() == 0) VQ_FAIL(kCls, "_readFields", "iMaj >= 9", VQ_ERR_CORRUPT);
    const int iLocalVers = localVersion;
    if (iLocalVers > newestLocalVersion(fmt))
        VQ_FAIL(kCls, "_readFields", fmt.generation() == 9 ? "iLocalVers <= 2" : "iLocalVers <= 1",
                VQ_ERR_TOO_NEW);
    if (fmt.generation() == 9 && iLocalVers == 1) {
        int iPoolRef = 0;
        VQ_PROPAGATE(os.read(&iPoolRef));
        VQ_CHECK(iPoolRef == -1, kCls, "_readFields", VQ_ERR_CORRUPT);
        return true;
    }
    uint32_t uPoolNum = 0;
    VQ_PROPAGATE(os.read(&uPoolNum));
    if (uPoolNum == 0) return true;
    VqPartition* pPart = os.partition();
    if (!pPart) VQ_FAIL(kCls, "_readFields", "pPart", VQ_ERR_SETTING);
    _pReadPoolNum = new Vq::PartNumContainer(pPart, uPoolNum);
    return true;
}

bool VqTopoMesh::_adoptRead(VqTopoMesh& decoded) {
    VQ_PROPAGATE(lockWrite(true));
    const bool ok = _setPool(decoded._pVtxRecPool.get());
    if (ok) {
        _vuPrimStart.swap(decoded._vuPrimStart);
        _vuIndices.swap(decoded._vuIndices);
        _vuFaceGrps.swap(decoded._vuFaceGrps);
        if (_pReadPoolNum) _pVtxRecPool->setPartNumContainer(_pReadPoolNum.get());
        _pReadPoolNum = nullptr;
        _primitivesChanged();
        decoded._primitivesChanged();
    }
    lockWrite(false);
    VQ_PROPAGATE(ok);
    return true;
}

void VqTopoMesh::_emptyAfterFailedRead() {
    _pReadPoolNum = nullptr;
    if (!lockWrite(true)) return;
    _vuPrimStart.assign(1, 0u);
    _vuIndices.clear();
    _vuFaceGrps.assign(1, 0u);
    _primitivesChanged();
    // A pool of its own: the old one may hold records of the mesh it was,
    // or serve other meshes.
    if (_pVtxRecPool->numVtxRecords() > 0 || _pVtxRecPool->numMeshes() > 1) {
        try {
            Vq::SharedPtr<VqVertexRecordPool> pEmpty = new VqVertexRecordPool(getBindings());
            if (pEmpty) _setPool(pEmpty.get());
        } catch (...) {
            // Out of memory: the primitives are gone all the same, and the
            // old pool stays, unreferenced.
        }
    }
    shrink();
    lockWrite(false);
}

void VqTopoMesh::_trimAfterRecord() const {
    VqTopoMesh& self = const_cast<VqTopoMesh&>(*this);
    if (!self.lockWrite(true)) return;
    self.shrink();
    self.lockWrite(false);
}

// ---- The kinds' levels

namespace {
// A kind's level reads its local version 1 only.
bool checkKindVersion(const char* cls, int iLocalVers) {
    if (iLocalVers > 1) VQ_FAIL(cls, "_readFields", "iLocalVers <= 1", VQ_ERR_TOO_NEW);
    return true;
}
} // namespace

bool VqTopoMesh::_writeIndexedLevel(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
    const bool ok = Vq::IndexedMeshCoder::serialize(os, fmt, *this);
    _trimAfterRecord();
    return ok;
}

bool VqTopoMesh::_readIndexedLevel(VqObjectStream& os, const Vq::RecordFormat& fmt, const char* cls,
                                   int localVersion, VqTopoMesh* fresh) {
    Vq::SharedPtr<VqTopoMesh> pDecoded = fresh;
    VQ_PROPAGATE(checkKindVersion(cls, localVersion));
    if (!pDecoded || !Vq::IndexedMeshCoder::deserialize(os, fmt, *pDecoded) || !_adoptRead(*pDecoded)) {
        VqErrorState::rethrowError();
        _emptyAfterFailedRead();
        return false;
    }
    _trimAfterRecord();
    return true;
}

bool VqLineStripTopoMesh::_writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
    return _writeIndexedLevel(os, fmt);
}
bool VqLineStripTopoMesh::_readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion) {
    return _readIndexedLevel(os, fmt, "VqLineStripTopoMesh", localVersion, new VqLineStripTopoMesh());
}
bool VqPointTopoMesh::_writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
    return _writeIndexedLevel(os, fmt);
}
bool VqPointTopoMesh::_readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion) {
    return _readIndexedLevel(os, fmt, "VqPointTopoMesh", localVersion, new VqPointTopoMesh());
}

// Strips and polygons: the coder section of the format (VQ 9.0 to 9.3 the
// first 9.x layout, 9.4 on the second, VQ 10 the coder's second version).
// A strip mesh comes back re-stripped from the decoded triangles.
bool VqTopoMesh::_writeCoded(VqObjectStream& os, const Vq::RecordFormat& fmt, const char* cls) const {
    if (fmt.generation() == 0) VQ_FAIL(cls, "_writeFields", "iMaj >= 9", VQ_ERR_ARGUMENT);
    using Coder = Vq::DualTopoMeshCoder;
    Coder* pTMC = Coder::acquireDualTopoMeshCoder(fmt.generation() == 10 ? Coder::V2 : Coder::V1);
    if (!pTMC) VQ_FAIL(cls, "_writeFields", "pTMC", VQ_ERR_ALLOC);
    bool ok = pTMC->setTopoMesh(this);
    if (ok) {
        if (fmt.generation() == 10)
            ok = pTMC->serialize10xV1(os);
        else if (fmt.atLeast(9, 4))
            ok = pTMC->serialize9xV2(os);
        else
            ok = pTMC->serialize9xV1(os);
    }
    Coder::releaseDualTopoMeshCoder(pTMC);
    _trimAfterRecord();
    VQ_PROPAGATE(ok);
    return true;
}

bool VqTopoMesh::_readCoded(VqObjectStream& os, const Vq::RecordFormat& fmt, const char* cls) {
    using Coder = Vq::DualTopoMeshCoder;
    Coder* pTMC = Coder::acquireDualTopoMeshCoder(fmt.generation() == 10 ? Coder::V2 : Coder::V1);
    if (!pTMC) VQ_FAIL(cls, "_readFields", "pTMC", VQ_ERR_ALLOC);
    Vq::SharedPtr<VqTopoMesh> pDecoded;
    bool ok;
    if (fmt.generation() == 10)
        ok = pTMC->deserialize10xV1(os, primKind(), pDecoded);
    else if (fmt.atLeast(9, 4))
        ok = pTMC->deserialize9xV2(os, primKind(), pDecoded);
    else
        ok = pTMC->deserialize9xV1(os, primKind(), pDecoded);
    Coder::releaseDualTopoMeshCoder(pTMC);
    ok = ok && _adoptRead(*pDecoded);
    if (!ok) {
        VqErrorState::rethrowError();
        _emptyAfterFailedRead();
        return false;
    }
    _trimAfterRecord();
    return true;
}

bool VqTriStripTopoMesh::_writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
    return _writeCoded(os, fmt, "VqTriStripTopoMesh");
}
bool VqTriStripTopoMesh::_readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion) {
    VQ_PROPAGATE(checkKindVersion("VqTriStripTopoMesh", localVersion));
    return _readCoded(os, fmt, "VqTriStripTopoMesh");
}
bool VqPolygonTopoMesh::_writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
    return _writeCoded(os, fmt, "VqPolygonTopoMesh");
}
bool VqPolygonTopoMesh::_readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion) {
    VQ_PROPAGATE(checkKindVersion("VqPolygonTopoMesh", localVersion));
    return _readCoded(os, fmt, "VqPolygonTopoMesh");
}
