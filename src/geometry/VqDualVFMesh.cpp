#include "VqDualVFMesh.h"

#include <algorithm>
#include <cstring>

void VqDualVFMesh::clear() {
    _vPolys.clear();
    _vVerts.clear();
    _vnVEmpty.clear();
    // Back to empty slots only where they were used: the rest still is.
    // An empty slot is all ones, byte by byte; the records need no reset
    // (addVert leaves them to its caller). (No storage yet is a null
    // pointer, which memset may not be given.)
    if (_nPC > 0) std::memset(static_cast<void*>(_vPC.data()), 0xFF, size_t(_nPC) * sizeof(Corner));
    if (_nVC > 0) std::memset(static_cast<void*>(_vVC.data()), 0xFF, size_t(_nVC) * sizeof(Corner));
    _nPC = _nVC = 0;
    _nAttrs = 0;
}

void VqDualVFMesh::reserve(uint32_t nPolys, uint32_t nVerts, uint64_t nCorners) {
    // Capacity only: the slots are emptied as they come into use, so that
    // counts which the input overstates cost address space, not writes.
    _vPolys.reserve(nPolys);
    _vPC.reserve(nCorners);
    _vVerts.reserve(nVerts);
    _vnVEmpty.reserve(nVerts);
    _vVC.reserve(nCorners);
    _viVCAttr.reserve(nCorners);
}

void VqDualVFMesh::shrink() {
    _nPC = _nVC = 0;
    _nAttrs = 0;
    std::vector<Poly>().swap(_vPolys);
    std::vector<Corner>().swap(_vPC);
    std::vector<Vert>().swap(_vVerts);
    std::vector<int32_t>().swap(_vnVEmpty);
    std::vector<Corner>().swap(_vVC);
    std::vector<int32_t>().swap(_viVCAttr);
}

void VqDualVFMesh::_growCorners(std::vector<Corner>& v, std::vector<int32_t>* pAttrs, uint32_t need) {
    // Doubling, within the reserved capacity when there is one, keeps the
    // emptying linear in the corners used.
    size_t n = std::max<size_t>(std::max<size_t>(2 * v.size(), 1024), need);
    if (v.capacity() >= need) n = std::min(n, v.capacity());
    v.resize(n, Corner{-1, -1});
    if (pAttrs) pAttrs->resize(n, -1);
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
