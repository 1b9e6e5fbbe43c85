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

    // A local version alone from format 9 on; the whole geometry before.
    bool _localVersionIn(const Vq::RecordFormat& f) const { return s_localVersionIn(f); }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& f) const {
        return _writeOlderGeometry(os, f);
    }
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& f, int) { return _readOlderGeometry(os, f); }

protected:
    VqTopoMesh* _newTopoMesh() const override;
};
