#include "VqInterleavedPrimSeq.h"

#include <cstddef>
#include <utility>

VqInterleavedPrimSeq::VqInterleavedPrimSeq(const VqVecu& primList, const VqVecf& floats,
                                           const VqInterleavedRepHelper::Offsets& o, Form form, int faceGroup)
    : _it(primList, floats, o),
      _bFits(o.stride > 0 && floats.size() % size_t(o.stride) == 0 &&
             VqInterleavedPrimDataIter::s_fits(primList, floats.size() / size_t(o.stride))),
      _iFaceGroup(faceGroup) {
    if (!_bFits) return;
    for (; _it.valid(); _it.next()) {
        const uint32_t n = _it.numVertices();
        if (form == Form::Strips) {
            if (n > 0) _vItems.push_back({_it.primIndex(), 0, n, false});
            continue;
        }
        for (uint32_t k = 0; k + 2 < n; ++k)
            _vItems.push_back({_it.primIndex(), k, 3, (k & 1) != 0});
    }
}

const VqPrimData* VqInterleavedPrimSeq::at(uint32_t i) const {
    if (i >= _vItems.size()) return nullptr;
    const Item& item = _vItems[i];
    _it.seek(item.prim);
    std::vector<float> coords, normals, colors, tex;
    bool hasNormals = true, hasColors = true, hasTex = true;
    for (uint32_t v = 0; v < item.n; ++v) {
        // An odd triangle (s[k+1], s[k], s[k+2]) winds as the strip does.
        uint32_t src = item.first + v;
        if (item.turned && v < 2) src = item.first + 1 - v;
        float c[3], nv[3], col[3], t[2];
        _it.coord(src, c);
        coords.insert(coords.end(), c, c + 3);
        hasNormals = hasNormals && _it.normal(src, nv);
        if (hasNormals) normals.insert(normals.end(), nv, nv + 3);
        hasColors = hasColors && _it.color(src, col);
        if (hasColors) colors.insert(colors.end(), col, col + 3);
        hasTex = hasTex && _it.texCoord(src, t);
        if (hasTex) tex.insert(tex.end(), t, t + 2);
    }
    _pd.clear(0xFF);
    _pd.setCoords(new VqShapeDataArrayIter<float, 3>(std::move(coords)), true);
    if (hasNormals) _pd.setNormals(new VqShapeDataArrayIter<float, 3>(std::move(normals)), true);
    if (hasColors) _pd.setColors(new VqShapeDataArrayIter<float, 3>(std::move(colors)), true);
    if (hasTex) _pd.setTexCoords(new VqShapeDataArrayIter<float, 2>(std::move(tex)), true);
    _pd.setPrimType(_iFaceGroup);
    return &_pd;
}
