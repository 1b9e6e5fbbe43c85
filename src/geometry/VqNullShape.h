#pragma once

#include "VqExport.h"
#include "VqShape.h"

// A shape that occupies an extent without geometry (a stand-in for what is
// not there). Its record is the shape's.
class VQ_API VqNullShape : public VqShape {
    VQ_DECLARE_TYPE(VqNullShape)
public:
    VqNullShape() = default;
    VqNullShape(const VqNullShape& o) = default;

    VqShapeImpl* createImplInstance() const override;
};
