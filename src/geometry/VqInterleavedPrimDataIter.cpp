#include "VqInterleavedPrimDataIter.h"

#include "VqPackedRepHelper.h"

#include <algorithm>

bool VqInterleavedPrimDataIter::s_fits(const VqVecu& prims, size_t nVerts) {
    if (prims.empty()) return true;
    if (prims[0] != 0 || prims.back() != nVerts) return false;
    return std::is_sorted(prims.begin(), prims.end());
}

VqInterleavedPrimDataIter::VqInterleavedPrimDataIter(const VqVecu& primList, const VqVecf& floats,
                                                     const VqInterleavedRepHelper::Offsets& o)
    : _rPrims(primList), _rFloats(floats), _offsets(o), _nListLen(uint32_t(primList.size())),
      _bFits(o.stride > 0 && floats.size() % size_t(o.stride) == 0 &&
             s_fits(primList, floats.size() / size_t(std::max(o.stride, 1)))) {}

uint32_t VqInterleavedPrimDataIter::numVertices() const {
    return valid() ? _rPrims[_iPrim + 1] - _rPrims[_iPrim] : 0;
}

const float* VqInterleavedPrimDataIter::_vertex(uint32_t i) const {
    if (i >= numVertices()) return nullptr;
    return _rFloats.data() + size_t(_rPrims[_iPrim] + i) * size_t(_offsets.stride);
}

bool VqInterleavedPrimDataIter::coord(uint32_t i, float out[3]) const {
    const float* v = _vertex(i);
    if (!v) return false;
    std::copy_n(v + _offsets.vertex, 3, out);
    return true;
}

bool VqInterleavedPrimDataIter::normal(uint32_t i, float out[3]) const {
    const float* v = _vertex(i);
    if (!v || _offsets.normal < 0) return false;
    std::copy_n(v + _offsets.normal, 3, out);
    return true;
}

bool VqInterleavedPrimDataIter::color(uint32_t i, float out[3]) const {
    const float* v = _vertex(i);
    if (!v || _offsets.color < 0) return false;
    const float* c = v + _offsets.color;
    if (VqPackedRepHelper::s_isPackedColor(c)) {
        float a = 0;
        VqPackedRepHelper::s_unpackRGBA(VqPackedRepHelper::s_floatToPacked(c[0]), out[0], out[1], out[2], a);
    } else {
        std::copy_n(c, 3, out);
    }
    return true;
}

bool VqInterleavedPrimDataIter::texCoord(uint32_t i, float out[2]) const {
    const float* v = _vertex(i);
    if (!v || _offsets.texture < 0) return false;
    std::copy_n(v + _offsets.texture, 2, out);
    return true;
}
