#pragma once

#include "VqExport.h"
#include "VqVertexShape.h"

// A vertex shape of polygons. Its record is the vertex shape's.
class VQ_API VqPolygonSet : public VqVertexShape {
    VQ_DECLARE_TYPE(VqPolygonSet)
public:
    explicit VqPolygonSet(uint64_t eBindings = 0) : VqVertexShape(eBindings) {}
    VqPolygonSet(const VqPolygonSet& o) = default;

    VqShapeImpl* createImplInstance() const override;
};
