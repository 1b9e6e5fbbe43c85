#pragma once

#include "VqExport.h"
#include "VqPropAtom.h"

// A reference to another object of the same segment, stored by object ID.
// The pointer is not counted: the referenced object is owned elsewhere.
class VQ_API VqBasePtrPropAtom : public Vq::Record<VqBasePtrPropAtom, VqPropAtom> {
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

    // The referenced object's ID.
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

private:
    const VqBase* _pValue = nullptr;
};
