#pragma once

#include "VqExport.h"
#include "VqPropAtom.h"

// A counted reference to any reference-counted object; never stored in files.
class VQ_API VqRefCountedPtrPropAtom : public VqPropAtom {
    VQ_DECLARE_TYPE(VqRefCountedPtrPropAtom)
public:
    VqRefCountedPtrPropAtom() { _setStateBit(VQ_PROPATOM_PERSISTABLE, false); }
    explicit VqRefCountedPtrPropAtom(VqRefCounted* value) : VqRefCountedPtrPropAtom() { _pValue = value; }

    VqRefCounted* value() const { return _pValue.get(); }
    void setValue(VqRefCounted* value) { _pValue = value; }

    bool isPersistable() const override { return false; }
    uint32_t hash() const override { return Vq::vqhash32(_pValue.get()); }
    bool isEqualHook(const VqPropAtom& o) const override {
        return _pValue == static_cast<const VqRefCountedPtrPropAtom&>(o)._pValue;
    }
    void write(std::ostream& os) const override;

private:
    Vq::SharedPtr<VqRefCounted> _pValue;
};
