#pragma once

#include "VqExport.h"
#include "VqVertexShape.h"

// A vertex shape of line strips. Its area is the implementation's measure (see
// VqVertexShapeImpl::computeArea) scaled by the area factor, so that culling
// and level-of-detail selection can weigh it against surfaces.
class VQ_API VqPolylineSet : public Vq::Record<VqPolylineSet, VqVertexShape> {
    VQ_DECLARE_TYPE(VqPolylineSet)
public:
    explicit VqPolylineSet(uint64_t eBindings = 0) : Record(eBindings), _fAreaFactor(s_fDefaultAreaFactor) {}
    VqPolylineSet(const VqPolylineSet& o) = default;

    VqShapeImpl* createImplInstance() const override;

    float areaFactor() const { return _fAreaFactor; }
    bool setAreaFactor(float factor);
    static bool setDefaultAreaFactor(float factor);
    static float defaultAreaFactor() { return s_fDefaultAreaFactor; }

    // The area factor (see VqVertexShape.cpp).
    int _localVersion(const Vq::RecordFormat& fmt) const { return _areaFactorLocalVersion(fmt); }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

protected:
    bool _fullBindingsInOwnLevel94() const override { return false; }
    float _implArea(const VqShapeImpl& impl) const override { return impl.area() * _fAreaFactor; }

    float _fAreaFactor;
    static float s_fDefaultAreaFactor;
};
