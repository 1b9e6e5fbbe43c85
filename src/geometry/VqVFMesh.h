#pragma once

#include "VqDualVFMesh.h"

#include <cstdint>
#include <vector>

class VqTopoMesh;

// The primal side of the topology mesh coder's import: the polygons of a
// strip or polygon mesh over topological vertices, made into a closed
// oriented manifold that VqDualVFMesh can hold.
//
// doImport takes the mesh's non-degenerate facets (one polygon per polygon
// primitive, one triangle per non-degenerate strip triangle, in atom order)
// with the face group of each, over the mesh's position classes; every
// corner keeps its record. Half-edges are paired when they join the same
// two positions in opposite directions, greedily in corner order; on an
// edge with more than two half-edges the leftovers all run one way, so no
// hole can come out with fewer than three corners. The corners around a
// position then fall into fans (chains or cycles across paired edges); the
// first fan keeps the position's vertex number and each further fan becomes
// an alias vertex numbered after all positions.
//
// extractCoverFaces closes every border loop with cover polygons (flag bit
// 0, group -1, no records) of at most kMaxCoverDegree corners: a longer loop
// is cut, the first kMaxCoverDegree corners becoming one polygon and the
// cut edge shared with the rest of the loop, whose two end vertices so gain
// a valence.
//
// buildDual lays out the closed mesh as a dual: polygons in creation order
// (facets, then covers), vertex rings CCW from the first corner of each fan
// (the facet after the border on an open fan, so the ring runs over the fan
// and then over its covers).
class VqVFMesh {
public:
    static constexpr int kMaxCoverDegree = 100;

    // Throws std::bad_alloc; false (recorded) for a mesh that cannot be coded.
    bool doImport(const VqTopoMesh& mesh);
    bool extractCoverFaces();
    bool buildDual(VqDualVFMesh& out) const;

    uint32_t numAliases() const { return _nAliases; }
    uint32_t numCovers() const { return _nCovers; }

private:
    uint32_t _next(uint32_t c) const {
        return c + 1 == _vuPStart[_viCPoly[c] + 1] ? _vuPStart[_viCPoly[c]] : c + 1;
    }
    uint32_t _prev(uint32_t c) const {
        return c == _vuPStart[_viCPoly[c]] ? _vuPStart[_viCPoly[c] + 1] - 1 : c - 1;
    }
    int _addPoly(int group, uint16_t flags);

    // Per polygon.
    std::vector<uint32_t> _vuPStart; // nPolys + 1
    std::vector<int32_t> _viPGroup;
    std::vector<uint16_t> _vuPFlags;
    // Per corner (a corner is also the half-edge leaving it).
    std::vector<int32_t> _viCPoly;
    std::vector<int32_t> _viCVtx; // position, then fan after the split
    std::vector<int32_t> _viCRec; // -1 for cover corners
    std::vector<int32_t> _viCOpp;
    // Per vertex (fan): its first corner, and for an open fan the half-edge
    // that enters it along the border (-1 when closed).
    std::vector<int32_t> _viVFirst;
    std::vector<int32_t> _viVBorderIn;
    uint32_t _nPositions = 0;
    uint32_t _nAliases = 0;
    uint32_t _nCovers = 0;
};
