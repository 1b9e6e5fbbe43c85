#pragma once

#include "VqExport.h"
#include "VqVertexShapeImpl.h"

// The implementation of a VqTriStripSet: triangle strips, in a VqTriStripTopoMesh.
class VQ_API VqTriStripSetImpl : public Vq::Record<VqTriStripSetImpl, VqVertexShapeImpl> {
    VQ_DECLARE_TYPE(VqTriStripSetImpl)
public:
    explicit VqTriStripSetImpl(uint64_t eBindings = 0) : Record(eBindings) {}
    VqTriStripSetImpl(const VqTriStripSetImpl& o) = default;

    VqTopoMesh::PrimKind meshKind() const override { return VqTopoMesh::VQ_PRIM_TRISTRIP; }

    // A local version alone from format 9 on; the whole geometry before.
    bool _localVersionIn(const Vq::RecordFormat& f) const { return s_localVersionIn(f); }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& f) const {
        return _writeOlderGeometry(os, f);
    }
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& f, int) { return _readOlderGeometry(os, f); }

protected:
    VqTopoMesh* _newTopoMesh() const override;
};
