#pragma once

#include "VqExport.h"
#include "VqTopoMesh.h"

#include <cstdint>

// A topology mesh of triangle strips: a primitive of k >= 3 indices holds
// k - 2 triangles, odd ones wound (s[i + 1], s[i], s[i + 2]). Strips turn
// through degenerate triangles (a repeated index), which are atoms but not
// facets. VqTriStripperEngine builds such meshes from triangle lists.
class VQ_API VqTriStripTopoMesh : public Vq::Record<VqTriStripTopoMesh, VqTopoMesh> {
    VQ_DECLARE_TYPE(VqTriStripTopoMesh)
public:
    VqTriStripTopoMesh() : Record(static_cast<VqVertexRecordPool*>(nullptr)) {}
    explicit VqTriStripTopoMesh(uint64_t eBindings) : Record(eBindings) {}
    explicit VqTriStripTopoMesh(VqVertexRecordPool* pPool) : Record(pPool) {}
    VqTriStripTopoMesh(const VqTriStripTopoMesh& o) = default;

    PrimKind primKind() const override { return VQ_PRIM_TRISTRIP; }

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
