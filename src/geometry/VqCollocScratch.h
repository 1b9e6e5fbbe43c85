#pragma once

#include "VqCollocRenumber.h"
#include "VqFixedVec.h"
#include "VqVec.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace Vq {

// The working arrays of one collocation (VqVertexRecordPool::_ensureCollocated),
// for a caller that collocates pool after pool, as a decoder does: kept from
// one to the next, their pages are not fetched fresh from the system (and
// handed back to it) on every call. Only capacity carries over, and the
// table of cells with the numbers its slots hold below slotEnd, which a
// later collocation reads as empty: each collocation sizes and fills every
// other array anew, so a scratch left by a larger pool, or by a collocation
// that failed half way, gives what a new one gives. A scratch serves one
// collocation at a time.
struct CollocScratch {
    std::vector<VqVec3f> points;
    // Per record: its class, and its rank in the meshes' order of first use
    // (which becomes the map from old to new records).
    std::vector<uint32_t> classOf;
    VqVecu rank;
    // Per class: the record that opened it, its representative position, its
    // new number.
    std::vector<uint32_t> head, rep, classOrder;
    std::vector<uint32_t> byRank;
    VqVecu recordMap, coordMap;
    // The classing of positions far apart: its hash of cells (a slot: the
    // last position opened in the cell, by its first record numbered on from
    // the pass's first number, and bits of the cell's hash), the links of
    // the positions in a cell and of the records at a position, and the
    // records that found their position open, as (position, record) pairs.
    struct Slot {
        uint32_t tag, head;
    };
    std::vector<Slot> slots;
    uint32_t slotEnd = 0;
    std::vector<uint32_t> prevInCell, nextInGroup, tail;
    std::vector<std::pair<uint32_t, uint32_t>> joins;
    // Set by a caller that knows the pool's positions, when they differ, to
    // lie at least this far apart (as points of different codes do): when
    // that is more than the tolerance, positions that are all different
    // are all their own classes, found without the cells. The caller's to
    // clear: 0 knows nothing.
    double dPointGap = 0;
    // Set by a caller that knows the pool's one mesh to use every record,
    // first in the records' own order (a decoder that numbers records as
    // its polygons first use them): the ranks are then the record numbers,
    // had without a pass over every index of the mesh. The caller's to
    // clear.
    bool bFirstUseOrder = false;
    // The sweep's keys, when positions lie within the tolerance.
    std::vector<VqCollocKey> keys;
    // The classes that share a position, as (position, class) pairs.
    std::vector<std::pair<uint32_t, uint32_t>> shared;
};

} // namespace Vq
