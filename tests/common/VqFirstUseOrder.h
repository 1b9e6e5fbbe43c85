#pragma once

#include "VqTopoMesh.h"

#include <cstdint>

// Whether the mesh first uses its pool's records in their own order from
// record 0 on, none skipped: what every decoded polygon mesh holds, since
// the collocation after a decode numbers the records so, or is told by the
// coder that its walk already did. Records no primitive uses (those only
// the covers a decode leaves out used) follow the others. False as well
// when the primitives cannot be had.
inline bool vqFirstUsesInOrder(VqTopoMesh& m) {
    VqTopoMeshPrimitives view;
    if (!m.acquirePrimitives(view, false)) return false;
    uint32_t next = 0;
    bool bInOrder = true;
    for (uint32_t i = 0, n = view.nPrims ? view.paiPrimStart[view.nPrims] : 0; i < n && bInOrder; ++i) {
        bInOrder = view.paiIndices[i] <= next;
        if (view.paiIndices[i] == next) ++next;
    }
    return m.releasePrimitives(view) && bInOrder && next <= m.vtxRecPool()->numVtxRecords();
}
