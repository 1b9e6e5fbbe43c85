#pragma once

#include "VqExport.h"
#include "VqVec.h"

#include <cstdint>

class VqPolygonTopoMesh;
class VqRandom;

// Reorders the triangles of a triangle mesh (a VqPolygonTopoMesh of
// triangles) so that consecutive triangles reuse the records a vertex cache
// of the given size still holds. Triangles stay in their face groups and keep
// their corners.
//
// Cache sizes: 0 leaves the order as it is; s_cShuffle (all ones) swaps
// pairs of triangles drawn by VqRandom seeded with 0, as many swaps as a
// group has triangles (a worst case to compare with); any other size k
// reorders for a first-in first-out cache of k records.
//
// The reordering walks fans: it emits every remaining triangle around the
// current record, newest first, then moves to a record of that fan whose own
// fan would still find it in the cache, the one that has waited there longest
// (an entry that has aged a steps and has l triangles left fits when
// a + 2 l <= k, since each triangle brings at most two new records); failing
// that, the newest record in the cache with triangles left, then the newest
// record met at all that has some, then the first such record in index
// order. Each step costs a constant, so the whole costs linear time.
class VQ_API VqVertexCacheOptimizer {
public:
    static constexpr uint32_t s_cShuffle = 0xFFFFFFFFu;

    explicit VqVertexCacheOptimizer(uint32_t cacheSize = 16) : _nCacheSize(cacheSize) {}
    VqVertexCacheOptimizer(const VqVertexCacheOptimizer&) = delete;
    VqVertexCacheOptimizer& operator=(const VqVertexCacheOptimizer&) = delete;

    void setCacheSize(uint32_t k) { _nCacheSize = k; }
    uint32_t cacheSize() const { return _nCacheSize; }

    // Takes the mesh's write lock for the run.
    bool execute(VqPolygonTopoMesh* pMesh);

private:
    bool _reorderGroup(const uint32_t* indices, uint32_t nTri, uint32_t* out);
    void _shuffleGroup(uint32_t* indices, uint32_t nTri, VqRandom& rng);

    uint32_t _nCacheSize;
    // Working arrays, kept between runs: records renumbered per group, their
    // incident triangles and live counts, the cache's entry times and ring.
    VqVeci _viLocal;
    VqVecu _vuLocalRec;
    VqVecu _vuAdjStart;
    VqVecu _vuAdj;
    VqVecu _vuLive;
    VqVecu _vuStamp;
    VqVecu _vuCandMark;
    VqVecu _vuRing;
    VqVecu _vuCand;
    VqVec<uint8_t> _vbEmitted;
    VqStack<uint32_t> _vDeadEnd;
};
