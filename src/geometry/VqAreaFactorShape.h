#pragma once

#include "VqErrorState.h"
#include "VqExport.h"
#include "VqVertexShape.h"

namespace Vq {

// The record level of the vertex shape kinds whose implementation measures
// a length or a count rather than a surface (line strips, points): the
// shape's area is that measure scaled by the area factor, so that culling
// and level-of-detail selection can weigh the shape against surfaces. Each
// kind has a default factor of its own for new shapes.
template <class Derived>
class VQ_API AreaFactorShape : public Vq::Record<Derived, VqVertexShape> {
public:
    explicit AreaFactorShape(uint64_t eBindings = 0)
        : Vq::Record<Derived, VqVertexShape>(eBindings), _fAreaFactor(s_fDefaultAreaFactor) {}

    float areaFactor() const { return _fAreaFactor; }
    bool setAreaFactor(float factor) {
        VQ_PROPAGATE(_checkFactor(factor, "setAreaFactor"));
        _fAreaFactor = factor;
        return this->invalidateState(VqNode::VQ_INVAL_AREA);
    }
    static bool setDefaultAreaFactor(float factor) {
        VQ_PROPAGATE(_checkFactor(factor, "setDefaultAreaFactor"));
        s_fDefaultAreaFactor = factor;
        return true;
    }
    static float defaultAreaFactor() { return s_fDefaultAreaFactor; }

    // The area factor (see VqVertexShape.cpp).
    int _localVersion(const Vq::RecordFormat& fmt) const {
        return VqVertexShape::_areaFactorLocalVersion(fmt);
    }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
        return VqVertexShape::_writeAreaFactor(os, fmt, _fAreaFactor, this->_eBindings);
    }
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion) {
        return VqVertexShape::_readAreaFactor(os, fmt, localVersion, _fAreaFactor, this->_eBindings);
    }

protected:
    bool _fullBindingsInOwnLevel94() const override { return false; }
    float _implArea(const VqShapeImpl& impl) const override { return impl.area() * _fAreaFactor; }

    float _fAreaFactor;

private:
    static bool _checkFactor(float factor, const char* method) {
        if (!(factor >= 0.0f))
            VQ_FAIL(Derived::classTypeID().name, method, "factor >= 0.0f", VQ_ERR_ARGUMENT);
        return true;
    }

    static inline float s_fDefaultAreaFactor = 0.01f;
};

} // namespace Vq
