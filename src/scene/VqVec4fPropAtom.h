#pragma once

#include "VqFixedVec.h"
#include "VqPropAtom.h"

// Four floats. Format 9 stores it from 9.4 on, and without the atom level.
class VqVec4fPropAtom : public VqPropAtom {
    VQ_DECLARE_TYPE(VqVec4fPropAtom)
public:
    VqVec4fPropAtom() = default;
    explicit VqVec4fPropAtom(const VqFixedVec<float, 4>& value) : _vValue(value) {}

    const VqFixedVec<float, 4>& value() const { return _vValue; }
    void setValue(const VqFixedVec<float, 4>& value) { _vValue = value; }

    // Also false while the write version is older than 9.4.
    bool isPersistable() const override;
    uint32_t hash() const override;
    bool isEqualHook(const VqPropAtom& o) const override {
        return _vValue == static_cast<const VqVec4fPropAtom&>(o)._vValue;
    }
    void write(std::ostream& os) const override;
    bool isPostV93Content() const override { return true; }

    bool _serializeVQ90virtual(VqObjectStream& os) const override;
    bool _serializeVQ100virtual(VqObjectStream& os) const override;
    bool _deserializeVQ90virtual(VqObjectStream& os) override;
    bool _deserializeVQ100virtual(VqObjectStream& os) override;

private:
    VqFixedVec<float, 4> _vValue;
};
