#include "VqInterleavedRepHelper.h"

#include "VqErrorState.h"
#include "VqGeomBindings.h"
#include "VqMeshLockGuard.h"
#include "VqObjectStream.h"
#include "VqPackedRepHelper.h"
#include "VqTopoMesh.h"

#include <new>

namespace {

const char* const kCls = "VqInterleavedRepHelper";

VqInterleavedRepHelper::Offsets offsetsOf(bool n, bool t, bool k, bool bGraphics) {
    VqInterleavedRepHelper::Offsets o;
    const int tw = t ? 2 : 0;
    o.colorFloats = k ? (bGraphics && n ? 4 : 3) : 0;
    o.texture = t ? 0 : -1;
    o.color = k ? tw : -1;
    o.normal = n ? tw + o.colorFloats : -1;
    o.vertex = tw + o.colorFloats + (n ? 3 : 0);
    o.stride = o.vertex + 3;
    return o;
}

} // namespace

uint64_t VqInterleavedRepHelper::s_convertVtxBindings(int normal, int texture, int color) {
    uint64_t layout = VQ_GEOMBIND_VTXCOORD3;
    if (normal != 0) layout |= VQ_GEOMBIND_NORMVEC3;
    if (texture != 0) layout |= VQ_GEOMBIND_TEXCOORD2_C0;
    if (color != 0) layout |= VQ_GEOMBIND_VTXCOLOR3;
    return layout;
}

void VqInterleavedRepHelper::s_convertTopoMeshBindings(uint64_t layout, int& normal, int& texture,
                                                       int& color) {
    normal = (layout & VQ_GEOMBIND_NORMVEC_MASK) ? 1 : 0;
    texture = (layout & VQ_GEOMBIND_TEXCOORD_C0_MASK) ? 1 : 0;
    color = (layout & VQ_GEOMBIND_VTXCOLOR_MASK) ? 1 : 0;
}

VqInterleavedRepHelper::Offsets VqInterleavedRepHelper::computeOffsets(int normal, int texture, int color) {
    return offsetsOf(normal != 0, texture != 0, color != 0, true);
}

VqInterleavedRepHelper::Offsets VqInterleavedRepHelper::computeOffsets(uint64_t layout) {
    int n = 0, t = 0, c = 0;
    s_convertTopoMeshBindings(layout, n, t, c);
    return computeOffsets(n, t, c);
}

VqInterleavedRepHelper::Offsets VqInterleavedRepHelper::computeNeutralOffsets(int normal, int texture,
                                                                              int color) {
    return offsetsOf(normal != 0, texture != 0, color != 0, false);
}

VqInterleavedRepHelper::Offsets VqInterleavedRepHelper::computeNeutralOffsets(uint64_t layout) {
    int n = 0, t = 0, c = 0;
    s_convertTopoMeshBindings(layout, n, t, c);
    return computeNeutralOffsets(n, t, c);
}

void VqInterleavedRepHelper::s_unpackColors(VqVecf& floats, const Offsets& o) {
    if (o.color < 0) return;
    for (size_t v = 0; v + size_t(o.stride) <= floats.size(); v += size_t(o.stride)) {
        float* c = floats.data() + v + o.color;
        if (!VqPackedRepHelper::s_isPackedColor(c)) continue;
        float a = 0;
        VqPackedRepHelper::s_unpackRGBA(VqPackedRepHelper::s_floatToPacked(c[0]), c[0], c[1], c[2], a);
    }
}

bool VqInterleavedRepHelper::s_extractNeutral(const VqTopoMesh& mesh, VqVecu& primList, VqVecf& floats,
                                              bool bPackColors) {
    const Vq::VertexRecordFields& f = *mesh.vtxRecPool()->fields();
    const Offsets o = computeNeutralOffsets(mesh.getBindings());
    const uint32_t nIdx = mesh.numIndices(), nPrims = mesh.numPrims();
    try {
        primList.assign(mesh.primStarts(), mesh.primStarts() + nPrims + 1);
        floats.assign(size_t(nIdx) * o.stride, 0.0f);
    } catch (const std::bad_alloc&) {
        VQ_FAIL(kCls, "s_extractNeutral", "Memory Allocation", VQ_ERR_ALLOC);
    }
    const int wVtx = f.numVtxCoordComps(), wNorm = f.numNormalComps(), wCol = f.numColorComps();
    const int wTex = f.numTexCoordComps(0);
    auto put = [](float* out, const float* in, int wIn, int wOut) {
        for (int c = 0; c < wIn && c < wOut; ++c)
            out[c] = in[c];
    };
    for (uint32_t j = 0; j < nIdx; ++j) {
        const size_t r = mesh.indices()[j];
        float* v = floats.data() + size_t(j) * o.stride;
        put(v + o.vertex, f.vtxCoords() + r * wVtx, wVtx, 3);
        if (o.normal >= 0) put(v + o.normal, f.normals() + r * wNorm, wNorm, 3);
        if (o.texture >= 0) put(v + o.texture, f.texCoords(0) + r * wTex, wTex, 2);
        if (o.color >= 0) {
            const float* c = f.colors() + r * wCol;
            if (bPackColors) {
                v[o.color] = VqPackedRepHelper::s_packedToFloat(
                    VqPackedRepHelper::s_packRGBA(c[0], c[1], c[2], wCol == 4 ? c[3] : 1.0f));
                v[o.color + 1] = v[o.color + 2] = -1.0f;
            } else {
                put(v + o.color, c, wCol, 3);
            }
        }
    }
    return true;
}

