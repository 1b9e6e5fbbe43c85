#pragma once

#include "VqExport.h"
#include "VqVertexShape.h"

// A vertex shape of triangle strips. Its record is the vertex shape's.
class VQ_API VqTriStripSet : public VqVertexShape {
    VQ_DECLARE_TYPE(VqTriStripSet)
public:
    explicit VqTriStripSet(uint64_t eBindings = 0) : VqVertexShape(eBindings) {}
    VqTriStripSet(const VqTriStripSet& o) = default;

    VqShapeImpl* createImplInstance() const override;
};
