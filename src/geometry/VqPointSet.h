#pragma once

#include "VqExport.h"
#include "VqVertexShape.h"

// A vertex shape of points. Its area is the implementation's measure (see
// VqVertexShapeImpl::computeArea) scaled by the area factor, so that culling
// and level-of-detail selection can weigh it against surfaces.
class VQ_API VqPointSet : public Vq::Record<VqPointSet, VqVertexShape> {
    VQ_DECLARE_TYPE(VqPointSet)
public:
    explicit VqPointSet(uint64_t eBindings = 0) : Record(eBindings), _fAreaFactor(s_fDefaultAreaFactor) {}
    VqPointSet(const VqPointSet& o) = default;

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
    // A format 8.0 file keeps a point set's bindings with its implementation only.
    void _fixupBindings(const VqShapeImpl& impl) const override;

    float _fAreaFactor;
    static float s_fDefaultAreaFactor;
};
