#pragma once

#include "VqExport.h"
#include "VqVertexShapeImplKind.h"

// The implementation of a VqPointSet: points, in a VqPointTopoMesh.
class VQ_API VqPointSetImpl : public Vq::VertexShapeImplKind<VqPointSetImpl, VqTopoMesh::VQ_PRIM_POINT> {
    VQ_DECLARE_TYPE(VqPointSetImpl)
public:
    using VertexShapeImplKind::VertexShapeImplKind;
    VqPointSetImpl(const VqPointSetImpl& o) = default;

protected:
    VqTopoMesh* _newTopoMesh() const override;
};
