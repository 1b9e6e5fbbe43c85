#pragma once

#include "VqExport.h"
#include "VqTopoMesh.h"

#include <cstdint>

// A topology mesh of line strips: a primitive of k >= 2 indices holds k - 1
// segments. It has vertices but no facets.
class VQ_API VqLineStripTopoMesh : public VqTopoMesh {
    VQ_DECLARE_TYPE(VqLineStripTopoMesh)
public:
    VqLineStripTopoMesh() : VqTopoMesh(static_cast<VqVertexRecordPool*>(nullptr)) {}
    explicit VqLineStripTopoMesh(uint64_t eBindings) : VqTopoMesh(eBindings) {}
    explicit VqLineStripTopoMesh(VqVertexRecordPool* pPool) : VqTopoMesh(pPool) {}
    VqLineStripTopoMesh(const VqLineStripTopoMesh& o) = default;

    PrimKind primKind() const override { return VQ_PRIM_LINESTRIP; }
};
