#include "VqDualVFMesh.h"

#include <algorithm>

void VqDualVFMesh::clear() {
    // Storage keeps its size: each element empties its own slots as it is
    // added, and the records are left to the adder.
    _nPolys = _nVerts = 0;
    _nPC = _nVC = 0;
    _nAttrs = 0;
}

void VqDualVFMesh::reserve(uint32_t nPolys, uint32_t nVerts, uint64_t nCorners) {
    // Capacity only: storage is sized as it comes into use, so that counts
    // which the input overstates cost address space, not writes.
    _vPolys.reserve(nPolys);
    _viPolyGroup.reserve(nPolys);
    _vPC.reserve(nCorners);
    _vVerts.reserve(nVerts);
    _vuVertAttrStart.reserve(nVerts);
    _vnVEmpty.reserve(nVerts);
    _vVC.reserve(nCorners);
    _viVCAttr.reserve(nCorners);
}

void VqDualVFMesh::shrink() {
    clear();
    _nPolyRoom = _nPCRoom = _nVertRoom = _nVCRoom = 0;
    std::vector<Poly>().swap(_vPolys);
    std::vector<int32_t>().swap(_viPolyGroup);
    std::vector<Corner>().swap(_vPC);
    std::vector<Vert>().swap(_vVerts);
    std::vector<uint32_t>().swap(_vuVertAttrStart);
    std::vector<uint16_t>().swap(_vnVEmpty);
    std::vector<Corner>().swap(_vVC);
    std::vector<int32_t>().swap(_viVCAttr);
}

namespace {
// Grows v to at least need elements and returns its size. Doubling, within
// the reserved capacity when there is one, keeps the growth linear in what
// is used. (Sizes fit 32 bits as the corner counts do, and there are no
// more elements than corners.)
template <class T> uint32_t growTo(std::vector<T>& v, size_t need) {
    if (v.size() >= need) return uint32_t(v.size());
    size_t n = std::max<size_t>(std::max<size_t>(2 * v.size(), 1024), need);
    if (v.capacity() >= need) n = std::min(n, v.capacity());
    v.resize(n);
    return uint32_t(n);
}
} // namespace

int VqDualVFMesh::_addPolyGrowing(int degree, int group, uint16_t flags) {
    _nPolyRoom = std::min(growTo(_vPolys, size_t(_nPolys) + 1), growTo(_viPolyGroup, size_t(_nPolys) + 1));
    _nPCRoom = growTo(_vPC, size_t(_nPC) + uint32_t(degree));
    return addPoly(degree, group, flags);
}

int VqDualVFMesh::_addVertGrowing(int valence, int nAttrs) {
    _nVertRoom = std::min({growTo(_vVerts, size_t(_nVerts) + 1), growTo(_vuVertAttrStart, size_t(_nVerts) + 1),
                           growTo(_vnVEmpty, size_t(_nVerts) + 1)});
    _nVCRoom = std::min(growTo(_vVC, size_t(_nVC) + uint32_t(valence)),
                        growTo(_viVCAttr, size_t(_nVC) + uint32_t(valence)));
    return addVert(valence, nAttrs);
}

// The records are tested whole, two a vector (lanes: the start, then the
// count and the 16-bit field after it), their differences from what is
// wanted gathered without a branch: a decoded mesh passes, and with a
// branch on each record's tests this pass was most of its export's own
// work.
bool VqDualVFMesh::plainTriangles() const {
    const uint32_t n = _nPolys;
    if (n == 0) return true;
    const uint32_t first = _vPolys[0].uStart;
    uint32_t p = 0, uDiff = 0;
#ifdef __SSE2__
    // Lane 1 and 3: the degree and the cover bit of the flags.
    const __m128i keep = _mm_setr_epi32(-1, 0x1FFFF, -1, 0x1FFFF);
    __m128i want = _mm_setr_epi32(int(first), 3, int(first + 3), 3);
    const __m128i step = _mm_setr_epi32(6, 0, 6, 0), zero = _mm_setzero_si128();
    __m128i diff = zero;
    for (; n - p >= 2; p += 2) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(_vPolys.data() + p));
        diff = _mm_or_si128(diff, _mm_xor_si128(_mm_and_si128(x, keep), want));
        want = _mm_add_epi32(want, step);
    }
    for (uint32_t g = 0; n - g >= 4; g += 4)
        diff = _mm_or_si128(
            diff, _mm_cmpgt_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(_viPolyGroup.data() + g)),
                                  zero));
    uDiff = uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(diff, zero))) ^ 0xFFFFu;
    for (uint32_t g = n & ~3u; g < n; ++g)
        uDiff |= uint32_t(_viPolyGroup[g] > 0);
#else
    for (uint32_t g = 0; g < n; ++g)
        uDiff |= uint32_t(_viPolyGroup[g] > 0);
#endif
    for (; p < n; ++p) {
        const Poly& r = _vPolys[p];
        uDiff |= (r.uStart ^ (first + 3 * p)) | (uint32_t(r.nDeg) ^ 3u) | (r.uFlags & kCoverFlag);
    }
    return uDiff == 0;
}

bool VqDualVFMesh::oneAttrEach() const {
    const uint32_t n = _nVerts;
    uint32_t v = 0, uDiff = 0;
#ifdef __SSE2__
    // Lanes 1 and 3: the valence, and the record count above it.
    const __m128i keep = _mm_setr_epi32(0, int(0xFFFF0000u), 0, int(0xFFFF0000u));
    const __m128i want = _mm_setr_epi32(0, 0x10000, 0, 0x10000), zero = _mm_setzero_si128();
    __m128i diff = zero;
    for (; n - v >= 2; v += 2)
        diff = _mm_or_si128(
            diff,
            _mm_xor_si128(
                _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(_vVerts.data() + v)), keep),
                want));
    uDiff = uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(diff, zero))) ^ 0xFFFFu;
#endif
    for (; v < n; ++v)
        uDiff |= uint32_t(_vVerts[v].nAttrs) ^ 1u;
    return uDiff == 0;
}

void VqDualVFMesh::rotValRing(int p, int r) {
    const int d = polyDegree(p);
    if (r == 0 || d == 0) return;
    Corner* const b = polyRing(p);
    std::rotate(b, b + r, b + d);
    for (int i = 0; i < d; ++i) {
        const Corner& c = b[i];
        if (c.iElem >= 0) _vVC[_vVerts[size_t(c.iElem)].uStart + uint32_t(c.iSlot)].iSlot = i;
    }
}

void VqDualVFMesh::rotDegRing(int v, int r) {
    const int d = vertValence(v);
    if (r == 0 || d == 0) return;
    const uint32_t s = _vVerts[size_t(v)].uStart;
    Corner* const b = _vVC.data() + s;
    std::rotate(b, b + r, b + d);
    std::rotate(_viVCAttr.begin() + s, _viVCAttr.begin() + s + uint32_t(r),
                _viVCAttr.begin() + s + uint32_t(d));
    for (int i = 0; i < d; ++i) {
        const Corner& c = b[i];
        if (c.iElem >= 0) _vPC[_vPolys[size_t(c.iElem)].uStart + uint32_t(c.iSlot)].iSlot = i;
    }
}
