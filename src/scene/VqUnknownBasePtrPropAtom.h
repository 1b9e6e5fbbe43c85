#pragma once

#include "VqBasePtrPropAtom.h"
#include "VqExport.h"
#include "VqUnknownInfo.h"

// Stands for an object-reference atom of a type this library does not know:
// the known atom's part is read in every format, the rest kept as payload.
class VQ_API VqUnknownBasePtrPropAtom : public VqBasePtrPropAtom, public VqUnknownInfo {
    VQ_DECLARE_TYPE(VqUnknownBasePtrPropAtom)
public:
    VqUnknownBasePtrPropAtom(int64_t dataLength = 0, const VqGUID& realType = VqGUID())
        : VqUnknownInfo(dataLength, realType, 6) {}
    VqUnknownBasePtrPropAtom(const VqUnknownBasePtrPropAtom& o) : VqBasePtrPropAtom(o), VqUnknownInfo(o) {}

    VQ_UNKNOWN_HOOKS(VqBasePtrPropAtom)

protected:
    bool _wholeIn(int) const override { return false; }
};
