#pragma once

#include "VqExport.h"
#include "VqPropAtom.h"

// An untyped pointer for the application's own use; never stored in files.
class VQ_API VqVoidPtrPropAtom : public VqPropAtom {
    VQ_DECLARE_TYPE(VqVoidPtrPropAtom)
public:
    VqVoidPtrPropAtom() { _setStateBit(VQ_PROPATOM_PERSISTABLE, false); }
    explicit VqVoidPtrPropAtom(void* value) : VqVoidPtrPropAtom() { _pValue = value; }

    void* value() const { return _pValue; }
    void setValue(void* value) { _pValue = value; }

    bool isPersistable() const override { return false; }
    uint32_t hash() const override { return Vq::vqhash32(_pValue); }
    bool isEqualHook(const VqPropAtom& o) const override {
        return _pValue == static_cast<const VqVoidPtrPropAtom&>(o)._pValue;
    }
    void write(std::ostream& os) const override;

private:
    void* _pValue = nullptr;
};
