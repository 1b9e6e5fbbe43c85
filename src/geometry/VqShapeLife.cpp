// The life of a shape's implementation: installing, loading, unloading and
// preparing it for a save.
//
// The implementation is held by the late-loaded value under
// vqLLPropShapeImpl, whose copy-on-write holder keeps it in the global
// object alias table; the shape points at that value while it has an
// implementation. A value that names a segment can drop the implementation
// and load it again; one without a segment holds the only copy.
//
// Locking: _mxImpl guards the shape's holder and the binding of the value it
// points at (see VqShape.h). It is held only for pointer and table updates,
// never across a file read, and objects that an update lets go are released
// after it is dropped, so that no destructor runs under it.

#include "VqDataPropAtom.h"
#include "VqElementIO.h"
#include "VqErrorState.h"
#include "VqObjectStream.h"
#include "VqPartition.h"
#include "VqPlatform.h"
#include "VqResidencyRequestManager.h"
#include "VqShape.h"
#include "VqShapeRequestEntry.h"
#include "VqStdError.h"
#include "VqStreamMgr.h"
#include "VqStringPropAtom.h"

#include <chrono>

namespace {
constexpr const char* kCls = "VqShape";
}

Vq::SharedPtr<VqShapeImpl> VqShape::impl() const {
    VqAutoLock lock(_mxImpl);
    if (!_pGoatPtr) return nullptr;
    Vq::SharedPtr<VqBase> obj = _pGoatPtr->object();
    return Vq::typeCast<VqShapeImpl>(obj.get());
}

bool VqShape::isImplLoaded() const {
    return impl() != nullptr;
}

void VqShape::touchImpl() const {
    VqAutoLock lock(_mxImpl);
    if (_pGoatPtr) _pGoatPtr->touch();
}

bool VqShape::_llValue(Vq::SharedPtr<VqLateLoadedPropAtom>& out, const char* method) const {
    out = nullptr;
    if (!vqLLPropShapeImpl) return true;
    Vq::SharedPtr<VqPropAtom> v = propValue(vqLLPropShapeImpl);
    if (!v) return true;
    auto* ll = Vq::typeCast<VqLateLoadedPropAtom>(v.get());
    if (!ll) VQ_FAIL(kCls, method, "pLLVal", VQ_ERR_INTERNAL);
    out = ll;
    return true;
}

// Stops listening to the implementation connected before. The one held now
// is compared by address only: the connected one may be gone already (its
// value dropped it), and then it has no client list left to clean.
void VqShape::_disconnect() const {
    if (!_pConnected) return;
    Vq::SharedPtr<VqShapeImpl> cur = impl();
    if (cur.get() == _pConnected) cur->removeNotification(this);
    _pConnected = nullptr;
}

void VqShape::_installed() const {
    setInternalFlag(VQ_NODE_IFLAG_LODLOADED, true);
    // A node starts with the empty box, which counts as known. Given an
    // implementation that already holds geometry (built elsewhere, or shared
    // from another shape), that box would stand for good: nothing in the
    // implementation changes to tell the node. Such a node asks the
    // implementation instead. A box read from a file, or computed before,
    // is never the exact empty sentinel of a new node unless the geometry is
    // empty too, so late-loaded shapes keep their stored box.
    const bool newNodeBox =
        _bBox.min[0] == VqBox3<float>::s_emptyValue && _bBox.max[0] == -VqBox3<float>::s_emptyValue;
    invalidateState(VQ_INVAL_HOOK | VQ_INVAL_LODLOADED | (newNodeBox ? VQ_INVAL_BBOX : 0));
    setInternalFlag(VQ_NODE_IFLAG_LODLOADEDVALID, true);
    _notifyModelContext(this, VQ_CHANGE_IMPL);
}

