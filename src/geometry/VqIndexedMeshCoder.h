#pragma once

#include "VqExport.h"
#include "VqRecord.h"
#include "VqTopoMesh.h"
#include "VqVec.h"

#include <cstdint>

class VqObjectStream;

namespace Vq {

// The connectivity section of the line-strip and point mesh records, which
// code their primitive arrays and index lists directly rather than through a
// dual mesh coder (their primitives have no facets to walk).
//
// Both sections (VQ 9.x with the version-2 driver, VQ 10 with the version-3
// driver) are, in order:
//   u32 nPrims; u32 nFaceGrps; u32 nIndices;
//   the primitive starts (nPrims + 1), the face-group starts (nFaceGrps + 1)
//   and the index map (nIndices), each residual-packed and coded;
//   the check value: lookup2 (word variant) chained from 0 over the three
//   arrays before packing; u32 in VQ 10, i32 in 9.x;
//   the vertex-record part, below.
// The index map replaces every index by the position of its record in the
// list of referenced records (_createIndexMap, _createIndexMapV10).
//
// Decisions where the layout was ours to make:
// - The vertex-record part is the same in both generations except for the
//   rings, and reads without help from the levels before it:
//     u64 bindings (bits 0-39, and 63 when auxiliary fields follow);
//     u8 x 4 quantisation bits: coordinates, normals, texture, colours;
//     the referenced-record list (the writer's record numbers), and in VQ 10
//     the ring run lengths and the ring representatives, each coded, then a
//     u32 check value chained on from the section's over the six header
//     words (bindings low and high, the four bit counts) and the lists;
//     the pool's coded arrays, chained on again: coordinates once per ring
//     (its representative's: a ring's records carry the very same
//     coordinates), then per listed record the normals, colours, texture
//     units 0-7 and flags that are bound, and the auxiliary fields.
//   The 9.x part has no rings: every record is its own, and its coordinates
//   are written for every listed record.
// - A point mesh writes the same elements in the same order as a line-strip
//   mesh: its primitives are runs of points, and one reader serves both.
// - Residuals: previous value subtracted, for every array here (starts and
//   record lists ascend; neighbouring indices of a strip are close).
// - The reader gives the mesh a new pool holding exactly the listed records
//   in list order, so the mesh's indices are the index map itself; the
//   writer's numbering is not restored (records no mesh used are not
//   written). The lists are checked all the same: in 9.x strictly ascending;
//   in VQ 10 each ring's records ascending after its representative, the
//   representatives strictly ascending.
class VQ_API IndexedMeshCoder {
public:
    // The section of the format's generation (9 or 10).
    static bool serialize(VqObjectStream& os, const RecordFormat& fmt, const VqTopoMesh& tm);
    static bool deserialize(VqObjectStream& os, const RecordFormat& fmt, VqTopoMesh& tm);
    // The sections of the VQ 9.x and VQ 10 records. Writing read-locks the
    // mesh and its pool. Reading replaces the mesh's primitives and pool
    // only when the whole section was read and checked; a section that fails
    // leaves the mesh without primitives. (The record levels then drop the
    // topology and shrink the mesh.)
    static bool serialize9x(VqObjectStream& os, const VqTopoMesh& tm);
    static bool deserialize9x(VqObjectStream& os, VqTopoMesh& tm);
    static bool serialize10x(VqObjectStream& os, const VqTopoMesh& tm);
    static bool deserialize10x(VqObjectStream& os, VqTopoMesh& tm);

    // The records the mesh references, in ascending order, and its index
    // list with every index replaced by its record's position in refs.
    static bool _createIndexMap(const VqTopoMesh& tm, VqVecu& refs, VqVecu& mapped);
    // The same, with the records of one position ring (when the pool has
    // valid rings) adjacent: rings in the order of their lowest referenced
    // record, which represents the ring and comes first, the ring's other
    // referenced records after it in ascending order. runLens holds the
    // number of referenced records of each ring, reps the representatives.
    static bool _createIndexMapV10(const VqTopoMesh& tm, VqVecu& refs, VqVecu& runLens, VqVecu& reps,
                                   VqVecu& mapped);
};

} // namespace Vq
