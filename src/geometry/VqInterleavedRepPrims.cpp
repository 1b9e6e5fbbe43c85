// The primitive shapes' vertex data. Tessellations: a box is six quads, a
// pyramid four triangles on a quad, a prism three quads between two
// triangles; curved surfaces take their facet counts from the caller. Every
// face is a strip that winds counter-clockwise seen from outside, so that
// the shapes are closed solids of positive volume (caps included).
#include "VqErrorState.h"
#include "VqInterleavedRepHelper.h"

#include <cmath>
#include <new>
#include <numbers>
#include <vector>

namespace {

const char* const kCls = "VqInterleavedRepHelper";
constexpr int kMaxFacets = 4096;

// One primitive's vertices built up part by part before they are appended.
struct Strip {
    std::vector<float> coords, normals, tex;

    void add(float x, float y, float z, float nx, float ny, float nz, float s, float t) {
        coords.insert(coords.end(), {x, y, z});
        normals.insert(normals.end(), {nx, ny, nz});
        tex.insert(tex.end(), {s, t});
    }
    uint32_t size() const { return uint32_t(coords.size() / 3); }
};

bool flush(VqVecu& primList, VqVecf& floats, const VqInterleavedRepHelper::Offsets& o, const Strip& s,
           const float* color) {
    std::vector<float> colors;
    if (o.color >= 0) {
        const float white[3] = {1.0f, 1.0f, 1.0f};
        const float* c = color ? color : white;
        try {
            for (uint32_t i = 0; i < s.size(); ++i)
                colors.insert(colors.end(), c, c + 3);
        } catch (const std::bad_alloc&) {
            VQ_FAIL(kCls, "appendPrim", "Memory Allocation", VQ_ERR_ALLOC);
        }
    }
    return VqInterleavedRepHelper::appendPrim(primList, floats, o, s.size(), s.coords.data(),
                                              s.normals.data(), colors.empty() ? nullptr : colors.data(),
                                              s.tex.data());
}

// The unit normal of the plane through a, b, c, facing the side from which
// they run counter-clockwise; a degenerate corner leaves it zero.
void unitNormal(const float* a, const float* b, const float* c, float* n) {
    const float u[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]},
                v[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
    n[0] = u[1] * v[2] - u[2] * v[1];
    n[1] = u[2] * v[0] - u[0] * v[2];
    n[2] = u[0] * v[1] - u[1] * v[0];
    const float len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    if (len > 0)
        for (int i = 0; i < 3; ++i)
            n[i] /= len;
}

// Quad a, b, c, d counter-clockwise seen from outside, as the strip a b d c.
bool quad(VqVecu& primList, VqVecf& floats, const VqInterleavedRepHelper::Offsets& o, const float* a,
          const float* b, const float* c, const float* d, const float* color) {
    float n[3];
    unitNormal(a, b, d, n);
    Strip s;
    s.add(a[0], a[1], a[2], n[0], n[1], n[2], 0, 0);
    s.add(b[0], b[1], b[2], n[0], n[1], n[2], 1, 0);
    s.add(d[0], d[1], d[2], n[0], n[1], n[2], 0, 1);
    s.add(c[0], c[1], c[2], n[0], n[1], n[2], 1, 1);
    return flush(primList, floats, o, s, color);
}

// A triangle a, b, c counter-clockwise seen from outside.
bool triangle(VqVecu& primList, VqVecf& floats, const VqInterleavedRepHelper::Offsets& o, const float* a,
              const float* b, const float* c, const float* color) {
    float n[3];
    unitNormal(a, b, c, n);
    Strip s;
    s.add(a[0], a[1], a[2], n[0], n[1], n[2], 0, 0);
    s.add(b[0], b[1], b[2], n[0], n[1], n[2], 1, 0);
    s.add(c[0], c[1], c[2], n[0], n[1], n[2], 0.5f, 1);
    return flush(primList, floats, o, s, color);
}

// The order in which a strip covers a convex polygon of n corners: 0, 1,
// n - 1, 2, n - 2, ...; with the polygon counter-clockwise every triangle
// of the strip is too.
std::vector<int> zigzag(int n) {
    std::vector<int> seq = {0};
    for (int lo = 1, hi = n - 1; lo <= hi;) {
        seq.push_back(lo++);
        if (lo <= hi) seq.push_back(hi--);
    }
    return seq;
}

} // namespace

