// The life of a shape's implementation: installing, loading, unloading and
// preparing it for a save.
//
// The implementation is held by the late-loaded value under
// vqLLPropShapeImpl, whose copy-on-write holder keeps it in the global
// object alias table; the shape points at that value while it has an
// implementation. A value that names a segment can drop the implementation
// and load it again; one without a segment holds the only copy.
#include "VqErrorState.h"
#include "VqObjectStream.h"
#include "VqPartition.h"
#include "VqPlatform.h"
#include "VqShape.h"
#include "VqStreamMgr.h"
#include "VqStringPropAtom.h"

#include <chrono>

namespace {
constexpr const char* kCls = "VqShape";
}

Vq::SharedPtr<VqShapeImpl> VqShape::impl() const {
    if (!_pGoatPtr) return nullptr;
    Vq::SharedPtr<VqBase> obj = _pGoatPtr->object();
    return Vq::typeCast<VqShapeImpl>(obj.get());
}

bool VqShape::isImplLoaded() const {
    return impl() != nullptr;
}

void VqShape::touchImpl() const {
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
    invalidateState(VQ_INVAL_HOOK | VQ_INVAL_LODLOADED);
    setInternalFlag(VQ_NODE_IFLAG_LODLOADEDVALID, true);
    _notifyModelContext(this, VQ_CHANGE_IMPL);
}

