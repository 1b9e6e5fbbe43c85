#include "VqPackedPrimDataIter.h"

#include "VqInterleavedPrimDataIter.h"

#include <algorithm>

VqPackedPrimDataIter::VqPackedPrimDataIter(const VqPackedRepHelper::Data& d)
    : _rData(d), _offsets(VqPackedRepHelper::computeOffsets(d.normal, d.texture, d.color)) {
    const size_t nVerts = d.floats.size() / size_t(_offsets.stride);
    _bFits = d.floats.size() % size_t(_offsets.stride) == 0 &&
             VqInterleavedPrimDataIter::s_fits(d.primList, nVerts) &&
             d.colors.size() == (d.color ? nVerts : 0);
}

uint32_t VqPackedPrimDataIter::numVertices() const {
    return valid() ? _rData.primList[_iPrim + 1] - _rData.primList[_iPrim] : 0;
}

const float* VqPackedPrimDataIter::_vertex(uint32_t i) const {
    if (i >= numVertices()) return nullptr;
    return _rData.floats.data() + size_t(_rData.primList[_iPrim] + i) * size_t(_offsets.stride);
}

bool VqPackedPrimDataIter::coord(uint32_t i, float out[3]) const {
    const float* v = _vertex(i);
    if (!v) return false;
    std::copy_n(v + _offsets.vertex, 3, out);
    return true;
}

bool VqPackedPrimDataIter::normal(uint32_t i, float out[3]) const {
    const float* v = _vertex(i);
    if (!v || _offsets.normal < 0) return false;
    std::copy_n(v + _offsets.normal, 3, out);
    return true;
}

bool VqPackedPrimDataIter::color(uint32_t i, float out[4]) const {
    if (!_vertex(i) || !_rData.color) return false;
    VqPackedRepHelper::s_unpackRGBA(_rData.colors[_rData.primList[_iPrim] + i], out[0], out[1], out[2],
                                    out[3]);
    return true;
}

bool VqPackedPrimDataIter::texCoord(uint32_t i, float out[2]) const {
    const float* v = _vertex(i);
    if (!v || _offsets.texture < 0) return false;
    std::copy_n(v + _offsets.texture, 2, out);
    return true;
}
