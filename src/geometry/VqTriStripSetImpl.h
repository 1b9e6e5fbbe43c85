#pragma once

#include "VqExport.h"
#include "VqVertexShapeImplKind.h"

// The implementation of a VqTriStripSet: triangle strips, in a VqTriStripTopoMesh.
class VQ_API VqTriStripSetImpl
    : public Vq::VertexShapeImplKind<VqTriStripSetImpl, VqTopoMesh::VQ_PRIM_TRISTRIP> {
    VQ_DECLARE_TYPE(VqTriStripSetImpl)
public:
    using VertexShapeImplKind::VertexShapeImplKind;
    VqTriStripSetImpl(const VqTriStripSetImpl& o) = default;

protected:
    VqTopoMesh* _newTopoMesh() const override;
};
