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

// ---- Area factors

float VqPolylineSet::s_fDefaultAreaFactor = 0.01f;
float VqPointSet::s_fDefaultAreaFactor = 0.01f;

namespace {
bool checkFactor(float factor, const char* cls, const char* method) {
    if (!(factor >= 0.0f)) VQ_FAIL(cls, method, "factor >= 0.0f", VQ_ERR_ARGUMENT);
    return true;
}
} // namespace

bool VqPolylineSet::setAreaFactor(float factor) {
    VQ_PROPAGATE(checkFactor(factor, "VqPolylineSet", "setAreaFactor"));
    _fAreaFactor = factor;
    return invalidateState(VQ_INVAL_AREA);
}
bool VqPolylineSet::setDefaultAreaFactor(float factor) {
    VQ_PROPAGATE(checkFactor(factor, "VqPolylineSet", "setDefaultAreaFactor"));
    s_fDefaultAreaFactor = factor;
    return true;
}
bool VqPointSet::setAreaFactor(float factor) {
    VQ_PROPAGATE(checkFactor(factor, "VqPointSet", "setAreaFactor"));
    _fAreaFactor = factor;
    return invalidateState(VQ_INVAL_AREA);
}
bool VqPointSet::setDefaultAreaFactor(float factor) {
    VQ_PROPAGATE(checkFactor(factor, "VqPointSet", "setDefaultAreaFactor"));
    s_fDefaultAreaFactor = factor;
    return true;
}

void VqPointSet::_fixupBindings(const VqShapeImpl& impl) const {
    if (const auto* v = Vq::typeCast<VqVertexShapeImpl>(&impl))
        const_cast<VqPointSet*>(this)->_eBindings = v->bindings();
}

// ---- Records of the area-factor levels

bool VqPolylineSet::_writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
    return _writeAreaFactor(os, fmt, _fAreaFactor, _eBindings);
}
bool VqPolylineSet::_readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion) {
    return _readAreaFactor(os, fmt, localVersion, _fAreaFactor, _eBindings);
}

// A point set's factor came with format 8.1: earlier records end with the
// vertex shape's level.
bool VqPointSet::_writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
    if (fmt.before(8, 1)) return true;
    return _writeAreaFactor(os, fmt, _fAreaFactor, _eBindings);
}
bool VqPointSet::_readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion) {
    if (fmt.before(8, 1)) return true;
    return _readAreaFactor(os, fmt, localVersion, _fAreaFactor, _eBindings);
}
