#pragma once

#include "VqExport.h"
#include "VqTopoMesh.h"

#include <cstdint>

// A topology mesh of points: every index is an atom of its own. It has
// vertices but no facets.
class VQ_API VqPointTopoMesh : public Vq::Record<VqPointTopoMesh, VqTopoMesh> {
    VQ_DECLARE_TYPE(VqPointTopoMesh)
public:
    VqPointTopoMesh() : Record(static_cast<VqVertexRecordPool*>(nullptr)) {}
    explicit VqPointTopoMesh(uint64_t eBindings) : Record(eBindings) {}
    explicit VqPointTopoMesh(VqVertexRecordPool* pPool) : Record(pPool) {}
    VqPointTopoMesh(const VqPointTopoMesh& o) = default;

    PrimKind primKind() const override { return VQ_PRIM_POINT; }

    // A record that fails to read leaves the mesh empty.
    bool _deserializeVQvirtual(VqObjectStream& os) override {
        return _readWhole([&] { return Record::_deserializeVQvirtual(os); });
    }
    bool _deserializeVQ90virtual(VqObjectStream& os) override {
        return _readWhole([&] { return Record::_deserializeVQ90virtual(os); });
    }
    bool _deserializeVQ100virtual(VqObjectStream& os) override {
        return _readWhole([&] { return Record::_deserializeVQ100virtual(os); });
    }
    // Record of this level (see VqTopoMeshRecord.cpp).
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);
};
