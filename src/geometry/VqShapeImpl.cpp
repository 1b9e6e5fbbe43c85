#include "VqShapeImpl.h"

#include "VqFactory.h"

VQ_IMPLEMENT_ABSTRACT_TYPE(VqShapeImpl, VqPropBase, CLSID_ZQShapeImpl)

// A copy starts with its own caches: the copy may be edited apart from the original.
VqShapeImpl::VqShapeImpl(const VqShapeImpl& o) : Record(o), _uFlags(o._uFlags) {}

bool VqShapeImpl::shrink() {
    return true;
}

float VqShapeImpl::area() const {
    if (_fArea == -1.0f) _fArea = computeArea();
    return _fArea;
}

int VqShapeImpl::size() const {
    if (_iSize == -1) _iSize = computeSize();
    return _iSize;
}

const VqBox3<float>& VqShapeImpl::bbox() const {
    if (!_bBBoxValid) {
        VqBox3<float> b;
        if (computeBBox(b)) {
            _bbox = b;
            _bBBoxValid = true;
        }
    }
    return _bbox;
}

bool VqShapeImpl::numVertices(VqFixedVec<int, 2>& out) const {
    out = VqFixedVec<int, 2>(0, 0);
    return true;
}

bool VqShapeImpl::numPolygons(VqFixedVec<int, 2>& out) const {
    out = VqFixedVec<int, 2>(0, 0);
    return true;
}

bool VqShapeImpl::computeBBox(VqBox3<float>& box) const {
    box = VqBox3<float>();
    return true;
}

bool VqShapeImpl::getClosestNumVertsAndPolys(int& nVerts, int& nPolys) const {
    VqFixedVec<int, 2> v, p;
    if (!numVertices(v) || !numPolygons(p)) return false;
    nVerts = v[0];
    nPolys = p[0];
    return true;
}

bool VqShapeImpl::getMaxNumVertsAndPolys(int& nVerts, int& nPolys) const {
    VqFixedVec<int, 2> v, p;
    if (!numVertices(v) || !numPolygons(p)) return false;
    nVerts = v[1];
    nPolys = p[1];
    return true;
}

void VqShapeImpl::invalidateCaches() const {
    _bbox.makeEmpty();
    _bBBoxValid = false;
    _fArea = -1.0f;
    _iSize = -1;
}

bool VqShapeImpl::_writeFields(VqObjectStream&, const Vq::RecordFormat&) const {
    return true;
}

bool VqShapeImpl::_readFields(VqObjectStream&, const Vq::RecordFormat&, int) {
    _iStreamPos = -1;
    return true;
}