// One implementation given to several shapes is one object in one holder
// entry, as if the shapes had loaded it from one segment: each shape's
// edits then copy it first instead of reaching the others through a second
// entry that would not know it is shared.
void VqShape::_shareHolderOf(const VqShapeImpl& impl, VqLateLoadedPropAtom& ll) const {
    for (const VqNotifyBase* client : impl.notificationClients()) {
        const auto* other = dynamic_cast<const VqShape*>(client);
        if (!other || other == this) continue;
        // One lock at a time: two shapes sharing with each other on two
        // threads must not wait for one another.
        Vq::CowGoatPtr entry;
        {
            VqAutoLock lockOther(other->_mxImpl);
            if (!other->_pGoatPtr || other->_pGoatPtr->object().get() != &impl) continue;
            entry = *other->_pGoatPtr;
        }
        VqAutoLock lock(_mxImpl);
        static_cast<Vq::CowGoatPtr&>(ll) = entry;
        return;
    }
}

bool VqShape::setImpl(VqShapeImpl* pNewImpl) {
    if (!pNewImpl) VQ_FAIL(kCls, "setImpl", "pNewImpl", VQ_ERR_ARGUMENT);
    Vq::SharedPtr<VqShapeImpl> hold(pNewImpl);
    // Released when this returns, outside the lock.
    Vq::SharedPtr<VqShapeImpl> old = impl();
    _disconnect();
    Vq::SharedPtr<VqLateLoadedPropAtom> ll;
    VQ_PROPAGATE(_llValue(ll, "setImpl"));
    if (ll) {
        {
            VqAutoLock lock(_mxImpl);
            // The new data is not that of the segment the value named.
            ll->clearGUID();
            if (ll->segType() == VQSEG_SHAPE) ll->setSegment(VqGUID(), _determineSegType());
            VQ_PROPAGATE(ll->setObject(pNewImpl));
            _pGoatPtr = ll;
        }
        _shareHolderOf(*pNewImpl, *ll);
    } else {
        ll = new VqLateLoadedPropAtom(VqGUID(), _determineSegType());
        if (!ll)
            VQ_FAIL(kCls, "setImpl",
                    "Allocation failed: pLLVal = new VqLateLoadedPropValue(SharedPtr<VqBase>(pNewImpl), "
                    "eSegType)",
                    VQ_ERR_ALLOC);
        VQ_PROPAGATE(ll->setObject(pNewImpl));
        VQ_PROPAGATE(addProp(vqLLPropShapeImpl, ll.get(), false));
        VqAutoLock lock(_mxImpl);
        _pGoatPtr = ll;
    }
    _shareHolderOf(*pNewImpl, *ll);
    pNewImpl->addNotification(this);
    _pConnected = pNewImpl;
    // Until it is written, the only copy is this one: an unload must keep it.
    _uImplPersistent = VQ_IMPL_NOT_PERSISTENT;
    _uImplSize = ~0u;
    _installed();
    return true;
}

bool VqShape::hookUpLoadedImpl(const Vq::SharedPtr<VqShapeImpl>& cur) const {
    if (!cur) VQ_FAIL(kCls, "hookUpLoadedImpl", "pNewImpl", VQ_ERR_ARGUMENT);
    Vq::SharedPtr<VqLateLoadedPropAtom> ll;
    VQ_PROPAGATE(_llValue(ll, "loadImpl"));
    if (!ll) VQ_FAIL(kCls, "loadImpl", "pLLVal", VQ_ERR_INTERNAL);
    if (_pConnected != cur.get()) {
        _disconnect();
        cur->addNotification(this);
        _pConnected = cur.get();
    }
    {
        VqAutoLock lock(_mxImpl);
        _pGoatPtr = ll;
    }
    if (_bLevelPending) {
        // The level set while unloaded is this shape's, not that of the
        // other shapes the loaded implementation may be shared with.
        Vq::SharedPtr<VqShapeImpl> own;
        VQ_PROPAGATE(_ownImpl(own, "loadImpl"));
        VQ_PROPAGATE(_applyPendingLevel(*own));
    }
    _installed();
    return true;
}

