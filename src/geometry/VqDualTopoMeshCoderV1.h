#pragma once

#include "VqDualTopoMeshCoder.h"
#include "VqExport.h"

namespace Vq {

// The coder of the VQ 9.x mesh records: masks go out as bits 0-29 and, for
// context 7 (valences 9 to 64), then bits 30-59 and bits 60-63.
class VQ_API DualTopoMeshCoderV1 : public DualTopoMeshCoder {
public:
    DualTopoMeshCoderV1() = default;
    int version() const override { return V1; }
    void _maskChunks(int k, std::vector<VqVecu>& out) const override;
    bool _joinMaskChunks(int k, const std::vector<VqVecu>& chunks) override;
};

} // namespace Vq
