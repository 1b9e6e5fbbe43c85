#pragma once

#include "VqExport.h"
#include "VqFixedVec.h"
#include "VqLOD.h"

// A level-of-detail group that selects its child by distance from a centre.
class VQ_API VqRangeLOD : public Vq::Record<VqRangeLOD, VqLOD> {
    VQ_DECLARE_TYPE(VqRangeLOD)
public:
    VqRangeLOD() = default;
    VqRangeLOD(const VqRangeLOD& o) : Record(o), _vRangeLimits(o._vRangeLimits), _vCenter(o._vCenter) {}

    bool setRangeLimit(int index, float limit);
    // One limit per child.
    bool setRangeLimits(const std::vector<float>& ranges);
    const std::vector<float>& rangeLimits() const { return _vRangeLimits; }
    void setCenter(const VqFixedVec<float, 3>& center) { _vCenter = center; }
    const VqFixedVec<float, 3>& center() const { return _vCenter; }

    // The range LOD's level: the range limits and the centre.
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

private:
    std::vector<float> _vRangeLimits;
    VqFixedVec<float, 3> _vCenter;
};