bool VqShape::setImplPersistent(int bPersistent) {
    if (bPersistent < -1 || bPersistent > 1)
        VQ_FAIL(kCls, "setImplPersistent", "bPersistent >= -1 && bPersistent <= 1", VQ_ERR_ARGUMENT);
    _uImplPersistent = bPersistent < 0 ? uint8_t(VQ_IMPL_UNDETERMINED) : static_cast<uint8_t>(bPersistent);
    return true;
}

// Settled on first query: stored when a late-loaded value names a segment,
// or a file position is known. A value without a segment holds data made in
// memory, which is not stored anywhere yet.
bool VqShape::isImplPersistent() const {
    if (_uImplPersistent == VQ_IMPL_UNDETERMINED) {
        Vq::SharedPtr<VqLateLoadedPropAtom> ll;
        const bool named = _llValue(ll, "isImplPersistent") && ll && !ll->guid().isNull();
        const bool positioned = _iLegacySID >= 0 || _uImplStreamPos != ~uint64_t(0);
        _uImplPersistent = uint8_t(named || positioned ? VQ_IMPL_PERSISTENT : VQ_IMPL_NOT_PERSISTENT);
    }
    return _uImplPersistent == VQ_IMPL_PERSISTENT;
}

bool VqShape::loadImpl(VqPartition* inPartition, Vq::SharedPtr<VqShapeImpl>& outImpl) const {
    outImpl = impl();
    if (outImpl) return true;
    if (!inPartition) VQ_FAIL(kCls, "loadImpl", "inPartition", VQ_ERR_ARGUMENT);
    // The budget hears of the load before it happens, so that whoever
    // watches it can make room; the answer does not stop the load.
    bool withinBudget = true;
    if (g_pInstanceVqPlatform) g_pInstanceVqPlatform->requestMemory(lastImplSize(), withinBudget);
    int major = -1, minor = -1;
    inPartition->datastoreVersion(major, minor);
    if (major == 6 || major == 7) {
        // Those files keep the implementation at a file position; the
        // segment reader below times its own loads.
        const auto start = std::chrono::steady_clock::now();
        if (isImplPersistent()) VQ_PROPAGATE(_loadImplAtPosition(*inPartition, major, outImpl));
        if (outImpl) {
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            s_TotalTime.fetch_add(took.count(), std::memory_order_relaxed);
            s_TotalShapes.fetch_add(1, std::memory_order_relaxed);
        }
        return true;
    }
    Vq::SharedPtr<VqLateLoadedPropAtom> ll;
    VQ_PROPAGATE(_llValue(ll, "loadImpl"));
    if (!ll) return true;
    if (!inPartition->streamMgr()) VQ_FAIL(kCls, "loadImpl", "psMgr != __null", VQ_ERR_INTERNAL);
    VqGUID guid;
    int segType = 0;
    _storedSegment(*ll, guid, segType);
    if (guid.isNull()) return true;
    Vq::SharedPtr<VqLateLoadedPropAtom> holder;
    VQ_PROPAGATE(_loadSegment(*inPartition, guid, segType, holder, outImpl));
    VQ_PROPAGATE(_adoptLoaded(*ll, guid, inPartition->segmentAlias(guid), outImpl));
    if (major == 8 && minor == 0) _fixupBindings(*outImpl);
    return true;
}

void VqShape::_storedSegment(const VqLateLoadedPropAtom& ll, VqGUID& guid, int& segType) const {
    VqAutoLock lock(_mxImpl);
    guid = ll.guid();
    segType = ll.segType();
}

