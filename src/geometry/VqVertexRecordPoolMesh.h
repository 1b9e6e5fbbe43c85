#pragma once

#include "VqExport.h"
#include "VqTypes.h"
#include "VqVec.h"

#include <cstdint>

class VqVertexRecordPool;

namespace Vq {

// What a vertex record pool needs of the meshes that refer to its records by
// index. A mesh registers with its pool (VqVertexRecordPool::addMesh) and
// unregisters before it dies; the pool then asks it which records it uses and
// tells it when records move or change.
class VQ_API VertexRecordPoolMesh {
public:
    // Walks the mesh's index list in order and gives every record whose entry
    // in vMap is still all ones the number nNext, counting nNext up. After all
    // meshes have been asked, the numbered records are the referenced ones,
    // numbered in order of first reference. Indices at or beyond vMap's
    // length are left alone.
    virtual void _indexMapReference(VqVecu& vMap, uint32_t& nNext) const = 0;
    // Replaces every index i of the mesh by vMap[i].
    virtual bool _indexMapUpdate(const VqVecu& vMap) = 0;
    // The pool's records or their meaning changed (VqVertexRecordPool's
    // VQ_VRP_* change codes and VertexRecordFields' binding changes).
    virtual bool _vtxRecPoolChanged(const VqVertexRecordPool* pPool, Vq::BaseChange change) = 0;

protected:
    ~VertexRecordPoolMesh() = default;
};

} // namespace Vq
