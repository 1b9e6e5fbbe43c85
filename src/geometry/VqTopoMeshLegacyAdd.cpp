// The two forms in which the older formats' vertex data reaches a mesh: one
// interleaved float array with runs of vertices as primitives, or separate
// attribute arrays shared through an index list. Both check the whole input
// first, so that a bad list leaves the mesh as it was.
#include "VqTopoMesh.h"

#include "VqErrorState.h"
#include "VqGeomBindings.h"

#include <new>

namespace {

const char* const kCls = "VqTopoMesh";

// primList must be running offsets from 0, never falling, ending at nItems.
bool checkPrimList(const VqVecu& primList, uint64_t nItems, const char* method) {
    VQ_CHECK(!primList.empty() && primList[0] == 0, kCls, method, VQ_ERR_ARGUMENT);
    for (size_t i = 1; i < primList.size(); ++i)
        VQ_CHECK(primList[i] >= primList[i - 1], kCls, method, VQ_ERR_ARGUMENT);
    VQ_CHECK(primList.back() == nItems, kCls, method, VQ_ERR_ARGUMENT);
    return true;
}

// An attribute of width w at offset o fits a vertex of stride floats, or is
// absent (o = -1) exactly when the pool does not bind it.
bool checkOffset(int o, int w, int stride, const char* method) {
    if (w == 0) return true;
    VQ_CHECK(o >= 0 && o + w <= stride, kCls, method, VQ_ERR_ARGUMENT);
    return true;
}

} // namespace

bool VqTopoMesh::_addPrimitives(const VqVecu& primList, const float* floats, uint32_t nFloats, int stride,
                                int vtxOffset, int normalOffset, int colorOffset, int textureOffset) {
    const char* const method = "_addPrimitives";
    VQ_PROPAGATE(_checkEdit(method));
    VQ_CHECK(stride > 0 && nFloats % uint32_t(stride) == 0, kCls, method, VQ_ERR_ARGUMENT);
    VQ_CHECK(nFloats == 0 || floats, kCls, method, VQ_ERR_ARGUMENT);
    const uint32_t nVerts = nFloats / uint32_t(stride);
    VQ_PROPAGATE(checkPrimList(primList, nVerts, method));
    const Vq::VertexRecordFields& f = *_pVtxRecPool->fields();
    const int wVtx = f.numVtxCoordComps(), wNorm = f.numNormalComps(), wCol = f.numColorComps();
    const int wTex = f.numTexCoordComps(0);
    VQ_PROPAGATE(checkOffset(vtxOffset, wVtx, stride, method));
    VQ_PROPAGATE(checkOffset(normalOffset, wNorm, stride, method));
    VQ_PROPAGATE(checkOffset(colorOffset, wCol, stride, method));
    VQ_PROPAGATE(checkOffset(textureOffset, wTex, stride, method));
    // Only unit 0 has an offset in these layouts.
    for (int k = 1; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
        VQ_CHECK(f.numTexCoordComps(k) == 0, kCls, method, VQ_ERR_ARGUMENT);

    VqVecu sizes;
    VqVecf coords, normals, colors, tex;
    try {
        sizes.resize(primList.size() - 1);
        for (size_t p = 0; p + 1 < primList.size(); ++p)
            sizes[p] = primList[p + 1] - primList[p];
        coords.resize(size_t(nVerts) * wVtx);
        normals.resize(size_t(nVerts) * wNorm);
        colors.resize(size_t(nVerts) * wCol);
        tex.resize(size_t(nVerts) * wTex);
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, method, "Memory Allocation", VQ_ERR_ALLOC);
    }
    auto take = [&](VqVecf& out, int w, int o) {
        for (uint32_t v = 0; v < nVerts; ++v)
            for (int c = 0; c < w; ++c)
                out[size_t(v) * w + c] = floats[size_t(v) * stride + o + c];
    };
    take(coords, wVtx, vtxOffset);
    take(normals, wNorm, normalOffset);
    take(colors, wCol, colorOffset);
    take(tex, wTex, textureOffset);
    const float* texUnits[VQ_GEOMBIND_NUM_TEXUNITS] = {wTex ? tex.data() : nullptr};
    return addPrimitives(0, uint32_t(sizes.size()), sizes.data(), coords.data(),
                         wNorm ? normals.data() : nullptr, wCol ? colors.data() : nullptr, texUnits, nullptr,
                         false);
}

