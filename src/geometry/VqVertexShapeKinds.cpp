// The four vertex shape kinds and their implementations.
#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqLineStripTopoMesh.h"
#include "VqObjectStream.h"
#include "VqPointSet.h"
#include "VqPointSetImpl.h"
#include "VqPointTopoMesh.h"
#include "VqPolygonSet.h"
#include "VqPolygonSetImpl.h"
#include "VqPolygonTopoMesh.h"
#include "VqPolylineSet.h"
#include "VqPolylineSetImpl.h"
#include "VqTriStripSet.h"
#include "VqTriStripSetImpl.h"
#include "VqTriStripTopoMesh.h"

VQ_IMPLEMENT_TYPE(VqTriStripSet, VqVertexShape, CLSID_ZQTriStripSet)
VQ_IMPLEMENT_TYPE(VqPolylineSet, VqVertexShape, CLSID_ZQPolylineSet)
VQ_IMPLEMENT_TYPE(VqPolygonSet, VqVertexShape, CLSID_ZQPolygonSet)
VQ_IMPLEMENT_TYPE(VqPointSet, VqVertexShape, CLSID_ZQPointSet)
VQ_IMPLEMENT_TYPE(VqTriStripSetImpl, VqVertexShapeImpl, CLSID_ZQTriStripSetImpl)
VQ_IMPLEMENT_TYPE(VqPolylineSetImpl, VqVertexShapeImpl, CLSID_ZQPolylineSetImpl)
VQ_IMPLEMENT_TYPE(VqPolygonSetImpl, VqVertexShapeImpl, CLSID_ZQPolygonSetImpl)
VQ_IMPLEMENT_TYPE(VqPointSetImpl, VqVertexShapeImpl, CLSID_ZQPointSetImpl)

VqShapeImpl* VqTriStripSet::createImplInstance() const {
    return new VqTriStripSetImpl(_eBindings);
}
VqShapeImpl* VqPolylineSet::createImplInstance() const {
    return new VqPolylineSetImpl(_eBindings);
}
VqShapeImpl* VqPolygonSet::createImplInstance() const {
    return new VqPolygonSetImpl(_eBindings);
}
VqShapeImpl* VqPointSet::createImplInstance() const {
    return new VqPointSetImpl(_eBindings);
}

VqTopoMesh* VqTriStripSetImpl::_newTopoMesh() const {
    return new VqTriStripTopoMesh();
}
VqTopoMesh* VqPolylineSetImpl::_newTopoMesh() const {
    return new VqLineStripTopoMesh();
}
VqTopoMesh* VqPolygonSetImpl::_newTopoMesh() const {
    return new VqPolygonTopoMesh();
}
VqTopoMesh* VqPointSetImpl::_newTopoMesh() const {
    return new VqPointTopoMesh();
}

// ---- Points

void VqPointSet::_fixupBindings(const VqShapeImpl& impl) const {
    if (const auto* v = Vq::typeCast<VqVertexShapeImpl>(&impl))
        const_cast<VqPointSet*>(this)->_eBindings = v->bindings();
}

// A point set's factor came with format 8.1: earlier records end with the
// vertex shape's level.
bool VqPointSet::_writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
    if (fmt.before(8, 1)) return true;
    return AreaFactorShape::_writeFields(os, fmt);
}
bool VqPointSet::_readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion) {
    if (fmt.before(8, 1)) return true;
    return AreaFactorShape::_readFields(os, fmt, localVersion);
}
