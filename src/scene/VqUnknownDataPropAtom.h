#pragma once

#include "VqDataPropAtom.h"
#include "VqExport.h"
#include "VqUnknownInfo.h"

// Stands for a data atom of a type this library does not know: the known
// atom's part is read in every format, the rest kept as payload.
class VQ_API VqUnknownDataPropAtom : public VqDataPropAtom, public VqUnknownInfo {
    VQ_DECLARE_TYPE(VqUnknownDataPropAtom)
public:
    VqUnknownDataPropAtom(int64_t dataLength = 0, const VqGUID& realType = VqGUID())
        : VqUnknownInfo(dataLength, realType, 7) {}
    VqUnknownDataPropAtom(const VqUnknownDataPropAtom& o) : VqDataPropAtom(o), VqUnknownInfo(o) {}

    VQ_UNKNOWN_HOOKS(VqDataPropAtom)

protected:
    bool _wholeIn(int) const override { return false; }
};
