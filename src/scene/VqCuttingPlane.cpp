#include "VqCuttingPlane.h"

#include "VqFactory.h"
#include "VqMutex.h"
#include "VqState.h"
#include "VqXform.h"

VQ_IMPLEMENT_TYPE(VqCuttingPlane, VqAttribute, CLSID_ZQCuttingPlane)

std::atomic<uint32_t> VqCuttingPlane::s_uUsedIDs{0};

unsigned short VqCuttingPlane::allocID() {
    uint32_t used = s_uUsedIDs.load();
    for (;;) {
        const uint32_t free = ~used & ~1u;
        if (!free) return 0;
        const int id = __builtin_ctz(free);
        if (s_uUsedIDs.compare_exchange_weak(used, used | (1u << id))) return static_cast<unsigned short>(id);
    }
}

bool VqCuttingPlane::freeID(int id) {
    VQ_CHECK(id > 0, "VqCuttingPlane", "freeID", VQ_ERR_ARGUMENT);
    if (id > s_nMaxPlaneIDs || !(s_uUsedIDs.fetch_and(~(1u << id)) & (1u << id)))
        VQ_FAIL("VqCuttingPlane", "freeID", "(_freeBits.testBit(id))", VQ_ERR_INTERNAL);
    return true;
}

int VqCuttingPlane::numIDsInUse() {
    return __builtin_popcount(s_uUsedIDs.load());
}

VqCuttingPlane::VqCuttingPlane(double a, double b, double c, double d) : _vPlane(a, b, c, d) {}

// A copy is a plane of its own: it gets an identifier when it is accumulated.
VqCuttingPlane::VqCuttingPlane(const VqCuttingPlane& o)
    : VqAttributeT(o), _vPlane(o._vPlane), _iStoredID(o._iStoredID), _vpAccPlanes(o._vpAccPlanes),
      _vpAccXforms(o._vpAccXforms), _uAccIDBits(o._uAccIDBits) {}

VqCuttingPlane::~VqCuttingPlane() {
    if (const unsigned short id = _iPlaneID.load()) freeID(id);
}

bool VqCuttingPlane::_apply(VqRenderContext&, const VqState*, bool, bool) const {
    return true;
}

bool VqCuttingPlane::clipsNothing() const {
    return _vPlane[0] == 0.0 && _vPlane[1] == 0.0 && _vPlane[2] == 0.0 && _vPlane[3] >= 0.0;
}

int VqCuttingPlane::numAccumulands() const {
    return isAccumulant() ? static_cast<int>(_vpAccPlanes.size()) : 1;
}

const VqAttribute* VqCuttingPlane::accumuland(int index) const {
    if (!isAccumulant()) return index == 0 ? this : nullptr;
    return index >= 0 && size_t(index) < _vpAccPlanes.size() ? _vpAccPlanes[size_t(index)].get() : nullptr;
}

bool VqCuttingPlane::accumulateHook(const VqAttribute& a, const VqState* state, const VqPath*) {
    const VqCuttingPlane* srcPlane = static_cast<const VqCuttingPlane*>(&a);
    if (srcPlane->clipsNothing()) return true;
    unsigned short id = srcPlane->_iPlaneID.load(std::memory_order_acquire);
    if (!id) {
        VqAutoLock lock(_lazyFillLock(srcPlane));
        id = srcPlane->_iPlaneID.load(std::memory_order_relaxed);
        if (!id) {
            id = allocID();
            if (!id) VQ_FAIL("VqCuttingPlane", "accumulateHook", "srcPlane->_iPlaneID", VQ_ERR_INTERNAL);
            srcPlane->_iPlaneID.store(id, std::memory_order_release);
        }
    }
    const VqXform* xf =
        state ? static_cast<const VqXform*>(state->attribute(VqXform::classTypeID())) : nullptr;
    const uint32_t bit = 1u << id;
    if (_uAccIDBits & bit) {
        for (size_t i = 0; i < _vpAccPlanes.size(); ++i)
            if (_vpAccPlanes[i]->planeID() == id) _vpAccXforms[i] = xf;
    } else {
        _vpAccPlanes.push_back(srcPlane);
        _vpAccXforms.push_back(xf);
        _uAccIDBits |= bit;
        _uFlags = srcPlane->_uFlags;
        _uInhibitMask = srcPlane->_uInhibitMask;
        _uFinalMask = srcPlane->_uFinalMask;
    }
    _resetHash();
    return true;
}

bool VqCuttingPlane::setPlane(double a, double b, double c, double d) {
    if (isAccumulant()) VQ_FAIL("VqCuttingPlane", "setPlane", "!isAccumulant()", VQ_ERR_INTERNAL);
    const bool wasNothing = clipsNothing();
    _vPlane = VqFixedVec<double, 4>(a, b, c, d);
    _resetHash();
    if (wasNothing != clipsNothing()) VQ_PROPAGATE(sendNotification(this, Vq::BaseChangeAll));
    return true;
}

bool VqCuttingPlane::_writeFields(VqObjectStream& os, const Vq::RecordFormat&) const {
    const unsigned short given = planeID();
    const unsigned short id = given ? given : _iStoredID;
    VQ_PROPAGATE(os.write(id) && os.write(_vPlane.data(), 4));
    return true;
}

bool VqCuttingPlane::_readFields(VqObjectStream& os, const Vq::RecordFormat&, int) {
    VQ_PROPAGATE(os.read(&_iStoredID) && os.read(_vPlane.data(), 4));
    _resetHash();
    return true;
}