bool VqInterleavedRepHelper::appendPrim(VqVecu& primList, VqVecf& floats, const Offsets& o, uint32_t n,
                                        const float* coords, const float* normals, const float* colors,
                                        const float* texCoords) {
    VQ_CHECK(n > 0 && coords, kCls, "appendPrim", VQ_ERR_ARGUMENT);
    VQ_CHECK(o.stride > 0 && floats.size() % size_t(o.stride) == 0, kCls, "appendPrim", VQ_ERR_ARGUMENT);
    const uint64_t nVerts = floats.size() / size_t(o.stride) + n;
    VQ_CHECK(nVerts < 0xFFFFFFFFull, kCls, "appendPrim", VQ_ERR_ARGUMENT);
    VQ_CHECK(primList.empty() ? floats.empty() : primList.back() == floats.size() / size_t(o.stride), kCls,
             "appendPrim", VQ_ERR_ARGUMENT);
    const size_t at = floats.size();
    try {
        if (primList.empty()) primList.push_back(0);
        primList.push_back(uint32_t(nVerts));
        floats.resize(at + size_t(n) * size_t(o.stride), 0.0f);
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "appendPrim", "Memory Allocation", VQ_ERR_ALLOC);
    }
    auto put = [&](int offset, const float* in, int w) {
        if (offset < 0 || !in) return;
        for (uint32_t i = 0; i < n; ++i)
            for (int c = 0; c < w; ++c)
                floats[at + size_t(i) * size_t(o.stride) + size_t(offset + c)] = in[size_t(i) * w + c];
    };
    put(o.vertex, coords, 3);
    put(o.normal, normals, 3);
    put(o.color, colors, 3);
    put(o.texture, texCoords, 2);
    return true;
}

bool VqInterleavedRepHelper::appendPrimBox(VqVecu& primList, VqVecf& floats, const Offsets& o,
                                           const VqBox3<float>& box, const float* color) {
    VQ_CHECK(!box.isEmpty(), kCls, "appendPrimBox", VQ_ERR_ARGUMENT);
    // Per face: the normal's axis and side, then the two axes (u, v) with
    // u x v along the outward normal.
    static constexpr int kFaces[6][4] = {{0, 1, 1, 2}, {0, 0, 2, 1}, {1, 1, 2, 0},
                                         {1, 0, 0, 2}, {2, 1, 0, 1}, {2, 0, 1, 0}};
    for (const auto& f : kFaces) {
        float corner[4][3];
        for (int k = 0; k < 4; ++k) {
            const bool bU = k == 1 || k == 2, bV = k >= 2;
            corner[k][f[0]] = f[1] ? box.max[f[0]] : box.min[f[0]];
            corner[k][f[2]] = bU ? box.max[f[2]] : box.min[f[2]];
            corner[k][f[3]] = bV ? box.max[f[3]] : box.min[f[3]];
        }
        VQ_PROPAGATE(quad(primList, floats, o, corner[0], corner[1], corner[2], corner[3], color));
    }
    return true;
}

bool VqInterleavedRepHelper::appendPrimCyl(VqVecu& primList, VqVecf& floats, const Offsets& o, float radius,
                                           float height, int nSides, bool bCaps, const float* color) {
    VQ_CHECK(nSides >= 3 && nSides <= kMaxFacets, kCls, "appendPrimCyl", VQ_ERR_ARGUMENT);
    VQ_CHECK(radius > 0 && height > 0, kCls, "appendPrimCyl", VQ_ERR_ARGUMENT);
    const double step = 2 * std::numbers::pi / nSides;
    Strip side;
    for (int i = 0; i <= nSides; ++i) {
        // The seam repeats the first corners with the texture's right edge.
        const float c = float(std::cos(step * (i % nSides))), s = float(std::sin(step * (i % nSides)));
        const float u = float(i) / float(nSides);
        side.add(radius * c, radius * s, height, c, s, 0, u, 1);
        side.add(radius * c, radius * s, 0, c, s, 0, u, 0);
    }
    VQ_PROPAGATE(flush(primList, floats, o, side, color));
    if (!bCaps) return true;
    for (int end = 0; end < 2; ++end) {
        // The top runs counter-clockwise about +z, the bottom the other way.
        Strip cap;
        for (int k : zigzag(nSides)) {
            const int i = end == 0 ? k : (nSides - k) % nSides;
            const float c = float(std::cos(step * i)), s = float(std::sin(step * i));
            cap.add(radius * c, radius * s, end == 0 ? height : 0, 0, 0, end == 0 ? 1.0f : -1.0f,
                    0.5f + 0.5f * c, 0.5f + 0.5f * s);
        }
        VQ_PROPAGATE(flush(primList, floats, o, cap, color));
    }
    return true;
}

