#include "VqTriangulator.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqFixedVec.h"
#include "VqPolygonTopoMesh.h"

#include <algorithm>
#include <new>
#include <vector>

VQ_IMPLEMENT_TYPE(VqTriangulator, VqBase, CLSID_ZQTriangulator)

namespace {
constexpr const char* kCls = "VqTriangulator";
}

void VqTriangulator::_getTriStripMapping(int n, VqVeci& out) {
    if (n <= 0) return;
    int hi = n - 1, lo = 0;
    out.push_back(hi);
    out.push_back(lo);
    for (;;) {
        const int hi2 = hi == 0 ? n - 1 : hi - 1;
        const int lo2 = lo == n - 1 ? 0 : lo + 1;
        if (lo2 == hi) break;
        out.push_back(hi2);
        if (lo2 == hi2) break;
        out.push_back(lo2);
        if (lo2 == hi2) break;
        hi = hi2;
        lo = lo2;
    }
}

void VqTriangulator::_getTriangles(int n, VqVeci& out) {
    VqVeci strip;
    _getTriStripMapping(n, strip);
    for (int j = 0; j + 2 < strip.length(); ++j) {
        const int odd = j & 1;
        out.push_back(strip[j + odd]);
        out.push_back(strip[j + 1 - odd]);
        out.push_back(strip[j + 2]);
    }
}

bool VqTriangulator::apply(VqPolygonTopoMesh* pMesh, Vq::SharedPtr<VqTriIter>& out) {
    out = nullptr;
    VQ_CHECK(pMesh, kCls, "apply", VQ_ERR_ARGUMENT);
    VqTopoMeshInternals in;
    VQ_PROPAGATE(pMesh->acquireInternals(in, false));
    const VqBaseVertexRecordPoolInternals& pool = in.sPool;
    const uint64_t eBindings = pool.eBindings;
    const uint64_t nb = eBindings & VQ_GEOMBIND_NORMVEC_MASK, tb = eBindings & VQ_GEOMBIND_TEXCOORD_ALL_MASK,
                   cb = eBindings & VQ_GEOMBIND_VTXCOLOR_MASK;
    Vq::SharedPtr<VqTriSet> pTS = new VqTriSet(nb, tb, cb);
    bool ok = static_cast<bool>(pTS);
    if (!ok) VqErrorState::throwStdError(kCls, "apply", "pTS = new VqTriSet( nb, tb, cb )", VQ_ERR_ALLOC);
    const int nc = pool.nCoordComps, cc = pool.nColorComps;
    if (ok && !(nc >= 2 && nc <= 4)) {
        VqErrorState::throwStdError(kCls, "apply", "nCoordComps >= 2 && nCoordComps <= 4", VQ_ERR_ARGUMENT);
        ok = false;
    }
    try {
        std::vector<float> pos, nrm, col, tex[VQ_GEOMBIND_NUM_TEXUNITS];
        VqVeci tris;
        int trisFor = -1;
        for (uint32_t p = 0; ok && p < in.nPrims; ++p) {
            const uint32_t s = in.paiPrimStart[p], n = in.paiPrimStart[p + 1] - s;
            pos.resize(size_t(n) * 3);
            nrm.resize(pool.pfNormals ? size_t(n) * 3 : 0);
            col.resize(size_t(n) * cc);
            for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
                tex[k].resize(size_t(n) * pool.anTexComps[k]);
            for (uint32_t i = 0; i < n; ++i) {
                const uint32_t r = in.paiIndices[s + i];
                if (!(r < pool.nVtxRecs)) {
                    VqErrorState::throwStdError(kCls, "apply", "xPrim.paiIndices[iIdx] < nVtxRecs",
                                                VQ_ERR_CORRUPT);
                    ok = false;
                    break;
                }
                const float* c = pool.pfCoords + size_t(r) * nc;
                const float w = nc == 4 ? c[3] : 1.0f;
                pos[3 * i] = c[0] / w;
                pos[3 * i + 1] = c[1] / w;
                pos[3 * i + 2] = nc == 2 ? 0.0f : c[2] / w;
                if (pool.pfNormals)
                    std::copy(pool.pfNormals + size_t(r) * 3, pool.pfNormals + size_t(r) * 3 + 3,
                              &nrm[3 * i]);
                if (cc)
                    std::copy(pool.pfColors + size_t(r) * cc, pool.pfColors + size_t(r + 1) * cc,
                              &col[size_t(i) * cc]);
                for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
                    if (const int tc = pool.anTexComps[k])
                        std::copy(pool.apfTexCoords[k] + size_t(r) * tc,
                                  pool.apfTexCoords[k] + size_t(r + 1) * tc, &tex[k][size_t(i) * tc]);
            }
            if (!ok) break;
            if (pool.pfNormals && n >= 3) {
                // A polygon wound against its normals is turned over first.
                const VqVec3f p0(pos[0], pos[1], pos[2]);
                const VqVec3f p1(pos[3], pos[4], pos[5]);
                const VqVec3f pl(pos[3 * (n - 1)], pos[3 * (n - 1) + 1], pos[3 * (n - 1) + 2]);
                VqVec3f f = vqCross(p1 - p0, pl - p0);
                const float len = f.length();
                if (len > 0) f = f * (1.0f / len);
                if (f.dot(VqVec3f(nrm[0], nrm[1], nrm[2])) < 0) {
                    auto reverse = [n](std::vector<float>& a) {
                        if (a.empty()) return;
                        const size_t k = a.size() / n;
                        for (uint32_t i = 0, j = n - 1; i < j; ++i, --j)
                            std::swap_ranges(a.begin() + i * k, a.begin() + (i + 1) * k, a.begin() + j * k);
                    };
                    reverse(pos);
                    reverse(nrm);
                    reverse(col);
                    for (std::vector<float>& t : tex)
                        reverse(t);
                }
            }
            if (int(n) != trisFor) {
                tris.clear();
                _getTriangles(int(n), tris);
                trisFor = int(n);
            }
            const float* texPtr[VQ_GEOMBIND_NUM_TEXUNITS];
            for (int i : tris) {
                for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
                    texPtr[k] = tex[k].empty() ? nullptr : &tex[k][size_t(i) * pool.anTexComps[k]];
                pTS->addCorner(&pos[size_t(i) * 3], nrm.empty() ? nullptr : &nrm[size_t(i) * 3],
                               cc ? &col[size_t(i) * cc] : nullptr, texPtr);
            }
        }
    } catch (const std::bad_alloc&) {
        VqErrorState::throwStdError(kCls, "apply", "Caught std::bad_alloc", VQ_ERR_ALLOC);
        ok = false;
    }
    pMesh->releaseInternals(in);
    VQ_PROPAGATE(ok);
    out = new VqTriIter(pTS.get());
    VQ_CHECK(out, kCls, "apply", VQ_ERR_ALLOC);
    return true;
}