bool VqShape::setImpl(VqShapeImpl* pNewImpl) {
    if (!pNewImpl) VQ_FAIL(kCls, "setImpl", "pNewImpl", VQ_ERR_ARGUMENT);
    Vq::SharedPtr<VqShapeImpl> hold(pNewImpl);
    _disconnect();
    Vq::SharedPtr<VqLateLoadedPropAtom> ll;
    VQ_PROPAGATE(_llValue(ll, "setImpl"));
    if (ll) {
        // The new data is not that of the segment the value named.
        ll->clearGUID();
        if (ll->segType() == VQSEG_SHAPE) ll->setSegment(VqGUID(), _determineSegType());
        VQ_PROPAGATE(ll->setObject(pNewImpl));
    } else {
        ll = new VqLateLoadedPropAtom(VqGUID(), _determineSegType());
        if (!ll)
            VQ_FAIL(kCls, "setImpl",
                    "Allocation failed: pLLVal = new VqLateLoadedPropValue(SharedPtr<VqBase>(pNewImpl), "
                    "eSegType)",
                    VQ_ERR_ALLOC);
        VQ_PROPAGATE(ll->setObject(pNewImpl));
        VQ_PROPAGATE(addProp(vqLLPropShapeImpl, ll.get(), false));
    }
    _pGoatPtr = ll;
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
    _pGoatPtr = ll;
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
    const auto start = std::chrono::steady_clock::now();
    int major = -1, minor = -1;
    inPartition->datastoreVersion(major, minor);
    if (major == 6 || major == 7) {
        // Those files keep implementations at file positions written by a
        // legacy shape writer that this library does not have yet.
        const std::string text = "Shape implementations of format " + std::to_string(major) + "." +
                                 std::to_string(minor) + " files cannot be read yet";
        VQ_FAIL(kCls, "loadImpl", text.c_str(), VQ_ERR_READ);
    }
    Vq::SharedPtr<VqLateLoadedPropAtom> ll;
    VQ_PROPAGATE(_llValue(ll, "loadImpl"));
    if (!ll) return true;
    if (!inPartition->streamMgr()) VQ_FAIL(kCls, "loadImpl", "psMgr != __null", VQ_ERR_INTERNAL);
    VQ_PROPAGATE(ll->ensureData(*static_cast<VqLLSegmentIO*>(inPartition)));
    Vq::SharedPtr<VqBase> obj = ll->object();
    auto* loaded = Vq::typeCast<VqShapeImpl>(obj.get());
    if (!loaded) VQ_FAIL(kCls, "loadImpl", "outImpl", VQ_ERR_READ);
    outImpl = loaded;
    if (major == 8 && minor == 0) _fixupBindings(*loaded);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    s_TotalTime.fetch_add(took.count(), std::memory_order_relaxed);
    s_TotalShapes.fetch_add(1, std::memory_order_relaxed);
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

// A stored implementation is loaded synchronously when immediate. The
// deferred form belongs to the residency request manager, which queues a
// request for the shape (priority 0) and hooks the result up on the
// application thread; until a manager is installed there is no queue, and
// asking for a deferred load fails.
bool VqShape::loadImpl(bool immediate) const {
    if (impl()) return true;
    if (isImplPersistent()) {
        if (!immediate) VQ_FAIL(kCls, "loadImpl", "pRRM", VQ_ERR_UNREACHABLE);
        Vq::SharedPtr<VqShapeImpl> out;
        VQ_PROPAGATE(loadImpl(partition(), out));
        if (out) VQ_PROPAGATE(hookUpLoadedImpl(out));
        return true;
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

bool VqShape::unloadImpl() {
    if (!impl() || !isImplPersistent()) return true;
    Vq::SharedPtr<VqLateLoadedPropAtom> ll;
    VQ_PROPAGATE(_llValue(ll, "unloadImpl"));
    if (ll && !ll->isLoaded()) return true;
    _disconnect();
    _pGoatPtr = nullptr;
    if (ll) ll->unloadData();
    setInternalFlag(VQ_NODE_IFLAG_LODLOADED, false);
    invalidateState(VQ_INVAL_LODLOADED);
    setInternalFlag(VQ_NODE_IFLAG_LODLOADEDVALID, true);
    return true;
}

// An edited implementation differs from its stored copy, so it is no
// longer one that an unload may drop; marking it unmodified needs one.
bool VqShape::setImplModified(bool bModified) {
    if (!impl()) VQ_FAIL(kCls, "setImplModified", "pImpl", VQ_ERR_ARGUMENT);
    if (bModified) {
        _uImplPersistent = VQ_IMPL_NOT_PERSISTENT;
        _uImplSize = ~0u;
        if (Vq::SharedPtr<VqShapeImpl> cur = impl()) cur->invalidateCaches();
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

// From format 8 on the implementation travels in its own segment, which its
// late-loaded value writes; here the shape only takes note that it is
// stored. Files before 8 keep implementations at file positions that the
// shape's record names, which a legacy shape writer has to lay out before
// the graph; this library does not have one yet.
bool VqShape::writeData(VqObjectStream& os) const {
    // A stored implementation that the save copied unread is not loaded.
    Vq::SharedPtr<VqLateLoadedPropAtom> ll;
    VQ_PROPAGATE(_llValue(ll, "writeData"));
    if (!impl() && !(ll && !ll->guid().isNull())) VQ_FAIL(kCls, "writeData", "pImpl", VQ_ERR_INTERNAL);
    const Vq::RecordFormat f = writeFormat(os);
    if (f.major < 8) {
        const std::string text = "Shape implementations cannot be written to format " +
                                 std::to_string(f.major) + "." + std::to_string(f.minor) + " files yet";
        VQ_FAIL(kCls, "writeData", text.c_str(), VQ_ERR_WRITE);
    }
    _uImplPersistent = VQ_IMPL_PERSISTENT;
    return VqNode::writeData(os);
}

bool VqShape::loadShapeData(VqPartition& within) const {
    if (impl() || !isImplPersistent()) return true;
    Vq::SharedPtr<VqShapeImpl> cur;
    return _ensureImpl(&within, cur);
}

bool VqShape::mayCopyStoredLLData(const VqLateLoadedPropAtom& ll) const {
    Vq::SharedPtr<VqLateLoadedPropAtom> own;
    if (!_llValue(own, "mayCopyStoredLLData") || own.get() != &ll) return false;
    return isImplPersistent() && ll.segType() == _determineSegType();
}

bool VqShape::writeLLData(VqLLSegmentIO& io) const {
    if (Vq::SharedPtr<VqShapeImpl> cur = impl()) VQ_PROPAGATE(cur->writeLLData(io));
    VQ_PROPAGATE(VqNode::writeLLData(io));
    _uImplPersistent = VQ_IMPL_PERSISTENT;
    return true;
}
