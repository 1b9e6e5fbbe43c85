#include "VqDualMeshCoderV1.h"

#include "VqErrorState.h"

#include <algorithm>

namespace Vq {

namespace {
constexpr const char* kCls = "DualMeshCoderV1";
}

bool DualMeshCoderV1::encode(VqDualVFMesh& src, VqDualVFMesh& dst, DualMeshSymbols& syms,
                             std::vector<int>& coordOrder, std::vector<int>& attrOrder) {
    _pSrc = &src;
    _pSyms = &syms;
    _pCoordOrder = &coordOrder;
    _pAttrOrder = &attrOrder;
    syms.clear();
    coordOrder.clear();
    attrOrder.clear();
    _viDstOfVert.assign(size_t(src.numVerts()), -1);
    _viDstOfPoly.assign(size_t(src.numPolys()), -1);
    _viSrcOfPoly.clear();
    _iSeedCursor = 0;
    dst.reserve(uint32_t(src.numPolys()), uint32_t(src.numVerts()), src.numPolyCorners());
    coordOrder.reserve(size_t(src.numVerts()));
    // The destination's polygons are the source's, degree for degree.
    bool bTriangles = true;
    for (int P = 0; P < src.numPolys() && bTriangles; ++P)
        bTriangles = src.polyDegree(P) == 3;
    const bool ok = run<DualMeshCoderV1>(dst, bTriangles);
    _pSrc = nullptr;
    _pSyms = nullptr;
    VQ_PROPAGATE(ok);
    return true;
}

int DualMeshCoderV1::_createPoly(int P) {
    VqDualVFMesh& src = *_pSrc;
    const int cVal = src.polyDegree(P), iVGrp = src.polyGroup(P);
    if (!(cVal > 2)) {
        VqErrorState::throwStdError(kCls, "ioVtx", "cVal > 2", VQ_ERR_INTERNAL);
        return -2;
    }
    if (!(iVGrp >= -1)) {
        VqErrorState::throwStdError(kCls, "ioVtx", "iVGrp >= -1", VQ_ERR_INTERNAL);
        return -2;
    }
    _pSyms->viOutValSyms.push_back(cVal);
    _pSyms->viOutVGrpSyms.push_back(iVGrp);
    _pSyms->vuOutVtxFlags.push_back(src.polyFlags(P));
    const int p = _pDst->addPoly(cVal, iVGrp, src.polyFlags(P));
    _viDstOfPoly[size_t(P)] = p;
    _viSrcOfPoly.push_back(P);
    return p;
}

int DualMeshCoderV1::ioVtxInit() {
    VqDualVFMesh& src = *_pSrc;
    for (; _iSeedCursor < src.numVerts(); ++_iSeedCursor) {
        const int V = _iSeedCursor;
        if (src.vertValence(V) == 0 || _viDstOfVert[size_t(V)] >= 0) continue;
        const int P = src.vertPoly(V, 0);
        src.rotValRing(P, src.vertPolySlot(V, 0));
        return _createPoly(P);
    }
    return -1;
}

int DualMeshCoderV1::ioVtx(int v, int s) {
    VqDualVFMesh& src = *_pSrc;
    // Source and destination vertex numbers differ; the destination's
    // vertices are numbered in coordinate order.
    const int V = (*_pCoordOrder)[size_t(v)];
    const int P = src.vertPoly(V, s);
    if (_viDstOfPoly[size_t(P)] >= 0) {
        VqErrorState::throwStdError(kCls, "ioVtx", "_viDstOfPoly[P] < 0", VQ_ERR_INTERNAL);
        return -2;
    }
    src.rotValRing(P, src.vertPolySlot(V, s));
    return _createPoly(P);
}

int DualMeshCoderV1::ioFace(int p, int s, int ctx) {
    VqDualVFMesh& src = *_pSrc;
    const int P = _viSrcOfPoly[size_t(p)];
    const int W = src.polyVtx(P, s);
    if (_viDstOfVert[size_t(W)] >= 0) {
        _pSyms->vviOutDegSyms[ctx].push_back(0);
        return -1;
    }
    src.rotDegRing(W, src.polyVtxSlot(P, s));
    const int cDeg = src.vertValence(W);
    if (!(cDeg >= 0 && cDeg != 1)) {
        VqErrorState::throwStdError(kCls, "ioFace", "cDeg >= 0 && cDeg != 1", VQ_ERR_INTERNAL);
        return -2;
    }
    const int* recs = src.vertAttrs(W);
    _vuMask.assign(size_t(cDeg + 63) / 64, 0);
    int prev = -1;
    for (int i = cDeg; i-- > 0;)
        if (recs[i] >= 0) {
            prev = recs[i];
            break;
        }
    int nAttrs = 0, firstWithRec = -1;
    for (int i = 0; i < cDeg; ++i) {
        if (recs[i] < 0) continue;
        if (firstWithRec < 0) firstWithRec = i;
        if (recs[i] != prev) {
            _vuMask[size_t(i) >> 6] |= uint64_t(1) << (i & 63);
            ++nAttrs;
            prev = recs[i];
        }
    }
    if (nAttrs == 0 && firstWithRec >= 0) {
        _vuMask[size_t(firstWithRec) >> 6] |= uint64_t(1) << (firstWithRec & 63);
        nAttrs = 1;
    }
    for (int i = 0; i < cDeg; ++i)
        if ((_vuMask[size_t(i) >> 6] >> (i & 63)) & 1u) {
            const int iAttrRec = recs[i];
            if (!(iAttrRec >= 0)) {
                VqErrorState::throwStdError(kCls, "ioFace", "iAttrRec >= 0", VQ_ERR_INTERNAL);
                return -2;
            }
            _pAttrOrder->push_back(iAttrRec);
        }
    _pSyms->vviOutDegSyms[ctx].push_back(cDeg);
    if (cDeg <= 64) {
        _pSyms->vvuOutAttrMasks[std::clamp(cDeg - 2, 0, 7)].push_back(_vuMask[0]);
    } else {
        for (int w = 0; w < (cDeg + 31) / 32; ++w)
            _pSyms->vuOutAttrMasksLrg.push_back(uint32_t(_vuMask[size_t(w) >> 1] >> (32 * (w & 1))));
    }
    const int w = _pDst->addVert(cDeg, nAttrs);
    assignRuns(_vuMask.data(), cDeg, int(_pDst->vertFirstAttr(w)), _pDst->vertAttrs(w));
    _viDstOfVert[size_t(W)] = w;
    _pCoordOrder->push_back(W);
    return w;
}

int DualMeshCoderV1::ioSplitFace(int p, int s) {
    const int W = _pSrc->polyVtx(_viSrcOfPoly[size_t(p)], s);
    const int w = _viDstOfVert[size_t(W)];
    const int iOffset = _stackOffsetOf(w);
    if (!(iOffset >= 0)) {
        VqErrorState::throwStdError(kCls, "ioSplitFace", "iOffset >= 0", VQ_ERR_INTERNAL);
        return -2;
    }
    _pSyms->viOutSplitFaceSyms.push_back(iOffset);
    return w;
}

int DualMeshCoderV1::ioSplitPos(int p, int s) {
    const int jFSlot = _pSrc->polyVtxSlot(_viSrcOfPoly[size_t(p)], s);
    if (!(jFSlot >= 0)) {
        VqErrorState::throwStdError(kCls, "ioSplitPos", "jFSlot >= 0", VQ_ERR_INTERNAL);
        return -2;
    }
    _pSyms->viOutSplitPosSyms.push_back(jFSlot);
    return jFSlot;
}

} // namespace Vq