bool VqInterleavedRepHelper::appendPrimSphere(VqVecu& primList, VqVecf& floats, const Offsets& o,
                                              float radius, int nSlices, int nStacks, const float* color) {
    VQ_CHECK(nSlices >= 3 && nSlices <= kMaxFacets && nStacks >= 2 && nStacks <= kMaxFacets, kCls,
             "appendPrimSphere", VQ_ERR_ARGUMENT);
    VQ_CHECK(radius > 0, kCls, "appendPrimSphere", VQ_ERR_ARGUMENT);
    const double dTheta = 2 * std::numbers::pi / nSlices, dPhi = std::numbers::pi / nStacks;
    for (int j = 0; j < nStacks; ++j) {
        Strip band;
        for (int i = 0; i <= nSlices; ++i)
            for (int jj : {j + 1, j}) {
                const double phi = -std::numbers::pi / 2 + dPhi * jj, theta = dTheta * (i % nSlices);
                const float x = float(std::cos(phi) * std::cos(theta)),
                            y = float(std::cos(phi) * std::sin(theta));
                const float z = float(std::sin(phi));
                band.add(radius * x, radius * y, radius * z, x, y, z, float(i) / float(nSlices),
                         float(jj) / float(nStacks));
            }
        VQ_PROPAGATE(flush(primList, floats, o, band, color));
    }
    return true;
}

bool VqInterleavedRepHelper::appendPrimPyramid(VqVecu& primList, VqVecf& floats, const Offsets& o,
                                               float width, float height, const float* color) {
    VQ_CHECK(width > 0 && height > 0, kCls, "appendPrimPyramid", VQ_ERR_ARGUMENT);
    const float h = width / 2;
    const float b[4][3] = {{-h, -h, 0}, {h, -h, 0}, {h, h, 0}, {-h, h, 0}};
    const float apex[3] = {0, 0, height};
    for (int i = 0; i < 4; ++i)
        VQ_PROPAGATE(triangle(primList, floats, o, b[i], b[(i + 1) % 4], apex, color));
    // Seen from below the base runs the other way.
    return quad(primList, floats, o, b[0], b[3], b[2], b[1], color);
}

bool VqInterleavedRepHelper::appendPrimTriPrism(VqVecu& primList, VqVecf& floats, const Offsets& o,
                                                float side, float height, const float* color) {
    VQ_CHECK(side > 0 && height > 0, kCls, "appendPrimTriPrism", VQ_ERR_ARGUMENT);
    const double r = side / std::numbers::sqrt3;
    float lo[3][3], hi[3][3];
    for (int k = 0; k < 3; ++k) {
        const double a = std::numbers::pi / 2 + 2 * std::numbers::pi / 3 * k;
        lo[k][0] = hi[k][0] = float(r * std::cos(a));
        lo[k][1] = hi[k][1] = float(r * std::sin(a));
        lo[k][2] = 0;
        hi[k][2] = height;
    }
    for (int k = 0; k < 3; ++k)
        VQ_PROPAGATE(quad(primList, floats, o, lo[k], lo[(k + 1) % 3], hi[(k + 1) % 3], hi[k], color));
    VQ_PROPAGATE(triangle(primList, floats, o, hi[0], hi[1], hi[2], color));
    return triangle(primList, floats, o, lo[0], lo[2], lo[1], color);
}
