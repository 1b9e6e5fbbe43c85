#pragma once

#include "VqExport.h"
#include "VqTopoMesh.h"

#include <cstdint>

// A topology mesh of polygons, each primitive one polygon of at least three
// corners in winding order.
class VQ_API VqPolygonTopoMesh : public Vq::Record<VqPolygonTopoMesh, VqTopoMesh> {
    VQ_DECLARE_TYPE(VqPolygonTopoMesh)
public:
    VqPolygonTopoMesh() : Record(static_cast<VqVertexRecordPool*>(nullptr)) {}
    explicit VqPolygonTopoMesh(uint64_t eBindings) : Record(eBindings) {}
    explicit VqPolygonTopoMesh(VqVertexRecordPool* pPool) : Record(pPool) {}
    VqPolygonTopoMesh(const VqPolygonTopoMesh& o) = default;

    PrimKind primKind() const override { return VQ_PRIM_POLYGON; }

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
