#include "VqShapeRequestEntry.h"

#include "VqErrorState.h"
#include "VqPartition.h"
#include "VqResidencyRequestManager.h"
#include "VqShape.h"
#include "VqStreamMgr.h"
#include "VqTopoMesh.h"
#include "VqVertexRecordPool.h"
#include "VqVertexShapeImpl.h"

#include <vector>

namespace {
const char* const kCls = "VqShapeRequestEntry";

// The segment services of a load on a loader thread: the stream manager, the
// file version and the segment's alias as the request found them, so that
// the load does not read the partition (whose manager a save on the
// application thread may replace meanwhile). Reading segments of one file
// from several threads at once is the stream manager's business.
class CapturedSegmentIO : public VqLLSegmentIO {
public:
    CapturedSegmentIO(VqStreamMgr* mgr, int major, int minor, uint32_t alias)
        : _pMgr(mgr), _nMajor(major), _nMinor(minor), _uAlias(alias) {}
    bool fileVersion(int& major, int& minor) const override {
        major = _nMajor;
        minor = _nMinor;
        return major >= 0;
    }
    bool writeVersion(int&, int&) const override {
        VQ_FAIL(kCls, "writeVersion", "loads only", VQ_ERR_INTERNAL);
    }
    uint32_t segmentAlias(const VqGUID&) const override { return _uAlias; }
    bool loadSegmentRoot(int major, const VqGUID& segGuid, int, Vq::SharedPtr<VqBase>& out) override {
        return VqPartition::loadSegmentOf(_pMgr, major, segGuid, out);
    }
    bool saveSegment(int, const VqGUID&, int, const VqBase*) override {
        VQ_FAIL(kCls, "saveSegment", "loads only", VQ_ERR_INTERNAL);
    }

private:
    VqStreamMgr* _pMgr;
    int _nMajor, _nMinor;
    uint32_t _uAlias;
};
} // namespace

// Runs on the requesting thread, which may read the graph the shape is in.
VqShapeRequestEntry::VqShapeRequestEntry(VqShape* shape) : VqRequestEntry(shape) {
    _pPartition = shape->partition();
    // Formats 6.4-7.x keep the implementation at a file position instead.
    if (_pPartition) {
        _pPartition->datastoreVersion(_nMajor, _nMinor);
        if (_nMajor == 6 || _nMajor == 7) {
            _iPos = shape->isImplPersistent() ? shape->_legacyImplPos(*_pPartition) : -1;
            _bStored = _iPos >= 0;
            _pStreamMgr = _pPartition->streamMgr();
            return;
        }
    }
    Vq::SharedPtr<VqLateLoadedPropAtom> ll;
    if (!shape->_llValue(ll, "loadImpl") || !ll) return;
    shape->_storedSegment(*ll, _guid, _eSegType);
    _bStored = !_guid.isNull();
    if (!_bStored || !_pPartition) return;
    _pStreamMgr = _pPartition->streamMgr();
    _pPartition->datastoreVersion(_nMajor, _nMinor);
    _uAlias = _pPartition->segmentAlias(_guid);
}

// Out of line, where the held types are complete. The manager releases
// entries on application threads only, so what the load read never dies on a
// loader thread.
VqShapeRequestEntry::~VqShapeRequestEntry() = default;

bool VqShapeRequestEntry::handleEntry() {
    // Built in memory, or naming no segment: nothing to read.
    if (!_bStored) return true;
    if (!_pPartition || !_pPartition->isOpen() || !_pStreamMgr)
        VQ_FAIL(kCls, "handleEntry", "_pPartition->isOpen() && _pPartition->datastoreStreamMgr()",
                VQ_ERR_INTERNAL);
    if (_nMajor == 6 || _nMajor == 7) return VqShape::_readImplAt(*_pStreamMgr, _nMajor, _iPos, _pResult);
    CapturedSegmentIO io(_pStreamMgr.get(), _nMajor, _nMinor, _uAlias);
    return VqShape::_loadSegment(io, _guid, _eSegType, _pHolder, _pResult);
}

