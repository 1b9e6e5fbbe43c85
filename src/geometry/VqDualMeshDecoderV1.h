#pragma once

#include "VqDualMeshCodec.h"
#include "VqDualMeshSymbols.h"
#include "VqLookup2.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace Vq {

// The decoding side of the walk: reads the symbol streams back into a dual
// mesh. The streams are hostile input: every symbol is range-checked before
// use, the vertex corners may not outnumber the polygon corners the degree
// stream announces (which bounds every allocation by what the streams hold),
// and every stream must be read to its end.
class DualMeshDecoderV1 : public DualMeshCodec {
public:
    // Face groups above this are refused: a group number sizes the decoded
    // mesh's group array.
    static constexpr int kMaxFaceGroup = (1 << 22) - 1;
    // The most polygon corners a mesh may have (some 90 million triangles):
    // degrees are small numbers that compress to almost nothing, so the
    // corners they announce, which size the decoded mesh, need a bound of
    // their own.
    static constexpr uint64_t kMaxCorners = uint64_t(1) << 28;

    // The chain (the streams' check value) advances within the walk, a
    // block a polygon: it must only read streams of syms, which stay as they
    // are; it is left to finish.
    bool decode(const DualMeshSymbols& syms, VqDualVFMesh& dst, Lookup2Chain& check);

private:
    // The walk's operations (see DualMeshCodec::run). A new polygon and a
    // new vertex of up to 64 corners, nearly every call, are read here in
    // line in the walk; the rest, and every refusal, out of line.
    friend class DualMeshCodec;
    int ioVtxInit();
    [[gnu::always_inline]] int ioVtx(int, int) {
        const int i = _iPolyReadPos;
        _pCheck->step();
        if (i < _iPolyCheckedEnd) [[likely]] {
            _iPolyReadPos = i + 1;
            return _pDst->addPoly(_piDeg[i], _piGrp[i], _puFlags[i]);
        }
        return _ioVtxChecked();
    }
    [[gnu::always_inline]] int ioFace(int, int, int ctx) {
        const int iPos = _iValReadPos[ctx];
        if (iPos >= _anDeg[ctx]) [[unlikely]]
            return _fail("ioFace", "_iValReadPos[i] < _vviOutDegSyms[i].length()");
        _iValReadPos[ctx] = iPos + 1;
        const int cDeg = _apiDeg[ctx][iPos];
        if (cDeg == 0) return -1;
        // Below 2 or above 64 corners.
        if (unsigned(cDeg - 2) > 62u) [[unlikely]]
            return _ioFaceOther(cDeg);
        _nVtxCorners += uint64_t(cDeg);
        if (_nVtxCorners > _nPolyCorners) [[unlikely]]
            return _fail("ioFace", "nVtxCorners <= nPolyCorners");
        const int k = std::min(cDeg - 2, 7);
        const int iMask = _iAttrMaskReadPos[k];
        if (iMask >= _anMask[k]) [[unlikely]]
            return _fail("ioFace", "_iAttrMaskReadPos[i] < _vvuOutAttrMasks[i].length()");
        _iAttrMaskReadPos[k] = iMask + 1;
        // Only the first cDeg bits count.
        uint64_t uMask = _apuMask[k][iMask];
        if (cDeg < 64) uMask &= (uint64_t(1) << cDeg) - 1;
        // One record per vertex is the rule.
        if (uMask != 0 && (uMask & (uMask - 1)) == 0) return _pDst->addVertOneAttr(cDeg);
        return _addVertRuns(&uMask, cDeg);
    }
    int ioSplitFace(int p, int s);
    int ioSplitPos(int p, int s);

    // Records a failed check of an operation that reports by its result;
    // -2.
    [[gnu::cold]] static int _fail(const char* method, const char* what);
    int _readPoly(const char* method);
    int _ioVtxChecked();
    // A vertex whose valence is below 2 or above 64.
    int _ioFaceOther(int cDeg);
    // A vertex whose mask sets no bit or more than one.
    int _addVertRuns(const uint64_t* pMask, int cDeg);
    bool _checkReadPositions() const;

    const DualMeshSymbols* _pSyms = nullptr;
    Lookup2Chain* _pCheck = nullptr;
    int _iValReadPos[DualMeshSymbols::kNumContexts] = {};
    // Polygons are read from their degree, group and flag streams in step.
    int _iPolyReadPos = 0;
    int _iAttrMaskReadPos[DualMeshSymbols::kNumContexts] = {};
    int _iAttrMaskLrgReadPos = 0;
    int _iSplitFaceReadPos = 0;
    int _iSplitPosReadPos = 0;
    // Polygons before this one have all their symbols in range.
    int _iPolyCheckedEnd = 0;
    // The streams the in-line reads use, in place.
    const int* _piDeg = nullptr;
    const int* _piGrp = nullptr;
    const uint16_t* _puFlags = nullptr;
    const int* _apiDeg[DualMeshSymbols::kNumContexts] = {};
    int _anDeg[DualMeshSymbols::kNumContexts] = {};
    const uint64_t* _apuMask[DualMeshSymbols::kNumContexts] = {};
    int _anMask[DualMeshSymbols::kNumContexts] = {};
    uint64_t _nPolyCorners = 0;
    uint64_t _nVtxCorners = 0;
    int _iSplitVtx = -1;
    std::vector<uint64_t> _vuMask;
};

} // namespace Vq
