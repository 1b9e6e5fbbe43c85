#pragma once

#include "VqPropAtom.h"

// A reference to another object of the same segment, stored by object ID.
// The pointer is not counted: the referenced object is owned elsewhere.
class VqBasePtrPropAtom : public VqPropAtom {
    VQ_DECLARE_TYPE(VqBasePtrPropAtom)
public:
    VqBasePtrPropAtom() = default;
    explicit VqBasePtrPropAtom(const VqBase* value) : _pValue(value) {}

    const VqBase* value() const { return _pValue; }
    void setValue(const VqBase* value) { _pValue = value; }

    uint32_t hash() const override { return Vq::vqhash32(_pValue); }
    bool isEqualHook(const VqPropAtom& o) const override {
        return _pValue == static_cast<const VqBasePtrPropAtom&>(o)._pValue;
    }
    void write(std::ostream& os) const override;

    bool _serializeVQvirtual(VqObjectStream& os) const override;
    bool _serializeVQ90virtual(VqObjectStream& os) const override;
    bool _serializeVQ100virtual(VqObjectStream& os) const override;
    bool _deserializeVQvirtual(VqObjectStream& os) override;
    bool _deserializeVQ90virtual(VqObjectStream& os) override;
    bool _deserializeVQ100virtual(VqObjectStream& os) override;

private:
    const VqBase* _pValue = nullptr;
};
