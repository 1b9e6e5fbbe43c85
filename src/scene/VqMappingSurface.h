#pragma once

#include "VqBase.h"
#include "VqExport.h"
#include "VqFixedVec.h"
#include "VqLight.h"
#include "VqSquareMatrix.h"

// The surface a texture-coordinate generator projects onto. Each kind keeps
// its parameters encoded in the rows of one 4 × 4 matrix, which is what an
// element stores:
//   plane:      rows u axis, v axis, normal, origin;
//   cylinder:   rows reference direction × radius, (axis × reference) × radius, axis × height, origin;
//   sphere:     rows radius on the diagonal, centre;
//   tri-planar: rows the scale on the diagonal, origin.
class VQ_API VqMappingSurface : public VqBase {
    VQ_DECLARE_TYPE(VqMappingSurface)
public:
    VqMappingSurface() = default;

    const VqMatrix4d& mappingMatrix() const { return _mMatrix; }
    void setMappingMatrix(const VqMatrix4d& m) { _mMatrix = m; }
    VqCoordSystem coordSys() const { return _eCoordSys; }
    bool setCoordSys(VqCoordSystem cs);

    // Same kind, same matrix bytes, same coordinate system; surfaces that
    // are equal hash alike.
    bool isEqual(const VqMappingSurface& o) const;
    uint32_t hashValue() const;

    static VqMatrix4d s_encodeMatrix(const VqVec3d& r0, const VqVec3d& r1, const VqVec3d& r2,
                                     const VqVec3d& r3);
    static void s_decodeMatrix(const VqMatrix4d& m, VqVec3d& r0, VqVec3d& r1, VqVec3d& r2, VqVec3d& r3);

    // One layout in every format, with a 16-bit local version even where
    // other records have none or a narrower one: the base hooks serve all.
    bool _serializeVQvirtual(VqObjectStream& os) const override;
    bool _deserializeVQvirtual(VqObjectStream& os) override;

protected:
    VqMatrix4d _mMatrix;
    VqCoordSystem _eCoordSys = VQ_COORDSYS_MODEL;
};

class VQ_API VqMappingPlane : public VqMappingSurface {
    VQ_DECLARE_TYPE(VqMappingPlane)
public:
    void setPlaneParams(const VqVec3d& origin, const VqVec3d& uAxis, const VqVec3d& vAxis);
    void getPlaneParams(VqVec3d& origin, VqVec3d& uAxis, VqVec3d& vAxis) const;
};

class VQ_API VqMappingCylinder : public VqMappingSurface {
    VQ_DECLARE_TYPE(VqMappingCylinder)
public:
    void setCylinderParams(const VqVec3d& origin, const VqVec3d& axis, const VqVec3d& refDir, double radius,
                           double height);
};

class VQ_API VqMappingSphere : public VqMappingSurface {
    VQ_DECLARE_TYPE(VqMappingSphere)
public:
    void setSphereParams(const VqVec3d& center, double radius);
    void getSphereParams(VqVec3d& center, double& radius) const;
};

class VQ_API VqMappingTriPlanar : public VqMappingSurface {
    VQ_DECLARE_TYPE(VqMappingTriPlanar)
public:
    void setTriPlanarParams(const VqVec3d& origin, const VqVec3d& scale);
};
