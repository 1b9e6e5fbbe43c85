#pragma once

#include "VqAllocHooked.h"
#include "VqCodecDriver.h"
#include "VqColorQuantizer.h"
#include "VqDeeringNormalCodec.h"
#include "VqExport.h"
#include "VqInterleavedRepHelper.h"
#include "VqPointQuantizer.h"
#include "VqScratchMgr.h"
#include "VqTextureQuantizer.h"
#include "VqTypes.h"
#include "VqVec.h"

#include <cstdint>
#include <memory>

class VqCIZLib;
class VqObjectStream;
class VqTopoMesh;

// One shape's vertex data in the format-8 layout: either quantized attribute
// arrays shared through an index list, each array a version-1 packet, or
// (vertex precision 0) the neutral interleaved floats stored losslessly,
// deflated when that makes them smaller.
//
// Record: int16 version (1); uint8 normal, texture and colour bindings (see
// VqInterleavedRepHelper); uint8 precisions of vertices, normals, texture
// coordinates and colours; the primitive list as running offsets in a packet
// predicted by stride (empty: one primitive over everything). Then, lossless:
// int32 byte length U of the floats (a multiple of 4), int32 stored length S
// and |S| bytes: S < 0 the floats as they are, S > 0 deflated floats that
// inflate to exactly U bytes, S = 0 none. Quantized: the vertex array (point
// quantizer, int32 count, x, y and z codes), the normal array (uint8 angle
// bits, int32 count, sextant, octant, theta and psi codes), the texture
// array (two-component quantizer, uint8 precision, s and t codes), the
// colour array (quantizer, uint8 precision, uint8 colour floats 3, 4 or 1,
// uint8 flag: 0 one packet of whole codes, 1 four packets of components),
// each present as the bindings say, every code packet predicted by the
// previous value; then the index list predicted as strip indices.
//
// Helpers are pooled (s_acquireCompressedRepHelper) by the scratch manager,
// which keeps as many idle ones as it keeps codec drivers and frees them when
// the library ends: each reader or writer holds its own, so concurrent loads
// never share one.
class VQ_API VqCompressedRepHelper : public VqAllocHooked {
public:
    enum GraphicsAPI { VQ_GRAPHICS_OPENGL = 1 };
    using Offsets = VqInterleavedRepHelper::Offsets;
    static constexpr Vq::ScratchMgr::DriverPool s_eScratchPool = Vq::ScratchMgr::PoolCompressedRepHelper;

    // A helper set up by init(), from the pool or new; null when memory
    // runs out. Give it back with s_releaseCompressedRepHelper.
    static VqCompressedRepHelper* s_acquireCompressedRepHelper();
    static void s_releaseCompressedRepHelper(VqCompressedRepHelper* p);
    // Frees the helpers the pool keeps.
    static void s_shrinkCompressedRepHelperPool();
    static int s_numPooledCompressedRepHelpers();

    VqCompressedRepHelper();
    ~VqCompressedRepHelper();
    VqCompressedRepHelper(const VqCompressedRepHelper&) = delete;
    VqCompressedRepHelper& operator=(const VqCompressedRepHelper&) = delete;

    // Default state: no attributes, precisions (24, 8, 16, 8), 3 colour
    // floats, and the codec driver. fini() drops what init() allocated.
    bool init();
    void fini();

    bool setPrec(int vtxPrec, int normPrec, int texPrec, int colPrec);
    void getPrec(int& vtxPrec, int& normPrec, int& texPrec, int& colPrec) const;
    // From a mesh layout mask (normals bit 3, colours bits 4-5, texture
    // coordinates bits 8-11), or from the graphics API and three bindings.
    // Either sets the neutral offsets and the colour floats of the graphics
    // layout (4 with normals, else 3).
    bool setLayout(unsigned long layout);
    bool setLayout(GraphicsAPI api, int normal, int texture, int color);
    // 3, 4, or 1 for colours packed into one float.
    bool setNumColorFloats(int n);
    int numColorFloats() const { return _nColFloats; }
    const Offsets& offsets() const { return _offsets; }

    // A null mesh reads and writes nothing and succeeds. Reading adds the
    // primitives to the mesh, collocates and shrinks it; when reading fails
    // the mesh has none of the new primitives. Writing takes the bindings
    // from the mesh and the precisions from setPrec.
    bool readV8Format(VqObjectStream& os, VqTopoMesh* pMesh);
    bool writeV8Format(VqObjectStream& os, const VqTopoMesh* pMesh);

    // ---- The quantized writer's steps, in order (public for the tests).
    // Per index position of the mesh: the attribute codes as one tuple.
    struct Tuples {
        int width = 0; // codes a tuple
        VqVecu codes;  // width codes per index position
    };
    // The distinct tuples, first met first (unique), and for each index
    // position the number of its tuple (indices).
    static bool _createUniqueArrays(const Tuples& all, Tuples& unique, VqVecu& indices);
    // Drops repeated corners and primitives too short to draw, then tuples
    // no index uses (see the .cpp for the rules of each kind).
    static bool cleanIndexedRep(int primKind, VqVecu& primList, VqVecu& indices, Tuples& unique);
    static void cleanDoubleVerts(int primKind, VqVecu& primList, VqVecu& indices);
    static void cleanShortStrips(int primKind, VqVecu& primList, VqVecu& indices);

private:
    static bool _checkPrec(int vtxPrec, int normPrec, int texPrec, int colPrec, const char* method,
                           VqErrorCode code);
    bool _readLossless(VqObjectStream& os, VqTopoMesh& mesh, VqVecu& prims);
    bool _readQuantized(VqObjectStream& os, VqTopoMesh& mesh, VqVecu& prims);
    bool _readVertices(VqObjectStream& os, VqVecf& out, int& nVerts);
    bool _readNormals(VqObjectStream& os, int nVerts, VqVecf& out);
    bool _readTexCoords(VqObjectStream& os, int nVerts, VqVecf& out);
    bool _readColors(VqObjectStream& os, int nVerts, VqVecf& out);
    bool _writeLossless(VqObjectStream& os, const VqTopoMesh& mesh);
    bool _writeQuantized(VqObjectStream& os, const VqTopoMesh& mesh);
    bool _createIndexedRep(const VqTopoMesh& mesh, Tuples& all);
    // A packet of more than nMax codes is refused before it is decoded.
    bool _readCodes(VqObjectStream& os, VqCodecDriverBase::VqPredictorType pred, int nMax, VqVeci& out);
    bool _writeCodes(VqObjectStream& os, VqCodecDriverBase::VqPredictorType pred, const uint32_t* codes,
                     size_t n, int stride);

    int _eGraphicsAPI = VQ_GRAPHICS_OPENGL;
    int _eNormBinding = 0, _eTexBinding = 0, _eColBinding = 0;
    bool _bNorm = false, _bTex = false, _bCol = false;
    int _normalOffset = -1, _textureOffset = -1, _colorOffset = -1, _stride = 3;
    Offsets _offsets;
    int _nColFloats = 3;
    int _vtxPrec = 24, _normPrec = 8, _texPrec = 16, _colPrec = 8;

    VqPointQuantizer _pointQuantizer;
    VqDeeringNormalCodec _normalCodec;
    VqTextureQuantizer _textureQuantizer;
    VqColorQuantizer _colorQuantizer;
    // The one driver every array goes through, bound to _vValues.
    VqVeci _vValues;
    std::unique_ptr<VqCodecDriver<int>> _pmCD2;
    std::unique_ptr<VqCIZLib> _pZLib;
};
