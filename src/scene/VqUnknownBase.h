#pragma once

#include "VqBase.h"
#include "VqExport.h"
#include "VqUnknownInfo.h"

// Stands for any other object of a type this library does not know (and for
// shape implementations of unknown types): its data is kept whole in every
// format.
class VQ_API VqUnknownBase : public VqBase, public VqUnknownInfo {
    VQ_DECLARE_TYPE(VqUnknownBase)
public:
    VqUnknownBase(int64_t dataLength = 0, const VqGUID& realType = VqGUID(), int baseType = 9)
        : VqUnknownInfo(dataLength, realType, baseType) {}
    VqUnknownBase(const VqUnknownBase& o) = default;

    VQ_UNKNOWN_HOOKS(VqBase)

protected:
    bool _wholeIn(int) const override { return true; }
};