bool VqShapeRequestEntry::hookupEntry() {
    auto* shape = static_cast<VqShape*>(object());
    if (failed()) return false;
    // Loaded meanwhile, or nothing stored to load (a shape built in memory
    // gets its empty implementation from loadImpl, not from a request).
    if (shape->impl() || !_pResult) return true;
    if (_nMajor == 6 || _nMajor == 7) {
        VQ_PROPAGATE(shape->_adoptReadAt(*_pResult));
        VQ_PROPAGATE(shape->hookUpLoadedImpl(_pResult));
        return _mergeIntoSharedPool();
    }
    Vq::SharedPtr<VqLateLoadedPropAtom> ll;
    VQ_PROPAGATE(shape->_llValue(ll, "loadImpl"));
    // The value went, or names another segment: what was read is stale.
    if (!ll || ll->guid() != _guid) return true;
    Vq::SharedPtr<VqShapeImpl> impl = _pResult;
    VQ_PROPAGATE(shape->_adoptLoaded(*ll, _guid, _uAlias, impl));
    if (_nMajor == 8 && _nMinor == 0) shape->_fixupBindings(*impl);
    VQ_PROPAGATE(shape->hookUpLoadedImpl(impl));
    _pResult = impl;
    return _mergeIntoSharedPool();
}

// A registered pool fits when it binds the same attributes: the loaded
// records are appended to it and collocated with its own, and the mesh is
// moved onto it. The first fitting pool takes them.
bool VqShapeRequestEntry::_mergeIntoSharedPool() const {
    auto* vsi = Vq::typeCast<VqVertexShapeImpl>(_pResult.get());
    VqTopoMesh* mesh = vsi ? vsi->topoMesh() : nullptr;
    Vq::SharedPtr<VqVertexRecordPool> own = mesh ? mesh->vtxRecPool() : nullptr;
    if (!own) return true;
    std::vector<Vq::SharedPtr<VqBase>> pools;
    manager()->registeredPools(pools);
    for (const Vq::SharedPtr<VqBase>& p : pools) {
        auto* pSharedPool = Vq::typeCast<VqVertexRecordPool>(p.get());
        if (!pSharedPool || pSharedPool == own.get() || pSharedPool->getBindings() != own->getBindings())
            continue;
        const uint32_t n = own->numVtxRecords();
        VqVecu map;
        map.setLength(static_cast<int>(n));
        VQ_PROPAGATE(pSharedPool->lockWrite(true));
        const uint32_t base = pSharedPool->numVtxRecords();
        const bool merged = pSharedPool->merge(*own, true);
        const VqVecu& renumbered = pSharedPool->indexMap();
        for (uint32_t j = 0; merged && j < n; ++j)
            map[static_cast<int>(j)] = size_t(base + j) < renumbered.size() ? renumbered[base + j] : base + j;
        pSharedPool->lockWrite(false);
        VQ_PROPAGATE(merged);
        VQ_PROPAGATE(mesh->lockWrite(true));
        const bool onShared = mesh->setVtxRecPool(pSharedPool, &map);
        mesh->lockWrite(false);
        return onShared;
    }
    return true;
}

bool VqShapeRequestEntry::belongsTo(const VqBase* document) const {
    // The partition is above the shape unless the shape left its graph.
    return document == _pPartition.get() || static_cast<const VqNode*>(object())->isAtOrAbove(document);
}

VqResidencyRequestManager* VqShapeRequestEntry::manager() {
    return VqResidencyRequestManagerSingleton::EnsureInstanceHandling(
        VqShape::classTypeID(), []() -> Vq::RequestHandler* { return new VqShapeRequestHandler(); });
}

bool VqShapeRequestHandler::isLoaded(const VqBase* object) const {
    return static_cast<const VqShape*>(object)->isImplLoaded();
}

bool VqShapeRequestHandler::createEntry(const VqRequestInfo& info, Vq::SharedPtr<VqRequestEntry>& out) {
    auto* s = Vq::typeCast<VqShape>(info.object());
    if (!s) VQ_FAIL(kCls, "createEntry", "pObj->isOfType(VqShape::classTypeID())", VQ_ERR_ARGUMENT);
    out = new VqShapeRequestEntry(s);
    if (!out) VQ_FAIL(kCls, "createEntry", "Allocation failed: new VqShapeRequestEntry", VQ_ERR_ALLOC);
    return true;
}
