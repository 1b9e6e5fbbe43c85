#include "VqLOD.h"

#include "VqErrorState.h"
#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(VqLOD, VqGroup, CLSID_ZQLOD)

bool VqLOD::setRelativeQuality(int index, float quality) {
    if (!(index >= 0 && static_cast<unsigned int>(index) < numChildren()))
        VQ_FAIL("VqLOD", "setRelativeQuality", "index >= 0 && VqUInt32(index) < numChildren()",
                VQ_ERR_ARGUMENT);
    if (static_cast<size_t>(index) >= _vRelQualities.size())
        _vRelQualities.resize(static_cast<size_t>(index) + 1);
    _vRelQualities[static_cast<size_t>(index)] = quality;
    return setModifiedFlag(true);
}

bool VqLOD::relativeQuality(int index, float& quality) const {
    if (!(index >= 0 && static_cast<unsigned int>(index) < numChildren()))
        VQ_FAIL("VqLOD", "relativeQuality", "index >= 0 && VqUInt32(index) < numChildren()", VQ_ERR_ARGUMENT);
    if (static_cast<size_t>(index) >= _vRelQualities.size())
        _vRelQualities.resize(static_cast<size_t>(index) + 1);
    quality = _vRelQualities[static_cast<size_t>(index)];
    return true;
}

void VqLOD::relativeQualities(const float*& list, int& count) const {
    list = _vRelQualities.data();
    count = static_cast<int>(_vRelQualities.size());
}

bool VqLOD::setForcedChild(int iChild) {
    if (!(iChild == -1 || static_cast<unsigned int>(iChild) < numChildren()))
        VQ_FAIL("VqLOD", "setForcedChild", "iChild == -1 || VqUInt32(iChild) < numChildren()",
                VQ_ERR_ARGUMENT);
    if (iChild == _iForcedChild) return true;
    _iForcedChild = iChild;
    // What a traversal visits below this node changed.
    return invalidateState(VQ_INVAL_STATE, true);
}

void VqLOD::_setForcedFromMask(uint32_t mask) {
    _iForcedChild = -1;
    if (mask == 0 || mask == 0xFFFFFFFFu) return;
    for (int i = 0; i < 32; ++i)
        if (mask & (1u << i)) {
            _iForcedChild = i;
            return;
        }
}

// Cooked children: only the forced child when there is one.
VqNode* VqLOD::child(int index, bool cooked) const {
    if (!cooked || _iForcedChild < 0) return VqGroup::child(index, false);
    if (index != 0) {
        VqErrorState::throwStdError("VqLOD", "child", "May only ask for cooked child 0", VQ_ERR_ARGUMENT);
        return nullptr;
    }
    return VqGroup::child(_iForcedChild, false);
}

unsigned int VqLOD::numChildren(bool cooked) const {
    if (!cooked || _iForcedChild < 0) return VqGroup::numChildren(false);
    return static_cast<size_t>(_iForcedChild) < _vpChildren.size() ? 1u : 0u;
}

bool VqLOD::children(VqNode* const*& list, unsigned int& count, bool cooked) const {
    if (!cooked || _iForcedChild < 0) return VqGroup::children(list, count, false);
    bool present = static_cast<size_t>(_iForcedChild) < _vpChildren.size();
    list = present ? &_vpChildren[static_cast<size_t>(_iForcedChild)] : nullptr;
    count = present ? 1u : 0u;
    return true;
}

// The forced child is never stored: the mask written is always 0.
bool VqLOD::_writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
    if (fmt.generation() == 10) return true;
    VQ_PROPAGATE(os.writeVecf(_vRelQualities));
    return os.write(0u);
}

bool VqLOD::_readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int) {
    if (fmt.generation() == 10) {
        _vRelQualities.clear();
        _iForcedChild = -1;
        return true;
    }
    // Format 6.0 files have no qualities.
    if (fmt.atLeast(6, 1)) VQ_PROPAGATE(os.readVecf(_vRelQualities));
    unsigned int mask = 0;
    VQ_PROPAGATE(os.read(&mask));
    _setForcedFromMask(mask);
    return true;
}
