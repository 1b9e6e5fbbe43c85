#pragma once

#include "VqExport.h"
#include "VqVertexShapeImpl.h"

// The implementation of a VqPolylineSet: line strips, in a VqLineStripTopoMesh.
class VQ_API VqPolylineSetImpl : public Vq::Record<VqPolylineSetImpl, VqVertexShapeImpl> {
    VQ_DECLARE_TYPE(VqPolylineSetImpl)
public:
    explicit VqPolylineSetImpl(uint64_t eBindings = 0) : Record(eBindings) {}
    VqPolylineSetImpl(const VqPolylineSetImpl& o) = default;

    VqTopoMesh::PrimKind meshKind() const override { return VqTopoMesh::VQ_PRIM_LINESTRIP; }

    // A local version alone.
    bool _writeFields(VqObjectStream&, const Vq::RecordFormat&) const { return true; }
    bool _readFields(VqObjectStream&, const Vq::RecordFormat&, int) { return true; }

protected:
    VqTopoMesh* _newTopoMesh() const override;
};
