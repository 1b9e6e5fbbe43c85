#pragma once

#include "VqExport.h"
#include "VqVertexShapeImpl.h"

// The implementation of a VqPointSet: points, in a VqPointTopoMesh.
class VQ_API VqPointSetImpl : public Vq::Record<VqPointSetImpl, VqVertexShapeImpl> {
    VQ_DECLARE_TYPE(VqPointSetImpl)
public:
    explicit VqPointSetImpl(uint64_t eBindings = 0) : Record(eBindings) {}
    VqPointSetImpl(const VqPointSetImpl& o) = default;

    VqTopoMesh::PrimKind meshKind() const override { return VqTopoMesh::VQ_PRIM_POINT; }

    // A local version alone.
    bool _writeFields(VqObjectStream&, const Vq::RecordFormat&) const { return true; }
    bool _readFields(VqObjectStream&, const Vq::RecordFormat&, int) { return true; }

protected:
    VqTopoMesh* _newTopoMesh() const override;
};
