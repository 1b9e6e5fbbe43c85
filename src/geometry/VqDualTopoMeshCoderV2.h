#pragma once

#include "VqDualTopoMeshCoder.h"
#include "VqExport.h"

namespace Vq {

// The coder of the VQ 10 mesh records: masks go out as bits 0-31 and, for
// context 7 (valences 9 to 64), then bits 32-63.
class VQ_API DualTopoMeshCoderV2 : public DualTopoMeshCoder {
public:
    DualTopoMeshCoderV2() = default;
    int version() const override { return V2; }
    void _maskChunks(int k, std::vector<VqVecu>& out) const override;
    bool _joinMaskChunks(int k, const std::vector<VqVecu>& chunks) override;
};

} // namespace Vq
