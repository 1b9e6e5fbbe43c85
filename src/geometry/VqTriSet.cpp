#include "VqTriSet.h"

#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(VqTriSet, VqBase, CLSID_ZQTriSet)

VqTriSet::VqTriSet(uint64_t nb, uint64_t tb, uint64_t cb)
    : _bNormals((nb & VQ_GEOMBIND_NORMVEC_MASK) != 0), _nColorComps((cb & VQ_GEOMBIND_VTXCOLOR4)   ? 4
                                                                    : (cb & VQ_GEOMBIND_VTXCOLOR3) ? 3
                                                                                                   : 0) {
    for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k) {
        const uint64_t nibble = (tb & vqTexCoordMask(k)) >> (8 + 4 * k);
        // The highest bit of the unit's nibble names its component count.
        _anTexComps[k] = nibble & 8 ? 4 : nibble & 4 ? 3 : nibble & 2 ? 2 : nibble & 1 ? 1 : 0;
    }
}

size_t VqTriSet::_memSize(bool deep) const {
    size_t n = VqBase::_memSize(deep) + sizeof(*this) - sizeof(VqBase);
    n += (_vfCoords.capacity() + _vfNormals.capacity() + _vfColors.capacity()) * sizeof(float);
    for (const VqVecf& t : _avfTexCoords)
        n += t.capacity() * sizeof(float);
    return n;
}

void VqTriSet::addCorner(const float* coord, const float* normal, const float* color,
                         const float* const* texCoords) {
    _vfCoords.insert(_vfCoords.end(), coord, coord + 3);
    if (_bNormals) _vfNormals.insert(_vfNormals.end(), normal, normal + 3);
    if (_nColorComps) _vfColors.insert(_vfColors.end(), color, color + _nColorComps);
    for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
        if (_anTexComps[k])
            _avfTexCoords[k].insert(_avfTexCoords[k].end(), texCoords[k], texCoords[k] + _anTexComps[k]);
}
