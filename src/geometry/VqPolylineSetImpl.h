#pragma once

#include "VqExport.h"
#include "VqVertexShapeImpl.h"

// The implementation of a VqPolylineSet: line strips, in a VqLineStripTopoMesh.
class VQ_API VqPolylineSetImpl : public Vq::Record<VqPolylineSetImpl, VqVertexShapeImpl> {
    VQ_DECLARE_TYPE(VqPolylineSetImpl)
public:
    explicit VqPolylineSetImpl(uint64_t eBindings = 0) : Record(eBindings) {}
    VqPolylineSetImpl(const VqPolylineSetImpl& o) = default;

    VqTopoMesh::PrimKind meshKind() const override { return VqTopoMesh::VQ_PRIM_LINESTRIP; }

    // A local version alone from format 9 on; the whole geometry before.
    bool _localVersionIn(const Vq::RecordFormat& f) const { return s_localVersionIn(f); }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& f) const {
        return _writeOlderGeometry(os, f);
    }
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& f, int) { return _readOlderGeometry(os, f); }

protected:
    VqTopoMesh* _newTopoMesh() const override;
};
