#include "VqDualMeshDecoderV1.h"

#include "VqCpuIsa.h"
#include "VqErrorState.h"

#include <algorithm>
#include <bit>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace Vq {

namespace {
constexpr const char* kCls = "DualMeshDecoderV1";

// Whether every one of the n values lies within [lo, hi], with their sum
// when bSum (meaningful only when they all do). These passes over whole
// streams come before every decode: four values a step where the target
// has the instructions.
template <bool bSum>
bool allWithin(const int* p, size_t n, int lo, int hi, uint64_t& sum) {
    size_t i = 0;
    bool bOut = false;
    uint64_t s = 0;
#ifdef __SSE2__
    const __m128i vLo = _mm_set1_epi32(lo), vHi = _mm_set1_epi32(hi), zero = _mm_setzero_si128();
    __m128i vOut = zero, vSum = zero;
    for (; i + 4 <= n; i += 4) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        vOut = _mm_or_si128(vOut, _mm_or_si128(_mm_cmplt_epi32(x, vLo), _mm_cmpgt_epi32(x, vHi)));
        // Widened without their sign: a negative value is out of range.
        if constexpr (bSum)
            vSum =
                _mm_add_epi64(vSum, _mm_add_epi64(_mm_unpacklo_epi32(x, zero), _mm_unpackhi_epi32(x, zero)));
    }
    bOut = _mm_movemask_epi8(vOut) != 0;
    alignas(16) uint64_t lanes[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), vSum);
    s = lanes[0] + lanes[1];
#endif
    for (; i < n; ++i) {
        bOut |= p[i] < lo || p[i] > hi;
        if constexpr (bSum) s += uint64_t(int64_t(p[i]));
    }
    sum = s;
    return !bOut;
}

// The number of non-zero values among n.
size_t countNonZero(const int* p, size_t n) {
    size_t i = 0, nZero = 0;
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128();
    // Each lane counts down by one per zero; a lane sees at most n / 4.
    __m128i vZero = zero;
    for (; i + 4 <= n; i += 4)
        vZero = _mm_add_epi32(
            vZero, _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)), zero));
    alignas(16) int32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), vZero);
    nZero = size_t(-int64_t(lanes[0])) + size_t(-int64_t(lanes[1])) + size_t(-int64_t(lanes[2])) +
            size_t(-int64_t(lanes[3]));
#endif
    for (; i < n; ++i)
        nZero += p[i] == 0;
    return n - nZero;
}
} // namespace

int DualMeshDecoderV1::_fail(const char* method, const char* what) {
    VqErrorState::throwStdError(kCls, method, what, VQ_ERR_CORRUPT);
    return -2;
}

bool DualMeshDecoderV1::decode(const DualMeshSymbols& syms, VqDualVFMesh& dst, Lookup2Chain& check) {
    _pSyms = &syms;
    _pCheck = &check;
    std::fill(std::begin(_iValReadPos), std::end(_iValReadPos), 0);
    std::fill(std::begin(_iAttrMaskReadPos), std::end(_iAttrMaskReadPos), 0);
    _iPolyReadPos = _iAttrMaskLrgReadPos = 0;
    _iSplitFaceReadPos = _iSplitPosReadPos = 0;
    _nVtxCorners = 0;
    _iSplitVtx = -1;
    // The degrees bound everything else: check them all first. Their least,
    // greatest and sum settle it for valid streams (with every degree
    // positive, a sum within bounds has every partial sum within them too);
    // only a failure walks them again in order, so that it names the first
    // fault.
    uint64_t sumVal = 0;
    const bool bValIn = allWithin<true>(syms.viOutValSyms.data(), syms.viOutValSyms.size(), 3,
                                        VqDualVFMesh::kMaxDegree, sumVal);
    _nPolyCorners = sumVal;
    if (!bValIn || sumVal > kMaxCorners) {
        _nPolyCorners = 0;
        for (const int cVal : syms.viOutValSyms) {
            VQ_CHECK(cVal > 2, kCls, "decode", VQ_ERR_CORRUPT);
            VQ_CHECK(cVal <= VqDualVFMesh::kMaxDegree, kCls, "decode", VQ_ERR_CORRUPT);
            _nPolyCorners += uint64_t(cVal);
            VQ_CHECK(_nPolyCorners <= kMaxCorners, kCls, "decode", VQ_ERR_CORRUPT);
        }
    }
    // Polygons are read from three streams in step; up to the first one
    // whose group is out of range or that a stream lacks, each read needs
    // no check of its own. Past that point every read is checked as it
    // comes, so a refusal names the same fault as it would otherwise. The
    // groups' bounds tell whether there is such a polygon at all.
    _iPolyCheckedEnd =
        std::min({syms.viOutValSyms.length(), syms.viOutVGrpSyms.length(), int(syms.vuOutVtxFlags.length())});
    const int* const pGrp = syms.viOutVGrpSyms.data();
    uint64_t unused = 0;
    if (!allWithin<false>(pGrp, size_t(_iPolyCheckedEnd), -1, kMaxFaceGroup, unused))
        for (int i = 0; i < _iPolyCheckedEnd; ++i)
            if (!(pGrp[i] >= -1 && pGrp[i] <= kMaxFaceGroup)) {
                _iPolyCheckedEnd = i;
                break;
            }
    uint32_t nVerts = 0;
    for (int k = 0; k < DualMeshSymbols::kNumContexts; ++k)
        nVerts += uint32_t(countNonZero(syms.vviOutDegSyms[k].data(), syms.vviOutDegSyms[k].size()));
    dst.reserve(uint32_t(syms.viOutValSyms.size()), nVerts, _nPolyCorners);
    _piDeg = syms.viOutValSyms.data();
    _piGrp = syms.viOutVGrpSyms.data();
    _puFlags = syms.vuOutVtxFlags.data();
    for (int k = 0; k < DualMeshSymbols::kNumContexts; ++k) {
        _apiDeg[k] = syms.vviOutDegSyms[k].data();
        _anDeg[k] = syms.vviOutDegSyms[k].length();
        _apuMask[k] = syms.vvuOutAttrMasks[k].data();
        _anMask[k] = syms.vvuOutAttrMasks[k].length();
    }
    // Every polygon is read from the degree stream, each checked above to be
    // 3 or more: a sum of three per polygon makes them all triangles.
    const bool bTriangles = _nPolyCorners == 3 * uint64_t(syms.viOutValSyms.size());
    const bool ok = withBestIsa([&]() VQ_ISA_BODY { return run<DualMeshDecoderV1>(dst, bTriangles); }) &&
                    _checkReadPositions();
    _pSyms = nullptr;
    _pCheck = nullptr;
    VQ_PROPAGATE(ok);
    return true;
}

