#include "VqDualVFMesh.h"

#include <algorithm>

void VqDualVFMesh::clear() {
    _vuPStart.clear();
    _vnPDeg.clear();
    _viPGroup.clear();
    _vuPFlags.clear();
    _viPCVtx.clear();
    _viPCSlot.clear();
    _vuVStart.clear();
    _vnVDeg.clear();
    _vnVEmpty.clear();
    _vnVAttr.clear();
    _vuVAttrStart.clear();
    _viVCPoly.clear();
    _viVCSlot.clear();
    _viVCAttr.clear();
    _nAttrs = 0;
}

void VqDualVFMesh::reserve(uint32_t nPolys, uint32_t nVerts, uint64_t nCorners) {
    _vuPStart.reserve(nPolys);
    _vnPDeg.reserve(nPolys);
    _viPGroup.reserve(nPolys);
    _vuPFlags.reserve(nPolys);
    _viPCVtx.reserve(nCorners);
    _viPCSlot.reserve(nCorners);
    _vuVStart.reserve(nVerts);
    _vnVDeg.reserve(nVerts);
    _vnVEmpty.reserve(nVerts);
    _vnVAttr.reserve(nVerts);
    _vuVAttrStart.reserve(nVerts);
    _viVCPoly.reserve(nCorners);
    _viVCSlot.reserve(nCorners);
    _viVCAttr.reserve(nCorners);
}

void VqDualVFMesh::shrink() {
    clear();
    _vuPStart.shrink_to_fit();
    _vnPDeg.shrink_to_fit();
    _viPGroup.shrink_to_fit();
    _vuPFlags.shrink_to_fit();
    _viPCVtx.shrink_to_fit();
    _viPCSlot.shrink_to_fit();
    _vuVStart.shrink_to_fit();
    _vnVDeg.shrink_to_fit();
    _vnVEmpty.shrink_to_fit();
    _vnVAttr.shrink_to_fit();
    _vuVAttrStart.shrink_to_fit();
    _viVCPoly.shrink_to_fit();
    _viVCSlot.shrink_to_fit();
    _viVCAttr.shrink_to_fit();
}

int VqDualVFMesh::addPoly(int degree, int group, uint16_t flags) {
    _vuPStart.push_back(uint32_t(_viPCVtx.size()));
    _vnPDeg.push_back(uint16_t(degree));
    _viPGroup.push_back(group);
    _vuPFlags.push_back(flags);
    // Element by element: rings are short, and push_back's inlined path
    // beats resize's out-of-line fill call on the decoder's hot path.
    for (int i = 0; i < degree; ++i) {
        _viPCVtx.push_back(-1);
        _viPCSlot.push_back(-1);
    }
    return int(_vnPDeg.size()) - 1;
}

int VqDualVFMesh::addVert(int valence, int nAttrs) {
    _vuVStart.push_back(uint32_t(_viVCPoly.size()));
    _vnVDeg.push_back(uint16_t(valence));
    _vnVEmpty.push_back(valence);
    _vnVAttr.push_back(nAttrs);
    _vuVAttrStart.push_back(_nAttrs);
    _nAttrs += uint32_t(nAttrs);
    for (int i = 0; i < valence; ++i) {
        _viVCPoly.push_back(-1);
        _viVCSlot.push_back(-1);
        _viVCAttr.push_back(-1);
    }
    return int(_vnVDeg.size()) - 1;
}

void VqDualVFMesh::rotValRing(int p, int r) {
    const int d = _vnPDeg[p];
    if (r == 0 || d == 0) return;
    const uint32_t b = _vuPStart[p];
    std::rotate(_viPCVtx.begin() + b, _viPCVtx.begin() + b + uint32_t(r), _viPCVtx.begin() + b + uint32_t(d));
    std::rotate(_viPCSlot.begin() + b, _viPCSlot.begin() + b + uint32_t(r),
                _viPCSlot.begin() + b + uint32_t(d));
    for (int i = 0; i < d; ++i) {
        const int v = _viPCVtx[b + uint32_t(i)];
        if (v >= 0) _viVCSlot[_vuVStart[v] + uint32_t(_viPCSlot[b + uint32_t(i)])] = i;
    }
}

void VqDualVFMesh::rotDegRing(int v, int r) {
    const int d = _vnVDeg[v];
    if (r == 0 || d == 0) return;
    const uint32_t b = _vuVStart[v];
    std::rotate(_viVCPoly.begin() + b, _viVCPoly.begin() + b + uint32_t(r),
                _viVCPoly.begin() + b + uint32_t(d));
    std::rotate(_viVCSlot.begin() + b, _viVCSlot.begin() + b + uint32_t(r),
                _viVCSlot.begin() + b + uint32_t(d));
    std::rotate(_viVCAttr.begin() + b, _viVCAttr.begin() + b + uint32_t(r),
                _viVCAttr.begin() + b + uint32_t(d));
    for (int i = 0; i < d; ++i) {
        const int p = _viVCPoly[b + uint32_t(i)];
        if (p >= 0) _viPCSlot[_vuPStart[p] + uint32_t(_viVCSlot[b + uint32_t(i)])] = i;
    }
}
