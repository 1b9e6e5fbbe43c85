#pragma once

#include "VqExport.h"
#include "VqInterleavedRepHelper.h"
#include "VqVec.h"

#include <bit>
#include <cstdint>

class VqObjectStream;

// Vertex data as a renderer keeps it in memory: the interleaved floats
// without the colours (texture coordinates, normal, coordinates, in that
// order), and the colours apart, one packed 32-bit RGBA value a vertex with
// red in the highest byte. Converts to and from the neutral layout that files
// hold (see VqInterleavedRepHelper).
class VQ_API VqPackedRepHelper {
public:
    using Offsets = VqInterleavedRepHelper::Offsets;

    // The packed arrays of one shape: bindings, primitive list, floats and
    // colours (empty without colours).
    struct Data {
        int normal = 0, texture = 0, color = 0;
        VqVecu primList;
        VqVecf floats;
        VqVecu colors;
    };

    // Offsets within the floats; the colour has none (-1).
    static Offsets computeOffsets(int normal, int texture, int color);

    // Components are clamped to [0, 1] and rounded to the nearest k / 255.
    static uint32_t s_packRGBA(float r, float g, float b, float a);
    static void s_unpackRGBA(uint32_t rgba, float& r, float& g, float& b, float& a);
    // A packed colour in a float array carries the value's bits.
    static float s_packedToFloat(uint32_t rgba) { return std::bit_cast<float>(rgba); }
    static uint32_t s_floatToPacked(float f) { return std::bit_cast<uint32_t>(f); }
    // Three colour floats in the packed form: the value, -1.0, -1.0.
    static bool s_isPackedColor(const float* c) { return c[1] == -1.0f && c[2] == -1.0f; }
    // The RGBA value of three colour floats, packed or not (alpha 1).
    static uint32_t s_colorToPacked(const float* c);

    // Neutral floats of offsets o into the floats without colours (in the
    // same order) and the colours, 3 floats a vertex; and back.
    static bool separateColors(const VqVecf& neutral, const Offsets& o, VqVecf& rest, VqVecf& colors);
    static bool unseparateColors(const VqVecf& rest, const VqVecf& colors, const Offsets& o, VqVecf& neutral);

    // Whole arrays between the two layouts; packed colours in the neutral
    // floats are recognised. The float count must be whole vertices.
    static bool convert2DBNeutralFormat(const Data& packed, VqVecf& neutral);
    static bool convertfromDBNeutralFormat(const VqVecf& neutral, int normal, int texture, int color,
                                           Data& packed);

    // Primitives appended to packed arrays of the data's bindings, as
    // VqInterleavedRepHelper builds them.
    static bool appendPrim(Data& d, uint32_t n, const float* coords, const float* normals,
                           const float* colors, const float* texCoords);
    static bool appendPrimBox(Data& d, const VqBox3<float>& box, const float* color = nullptr);
    static bool appendPrimCyl(Data& d, float radius, float height, int nSides, bool bCaps,
                              const float* color = nullptr);
    static bool appendPrimSphere(Data& d, float radius, int nSlices, int nStacks,
                                 const float* color = nullptr);
    static bool appendPrimPyramid(Data& d, float width, float height, const float* color = nullptr);
    static bool appendPrimTriPrism(Data& d, float side, float height, const float* color = nullptr);

    // The neutral record (see VqInterleavedRepHelper) read into packed arrays
    // and written from them. An empty primitive list read becomes one
    // primitive over every vertex.
    static bool readDBNeutralFormat(VqObjectStream& os, Data& out);
    static bool writeDBNeutralFormat(VqObjectStream& os, const Data& in);

private:
    // Runs build on neutral arrays of d's bindings and appends the result.
    template <class Fn>
    static bool _appendVia(Data& d, Fn build);
};
