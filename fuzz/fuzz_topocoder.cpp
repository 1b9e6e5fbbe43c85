// Decodes topology-mesh symbol streams changed by the fuzzer's bytes. The
// streams start as the coder's own for one of two small meshes, one with an
// open border and a seam (so that every stream has symbols), one closed with
// a record a vertex, and the fuzzer edits them; the check value is made to
// fit, as a forger would, so that the walk and the export see the changes
// instead of the check value refusing them. Any input must end in an error
// or a mesh, never a crash, hang or leak, and a polygon mesh must first use
// its records in their own order.
//
// Byte 0: bit 0 the coder version (V1, V2), bit 1 decode to strips rather
// than polygons, bit 2 the closed mesh. Then edits of four bytes: the stream
// (0-7 the valence contexts, 8 degrees, 9 groups, 10 flags, 11-18 the mask
// contexts, 19 the large masks, 20 split offsets, 21 split slots), the
// position (two bytes, modulo the stream's length plus one) and an operation
// byte: its top two bits replace, insert or erase at the position (or add to
// the value), its low six bits the operand (a small signed value, or a bit
// to flip in a mask).

#include "VqDualTopoMeshCoder.h"
#include "VqErrorState.h"
#include "VqFirstUseOrder.h"
#include "VqLib.h"
#include "VqPolygonTopoMesh.h"

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace {
using Vq::DualTopoMeshCoder;

// A torus band of 6 x 4 quads cut into triangles, open along one ring (a
// border), with a seam: the records of one column of corners carry a second
// colour. Closed, the torus is whole and each vertex has one record, as most
// meshes decoded have: no cover or seam, which the export's plainest path
// needs, while its genus still takes splits.
Vq::SharedPtr<VqTopoMesh> makeMesh(bool bClosed) {
    constexpr int nu = 6, nv = 4;
    Vq::SharedPtr<VqPolygonTopoMesh> m = new VqPolygonTopoMesh(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_VTXCOLOR3);
    std::vector<float> coords, colors;
    const int nCols = bClosed ? nu : nu + 1;
    for (int seam = 0; seam < (bClosed ? 1 : 2); ++seam)
        for (int i = 0; i < nCols; ++i)
            for (int j = 0; j < nv; ++j) {
                const double u = 2 * std::numbers::pi * i / nCols, v = 2 * std::numbers::pi * j / nv;
                coords.insert(coords.end(), {float((2 + std::cos(v)) * std::cos(u)),
                                             float((2 + std::cos(v)) * std::sin(u)), float(std::sin(v))});
                colors.insert(colors.end(), {float(seam), 0.0f, 0.0f});
            }
    const uint32_t nPos = uint32_t(nCols * nv);
    std::vector<uint32_t> idx;
    for (int i = 0; i < nu; ++i)
        for (int j = 0; j < nv; ++j) {
            auto at = [&](int a, int b) {
                // Open, corners of the triangles in column 2 use the seam records.
                return uint32_t(a % nCols * nv + b % nv) + (!bClosed && i == 2 ? nPos : 0u);
            };
            idx.insert(idx.end(),
                       {at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j), at(i + 1, j + 1), at(i, j + 1)});
        }
    m->lockWrite(true);
    VqVertexRecordPool& pool = *m->vtxRecPool();
    pool.lockWrite(true);
    uint32_t first = 0;
    const float* tex[VQ_GEOMBIND_NUM_TEXUNITS] = {};
    pool.addVtxRecords(uint32_t(coords.size() / 3), first, coords.data(), nullptr, colors.data(), tex,
                       nullptr);
    pool.lockWrite(false);
    m->addPrimitives(0, uint32_t(idx.size() / 3), 3u, idx.data());
    m->lockWrite(false);
    return m;
}

template <class V>
void edit(V& s, size_t pos, int op) {
    using T = typename V::value_type;
    const int kind = op >> 6, operand = (op & 0x3f) - 32;
    pos %= s.size() + 1;
    if (kind == 1) {
        s.insert(s.begin() + ptrdiff_t(pos), T(operand));
        return;
    }
    if (pos == s.size()) return;
    if (kind == 0)
        s[pos] = T(operand);
    else if (kind == 2)
        s.erase(s.begin() + ptrdiff_t(pos));
    else
        s[pos] = T(s[pos] + T(operand));
}

template <class V>
void flip(V& s, size_t pos, int op) {
    if (s.empty()) return;
    pos %= s.size();
    s[pos] ^= typename V::value_type(1) << (op % (8 * sizeof(typename V::value_type)));
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool s_init = (VqLib::init(), true);
    (void)s_init;
    static Vq::SharedPtr<VqTopoMesh> s_meshes[2] = {makeMesh(false), makeMesh(true)};
    if (size < 1) return 0;
    DualTopoMeshCoder* c = DualTopoMeshCoder::acquireDualTopoMeshCoder(data[0] & 1 ? DualTopoMeshCoder::V2
                                                                                   : DualTopoMeshCoder::V1);
    if (!c->setTopoMesh(s_meshes[data[0] >> 2 & 1].get()) || !c->encode()) abort();
    Vq::DualMeshSymbols& y = c->symbols();
    for (size_t i = 1; i + 4 <= size; i += 4) {
        const int stream = data[i] % 22, op = data[i + 3];
        const size_t pos = size_t(data[i + 1]) | size_t(data[i + 2]) << 8;
        if (stream < 8)
            edit(y.vviOutDegSyms[stream], pos, op);
        else if (stream == 8)
            edit(y.viOutValSyms, pos, op);
        else if (stream == 9)
            edit(y.viOutVGrpSyms, pos, op);
        else if (stream == 10)
            flip(y.vuOutVtxFlags, pos, op);
        else if (stream < 19)
            flip(y.vvuOutAttrMasks[stream - 11], pos, op);
        else if (stream == 19)
            flip(y.vuOutAttrMasksLrg, pos, op);
        else if (stream == 20)
            edit(y.viOutSplitFaceSyms, pos, op);
        else
            edit(y.viOutSplitPosSyms, pos, op);
    }
    c->setRefCheckValue(c->computeCheckValue());
    Vq::SharedPtr<VqTopoMesh> out;
    const bool ok = c->decode(data[0] & 2 ? VqTopoMesh::VQ_PRIM_TRISTRIP : VqTopoMesh::VQ_PRIM_POLYGON, out);
    // Decoding returns a mesh exactly when it succeeds.
    if (ok != bool(out)) abort();
    if (out && out->primKind() == VqTopoMesh::VQ_PRIM_POLYGON && !vqFirstUsesInOrder(*out)) abort();
    VqErrorState::clearError();
    DualTopoMeshCoder::releaseDualTopoMeshCoder(c);
    return 0;
}
