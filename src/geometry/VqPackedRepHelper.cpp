#include "VqPackedRepHelper.h"

#include "VqErrorState.h"
#include "VqObjectStream.h"

#include <algorithm>
#include <cmath>
#include <new>

namespace {

const char* const kCls = "VqPackedRepHelper";

uint32_t toByte(float c) {
    // NaN counts as 0: no colour stands for it.
    if (!(c > 0.0f)) return 0;
    return uint32_t(std::lround(std::min(c, 1.0f) * 255.0f));
}

} // namespace

VqPackedRepHelper::Offsets VqPackedRepHelper::computeOffsets(int normal, int texture, int color) {
    Offsets o = VqInterleavedRepHelper::computeNeutralOffsets(normal, texture, 0);
    o.colorFloats = color != 0 ? 1 : 0;
    return o;
}

uint32_t VqPackedRepHelper::s_packRGBA(float r, float g, float b, float a) {
    return toByte(r) << 24 | toByte(g) << 16 | toByte(b) << 8 | toByte(a);
}

void VqPackedRepHelper::s_unpackRGBA(uint32_t rgba, float& r, float& g, float& b, float& a) {
    r = float(rgba >> 24) / 255.0f;
    g = float((rgba >> 16) & 0xFF) / 255.0f;
    b = float((rgba >> 8) & 0xFF) / 255.0f;
    a = float(rgba & 0xFF) / 255.0f;
}

uint32_t VqPackedRepHelper::s_colorToPacked(const float* c) {
    return s_isPackedColor(c) ? s_floatToPacked(c[0]) : s_packRGBA(c[0], c[1], c[2], 1.0f);
}

bool VqPackedRepHelper::separateColors(const VqVecf& neutral, const Offsets& o, VqVecf& rest,
                                       VqVecf& colors) {
    VQ_CHECK(o.stride > 0 && neutral.size() % size_t(o.stride) == 0, kCls, "separateColors", VQ_ERR_ARGUMENT);
    const size_t nVerts = neutral.size() / size_t(o.stride);
    const int cw = o.color >= 0 ? 3 : 0;
    try {
        rest.resize(nVerts * size_t(o.stride - cw));
        colors.resize(nVerts * size_t(cw));
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "separateColors", "Memory Allocation", VQ_ERR_ALLOC);
    }
    float* r = rest.data();
    for (size_t v = 0; v < nVerts; ++v) {
        const float* in = neutral.data() + v * size_t(o.stride);
        for (int i = 0; i < o.stride; ++i) {
            if (cw && i >= o.color && i < o.color + cw)
                colors[v * 3 + size_t(i - o.color)] = in[i];
            else
                *r++ = in[i];
        }
    }
    return true;
}

bool VqPackedRepHelper::unseparateColors(const VqVecf& rest, const VqVecf& colors, const Offsets& o,
                                         VqVecf& neutral) {
    const int cw = o.color >= 0 ? 3 : 0;
    const int rw = o.stride - cw;
    VQ_CHECK(rw > 0 && rest.size() % size_t(rw) == 0, kCls, "unseparateColors", VQ_ERR_ARGUMENT);
    const size_t nVerts = rest.size() / size_t(rw);
    VQ_CHECK(colors.size() == nVerts * size_t(cw), kCls, "unseparateColors", VQ_ERR_ARGUMENT);
    try {
        neutral.resize(nVerts * size_t(o.stride));
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "unseparateColors", "Memory Allocation", VQ_ERR_ALLOC);
    }
    const float* r = rest.data();
    for (size_t v = 0; v < nVerts; ++v) {
        float* out = neutral.data() + v * size_t(o.stride);
        for (int i = 0; i < o.stride; ++i)
            out[i] = cw && i >= o.color && i < o.color + cw ? colors[v * 3 + size_t(i - o.color)] : *r++;
    }
    return true;
}

bool VqPackedRepHelper::convert2DBNeutralFormat(const Data& packed, VqVecf& neutral) {
    const Offsets o =
        VqInterleavedRepHelper::computeNeutralOffsets(packed.normal, packed.texture, packed.color);
    const bool bCol = o.color >= 0;
    const int rw = o.stride - (bCol ? 3 : 0);
    VQ_CHECK(packed.floats.size() % size_t(rw) == 0, kCls, "convert2DBNeutralFormat", VQ_ERR_ARGUMENT);
    const size_t nVerts = packed.floats.size() / size_t(rw);
    VQ_CHECK(packed.colors.size() == (bCol ? nVerts : 0), kCls, "convert2DBNeutralFormat", VQ_ERR_ARGUMENT);
    VqVecf colors;
    try {
        colors.resize(bCol ? nVerts * 3 : 0);
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "convert2DBNeutralFormat", "Memory Allocation", VQ_ERR_ALLOC);
    }
    for (size_t v = 0; bCol && v < nVerts; ++v) {
        float a = 0;
        s_unpackRGBA(packed.colors[v], colors[v * 3], colors[v * 3 + 1], colors[v * 3 + 2], a);
    }
    return unseparateColors(packed.floats, colors, o, neutral);
}

