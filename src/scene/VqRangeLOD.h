#pragma once

#include "VqFixedVec.h"
#include "VqLOD.h"

// A level-of-detail group that selects its child by distance from a centre.
class VqRangeLOD : public VqLOD {
    VQ_DECLARE_TYPE(VqRangeLOD)
public:
    VqRangeLOD() = default;
    VqRangeLOD(const VqRangeLOD& o) : VqLOD(o), _vRangeLimits(o._vRangeLimits), _vCenter(o._vCenter) {}

    bool setRangeLimit(int index, float limit);
    // One limit per child.
    bool setRangeLimits(const std::vector<float>& ranges);
    const std::vector<float>& rangeLimits() const { return _vRangeLimits; }
    void setCenter(const VqFixedVec<float, 3>& center) { _vCenter = center; }
    const VqFixedVec<float, 3>& center() const { return _vCenter; }

    bool _serializeVQ64virtual(VqObjectStream& os) const override;
    bool _serializeVQ90virtual(VqObjectStream& os) const override;
    bool _serializeVQ100virtual(VqObjectStream& os) const override;
    bool _deserializeVQvirtual(VqObjectStream& os) override;
    bool _deserializeVQ90virtual(VqObjectStream& os) override;
    bool _deserializeVQ100virtual(VqObjectStream& os) override;

private:
    bool _serializeFields(VqObjectStream& os) const;
    bool _deserializeFields(VqObjectStream& os);

    std::vector<float> _vRangeLimits;
    VqFixedVec<float, 3> _vCenter;
};
