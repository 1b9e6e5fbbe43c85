#pragma once

#include "VqExport.h"
#include "VqLateLoadedPropAtom.h"
#include "VqUnknownInfo.h"

// Stands for a late-loaded atom of a type this library does not know: the
// late-loaded part is read in every format (so its segment still loads), the
// rest kept as payload. Equal when both parts are; the hash combines both.
class VQ_API VqUnknownLLPropAtom : public VqLateLoadedPropAtom, public VqUnknownInfo {
    VQ_DECLARE_TYPE(VqUnknownLLPropAtom)
public:
    VqUnknownLLPropAtom(int64_t dataLength = 0, const VqGUID& realType = VqGUID())
        : VqUnknownInfo(dataLength, realType, 8) {}
    VqUnknownLLPropAtom(const VqUnknownLLPropAtom& o) : VqLateLoadedPropAtom(o), VqUnknownInfo(o) {}

    uint32_t hash() const override;
    bool isEqualHook(const VqPropAtom& o) const override;

    VQ_UNKNOWN_HOOKS(VqLateLoadedPropAtom)

protected:
    bool _wholeIn(int) const override { return false; }
};
