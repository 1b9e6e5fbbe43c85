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

    // A local version alone.
    bool _writeFields(VqObjectStream&, const Vq::RecordFormat&) const { return true; }
    bool _readFields(VqObjectStream&, const Vq::RecordFormat&, int) { return true; }

protected:
    VqTopoMesh* _newTopoMesh() const override;
};
