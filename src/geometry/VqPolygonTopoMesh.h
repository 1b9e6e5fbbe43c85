#pragma once

#include "VqExport.h"
#include "VqTopoMesh.h"

#include <cstdint>

// A topology mesh of polygons, each primitive one polygon of at least three
// corners in winding order.
class VQ_API VqPolygonTopoMesh : public VqTopoMesh {
    VQ_DECLARE_TYPE(VqPolygonTopoMesh)
public:
    VqPolygonTopoMesh() : VqTopoMesh(static_cast<VqVertexRecordPool*>(nullptr)) {}
    explicit VqPolygonTopoMesh(uint64_t eBindings) : VqTopoMesh(eBindings) {}
    explicit VqPolygonTopoMesh(VqVertexRecordPool* pPool) : VqTopoMesh(pPool) {}
    VqPolygonTopoMesh(const VqPolygonTopoMesh& o) = default;

    PrimKind primKind() const override { return VQ_PRIM_POLYGON; }
};
