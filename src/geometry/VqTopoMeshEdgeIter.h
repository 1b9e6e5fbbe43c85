#pragma once

#include "VqExport.h"
#include "VqTopoMeshInternals.h"
#include "VqVec.h"

#include <cstdint>

class VqTopoMesh;

// Walks the edges of a mesh, each once: for strip and polygon meshes the
// edges of the half-edge topology (an edge joins two positions, however many
// facets share it; degenerate atoms add none); for line-strip meshes the
// segments between two different positions, a segment drawn several times
// counted once; point meshes have none. The caller keeps the mesh read-locked
// and unchanged while walking.
class VQ_API VqTopoMeshEdgeIter {
public:
    // Derives the mesh's topology; when that fails the iterator is not valid
    // and walks nothing (the reason is recorded).
    explicit VqTopoMeshEdgeIter(const VqTopoMesh& mesh);

    bool isValid() const { return _bValid; }
    uint32_t numEdges() const { return _nEdges; }
    bool next();
    // The current edge's ends as topological vertices and as records, and
    // one of its half-edges (-1 for a segment).
    VqVtxHdl vertex(int i) const { return _aiVtx[i]; }
    uint32_t record(int i) const { return _auRec[i]; }
    VqHEdgeHdl hedge() const { return _iHEdge; }

private:
    const VqTopoMesh& _mesh;
    bool _bValid = false;
    uint32_t _nEdges = 0;
    int64_t _iEdge = -1;
    // Line strips: the distinct segments, as record pairs.
    VqVecu _vuSegments;
    VqVtxHdl _aiVtx[2] = {-1, -1};
    uint32_t _auRec[2] = {};
    VqHEdgeHdl _iHEdge = -1;
};
