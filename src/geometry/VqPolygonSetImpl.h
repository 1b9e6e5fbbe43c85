#pragma once

#include "VqExport.h"
#include "VqVertexShapeImpl.h"

// The implementation of a VqPolygonSet: polygons, in a VqPolygonTopoMesh.
class VQ_API VqPolygonSetImpl : public Vq::Record<VqPolygonSetImpl, VqVertexShapeImpl> {
    VQ_DECLARE_TYPE(VqPolygonSetImpl)
public:
    explicit VqPolygonSetImpl(uint64_t eBindings = 0) : Record(eBindings) {}
    VqPolygonSetImpl(const VqPolygonSetImpl& o) = default;

    VqTopoMesh::PrimKind meshKind() const override { return VqTopoMesh::VQ_PRIM_POLYGON; }

    // A local version alone.
    bool _writeFields(VqObjectStream&, const Vq::RecordFormat&) const { return true; }
    bool _readFields(VqObjectStream&, const Vq::RecordFormat&, int) { return true; }

protected:
    VqTopoMesh* _newTopoMesh() const override;
};