bool DualMeshDecoderV1::_checkReadPositions() const {
    // The texts name the coder's streams, whose symbols are in _pSyms here.
    const DualMeshSymbols& y = *_pSyms;
    for (int i = 0; i < DualMeshSymbols::kNumContexts; ++i)
        if (_iValReadPos[i] != y.vviOutDegSyms[i].length())
            VQ_FAIL(kCls, "decode", "_iValReadPos[i] == _vviOutDegSyms[i].length()", VQ_ERR_CORRUPT);
    if (_iPolyReadPos != y.viOutValSyms.length())
        VQ_FAIL(kCls, "decode", "_iDegReadPos == _viOutValSyms.length()", VQ_ERR_CORRUPT);
    if (_iPolyReadPos != y.viOutVGrpSyms.length())
        VQ_FAIL(kCls, "decode", "_iVGrpReadPos == _viOutVGrpSyms.length()", VQ_ERR_CORRUPT);
    if (_iPolyReadPos != y.vuOutVtxFlags.length())
        VQ_FAIL(kCls, "decode", "_iFFlagReadPos == _vuOutVtxFlags.length()", VQ_ERR_CORRUPT);
    for (int i = 0; i < DualMeshSymbols::kNumContexts; ++i)
        if (_iAttrMaskReadPos[i] != y.vvuOutAttrMasks[i].length())
            VQ_FAIL(kCls, "decode", "_iAttrMaskReadPos[i] == _vvuOutAttrMasks[i].length()", VQ_ERR_CORRUPT);
    if (_iAttrMaskLrgReadPos != y.vuOutAttrMasksLrg.length())
        VQ_FAIL(kCls, "decode", "_iAttrMaskLrgReadPos == _vuOutAttrMasksLrg.length()", VQ_ERR_CORRUPT);
    if (_iSplitFaceReadPos != y.viOutSplitFaceSyms.length())
        VQ_FAIL(kCls, "decode", "_iSplitFaceReadPos == _viOutSplitFaceSyms.length()", VQ_ERR_CORRUPT);
    if (_iSplitPosReadPos != y.viOutSplitPosSyms.length())
        VQ_FAIL(kCls, "decode", "_iSplitPosReadPos == _viOutSplitPosSyms.length()", VQ_ERR_CORRUPT);
    return true;
}

