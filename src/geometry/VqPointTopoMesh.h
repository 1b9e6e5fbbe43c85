#pragma once

#include "VqExport.h"
#include "VqTopoMesh.h"

#include <cstdint>

// A topology mesh of points: every index is an atom of its own. It has
// vertices but no facets.
class VQ_API VqPointTopoMesh : public VqTopoMesh {
    VQ_DECLARE_TYPE(VqPointTopoMesh)
public:
    VqPointTopoMesh() : VqTopoMesh(static_cast<VqVertexRecordPool*>(nullptr)) {}
    explicit VqPointTopoMesh(uint64_t eBindings) : VqTopoMesh(eBindings) {}
    explicit VqPointTopoMesh(VqVertexRecordPool* pPool) : VqTopoMesh(pPool) {}
    VqPointTopoMesh(const VqPointTopoMesh& o) = default;

    PrimKind primKind() const override { return VQ_PRIM_POINT; }
};
