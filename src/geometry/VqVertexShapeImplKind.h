#pragma once

#include "VqExport.h"
#include "VqVertexShapeImpl.h"

namespace Vq {

// The record level of a vertex shape kind's implementation, which the kinds
// share but for their mesh: from format 9 on it holds a local version alone,
// before that the whole geometry (see VqVertexShapeImpl).
template <class Derived, VqTopoMesh::PrimKind eKind>
class VQ_API VertexShapeImplKind : public Vq::Record<Derived, VqVertexShapeImpl> {
public:
    explicit VertexShapeImplKind(uint64_t eBindings = 0)
        : Vq::Record<Derived, VqVertexShapeImpl>(eBindings) {}

    VqTopoMesh::PrimKind meshKind() const override { return eKind; }

    bool _localVersionIn(const Vq::RecordFormat& f) const { return VqVertexShapeImpl::s_localVersionIn(f); }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& f) const {
        return this->_writeOlderGeometry(os, f);
    }
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& f, int) {
        return this->_readOlderGeometry(os, f);
    }
};

} // namespace Vq
