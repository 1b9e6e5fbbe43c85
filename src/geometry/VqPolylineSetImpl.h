#pragma once

#include "VqExport.h"
#include "VqVertexShapeImplKind.h"

// The implementation of a VqPolylineSet: line strips, in a VqLineStripTopoMesh.
class VQ_API VqPolylineSetImpl
    : public Vq::VertexShapeImplKind<VqPolylineSetImpl, VqTopoMesh::VQ_PRIM_LINESTRIP> {
    VQ_DECLARE_TYPE(VqPolylineSetImpl)
public:
    using VertexShapeImplKind::VertexShapeImplKind;
    VqPolylineSetImpl(const VqPolylineSetImpl& o) = default;

protected:
    VqTopoMesh* _newTopoMesh() const override;
};
