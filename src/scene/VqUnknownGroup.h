#pragma once

#include "VqExport.h"
#include "VqGroup.h"
#include "VqUnknownInfo.h"

// Stands for a group of a type this library does not know. From format 9 on
// it is read as a group, so its children are real children.
class VQ_API VqUnknownGroup : public VqGroup, public VqUnknownInfo {
    VQ_DECLARE_TYPE(VqUnknownGroup)
public:
    VqUnknownGroup(int64_t dataLength = 0, const VqGUID& realType = VqGUID())
        : VqUnknownInfo(dataLength, realType, 1) {}
    VqUnknownGroup(const VqUnknownGroup& o) : VqGroup(o), VqUnknownInfo(o) {}

    VQ_UNKNOWN_HOOKS(VqGroup)

protected:
    bool _wholeIn(int generation) const override { return generation == 0; }
    bool _hasOwnIdBefore9() const override { return true; }
    // Nothing of the node was read, but it takes part in the fix-up of the segment.
    void _wholeRead() override { setInternalFlag(VQ_NODE_IFLAG_NEEDSLOADFIXUP, true); }
};
