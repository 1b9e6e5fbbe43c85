#include "VqRangeLOD.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqLocalVersion.h"

VQ_IMPLEMENT_TYPE(VqRangeLOD, VqLOD, CLSID_ZQRangeLOD)

bool VqRangeLOD::setRangeLimit(int index, float limit) {
    if (!(index >= 0 && static_cast<unsigned int>(index) < numChildren()))
        VQ_FAIL("VqRangeLOD", "setRangeLimit", "index >= 0 && VqUInt32(index) < numChildren()",
                VQ_ERR_ARGUMENT);
    if (static_cast<size_t>(index) >= _vRangeLimits.size())
        _vRangeLimits.resize(static_cast<size_t>(index) + 1);
    _vRangeLimits[static_cast<size_t>(index)] = limit;
    return setModifiedFlag(true);
}

bool VqRangeLOD::setRangeLimits(const std::vector<float>& ranges) {
    if (ranges.size() != numChildren())
        VQ_FAIL("VqRangeLOD", "setRangeLimits", "ranges.length() == numChildren()", VQ_ERR_ARGUMENT);
    _vRangeLimits = ranges;
    return setModifiedFlag(true);
}

bool VqRangeLOD::_serializeFields(VqObjectStream& os) const {
    VQ_PROPAGATE(os.writeVecf(_vRangeLimits));
    return os.writeVec3f(_vCenter);
}

bool VqRangeLOD::_deserializeFields(VqObjectStream& os) {
    VQ_PROPAGATE(os.readVecf(_vRangeLimits));
    return os.readVec3f(_vCenter);
}

bool VqRangeLOD::_serializeVQ64virtual(VqObjectStream& os) const {
    VQ_PROPAGATE(VqLOD::_serializeVQ64virtual(os));
    return _serializeFields(os);
}
bool VqRangeLOD::_serializeVQ90virtual(VqObjectStream& os) const {
    VQ_PROPAGATE(VqLOD::_serializeVQ90virtual(os));
    VQ_PROPAGATE(Vq::writeLocalVersion9(os, 1));
    return _serializeFields(os);
}
bool VqRangeLOD::_serializeVQ100virtual(VqObjectStream& os) const {
    VQ_PROPAGATE(VqLOD::_serializeVQ100virtual(os));
    VQ_PROPAGATE(Vq::writeLocalVersion10(os, 1));
    return _serializeFields(os);
}
bool VqRangeLOD::_deserializeVQvirtual(VqObjectStream& os) {
    VQ_PROPAGATE(VqLOD::_deserializeVQvirtual(os));
    return _deserializeFields(os);
}
bool VqRangeLOD::_deserializeVQ90virtual(VqObjectStream& os) {
    VQ_PROPAGATE(VqLOD::_deserializeVQ90virtual(os));
    int lv = 0;
    VQ_PROPAGATE(Vq::readLocalVersion9(os, lv, "VqRangeLOD", "_deserializeVQ90virtual"));
    return _deserializeFields(os);
}
bool VqRangeLOD::_deserializeVQ100virtual(VqObjectStream& os) {
    VQ_PROPAGATE(VqLOD::_deserializeVQ100virtual(os));
    int lv = 0;
    VQ_PROPAGATE(Vq::readLocalVersion10(os, lv, "VqRangeLOD", "_deserializeVQ100virtual"));
    return _deserializeFields(os);
}
