#include "VqRangeLOD.h"

#include "VqErrorState.h"
#include "VqFactory.h"

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

bool VqRangeLOD::_writeFields(VqObjectStream& os, const Vq::RecordFormat&) const {
    VQ_PROPAGATE(os.writeVecf(_vRangeLimits));
    return os.writeVec3f(_vCenter);
}

bool VqRangeLOD::_readFields(VqObjectStream& os, const Vq::RecordFormat&, int) {
    VQ_PROPAGATE(os.readVecf(_vRangeLimits));
    return os.readVec3f(_vCenter);
}

