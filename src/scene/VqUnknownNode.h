#pragma once

#include "VqExport.h"
#include "VqNode.h"
#include "VqUnknownInfo.h"

// Stands for a node of a type this library does not know. It behaves as a
// plain node. Format 10 elements are read as a node; earlier ones are kept
// whole. Also stands for a shape of an unknown type, which is kept whole in
// every format, so that it keeps its place among its parent's children.
class VQ_API VqUnknownNode : public VqNode, public VqUnknownInfo {
    VQ_DECLARE_TYPE(VqUnknownNode)
public:
    VqUnknownNode(int64_t dataLength = 0, const VqGUID& realType = VqGUID(), int baseType = 0)
        : VqUnknownInfo(dataLength, realType, baseType) {}
    VqUnknownNode(const VqUnknownNode& o) = default;

    VQ_UNKNOWN_HOOKS(VqNode)

protected:
    bool _wholeIn(int generation) const override;
    bool _hasOwnIdBefore9() const override { return true; }
    // Nothing of the node was read, but it takes part in the fix-up of the segment.
    void _wholeRead() override { setInternalFlag(VQ_NODE_IFLAG_NEEDSLOADFIXUP, true); }
};
