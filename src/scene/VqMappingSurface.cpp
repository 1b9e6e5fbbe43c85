#include "VqMappingSurface.h"

#include "VqHashBuilder.h"

#include <cstring>
#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(VqMappingSurface, VqBase, CLSID_ZQMappingSurface)
VQ_IMPLEMENT_TYPE(VqMappingPlane, VqMappingSurface, CLSID_ZQMappingPlane)
VQ_IMPLEMENT_TYPE(VqMappingCylinder, VqMappingSurface, CLSID_ZQMappingCylinder)
VQ_IMPLEMENT_TYPE(VqMappingSphere, VqMappingSurface, CLSID_ZQMappingSphere)
VQ_IMPLEMENT_TYPE(VqMappingTriPlanar, VqMappingSurface, CLSID_ZQMappingTriPlanar)

bool VqMappingSurface::setCoordSys(VqCoordSystem cs) {
    VQ_CHECK(cs != VQ_COORDSYS_NONE, "VqMappingSurface", "setCoordSys", VQ_ERR_ARGUMENT);
    _eCoordSys = cs;
    return true;
}

VqMatrix4d VqMappingSurface::s_encodeMatrix(const VqVec3d& r0, const VqVec3d& r1, const VqVec3d& r2,
                                            const VqVec3d& r3) {
    VqMatrix4d m;
    const VqVec3d* rows[4] = {&r0, &r1, &r2, &r3};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 3; ++c)
            m.m[r][c] = (*rows[r])[c];
    return m;
}

void VqMappingSurface::s_decodeMatrix(const VqMatrix4d& m, VqVec3d& r0, VqVec3d& r1, VqVec3d& r2,
                                      VqVec3d& r3) {
    VqVec3d* rows[4] = {&r0, &r1, &r2, &r3};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 3; ++c)
            (*rows[r])[c] = m.m[r][c];
}

bool VqMappingSurface::isEqual(const VqMappingSurface& o) const {
    return type() == o.type() && std::memcmp(&_mMatrix, &o._mMatrix, sizeof(_mMatrix)) == 0 &&
           _eCoordSys == o._eCoordSys;
}

uint32_t VqMappingSurface::hashValue() const {
    return VqHashBuilder(type()->guid.hash()).add(_mMatrix).add(_eCoordSys).value();
}

// Every format: a 16-bit local version, the matrix and the coordinate system.
bool VqMappingSurface::_serializeVQvirtual(VqObjectStream& os) const {
    VQ_PROPAGATE(os.write(static_cast<short>(1)) && os.writeMatrix4d(_mMatrix) &&
                 os.write(static_cast<int>(_eCoordSys)));
    return true;
}

bool VqMappingSurface::_deserializeVQvirtual(VqObjectStream& os) {
    short lv = 0;
    int cs = 0;
    VQ_PROPAGATE(os.read(&lv));
    if (lv < 1) VQ_FAIL("VqMappingSurface", "_deserializeVQvirtual", "iLocalVers >= 1", VQ_ERR_INTERNAL);
    VQ_PROPAGATE(os.readMatrix4d(_mMatrix) && os.read(&cs));
    if (cs < VQ_COORDSYS_VIEW || cs > VQ_COORDSYS_WORLD)
        VQ_FAIL("VqMappingSurface", "_deserializeVQvirtual", "eCoordSys != VQ_COORDSYS_NONE", VQ_ERR_CORRUPT);
    _eCoordSys = static_cast<VqCoordSystem>(cs);
    return true;
}

void VqMappingPlane::setPlaneParams(const VqVec3d& origin, const VqVec3d& uAxis, const VqVec3d& vAxis) {
    _mMatrix = s_encodeMatrix(uAxis, vAxis, vqCross(uAxis, vAxis), origin);
}

void VqMappingPlane::getPlaneParams(VqVec3d& origin, VqVec3d& uAxis, VqVec3d& vAxis) const {
    VqVec3d n;
    s_decodeMatrix(_mMatrix, uAxis, vAxis, n, origin);
}

void VqMappingCylinder::setCylinderParams(const VqVec3d& origin, const VqVec3d& axis, const VqVec3d& refDir,
                                          double radius, double height) {
    _mMatrix = s_encodeMatrix(refDir * radius, vqCross(axis, refDir) * radius, axis * height, origin);
}

void VqMappingSphere::setSphereParams(const VqVec3d& center, double radius) {
    _mMatrix = s_encodeMatrix(VqVec3d(radius, 0.0, 0.0), VqVec3d(0.0, radius, 0.0), VqVec3d(0.0, 0.0, radius),
                              center);
}

void VqMappingSphere::getSphereParams(VqVec3d& center, double& radius) const {
    VqVec3d a, b, c;
    s_decodeMatrix(_mMatrix, a, b, c, center);
    radius = a[0];
}

void VqMappingTriPlanar::setTriPlanarParams(const VqVec3d& origin, const VqVec3d& scale) {
    _mMatrix = s_encodeMatrix(VqVec3d(scale[0], 0.0, 0.0), VqVec3d(0.0, scale[1], 0.0),
                              VqVec3d(0.0, 0.0, scale[2]), origin);
}
