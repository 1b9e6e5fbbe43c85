#include "VqPrimData.h"

template <class It>
void VqPrimData::_set(It*& slot, bool& ownSlot, It* it, bool own, uint32_t bit) {
    clear(bit);
    slot = it;
    ownSlot = own;
}

void VqPrimData::setCoords(const VqShapeDataIter<float, 3>* it, bool own) {
    _set(_pCoord3, _bOwnCoords, it, own, VQ_PD_COORD3);
}
void VqPrimData::setCoords(const VqShapeDataIter<float, 4>* it, bool own) {
    _set(_pCoord4, _bOwnCoords, it, own, VQ_PD_COORD4);
}
void VqPrimData::setNormals(const VqShapeDataIter<float, 3>* it, bool own) {
    _set(_pNormal3, _bOwnNormals, it, own, VQ_PD_NORMAL3);
}
void VqPrimData::setTexCoords(const VqShapeDataIter<float, 1>* it, bool own) {
    _set(_pTex1, _bOwnTex, it, own, VQ_PD_TEXCOORD1);
}
void VqPrimData::setTexCoords(const VqShapeDataIter<float, 2>* it, bool own) {
    _set(_pTex2, _bOwnTex, it, own, VQ_PD_TEXCOORD2);
}
void VqPrimData::setTexCoords(const VqShapeDataIter<float, 3>* it, bool own) {
    _set(_pTex3, _bOwnTex, it, own, VQ_PD_TEXCOORD3);
}
void VqPrimData::setColors(const VqShapeDataIter<float, 3>* it, bool own) {
    _set(_pColor3, _bOwnColors, it, own, VQ_PD_COLOR3);
}
void VqPrimData::setColors(const VqShapeDataIter<float, 4>* it, bool own) {
    _set(_pColor4, _bOwnColors, it, own, VQ_PD_COLOR4);
}

uint32_t VqPrimData::fields() const {
    return (_pColor3 ? VQ_PD_COLOR3 : 0u) | (_pColor4 ? VQ_PD_COLOR4 : 0u) | (_pCoord3 ? VQ_PD_COORD3 : 0u) |
           (_pCoord4 ? VQ_PD_COORD4 : 0u) | (_pNormal3 ? VQ_PD_NORMAL3 : 0u) |
           (_pTex1 ? VQ_PD_TEXCOORD1 : 0u) | (_pTex2 ? VQ_PD_TEXCOORD2 : 0u) |
           (_pTex3 ? VQ_PD_TEXCOORD3 : 0u);
}

namespace {
template <class It>
void drop(It*& slot, bool owned) {
    if (owned) delete slot;
    slot = nullptr;
}
} // namespace

void VqPrimData::clear(uint32_t mask) {
    // A group's ownership flag covers all its iterators: it is reset only
    // when the group has none left.
    if (mask & VQ_PD_COORD3) drop(_pCoord3, _bOwnCoords);
    if (mask & VQ_PD_COORD4) drop(_pCoord4, _bOwnCoords);
    if (!_pCoord3 && !_pCoord4) _bOwnCoords = false;
    if (mask & VQ_PD_NORMAL3) drop(_pNormal3, _bOwnNormals);
    if (!_pNormal3) _bOwnNormals = false;
    if (mask & VQ_PD_TEXCOORD1) drop(_pTex1, _bOwnTex);
    if (mask & VQ_PD_TEXCOORD2) drop(_pTex2, _bOwnTex);
    if (mask & VQ_PD_TEXCOORD3) drop(_pTex3, _bOwnTex);
    if (!_pTex1 && !_pTex2 && !_pTex3) _bOwnTex = false;
    if (mask & VQ_PD_COLOR3) drop(_pColor3, _bOwnColors);
    if (mask & VQ_PD_COLOR4) drop(_pColor4, _bOwnColors);
    if (!_pColor3 && !_pColor4) _bOwnColors = false;
}