// The segment is read into a value of its own, which shares the object under
// the segment's alias until the shape's value takes it: the read touches
// nothing of the shape, so it may run on a loader thread.
bool VqShape::_loadSegment(VqLLSegmentIO& io, const VqGUID& guid, int segType,
                           Vq::SharedPtr<VqLateLoadedPropAtom>& holder, Vq::SharedPtr<VqShapeImpl>& out) {
    out = nullptr;
    const auto start = std::chrono::steady_clock::now();
    holder = new VqLateLoadedPropAtom(guid, segType);
    if (!holder)
        VQ_FAIL(kCls, "loadImpl", "Allocation failed: pLLVal = new VqLateLoadedPropValue(guid, eSegType)",
                VQ_ERR_ALLOC);
    VQ_PROPAGATE(holder->ensureData(io));
    Vq::SharedPtr<VqBase> obj = holder->object();
    auto* loaded = Vq::typeCast<VqShapeImpl>(obj.get());
    if (!loaded) VQ_FAIL(kCls, "loadImpl", "outImpl", VQ_ERR_READ);
    out = loaded;
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    s_TotalTime.fetch_add(took.count(), std::memory_order_relaxed);
    s_TotalShapes.fetch_add(1, std::memory_order_relaxed);
    return true;
}

// A value that names another segment by now (an edit or a save came in
// between) keeps what it has; the caller installs what it ends up holding.
bool VqShape::_adoptLoaded(VqLateLoadedPropAtom& ll, const VqGUID& guid, uint32_t alias,
                           Vq::SharedPtr<VqShapeImpl>& impl) const {
    Vq::SharedPtr<VqBase> obj;
    {
        VqAutoLock lock(_mxImpl);
        if (ll.guid() == guid && !ll.object()) VQ_PROPAGATE(ll.shareLoaded(impl.get(), alias));
        obj = ll.object();
    }
    impl = Vq::typeCast<VqShapeImpl>(obj.get());
    if (!impl) VQ_FAIL(kCls, "loadImpl", "outImpl", VQ_ERR_READ);
    return true;
}

bool VqShape::_ensureImpl(VqPartition* within, Vq::SharedPtr<VqShapeImpl>& out) const {
    out = impl();
    if (out) return true;
    if (isImplPersistent()) {
        VQ_PROPAGATE(loadImpl(within ? within : partition(), out));
        if (out) VQ_PROPAGATE(hookUpLoadedImpl(out));
        return true;
    }
    VQ_PROPAGATE(loadImpl(true));
    out = impl();
    return true;
}

// A stored implementation goes through the residency request manager either
// way, so that a load already queued or in flight for the shape is joined
// rather than repeated: immediately, as an urgent request the calling thread
// waits for (and loads itself when no loader has taken it); otherwise at
// priority 0, hooked up by a later execute.
bool VqShape::loadImpl(bool immediate) const {
    if (impl()) return true;
    if (isImplPersistent()) {
        VqResidencyRequestManager* mgr = VqShapeRequestEntry::manager();
        if (!mgr) VQ_FAIL(kCls, "loadImpl", "pRRM", VQ_ERR_UNREACHABLE);
        auto* self = const_cast<VqShape*>(this);
        if (immediate) return mgr->blockOnLoad(VqRequestInfo(self, VqRequestInfo::s_cUrgentPriority));
        return mgr->willNeed(VqRequestInfo(self, 0.0f));
    }
    Vq::SharedPtr<VqShapeImpl> fresh = createImplInstance();
    if (!fresh) VQ_FAIL(kCls, "loadImpl", "Allocation failed: createImplInstance()", VQ_ERR_ALLOC);
    VQ_PROPAGATE(_prepareNewImpl(*fresh));
    VQ_PROPAGATE(const_cast<VqShape*>(this)->setImpl(fresh.get()));
    if (!_pGoatPtr) VQ_FAIL(kCls, "loadImpl", "_pGoatPtr != __null", VQ_ERR_INTERNAL);
    _uImplPersistent = VQ_IMPL_NOT_PERSISTENT;
    invalidateState(VQ_INVAL_IGNORE);
    return true;
}

