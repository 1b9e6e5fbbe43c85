#pragma once

#include "VqDualMeshCodec.h"
#include "VqDualMeshSymbols.h"

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

    bool decode(const DualMeshSymbols& syms, VqDualVFMesh& dst);

protected:
    int ioVtxInit() override;
    int ioVtx(int v, int s) override;
    int ioFace(int p, int s) override;
    int ioSplitFace(int p, int s) override;
    int ioSplitPos(int p, int s) override;

private:
    int _readPoly(const char* method);
    bool _checkReadPositions() const;

    const DualMeshSymbols* _pSyms = nullptr;
    int _iValReadPos[DualMeshSymbols::kNumContexts] = {};
    int _iDegReadPos = 0;
    int _iVGrpReadPos = 0;
    int _iFFlagReadPos = 0;
    int _iAttrMaskReadPos[DualMeshSymbols::kNumContexts] = {};
    int _iAttrMaskLrgReadPos = 0;
    int _iSplitFaceReadPos = 0;
    int _iSplitPosReadPos = 0;
    // Polygons before this one have all their symbols in range.
    int _iPolyCheckedEnd = 0;
    uint64_t _nPolyCorners = 0;
    uint64_t _nVtxCorners = 0;
    int _iSplitVtx = -1;
    std::vector<uint64_t> _vuMask;
};

} // namespace Vq
