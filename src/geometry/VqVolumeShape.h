#pragma once

#include "VqExport.h"
#include "VqShape.h"

// A volume (an octree) built from another shape; formats 9 and 10 hold it.
// The node's record is the shape's; the octree is the implementation's.
class VQ_API VqVolumeShape : public VqShape {
    VQ_DECLARE_TYPE(VqVolumeShape)
public:
    VqVolumeShape() = default;
    VqVolumeShape(const VqVolumeShape& o) = default;

    VqShapeImpl* createImplInstance() const override;
    bool isPostV82Content() const override { return true; }
};