Vq::SharedPtr<VqShapeImpl> VqShape::ensureImpl() const {
    Vq::SharedPtr<VqShapeImpl> out;
    if (!_ensureImpl(nullptr, out)) {
        VqErrorState::throwStdError(kCls, "ensureImpl", "pThis->loadImpl(VqTrue)", VQ_ERR_READ);
        return nullptr;
    }
    touchImpl();
    return out;
}

Vq::SharedPtr<VqShapeImpl> VqShape::ensureImpl() {
    Vq::SharedPtr<VqShapeImpl> out;
    if (!_ensureImpl(nullptr, out) || !_ownImpl(out, "ensureImpl")) {
        VqErrorState::throwStdError(kCls, "ensureImpl", "pThis->loadImpl(VqTrue)", VQ_ERR_READ);
        return nullptr;
    }
    touchImpl();
    return out;
}

// The holder's copy-on-write gives a private object, cloned when another
// holder refers to the same one, and takes it out of the sharing map, so a
// later load of the same segment by another shape reads its own copy
// instead of picking up this one's edits. The clone starts without clients:
// this shape moves its registration over.
bool VqShape::_ownImpl(Vq::SharedPtr<VqShapeImpl>& out, const char* method) const {
    Vq::SharedPtr<VqShapeImpl> old = impl();
    out = old;
    if (!old) return true;
    Vq::SharedPtr<VqBase> obj;
    try {
        VqAutoLock lock(_mxImpl);
        if (_pGoatPtr) obj = _pGoatPtr->nonConstData();
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, method);
    }
    out = Vq::typeCast<VqShapeImpl>(obj.get());
    if (!out) VQ_FAIL(kCls, method, "pImpl", VQ_ERR_INTERNAL);
    if (out != old) {
        if (_pConnected == old.get()) old->removeNotification(this);
        out->addNotification(this);
        _pConnected = out.get();
    }
    return true;
}

bool VqShape::unloadImpl() {
    if (!impl() || !isImplPersistent()) return true;
    Vq::SharedPtr<VqLateLoadedPropAtom> ll;
    VQ_PROPAGATE(_llValue(ll, "unloadImpl"));
    if (ll && !ll->isLoaded()) return true;
    // Released when this returns, outside the lock.
    Vq::SharedPtr<VqBase> keep = ll ? ll->object() : nullptr;
    _disconnect();
    {
        VqAutoLock lock(_mxImpl);
        _pGoatPtr = nullptr;
        if (ll) ll->unloadData();
    }
    setInternalFlag(VQ_NODE_IFLAG_LODLOADED, false);
    invalidateState(VQ_INVAL_LODLOADED);
    setInternalFlag(VQ_NODE_IFLAG_LODLOADEDVALID, true);
    return true;
}

// An edited implementation differs from its stored copy, so it is no
// longer one that an unload may drop; marking it unmodified needs one.
// The edits are this shape's: a shared implementation is copied first (and
// the copy is no longer offered to other loads of its segment). Clearing the
// mark changes no holder: the copy stays private until it is written.
bool VqShape::setImplModified(bool bModified) {
    if (!impl()) VQ_FAIL(kCls, "setImplModified", "pImpl", VQ_ERR_ARGUMENT);
    if (bModified) {
        Vq::SharedPtr<VqShapeImpl> cur;
        VQ_PROPAGATE(_ownImpl(cur, "setImplModified"));
        _uImplPersistent = VQ_IMPL_NOT_PERSISTENT;
        _uImplSize = ~0u;
        if (cur) cur->invalidateCaches();
        VQ_PROPAGATE(setModifiedFlag(true));
    }
    return true;
}

// ---- Saving

