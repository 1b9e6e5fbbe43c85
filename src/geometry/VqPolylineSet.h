#pragma once

#include "VqAreaFactorShape.h"
#include "VqExport.h"

// A vertex shape of line strips, whose area is their length scaled by the
// area factor (see Vq::AreaFactorShape).
class VQ_API VqPolylineSet : public Vq::AreaFactorShape<VqPolylineSet> {
    VQ_DECLARE_TYPE(VqPolylineSet)
public:
    using AreaFactorShape::AreaFactorShape;
    VqPolylineSet(const VqPolylineSet& o) = default;

    VqShapeImpl* createImplInstance() const override;
};
