#pragma once

#include "VqAttribute.h"
#include "VqExport.h"
#include "VqUnknownInfo.h"

// Stands for an attribute of a type this library does not know: it applies
// nothing, accumulates nothing and equals no other attribute.
class VQ_API VqUnknownAttribute : public VqAttribute, public VqUnknownInfo {
    VQ_DECLARE_TYPE(VqUnknownAttribute)
public:
    VqUnknownAttribute(int64_t dataLength = 0, const VqGUID& realType = VqGUID())
        : VqUnknownInfo(dataLength, realType, 3) {}
    VqUnknownAttribute(const VqUnknownAttribute& o) : VqAttribute(o), VqUnknownInfo(o) {}

    bool clone(VqAttribute*& out) const override;
    int compareHook(const VqAttribute& o) const override;
    bool isEqualHook(const VqAttribute&) const override { return false; }
    // The field count is not known: taken as the fields that the final mask
    // covers from field 0 up (so an attribute final in all its fields stays
    // final), or all 32 when no field is final.
    unsigned int _numFields() const override;
    bool _apply(VqRenderContext&, const VqState*, bool, bool) const override { return true; }
    bool accumulateHook(const VqAttribute&, const VqState*, const VqPath*) override { return true; }

    VQ_UNKNOWN_HOOKS(VqAttribute)

protected:
    bool _wholeIn(int generation) const override { return generation == 0; }
    bool _hasOwnIdBefore9() const override { return true; }
};
