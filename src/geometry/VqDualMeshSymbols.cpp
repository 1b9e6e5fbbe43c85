#include "VqDualMeshSymbols.h"

namespace Vq {

void DualMeshSymbols::clear() {
    for (int k = 0; k < kNumContexts; ++k) {
        vviOutDegSyms[k].clear();
        vvuOutAttrMasks[k].clear();
    }
    viOutValSyms.clear();
    viOutVGrpSyms.clear();
    vuOutVtxFlags.clear();
    vuOutAttrMasksLrg.clear();
    viOutSplitFaceSyms.clear();
    viOutSplitPosSyms.clear();
}

void DualMeshSymbols::shrink() {
    clear();
    for (int k = 0; k < kNumContexts; ++k) {
        vviOutDegSyms[k].shrink_to_fit();
        vvuOutAttrMasks[k].shrink_to_fit();
    }
    viOutValSyms.shrink_to_fit();
    viOutVGrpSyms.shrink_to_fit();
    vuOutVtxFlags.shrink_to_fit();
    vuOutAttrMasksLrg.shrink_to_fit();
    viOutSplitFaceSyms.shrink_to_fit();
    viOutSplitPosSyms.shrink_to_fit();
}

uint64_t DualMeshSymbols::numSymbols() const {
    uint64_t n = viOutValSyms.size() + viOutVGrpSyms.size() + vuOutVtxFlags.size() +
                 vuOutAttrMasksLrg.size() + viOutSplitFaceSyms.size() + viOutSplitPosSyms.size();
    for (int k = 0; k < kNumContexts; ++k)
        n += vviOutDegSyms[k].size() + vvuOutAttrMasks[k].size();
    return n;
}

} // namespace Vq
