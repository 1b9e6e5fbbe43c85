#pragma once

#include "VqPropAtom.h"

class VqInt32PropAtom : public VqPropAtom {
    VQ_DECLARE_TYPE(VqInt32PropAtom)
public:
    VqInt32PropAtom() = default;
    explicit VqInt32PropAtom(int32_t value) : _iValue(value) {}

    int32_t value() const { return _iValue; }
    void setValue(int32_t value) { _iValue = value; }

    uint32_t hash() const override { return static_cast<uint32_t>(_iValue); }
    bool isEqualHook(const VqPropAtom& o) const override {
        return _iValue == static_cast<const VqInt32PropAtom&>(o)._iValue;
    }
    void write(std::ostream& os) const override;

    bool _serializeVQvirtual(VqObjectStream& os) const override;
    bool _serializeVQ90virtual(VqObjectStream& os) const override;
    bool _serializeVQ100virtual(VqObjectStream& os) const override;
    bool _deserializeVQvirtual(VqObjectStream& os) override;
    bool _deserializeVQ90virtual(VqObjectStream& os) override;
    bool _deserializeVQ100virtual(VqObjectStream& os) override;

private:
    int32_t _iValue = 0;
};
