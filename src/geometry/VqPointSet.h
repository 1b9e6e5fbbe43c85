#pragma once

#include "VqAreaFactorShape.h"
#include "VqExport.h"

// A vertex shape of points, whose area is their number scaled by the area
// factor (see Vq::AreaFactorShape).
class VQ_API VqPointSet : public Vq::AreaFactorShape<VqPointSet> {
    VQ_DECLARE_TYPE(VqPointSet)
public:
    using AreaFactorShape::AreaFactorShape;
    VqPointSet(const VqPointSet& o) = default;

    VqShapeImpl* createImplInstance() const override;

    // The factor came with format 8.1 (see VqVertexShapeKinds.cpp).
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

protected:
    // A format 8.0 file keeps a point set's bindings with its implementation only.
    void _fixupBindings(const VqShapeImpl& impl) const override;
};
