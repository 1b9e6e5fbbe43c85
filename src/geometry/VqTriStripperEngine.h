#pragma once

#include "VqExport.h"
#include "VqVec.h"

#include <cstdint>
#include <memory>

class VqTopoMesh;
class VqVertexRecordPool;
struct VqTopoMeshPrimitives;
struct VqHalfEdgePairing;
struct VqTopoMeshTopology;

// Turns a triangle mesh into long triangle strips, face group by face group.
//
// The source is a VqPolygonTopoMesh of triangles or a VqTriStripTopoMesh; the
// destination, a VqTriStripTopoMesh over the same pool (it may be the source
// itself), is cleared and refilled with the same face groups. Strips follow
// shared edges only: two triangles join when they lie in one face group and
// use the same two records on the edge between them, and the mesh's topology
// pairs that edge (exactly two triangles on it, running opposite ways), so no
// strip crosses a face group, a seam or a non-manifold edge. The source's
// topology is not needed: the engine pairs the edges itself, the same way,
// unless the topology is current, which it then reads.
// Every oriented non-degenerate triangle of the source comes out once, wound
// as it came in; degenerate ones (two corners at one position) are left out.
//
// Greedy, one start at a time: a start is a triangle with the fewest free
// edges (neighbours not yet in a strip), found on two stacks of triangles
// that lost neighbours, so that each strip starts beside the last one. From
// a start with several free edges a trial strip is grown across each and the
// longest taken.
//
// The destination is write-locked for the run, the source and the pool
// read-locked. One engine serves one run at a time; it keeps its working
// arrays between runs, so that stripping mesh after mesh allocates nothing
// once the biggest has been seen.
class VQ_API VqTriStripperEngine {
public:
    VqTriStripperEngine();
    ~VqTriStripperEngine();
    VqTriStripperEngine(const VqTriStripperEngine&) = delete;
    VqTriStripperEngine& operator=(const VqTriStripperEngine&) = delete;

    // On failure the destination is left without primitives. pSrcTopology,
    // when given, is the source's topology (edges not needed), derived by
    // the caller from the source's checked arrays and read as a current one
    // would be: a decoder strips a mesh it owns without making the topology
    // the mesh's own.
    bool apply(VqTopoMesh* dest, const VqTopoMesh* src, const VqTopoMeshTopology* pSrcTopology = nullptr);

    // What the last run made: strips (single triangles included), the
    // triangles in them and the degenerate triangles that turn them.
    uint32_t numStrips() const { return _nStrips; }
    uint32_t numTriangles() const { return _nTris; }
    uint32_t numDegenerateTris() const { return _nDegTris; }

private:
    bool _run(VqTopoMesh* dest, const VqTopoMesh* src, const VqTopoMeshTopology* pSrcTopology);
    bool _doImport(const VqTopoMeshPrimitives& view, const VqVertexRecordPool& pool, bool strips);
    bool _importTopology(const VqTopoMesh* src, const VqTopoMeshTopology& t);
    // Cuts the pairs that cross a face group or, with bSeams, join
    // different records.
    void _cutJoins(bool bSeams);
    bool _stripGroup(uint32_t gs, uint32_t ge);
    int _nextStart(uint32_t gs, uint32_t ge, bool big, uint32_t& cursor);
    // Grows a strip from triangle t out through its edge c (the edge from
    // corner c to corner c + 1); counts atoms and degenerate triangles. A
    // trial only marks; otherwise the strip is appended, its triangles
    // become used and each of their neighbours loses a free edge.
    template <bool trial>
    void _growStrip(uint32_t t, uint32_t c, uint32_t& nAtoms, uint32_t& nDegTris);
    void _emitAlone(uint32_t t);
    // Room for n more indices at _nOut.
    uint32_t* _outRoom(size_t n);

    // The source as triangles: three records each, wound as in the source,
    // and per corner the corner code 3 t' + c' of the triangle across the
    // edge from corner c to c + 1 when the two may join (-1 otherwise).
    // _pTriRec and _pOpp point at _vuTriRec and _viOpp, or at the source
    // topology's own arrays when nothing in them needs cutting.
    VqVecu _vuTriRec;
    VqVeci _viOpp;
    const uint32_t* _pTriRec = nullptr;
    const int32_t* _pOpp = nullptr;
    uint32_t _nTriangles = 0;
    // Scratch of the import: position classes of the records, the hash
    // table that finds them, the triangles' corners as positions and the
    // pairing's buckets.
    VqVeci _viRecPos;
    VqVeci _viPosTable;
    VqVeci _viTriPos;
    std::unique_ptr<VqHalfEdgePairing> _pPairing;
    VqVecu _vuGroupStart;
    // Per triangle one byte: its free edges (neighbours not yet in a
    // strip) in the low bits, whether the running trial took it and whether
    // it is in a strip. One byte array, so that a step reads one small
    // place to know all three and the passes stay in cache.
    static constexpr uint8_t kFreeMask = 3;
    static constexpr uint8_t kTrial = 4;
    static constexpr uint8_t kUsed = 8;
    VqVec<uint8_t> _vnState;
    // The start candidates, triangles with one free edge and with two, and
    // the neighbours of a strip that lost their last free edge while it
    // grew, left alone unless the strip took them after all: three stacks
    // in one array.
    VqVecu _vuStacks;
    uint32_t _nTop1 = 0;
    uint32_t _nTop2 = 0;
    uint32_t _nBase2 = 0;
    uint32_t _nBaseAlone = 0;
    // The strips made so far; _vuOutIndices is sized ahead and filled up to
    // _nOut, so that growing writes through a pointer in a register.
    VqVecu _vuOutStart;
    VqVecu _vuOutIndices;
    size_t _nOut = 0;
    VqVecu _vuOutFaceGrps;
    uint32_t _nStrips = 0;
    uint32_t _nTris = 0;
    uint32_t _nDegTris = 0;
};
