#pragma once

#include "VqExport.h"
#include "VqVertexShapeImplKind.h"

// The implementation of a VqPolygonSet: polygons, in a VqPolygonTopoMesh.
class VQ_API VqPolygonSetImpl
    : public Vq::VertexShapeImplKind<VqPolygonSetImpl, VqTopoMesh::VQ_PRIM_POLYGON> {
    VQ_DECLARE_TYPE(VqPolygonSetImpl)
public:
    using VertexShapeImplKind::VertexShapeImplKind;
    VqPolygonSetImpl(const VqPolygonSetImpl& o) = default;

protected:
    VqTopoMesh* _newTopoMesh() const override;
};
