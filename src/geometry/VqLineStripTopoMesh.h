#pragma once

#include "VqExport.h"
#include "VqTopoMesh.h"

#include <cstdint>

// A topology mesh of line strips: a primitive of k >= 2 indices holds k - 1
// segments. It has vertices but no facets.
class VQ_API VqLineStripTopoMesh : public Vq::Record<VqLineStripTopoMesh, VqTopoMesh> {
    VQ_DECLARE_TYPE(VqLineStripTopoMesh)
public:
    VqLineStripTopoMesh() : Record(static_cast<VqVertexRecordPool*>(nullptr)) {}
    explicit VqLineStripTopoMesh(uint64_t eBindings) : Record(eBindings) {}
    explicit VqLineStripTopoMesh(VqVertexRecordPool* pPool) : Record(pPool) {}
    VqLineStripTopoMesh(const VqLineStripTopoMesh& o) = default;

    PrimKind primKind() const override { return VQ_PRIM_LINESTRIP; }

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
