#pragma once

#include "VqBox3.h"
#include "VqExport.h"
#include "VqVec.h"

#include <cstdint>

class VqObjectStream;
class VqTopoMesh;

// Vertex data of the older formats as one interleaved float array: each
// vertex is a run of floats, texture coordinates (2) first, then the colour,
// the normal (3) and the coordinates (3). Primitives are runs of consecutive
// vertices, given by a list of running offsets (nPrims + 1 values from 0).
//
// Two layouts. The neutral layout, the one files hold, gives a colour 3
// floats. The graphics layout, the one a renderer feeds on, gives a colour 4
// floats when a normal follows it (so that the normal starts on a 16-byte
// boundary for vertices of whole 16-byte runs) and 3 otherwise.
//
// A colour may also be held packed: its first float carries the bits of a
// 32-bit RGBA value (red in the highest byte) and the other two are -1.0.
// Colour components are never negative, so the two -1.0 tell the packed form
// apart from three floats wherever an array is read.
//
// Bindings are the values 0 (none) to 3 of the older per-attribute binding;
// every value but 0 binds the attribute per vertex, which is all the
// interleaved array can hold.
//
// Neutral record (the 6.4-7.x geometry): int32 normal, texture and colour
// bindings; the primitive list as a uint32 vector; the floats as a float
// vector. An empty float vector leaves the mesh as it was; an empty
// primitive list stands for one primitive over every vertex.
class VQ_API VqInterleavedRepHelper {
public:
    // Float offsets of the parts of one vertex, -1 for an absent part.
    struct Offsets {
        int stride = 3;
        int texture = -1;
        int color = -1;
        int normal = -1;
        int vertex = 0;
        int colorFloats = 0;
    };

    static bool s_isValidBinding(int b) { return b >= 0 && b <= 3; }
    // The mesh layout of three bindings: 3 coordinates always, normals (8),
    // 3 colour components (0x10) and 2 texture coordinates of unit 0 (0x200).
    static uint64_t s_convertVtxBindings(int normal, int texture, int color);
    // And back: 1 (per vertex) or 0 for normals (bit 3), colours (bits 4-5)
    // and texture coordinates (any of bits 8-11).
    static void s_convertTopoMeshBindings(uint64_t layout, int& normal, int& texture, int& color);

    static Offsets computeOffsets(int normal, int texture, int color);
    static Offsets computeOffsets(uint64_t layout);
    static Offsets computeNeutralOffsets(int normal, int texture, int color);
    static Offsets computeNeutralOffsets(uint64_t layout);

    // The neutral record's fields as they stand (bindings checked to be 0 to
    // 3, nothing else checked).
    static bool s_readNeutralRecord(VqObjectStream& os, int& normal, int& texture, int& color,
                                    VqVecu& primList, VqVecf& floats);
    static bool s_writeNeutralRecord(VqObjectStream& os, int normal, int texture, int color,
                                     const VqVecu& primList, const VqVecf& floats);
    // A null mesh reads and writes nothing and succeeds.
    static bool readDBNeutralFormat(VqObjectStream& os, VqTopoMesh* pMesh);
    static bool writeDBNeutralFormat(VqObjectStream& os, const VqTopoMesh* pMesh);

    // The mesh's vertex data in the neutral layout: primitive list and floats,
    // one vertex per index of the mesh. Older layouts hold 3 coordinates, an
    // RGB colour and one pair of texture coordinates, so a fourth coordinate
    // or colour component, a third texture coordinate and texture units
    // beyond the first are left out; missing ones are 0. bPackColors gives
    // each colour packed. The caller holds read locks on mesh and pool.
    static bool s_extractNeutral(const VqTopoMesh& mesh, VqVecu& primList, VqVecf& floats, bool bPackColors);
    // Gives the mesh neutral data of the layout's bindings: bindings, the
    // primitives (packed colours unpacked in floats), then collocation and
    // shrinking, all under the mesh's write lock. An empty primitive list
    // becomes one primitive over every vertex; the list must end at the
    // vertex count (failing with "check" in cls::method otherwise). Nothing
    // is added when there are no floats.
    static bool s_addNeutral(VqTopoMesh& mesh, uint64_t layout, VqVecu& primList, VqVecf& floats,
                             const char* cls, const char* method, const char* check);
    // ---- Building primitive shapes, appended in layout o as triangle
    // strips that wind counter-clockwise seen from outside. Normals are the
    // surface's (flat faces get one each); texture coordinates run over
    // [0, 1] across every face (around and along curved surfaces); color
    // (3 floats, null for white) colours every vertex. Parts the layout does
    // not hold are left out.
    //
    // One primitive of n vertices from separate arrays (null: absent, 0).
    static bool appendPrim(VqVecu& primList, VqVecf& floats, const Offsets& o, uint32_t n,
                           const float* coords, const float* normals, const float* colors,
                           const float* texCoords);
    // The box's six faces, a strip of 4 each.
    static bool appendPrimBox(VqVecu& primList, VqVecf& floats, const Offsets& o, const VqBox3<float>& box,
                              const float* color = nullptr);
    // A cylinder on the z axis from z = 0 to height with nSides (3 ... 4096)
    // flat-sided facets smoothed by radial normals: one strip around, and
    // with bCaps a zigzag strip over each end.
    static bool appendPrimCyl(VqVecu& primList, VqVecf& floats, const Offsets& o, float radius, float height,
                              int nSides, bool bCaps, const float* color = nullptr);
    // A sphere about the origin: nStacks (2 ... 4096) bands from the -z pole
    // to the +z pole, a strip each, of nSlices (3 ... 4096) quads.
    static bool appendPrimSphere(VqVecu& primList, VqVecf& floats, const Offsets& o, float radius,
                                 int nSlices, int nStacks, const float* color = nullptr);
    // A pyramid over the square [-w/2, w/2]^2 at z = 0 with its apex at
    // (0, 0, height): four triangles and the base.
    static bool appendPrimPyramid(VqVecu& primList, VqVecf& floats, const Offsets& o, float width,
                                  float height, const float* color = nullptr);
    // A prism from z = 0 to height over the equilateral triangle of the
    // given side centred on the z axis: three quads and two ends.
    static bool appendPrimTriPrism(VqVecu& primList, VqVecf& floats, const Offsets& o, float side,
                                   float height, const float* color = nullptr);

    // Replaces packed colours (a first float followed by -1.0, -1.0) by their
    // RGB floats, alpha dropped.
    static void s_unpackColors(VqVecf& floats, const Offsets& o);
};
