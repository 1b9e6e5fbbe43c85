#pragma once

#include "VqExport.h"
#include "VqVec.h"

#include <cstdint>

namespace Vq {

// The symbol streams of the topology mesh coder, in mesh terms (see
// Vq::DualTopoMeshCoder for their order in a record):
//   vviOutDegSyms[k]     vertex valences reached in context k; 0 marks a split;
//   viOutValSyms         polygon degrees (> 2);
//   viOutVGrpSyms        polygon face groups (>= -1);
//   vuOutVtxFlags        polygon flags (bit 0: cover polygon);
//   vvuOutAttrMasks[k]   attribute masks of vertices of valence <= 64, k =
//                        clamp(valence - 2, 0, 7): bit i set when the corner
//                        in ring slot i starts a run of one attribute record;
//   vuOutAttrMasksLrg    masks of vertices of valence > 64, ceil(valence / 32)
//                        words each, low word first;
//   viOutSplitFaceSyms   split offsets on the active stack (1 = top);
//   viOutSplitPosSyms    split slots (the found vertex's slot of the polygon).
struct VQ_API DualMeshSymbols {
    static constexpr int kNumContexts = 8;

    VqVeci vviOutDegSyms[kNumContexts];
    VqVeci viOutValSyms;
    VqVeci viOutVGrpSyms;
    VqVec<uint16_t> vuOutVtxFlags;
    VqVec<uint64_t> vvuOutAttrMasks[kNumContexts];
    VqVecu vuOutAttrMasksLrg;
    VqVeci viOutSplitFaceSyms;
    VqVeci viOutSplitPosSyms;

    void clear();
    void shrink();
    // All symbols together, for statistics.
    uint64_t numSymbols() const;
};

} // namespace Vq
