#pragma once

#include "VqTopoMeshInternals.h"
#include "VqVec.h"

#include <cstdint>

// The half-edge topology a VqTopoMesh derives from its facets (see
// VqTopoMesh.h for what vertices, facets and edges are).
//
// Storage: flat arrays, struct of arrays, all built in a few linear passes.
// A facet's half-edges are contiguous (facet f owns viFacetHE[f] ..
// viFacetHE[f + 1] - 1, in winding order), so next and previous are
// arithmetic; when every facet is a triangle, facet f owns 3 f .. 3 f + 2
// and not even the owner needs storing. A triangle mesh then pays six ints
// per half-edge. Vertices list their outgoing half-edges (viVtxOutStart /
// viVtxOut), which lets valence, border tests and normal smoothing work
// around non-manifold vertices, where a single circulation would see only
// one fan.
struct VqTopoMeshTopology {
    // Per pool record.
    VqVeci viRecVtx;    // its vertex, -1 when the mesh uses no record at its position
    VqVeci viEquivNext; // the next record at the same position (a ring)
    // Per vertex.
    VqVeci viVtxRec;      // the record it was first met with in the index list
    VqVeci viVtxHEdge;    // an outgoing half-edge, one without an opposite on a border; -1 if none
    VqVeci viVtxOutStart; // nVertices + 1 offsets into viVtxOut
    VqVeci viVtxOut;      // outgoing half-edges, grouped by vertex
    // Per atom and per facet.
    VqVeci viAtomFacet; // -1 for a degenerate atom
    VqVeci viFacetAtom;
    VqVeci viFacetHE; // nFacets + 1
    // Per half-edge.
    VqVeci viHEVtx;   // origin vertex
    VqVeci viHERec;   // record at the origin
    VqVeci viHEOpp;   // opposite, -1 when unpaired
    VqVeci viHEFacet; // owning facet; empty when bTriangles
    VqVeci viHEEdge;  // its edge
    // Per edge: one of its half-edges.
    VqVeci viEdgeHE;
    bool bTriangles = true; // every facet is a triangle
    // False when derived without the edges, the vertices' start half-edges,
    // the records' rings and the atoms' facets (viHEEdge, viEdgeHE,
    // viVtxHEdge, viEquivNext then hold scratch, viAtomFacet whatever it
    // held): what a walk over facets and their neighbours reads is all
    // there. Such a topology is never a mesh's own.
    bool bEdges = true;
    uint32_t nBoundaryEdges = 0;
    uint32_t nNonmanifoldEdges = 0;

    int numFacets() const { return viFacetHE.empty() ? 0 : int(viFacetHE.size()) - 1; }
    int numHEdges() const { return int(viHEVtx.size()); }
    int numVertices() const { return int(viVtxRec.size()); }
    int numEdges() const { return int(viEdgeHE.size()); }

    VqFacetHdl facet(VqHEdgeHdl h) const { return bTriangles ? h / 3 : viHEFacet.data()[h]; }
    VqHEdgeHdl next(VqHEdgeHdl h) const {
        if (bTriangles) return h % 3 == 2 ? h - 2 : h + 1;
        const int f = viHEFacet.data()[h];
        return h + 1 == viFacetHE.data()[f + 1] ? viFacetHE.data()[f] : h + 1;
    }
    VqHEdgeHdl prev(VqHEdgeHdl h) const {
        if (bTriangles) return h % 3 == 0 ? h + 2 : h - 1;
        const int f = viHEFacet.data()[h];
        return h == viFacetHE.data()[f] ? viFacetHE.data()[f + 1] - 1 : h - 1;
    }

    void clear();
    size_t memSize() const;
};

// Position classes of a pool's records: cls[r] is the lowest record at r's
// position, by the rule vqBuildTopoMeshTopology states for vertices. table is
// scratch, kept by callers that classify often. Throws std::bad_alloc.
void vqPositionClasses(uint32_t nRecs, const float* coords, int nCoordComps, int32_t* cls, VqVeci& table);

// Scratch of the half-edge pairing, kept by callers that pair often.
struct VqHalfEdgePairing {
    VqVeci viBucketStart;
    VqVec<uint64_t> vEntries;
    VqVeci viLink;
    VqVeci viMark;
    VqVeci viMarkEdge;
};

// Pairs the half-edges of nTri triangles with corners at the vertices
// triVtx[3 t .. 3 t + 2] (each below nVtx, no two of a triangle equal):
// half-edge 3 t + c runs from corner c to corner c + 1, and opp[h] receives
// its opposite by the rule of the topology (exactly two half-edges on the
// edge, running opposite ways), else -1. Counts the boundary and
// non-manifold edges. Throws std::bad_alloc.
void vqPairTriangleHalfEdges(uint32_t nTri, const int32_t* triVtx, uint32_t nVtx, int32_t* opp,
                             uint32_t& nBoundaryEdges, uint32_t& nNonmanifoldEdges,
                             VqHalfEdgePairing& scratch);

// Derives the topology of a mesh's primitives. kind is VqTopoMesh::PrimKind;
// the arrays must have been checked (sizes, offsets, indices below nRecs).
// coords holds nRecs records of nCoordComps (0, 2, 3 or 4) components; with
// none, every record is a position of its own. Records at bit-equal
// positions (x/w, y/w, z/w for 4 components, z = 0 for 2; -0 equal to +0)
// share a vertex; a position with a component that is not a number shares
// nothing. positionRings, when given, are those classes already (each
// record's next at its position, ascending and closed on the lowest record,
// as a collocated pool may know them: VqVertexRecordPool::_positionRings),
// which saves hashing the positions. Without bEdges, the parts bEdges names
// are left out. Throws std::bad_alloc.
void vqBuildTopoMeshTopology(int kind, uint32_t nPrims, const uint32_t* primStart, const uint32_t* indices,
                             uint32_t nRecs, const float* coords, int nCoordComps, VqTopoMeshTopology& out,
                             const uint32_t* positionRings = nullptr, bool bEdges = true);

// True when triangle strips (primStart, indices over records below t's
// record count) list exactly the facets of t, a topology of triangles: each
// strip triangle with corners at three positions is a facet of t with the
// same records in the same turn, and every facet is listed once. The strips'
// own topology is then t with its facets renumbered, and valid when t is.
// used is scratch.
bool vqStripsListFacets(const VqTopoMeshTopology& t, uint32_t nPrims, const uint32_t* primStart,
                        const uint32_t* indices, VqVec<uint8_t>& used);
