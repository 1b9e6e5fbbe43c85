#include "VqDualVFMesh.h"

#include <algorithm>

void VqDualVFMesh::clear() {
    _vPolys.clear();
    _vPC.clear();
    _vVerts.clear();
    _vnVEmpty.clear();
    _vVC.clear();
    _viVCAttr.clear();
    _nAttrs = 0;
}

void VqDualVFMesh::reserve(uint32_t nPolys, uint32_t nVerts, uint64_t nCorners) {
    _vPolys.reserve(nPolys);
    _vPC.reserve(nCorners);
    _vVerts.reserve(nVerts);
    _vnVEmpty.reserve(nVerts);
    _vVC.reserve(nCorners);
    _viVCAttr.reserve(nCorners);
}

void VqDualVFMesh::shrink() {
    clear();
    _vPolys.shrink_to_fit();
    _vPC.shrink_to_fit();
    _vVerts.shrink_to_fit();
    _vnVEmpty.shrink_to_fit();
    _vVC.shrink_to_fit();
    _viVCAttr.shrink_to_fit();
}

int VqDualVFMesh::addPoly(int degree, int group, uint16_t flags) {
    _vPolys.push_back({uint32_t(_vPC.size()), uint16_t(degree), flags, group});
    // Element by element: rings are short, and push_back's inlined path
    // beats the out-of-line fill of insert or resize on the decoder's hot
    // path.
    for (int i = 0; i < degree; ++i)
        _vPC.push_back({-1, -1});
    return int(_vPolys.size()) - 1;
}

int VqDualVFMesh::addVert(int valence, int nAttrs) {
    _vVerts.push_back({uint32_t(_vVC.size()), _nAttrs, uint16_t(valence), uint16_t(nAttrs)});
    _vnVEmpty.push_back(valence);
    _nAttrs += uint32_t(nAttrs);
    for (int i = 0; i < valence; ++i) {
        _vVC.push_back({-1, -1});
        _viVCAttr.push_back(-1);
    }
    return int(_vVerts.size()) - 1;
}

void VqDualVFMesh::rotValRing(int p, int r) {
    const int d = polyDegree(p);
    if (r == 0 || d == 0) return;
    const auto b = _vPC.begin() + _vPolys[size_t(p)].uStart;
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
    const auto b = _vVC.begin() + s;
    std::rotate(b, b + r, b + d);
    std::rotate(_viVCAttr.begin() + s, _viVCAttr.begin() + s + uint32_t(r),
                _viVCAttr.begin() + s + uint32_t(d));
    for (int i = 0; i < d; ++i) {
        const Corner& c = b[i];
        if (c.iElem >= 0) _vPC[_vPolys[size_t(c.iElem)].uStart + uint32_t(c.iSlot)].iSlot = i;
    }
}
