#pragma once

#include "VqExport.h"
#include "VqPropAtom.h"
#include "VqUnknownInfo.h"

// Stands for a property atom of a type this library does not know; two are
// equal when their payloads are.
class VQ_API VqUnknownPropAtom : public VqPropAtom, public VqUnknownInfo {
    VQ_DECLARE_TYPE(VqUnknownPropAtom)
public:
    VqUnknownPropAtom(int64_t dataLength = 0, const VqGUID& realType = VqGUID())
        : VqUnknownInfo(dataLength, realType, 5) {}
    VqUnknownPropAtom(const VqUnknownPropAtom& o) : VqPropAtom(o), VqUnknownInfo(o) {}

    uint32_t hash() const override;
    bool isEqualHook(const VqPropAtom& o) const override;

    VQ_UNKNOWN_HOOKS(VqPropAtom)

protected:
    bool _wholeIn(int generation) const override { return generation == 0; }
    bool _hasOwnIdBefore9() const override { return true; }
};