int DualMeshDecoderV1::_readPoly(const char* method) {
    const DualMeshSymbols& y = *_pSyms;
    // Degrees were checked in decode.
    const int i = _iPolyReadPos;
    const int cVal = y.viOutValSyms[i];
    if (i >= y.viOutVGrpSyms.length()) return _fail(method, "_iVGrpReadPos < _viOutVGrpSyms.length()");
    const int iVGrp = y.viOutVGrpSyms[i];
    if (!(iVGrp >= -1)) return _fail(method, "iVGrp >= -1");
    if (!(iVGrp <= kMaxFaceGroup)) return _fail(method, "iVGrp <= kMaxFaceGroup");
    if (i >= y.vuOutVtxFlags.length()) return _fail(method, "_iFFlagReadPos < _vuOutVtxFlags.length()");
    const uint16_t flags = y.vuOutVtxFlags[i];
    _iPolyReadPos = i + 1;
    return _pDst->addPoly(cVal, iVGrp, flags);
}

int DualMeshDecoderV1::ioVtxInit() {
    if (_iPolyReadPos >= _pSyms->viOutValSyms.length()) return -1;
    return _readPoly("ioVtxInit");
}

int DualMeshDecoderV1::_ioVtxChecked() {
    if (_iPolyReadPos >= _pSyms->viOutValSyms.length())
        return _fail("ioVtx", "_iDegReadPos < _viOutValSyms.length()");
    return _readPoly("ioVtx");
}

int DualMeshDecoderV1::_ioFaceOther(int cDeg) {
    const DualMeshSymbols& y = *_pSyms;
    if (!(cDeg >= 2 && cDeg <= VqDualVFMesh::kMaxDegree))
        return _fail("ioFace", "cDeg >= 2 && cDeg <= 65535");
    _nVtxCorners += uint64_t(cDeg);
    if (!(_nVtxCorners <= _nPolyCorners)) return _fail("ioFace", "nVtxCorners <= nPolyCorners");
    const size_t nWords = size_t(cDeg + 63) / 64;
    _vuMask.assign(nWords, 0);
    const int n32 = (cDeg + 31) / 32;
    if (_iAttrMaskLrgReadPos > y.vuOutAttrMasksLrg.length() - n32)
        return _fail("ioFace", "_iAttrMaskLrgReadPos + n <= _vuOutAttrMasksLrg.length()");
    for (int w = 0; w < n32; ++w)
        _vuMask[size_t(w) >> 1] |= uint64_t(y.vuOutAttrMasksLrg[_iAttrMaskLrgReadPos++]) << (32 * (w & 1));
    if (cDeg & 63) _vuMask[nWords - 1] &= (uint64_t(1) << (cDeg & 63)) - 1;
    return _addVertRuns(_vuMask.data(), cDeg);
}

int DualMeshDecoderV1::_addVertRuns(const uint64_t* pMask, int cDeg) {
    // Without a popcount instruction in the target, counting the bits is a
    // library call: only the vertices with other than one run come here.
    int nFaceAttrs = 0;
    for (size_t i = 0, n = size_t(cDeg + 63) / 64; i < n; ++i)
        nFaceAttrs += std::popcount(pMask[i]);
    if (!(nFaceAttrs <= cDeg)) return _fail("ioFace", "nFaceAttrs <= cDeg");
    const int w = _pDst->addVert(cDeg, nFaceAttrs);
    assignRuns(pMask, cDeg, int(_pDst->vertFirstAttr(w)), _pDst->vertAttrs(w));
    return w;
}

int DualMeshDecoderV1::ioSplitFace(int, int) {
    const DualMeshSymbols& y = *_pSyms;
    if (_iSplitFaceReadPos >= y.viOutSplitFaceSyms.length())
        return _fail("ioSplitFace", "_iSplitFaceReadPos < _viOutSplitFaceSyms.length()");
    const int eSym = y.viOutSplitFaceSyms[_iSplitFaceReadPos++];
    if (!(eSym >= -1)) return _fail("ioSplitFace", "eSym >= -1");
    const int iOffset = eSym, cLen = _stackLength();
    if (!(iOffset > 0 && iOffset <= cLen)) return _fail("ioSplitFace", "iOffset > 0 && iOffset <= cLen");
    _iSplitVtx = _stackEntry(cLen - iOffset);
    return _iSplitVtx;
}

int DualMeshDecoderV1::ioSplitPos(int, int) {
    const DualMeshSymbols& y = *_pSyms;
    if (_iSplitPosReadPos >= y.viOutSplitPosSyms.length())
        return _fail("ioSplitPos", "_iSplitPosReadPos < _viOutSplitPosSyms.length()");
    const int eSym = y.viOutSplitPosSyms[_iSplitPosReadPos++];
    if (!(eSym >= -1)) return _fail("ioSplitPos", "eSym >= -1");
    const int cDeg = _pDst->vertValence(_iSplitVtx);
    if (!(eSym >= 0 && eSym < cDeg)) return _fail("ioSplitPos", "eSym >= 0 && eSym < cDeg");
    return eSym;
}

} // namespace Vq