bool VqInterleavedRepHelper::s_addNeutral(VqTopoMesh& mesh, uint64_t layout, VqVecu& primList, VqVecf& floats,
                                          const char* cls, const char* method, const char* check) {
    if (floats.empty()) return true;
    const Offsets o = computeNeutralOffsets(layout);
    try {
        if (primList.empty()) primList = {0u, uint32_t(floats.size() / size_t(o.stride))};
    } catch (const std::bad_alloc&) {
        VQ_FAIL(cls, method, "Memory Allocation", VQ_ERR_ALLOC);
    }
    if (uint64_t(primList.back()) * uint64_t(o.stride) != floats.size())
        VQ_FAIL(cls, method, check, VQ_ERR_CORRUPT);
    s_unpackColors(floats, o);
    VqMeshLockGuard lock(mesh, VqMeshLockGuard::Write);
    VQ_PROPAGATE(lock.ok());
    if (mesh.getBindings() != layout) VQ_PROPAGATE(mesh.setBindings(layout));
    VQ_PROPAGATE(mesh._addPrimitives(primList, floats.data(), uint32_t(floats.size()), o.stride, o.vertex,
                                     o.normal, o.color, o.texture));
    VQ_PROPAGATE(mesh.collocate(false));
    VQ_PROPAGATE(mesh.shrink());
    return true;
}

bool VqInterleavedRepHelper::s_readNeutralRecord(VqObjectStream& os, int& normal, int& texture, int& color,
                                                 VqVecu& primList, VqVecf& floats) {
    VQ_PROPAGATE(os.read(&normal));
    VQ_PROPAGATE(os.read(&texture));
    VQ_PROPAGATE(os.read(&color));
    if (!(s_isValidBinding(normal) && s_isValidBinding(texture) && s_isValidBinding(color)))
        VQ_FAIL(kCls, "readDBNeutralFormat", "Invalid binding", VQ_ERR_CORRUPT);
    VQ_PROPAGATE(os.readVecu(primList));
    VQ_PROPAGATE(os.readVecf(floats));
    VQ_CHECK(floats.size() < 0xFFFFFFFFu, kCls, "readDBNeutralFormat", VQ_ERR_CORRUPT);
    return true;
}

bool VqInterleavedRepHelper::s_writeNeutralRecord(VqObjectStream& os, int normal, int texture, int color,
                                                  const VqVecu& primList, const VqVecf& floats) {
    VQ_PROPAGATE(os.write(normal));
    VQ_PROPAGATE(os.write(texture));
    VQ_PROPAGATE(os.write(color));
    VQ_PROPAGATE(os.writeVecu(primList));
    VQ_PROPAGATE(os.writeVecf(floats));
    return true;
}

bool VqInterleavedRepHelper::readDBNeutralFormat(VqObjectStream& os, VqTopoMesh* pMesh) {
    if (!pMesh) return true;
    int n = 0, t = 0, c = 0;
    VqVecu prims;
    VqVecf floats;
    VQ_PROPAGATE(s_readNeutralRecord(os, n, t, c, prims, floats));
    VQ_PROPAGATE(s_addNeutral(*pMesh, s_convertVtxBindings(n, t, c), prims, floats, kCls,
                              "readDBNeutralFormat", "primIndexList.back() * stride == iList.length()"));
    return true;
}

bool VqInterleavedRepHelper::writeDBNeutralFormat(VqObjectStream& os, const VqTopoMesh* pMesh) {
    if (!pMesh) return true;
    int n = 0, t = 0, c = 0;
    s_convertTopoMeshBindings(pMesh->getBindings(), n, t, c);
    VqVecu prims;
    VqVecf floats;
    {
        VqMeshLockGuard lock(*pMesh, VqMeshLockGuard::Read);
        VQ_PROPAGATE(lock.ok());
        VQ_PROPAGATE(s_extractNeutral(*pMesh, prims, floats, false));
    }
    VQ_PROPAGATE(s_writeNeutralRecord(os, n, t, c, prims, floats));
    return true;
}