bool VqShape::_prepareShape(VqPartition* within) const {
    Vq::SharedPtr<VqLateLoadedPropAtom> stored;
    VQ_PROPAGATE(_llValue(stored, "prepareForSerialize"));
    if (stored && stored->copiesStored()) {
        // The segment goes into the new file as it is stored: nothing to load.
        _uImplStreamPos = ~uint64_t(0);
        return true;
    }
    Vq::SharedPtr<VqShapeImpl> cur;
    VQ_PROPAGATE(_ensureImpl(within, cur));
    _uImplStreamPos = ~uint64_t(0);
    if (!cur) {
        _iLegacySID = -1;
        return true;
    }
    cur->setStreamPosition(-1);
    // The level the shape stands at now decides the segment: it may have
    // moved since its implementation was installed (which may have been
    // just now, making the value).
    VQ_PROPAGATE(_llValue(stored, "prepareForSerialize"));
    if (stored) stored->setSegment(stored->guid(), _determineSegType());
    VQ_PROPAGATE(cur->prepareForSerialize());
    // The node's record carries the box, area, counts and size of what is
    // written now: computed here, with the implementation in memory, not
    // while the scene graph is written (perhaps on another thread).
    implSize();
    bBoxRaw(1);
    area();
    VqFixedVec<int, 2> range;
    return numVertices(range) && numNodes(range) && numPolygons(range);
}

bool VqShape::prepareForSerialize() const {
    VQ_PROPAGATE(_prepareShape(nullptr));
    return VqNode::prepareForSerialize();
}

bool VqShape::prepareForSerialize(VqPartition& within) const {
    VQ_PROPAGATE(_prepareShape(&within));
    return VqNode::prepareForSerialize(within);
}

// Files from format 8 on keep the implementation in a segment of its own,
// which its late-loaded value writes. Files before 8 keep it at a file
// position that the node's record names, so it is written ahead of the graph
// (see _writeImplAtPosition); met again inside the graph, it is there already.
bool VqShape::writeData(VqObjectStream& os) const {
    // A stored implementation that the save copied unread is not loaded.
    Vq::SharedPtr<VqLateLoadedPropAtom> ll;
    VQ_PROPAGATE(_llValue(ll, "writeData"));
    if (!impl() && !(ll && !ll->guid().isNull())) VQ_FAIL(kCls, "writeData", "pImpl", VQ_ERR_INTERNAL);
    if (writeFormat(os).major < 8) {
        // Segments are copied unread only into files of format 8 and later.
        if (!impl()) VQ_FAIL(kCls, "writeData", "pImpl", VQ_ERR_INTERNAL);
        VQ_PROPAGATE(_writeImplAtPosition(os));
    }
    _uImplPersistent = VQ_IMPL_PERSISTENT;
    return VqNode::writeData(os);
}

// An implementation inside another element would sit in that element's
// block, where no file position reaches it (a format-7 block is compressed
// as a whole): it must be an outermost element of its own.
bool VqShape::_writeImplAtPosition(VqObjectStream& os) const {
    Vq::SharedPtr<VqShapeImpl> cur = impl();
    if (cur->streamPosition() >= 0) return true;
    if (os.elementDepth() != 0) VQ_FAIL(kCls, "writeImpl", "os.elementDepth() == 0", VQ_ERR_INTERNAL);
    uint64_t pos = 0;
    os.getPosition(pos);
    // The node's record holds the position as a signed 32-bit integer.
    if (pos > uint64_t(INT32_MAX)) VQ_FAIL(kCls, "writeImpl", "iPos <= INT_MAX", VQ_ERR_WRITE);
    const Vq::RecordFormat f = writeFormat(os);
    VQ_PROPAGATE(VqElementIO::writeLogicalElementOf(f.major, os, cur.get()));
    _uImplStreamPos = pos;
    cur->setStreamPosition(int64_t(pos));
    _uImplPersistent = VQ_IMPL_PERSISTENT;
    return true;
}

// The partition says whether its file has implementations at positions
// (files of other writers may keep none); without, the shape has none stored.
bool VqShape::_loadImplAtPosition(VqPartition& within, int major, Vq::SharedPtr<VqShapeImpl>& out) const {
    out = nullptr;
    const int64_t pos = _legacyImplPos(within);
    if (pos < 0) return true;
    if (!within.streamMgr()) VQ_FAIL(kCls, "loadImpl", "psMgr != __null", VQ_ERR_INTERNAL);
    Vq::SharedPtr<VqShapeImpl> loaded;
    VQ_PROPAGATE(_readImplAt(*within.streamMgr(), major, pos, loaded));
    VQ_PROPAGATE(_adoptReadAt(*loaded));
    out = loaded;
    return true;
}