bool VqTopoMesh::_addPrimitives(const VqVecu& primList, const VqVecu& indices, const VqVecf& vtx,
                                const VqVecf& normals, const VqVecf& colors, const VqVecf& texCoords) {
    const char* const method = "_addPrimitives";
    VQ_PROPAGATE(_checkEdit(method));
    VQ_PROPAGATE(checkPrimList(primList, indices.size(), method));
    const Vq::VertexRecordFields& f = *_pVtxRecPool->fields();
    // The separate arrays hold three coordinates a vertex and the neutral
    // widths of the other attributes; a pool bound otherwise cannot take them.
    VQ_CHECK(f.numVtxCoordComps() == 3 && vtx.size() % 3 == 0, kCls, method, VQ_ERR_ARGUMENT);
    const size_t nVerts = vtx.size() / 3;
    VQ_CHECK(nVerts < 0xFFFFFFFFu - _pVtxRecPool->numVtxRecords(), kCls, method, VQ_ERR_ARGUMENT);
    VQ_CHECK(normals.size() == (f.numNormalComps() ? nVerts * 3 : 0), kCls, method, VQ_ERR_ARGUMENT);
    VQ_CHECK(colors.size() == (f.numColorComps() == 3 ? nVerts * 3 : 0) && f.numColorComps() != 4, kCls,
             method, VQ_ERR_ARGUMENT);
    VQ_CHECK(texCoords.size() == (f.numTexCoordComps(0) == 2 ? nVerts * 2 : 0), kCls, method,
             VQ_ERR_ARGUMENT);
    for (int k = f.numTexCoordComps(0) == 2 ? 1 : 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
        VQ_CHECK(f.numTexCoordComps(k) == 0, kCls, method, VQ_ERR_ARGUMENT);
    for (uint32_t i : indices)
        if (!(i < nVerts)) VQ_FAIL(kCls, method, "paiIndices[iIdx] < nVtxRecs", VQ_ERR_ARGUMENT);
    const uint32_t minSize = minPrimSize();
    for (size_t p = 0; p + 1 < primList.size(); ++p)
        if (!(primList[p + 1] - primList[p] >= minSize)) {
            const char* text = minSize == 1   ? "xPrim.paiPrimStart[iPrim] >= 1"
                               : minSize == 2 ? "xPrim.paiPrimStart[iPrim] >= 2"
                                              : "xPrim.paiPrimStart[iPrim] >= 3";
            VQ_FAIL(kCls, method, text, VQ_ERR_ARGUMENT);
        }

    VqVecu sizes, shifted;
    try {
        sizes.resize(primList.size() - 1);
        for (size_t p = 0; p + 1 < primList.size(); ++p)
            sizes[p] = primList[p + 1] - primList[p];
        shifted.resize(indices.size());
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, method, "Memory Allocation", VQ_ERR_ALLOC);
    }
    uint32_t first = 0;
    {
        VQ_PROPAGATE(_pVtxRecPool->lockWrite(true));
        const float* texUnits[VQ_GEOMBIND_NUM_TEXUNITS] = {texCoords.empty() ? nullptr : texCoords.data()};
        const bool ok = _pVtxRecPool->addVtxRecords(
            uint32_t(nVerts), first, vtx.data(), normals.empty() ? nullptr : normals.data(),
            colors.empty() ? nullptr : colors.data(), texUnits, nullptr);
        _pVtxRecPool->lockWrite(false);
        VQ_PROPAGATE(ok);
    }
    for (size_t j = 0; j < indices.size(); ++j)
        shifted[j] = first + indices[j];
    return addPrimitives(0, uint32_t(sizes.size()), sizes.data(), shifted.data());
}