bool VqPackedRepHelper::convertfromDBNeutralFormat(const VqVecf& neutral, int normal, int texture, int color,
                                                   Data& packed) {
    const Offsets o = VqInterleavedRepHelper::computeNeutralOffsets(normal, texture, color);
    VqVecf colors;
    VQ_PROPAGATE(separateColors(neutral, o, packed.floats, colors));
    try {
        packed.colors.resize(colors.size() / 3);
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "convertfromDBNeutralFormat", "Memory Allocation", VQ_ERR_ALLOC);
    }
    for (size_t v = 0; v < packed.colors.size(); ++v)
        packed.colors[v] = s_colorToPacked(colors.data() + v * 3);
    packed.normal = normal;
    packed.texture = texture;
    packed.color = color;
    return true;
}

bool VqPackedRepHelper::readDBNeutralFormat(VqObjectStream& os, Data& out) {
    int n = 0, t = 0, c = 0;
    VqVecu prims;
    VqVecf floats;
    VQ_PROPAGATE(VqInterleavedRepHelper::s_readNeutralRecord(os, n, t, c, prims, floats));
    const Offsets o = VqInterleavedRepHelper::computeNeutralOffsets(n, t, c);
    VQ_CHECK(floats.size() % size_t(o.stride) == 0, kCls, "readDBNeutralFormat", VQ_ERR_CORRUPT);
    if (prims.empty() && !floats.empty()) prims = {0u, uint32_t(floats.size() / size_t(o.stride))};
    if (!prims.empty() && uint64_t(prims.back()) * uint64_t(o.stride) != floats.size())
        VQ_FAIL(kCls, "readDBNeutralFormat", "primIndexList.back() * stride == iList.length()",
                VQ_ERR_CORRUPT);
    VQ_PROPAGATE(convertfromDBNeutralFormat(floats, n, t, c, out));
    out.primList = std::move(prims);
    return true;
}

bool VqPackedRepHelper::writeDBNeutralFormat(VqObjectStream& os, const Data& in) {
    VqVecf neutral;
    VQ_PROPAGATE(convert2DBNeutralFormat(in, neutral));
    VQ_PROPAGATE(VqInterleavedRepHelper::s_writeNeutralRecord(os, in.normal, in.texture, in.color,
                                                              in.primList, neutral));
    return true;
}

template <class Fn>
bool VqPackedRepHelper::_appendVia(Data& d, Fn build) {
    using H = VqInterleavedRepHelper;
    const Offsets o = H::computeNeutralOffsets(d.normal, d.texture, d.color);
    VqVecu prims;
    VqVecf neutral;
    Data add;
    VQ_PROPAGATE(build(prims, neutral, o));
    VQ_PROPAGATE(convertfromDBNeutralFormat(neutral, d.normal, d.texture, d.color, add));
    const uint32_t base = d.primList.empty() ? 0 : d.primList.back();
    try {
        if (d.primList.empty()) d.primList.push_back(0);
        for (size_t p = 1; p < prims.size(); ++p)
            d.primList.push_back(base + prims[p]);
        d.floats.insert(d.floats.end(), add.floats.begin(), add.floats.end());
        d.colors.insert(d.colors.end(), add.colors.begin(), add.colors.end());
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "appendPrim", "Memory Allocation", VQ_ERR_ALLOC);
    }
    return true;
}

bool VqPackedRepHelper::appendPrim(Data& d, uint32_t n, const float* coords, const float* normals,
                                   const float* colors, const float* texCoords) {
    return _appendVia(d, [&](VqVecu& p, VqVecf& f, const Offsets& o) {
        return VqInterleavedRepHelper::appendPrim(p, f, o, n, coords, normals, colors, texCoords);
    });
}

bool VqPackedRepHelper::appendPrimBox(Data& d, const VqBox3<float>& box, const float* color) {
    return _appendVia(d, [&](VqVecu& p, VqVecf& f, const Offsets& o) {
        return VqInterleavedRepHelper::appendPrimBox(p, f, o, box, color);
    });
}

bool VqPackedRepHelper::appendPrimCyl(Data& d, float radius, float height, int nSides, bool bCaps,
                                      const float* color) {
    return _appendVia(d, [&](VqVecu& p, VqVecf& f, const Offsets& o) {
        return VqInterleavedRepHelper::appendPrimCyl(p, f, o, radius, height, nSides, bCaps, color);
    });
}

bool VqPackedRepHelper::appendPrimSphere(Data& d, float radius, int nSlices, int nStacks,
                                         const float* color) {
    return _appendVia(d, [&](VqVecu& p, VqVecf& f, const Offsets& o) {
        return VqInterleavedRepHelper::appendPrimSphere(p, f, o, radius, nSlices, nStacks, color);
    });
}

bool VqPackedRepHelper::appendPrimPyramid(Data& d, float width, float height, const float* color) {
    return _appendVia(d, [&](VqVecu& p, VqVecf& f, const Offsets& o) {
        return VqInterleavedRepHelper::appendPrimPyramid(p, f, o, width, height, color);
    });
}

bool VqPackedRepHelper::appendPrimTriPrism(Data& d, float side, float height, const float* color) {
    return _appendVia(d, [&](VqVecu& p, VqVecf& f, const Offsets& o) {
        return VqInterleavedRepHelper::appendPrimTriPrism(p, f, o, side, height, color);
    });
}
