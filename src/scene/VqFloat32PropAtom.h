#pragma once

#include "VqPropAtom.h"

class VqFloat32PropAtom : public VqPropAtom {
    VQ_DECLARE_TYPE(VqFloat32PropAtom)
public:
    VqFloat32PropAtom() = default;
    explicit VqFloat32PropAtom(float value) : _fValue(value) {}

    float value() const { return _fValue; }
    void setValue(float value) { _fValue = value; }

    uint32_t hash() const override;
    bool isEqualHook(const VqPropAtom& o) const override {
        return _fValue == static_cast<const VqFloat32PropAtom&>(o)._fValue;
    }
    void write(std::ostream& os) const override;

    bool _serializeVQvirtual(VqObjectStream& os) const override;
    bool _serializeVQ90virtual(VqObjectStream& os) const override;
    bool _serializeVQ100virtual(VqObjectStream& os) const override;
    bool _deserializeVQvirtual(VqObjectStream& os) override;
    bool _deserializeVQ90virtual(VqObjectStream& os) override;
    bool _deserializeVQ100virtual(VqObjectStream& os) override;

private:
    float _fValue = 0.0f;
};