int64_t VqShape::_legacyImplPos(const VqPartition& within) const {
    if (!(within.attrWord() & VqPartition::VQ_PARTITION_IMPLPOS)) return -1;
    return _iLegacySID >= 0                  ? int64_t(_iLegacySID)
           : _uImplStreamPos != ~uint64_t(0) ? int64_t(_uImplStreamPos)
                                             : -1;
}

bool VqShape::_readImplAt(VqStreamMgr& mgr, int major, int64_t pos, Vq::SharedPtr<VqShapeImpl>& out) {
    out = nullptr;
    if (pos < 0 || pos > INT32_MAX) VQ_FAIL(kCls, "loadImpl", "sid.offset", VQ_ERR_CORRUPT);
    Vq::SharedPtr<VqObjectStream> os;
    VQ_PROPAGATE(mgr.beginReadSegment(static_cast<int>(pos), os));
    Vq::SharedPtr<VqBase> elem;
    const bool read = VqElementIO::readLogicalElementOf(major, *os, elem);
    Vq::SharedPtr<VqStdError> error = read ? nullptr : VqErrorState::currentError();
    const bool put = mgr.endReadSegment(os.get());
    if (error) VqErrorState::setError(error.get());
    if (!read || !put) return false;
    auto* loaded = Vq::typeCast<VqShapeImpl>(elem.get());
    if (!loaded) VQ_FAIL(kCls, "loadImpl", "elem && elem->isOfType(VqShapeImpl::classTypeID())", VQ_ERR_READ);
    loaded->setStreamPosition(pos);
    out = loaded;
    return true;
}

bool VqShape::_adoptReadAt(VqShapeImpl& loaded) const {
    Vq::SharedPtr<VqLateLoadedPropAtom> ll;
    VQ_PROPAGATE(_llValue(ll, "loadImpl"));
    if (ll) {
        VqAutoLock lock(_mxImpl);
        ll->clearGUID();
        VQ_PROPAGATE(ll->setObject(&loaded));
    } else {
        ll = new VqLateLoadedPropAtom(VqGUID(), _determineSegType());
        if (!ll)
            VQ_FAIL(
                kCls, "loadImpl",
                "Allocation failed: pLLVal = new VqLateLoadedPropValue(SharedPtr<VqBase>(elem), eSegType)",
                VQ_ERR_ALLOC);
        VQ_PROPAGATE(ll->setObject(&loaded));
        VQ_PROPAGATE(const_cast<VqShape*>(this)->addProp(vqLLPropShapeImpl, ll.get(), false));
    }
    _fixupBindings(loaded);
    return true;
}

bool VqShape::loadShapeData(VqPartition& within) const {
    if (impl() || !isImplPersistent()) return true;
    Vq::SharedPtr<VqShapeImpl> cur;
    return _ensureImpl(&within, cur);
}

bool VqShape::mayCopyStoredLLData(const VqLateLoadedPropAtom& ll) const {
    Vq::SharedPtr<VqLateLoadedPropAtom> own;
    if (_bLevelPending || !_llValue(own, "mayCopyStoredLLData") || own.get() != &ll) return false;
    return isImplPersistent() && ll.segType() == _determineSegType();
}

bool VqShape::writeLLData(VqLLSegmentIO& io) const {
    if (Vq::SharedPtr<VqShapeImpl> cur = impl()) VQ_PROPAGATE(cur->writeLLData(io));
    VQ_PROPAGATE(VqNode::writeLLData(io));
    _uImplPersistent = VQ_IMPL_PERSISTENT;
    return true;
}
