#pragma once

#include "VqBaseVertexRecordPoolInternals.h"

#include <cstdint>

class VqTopoMesh;

// Handles into a mesh's half-edge topology (VqTopoMesh::ensureTopology): a
// topological vertex (one position), a half-edge, a facet. -1 is none.
typedef int32_t VqVtxHdl;
typedef int32_t VqHEdgeHdl;
typedef int32_t VqFacetHdl;

// A view of a mesh's primitive arrays, handed out by acquirePrimitives under
// the mesh's lock and valid until releasePrimitives:
//   paiPrimStart  nPrims + 1 offsets into paiIndices, the last = nIndices;
//   paiIndices    nIndices vertex record indices;
//   paiFaceGrps   nFaceGrps + 1 primitive offsets, the last = nPrims.
// A read-only view must not be written through. A writable view lets a
// decoder fill arrays sized by allocatePrimitives; releasing it checks that
// they agree with each other.
struct VqTopoMeshPrimitives {
    VqTopoMesh* pMesh = nullptr;
    bool bWritable = false;
    uint32_t nPrims = 0;
    uint32_t nIndices = 0;
    uint32_t nFaceGrps = 0;
    uint32_t* paiPrimStart = nullptr;
    uint32_t* paiIndices = nullptr;
    uint32_t* paiFaceGrps = nullptr;
};

// The primitive arrays together with the pool's arrays, both under lock
// (acquireInternals / releaseInternals).
struct VqTopoMeshInternals : VqTopoMeshPrimitives {
    VqBaseVertexRecordPoolInternals sPool;
};
