#pragma once

#include "VqExport.h"
#include "VqVertexShapeImpl.h"

// The implementation of a VqPointSet: points, in a VqPointTopoMesh.
class VQ_API VqPointSetImpl : public Vq::Record<VqPointSetImpl, VqVertexShapeImpl> {
    VQ_DECLARE_TYPE(VqPointSetImpl)
public:
    explicit VqPointSetImpl(uint64_t eBindings = 0) : Record(eBindings) {}
    VqPointSetImpl(const VqPointSetImpl& o) = default;

    VqTopoMesh::PrimKind meshKind() const override { return VqTopoMesh::VQ_PRIM_POINT; }

    // A local version alone from format 9 on; the whole geometry before.
    bool _localVersionIn(const Vq::RecordFormat& f) const { return s_localVersionIn(f); }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& f) const {
        return _writeOlderGeometry(os, f);
    }
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& f, int) { return _readOlderGeometry(os, f); }

protected:
    VqTopoMesh* _newTopoMesh() const override;
};
