#pragma once

#include "VqBase.h"
#include "VqExport.h"

#include <cstdint>

class VqPartition;
class VqVertexRecordPool;

namespace Vq {

// Names a vertex record pool by its number within a partition, so that the
// meshes read from that partition which share the pool can be joined to it
// again once the partition loads it. A mesh record carries the number; the
// pool read with the mesh keeps this container.
//
// Numbering (poolToPoolNum) stands in for the residency request manager,
// which will own it when it arrives with shapes: until then a process-wide
// table keeps, per partition, the last number given, and each pool keeps the
// container it was numbered with. Numbers run from 1 per partition; 0 means
// "no pool to share".
class VQ_API PartNumContainer : public VqBase {
    VQ_DECLARE_TYPE(PartNumContainer)
public:
    PartNumContainer() = default;
    PartNumContainer(VqPartition* pPart, uint32_t uNum) : _pPart(pPart), _uNum(uNum) {}

    bool isPersistable() const override { return false; }

    // The partition is not held: the container only names it.
    VqPartition* partition() const { return _pPart; }
    uint32_t number() const { return _uNum; }

    // The pool's number within the partition, numbering it on first use
    // (the pool keeps the container). A null partition or pool is refused.
    static bool poolToPoolNum(VqPartition* pPart, VqVertexRecordPool* pPool, uint32_t& uNum);

private:
    VqPartition* _pPart = nullptr;
    uint32_t _uNum = 0;
};

} // namespace Vq
