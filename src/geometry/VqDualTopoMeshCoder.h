#pragma once

#include "VqDualMeshSymbols.h"
#include "VqDualVFMesh.h"
#include "VqExport.h"
#include "VqSharedPtr.h"
#include "VqTopoMesh.h"
#include "VqVec.h"
#include "VqVertexRecordPool.h"

#include <cstdint>
#include <memory>
#include <vector>

class VqVFMesh;
class VqTriStripperEngine;
class VqObjectStream;
class VqCodecDriver2;

namespace Vq {

class DualMeshCoderV1;
class DualMeshDecoderV1;
struct CollocScratch;

// Codes the connectivity of a polygon or triangle-strip topology mesh as the
// symbol streams of a valence-driven region-growing walk over its dual
// (Vq::DualMeshCodec), and back. V1 serves the VQ 9.x mesh records and V2
// those of VQ 10; they share the walk and the streams and differ in how
// attribute masks are cut into 32-bit chunks for the codec drivers.
//
// The streams and the vertex data are held in memory here (symbols(),
// vertexCoords(), attrRecords()); the mesh records write and read them. The
// check value is the lookup2 hash (word variant) chained from 0 over the
// streams in record order: the eight valence streams, degrees, groups, the
// flags two to a word (the second in the high half, an odd count padded
// with a zero half; the hash's length term counts the padded words' bytes),
// each mask chunk array as the version cuts it, the large masks, the split
// offsets and the split slots.
//
// Conventions this coder fixes:
// - A strip mesh becomes one triangle per non-degenerate strip triangle, in
//   atom order and wound as the strip draws it; a polygon mesh gives one
//   polygon per primitive. Decoding for a strip mesh re-strips the decoded
//   triangles with VqTriStripperEngine.
// - Degenerate polygons, whose corners do not lie at distinct positions
//   (strip turns, collapsed triangles, polygons through one position twice),
//   are left out, as the mesh's own topology leaves them out; the decoded
//   mesh has none.
// - Rings: polygon rings run in winding order and vertex rings CCW seen
//   from the side the polygons face, so that for p = ring_v[s] with v in its
//   slot i, p's edge from v to slot i + 1 is shared with ring_v[s - 1].
// - Seed: each component starts at the lowest-numbered vertex not yet
//   reached (positions in the order the mesh first uses them, then alias
//   vertices), through the polygon in its ring slot 0, turned so that the
//   seed is that polygon's slot 0. Empty slots are filled lowest first.
// - Non-manifold input: edges pair greedily; fans around a position beyond
//   the first become alias vertices, whose coordinates are written again.
// - Holes: covered by polygons of at most 100 corners, group -1, flag bit 0,
//   no records; decoding drops them.
// - Attribute masks: see Vq::DualMeshCoderV1. A record reached in two runs
//   of one vertex, or from two alias vertices, is decoded as two records,
//   which the decoded pool's collocation check merges again.
// - Face groups decode as written; a polygon of group -1 joins group 0, and
//   groups after the last used one are not carried.
class VQ_API DualTopoMeshCoder {
public:
    enum { V1 = 1, V2 = 2 };
    // Decoded meshes above this many vertices release the coder's working
    // memory at once.
    static constexpr int kLargeMeshVerts = 125000;

    virtual ~DualTopoMeshCoder();
    DualTopoMeshCoder(const DualTopoMeshCoder&) = delete;
    DualTopoMeshCoder& operator=(const DualTopoMeshCoder&) = delete;

    virtual int version() const = 0;

    // Coders of one version, pooled; null for an unknown version.
    static DualTopoMeshCoder* acquireDualTopoMeshCoder(int version);
    // Clears the coder's state and keeps it for the next caller.
    static void releaseDualTopoMeshCoder(DualTopoMeshCoder* pCoder);
    // Frees the idle coders.
    static void s_shrinkDualTopoMeshCoderPool();

    // Binds the mesh to encode; only strip and polygon meshes are coded.
    bool setTopoMesh(const VqTopoMesh* pTM);
    const VqTopoMesh* topoMesh() const { return _pTM; }

    // The bound mesh into streams, vertex data and check value (the mesh
    // and its pool are read-locked meanwhile).
    bool encode();
    // The streams and vertex data into a new mesh of the given kind (strip
    // or polygon) over a new pool. Nothing is returned on failure.
    bool decode(VqTopoMesh::PrimKind eKind, Vq::SharedPtr<VqTopoMesh>& out);
    // Only the walk, into the destination dual mesh (no check value, no
    // export), for measurements.
    bool _decodeSymbols();

    DualMeshSymbols& symbols() { return _syms; }
    const DualMeshSymbols& symbols() const { return _syms; }
    // Vertex data: coordinates per vertex in the order vertices were reached
    // (coordComps() each), and the attribute records in emission order.
    const VqVecf& vertexCoords() const { return _vfCoords; }
    int coordComps() const { return _nCoordComps; }
    VqVertexRecordPool* attrRecords() const { return _pAttrs.get(); }
    void setVertexData(VqVecf coords, int nComps, VqVertexRecordPool* pAttrs);

    // The check value of the streams as they are now, and the one a record
    // carried (set by encode, or by a reader).
    uint32_t computeCheckValue() const;
    uint32_t refCheckValue() const { return _uRefHash; }
    void setRefCheckValue(uint32_t u) { _uRefHash = u; }

    // The 32-bit chunks the masks of context k are written as, and back.
    virtual void _maskChunks(int k, std::vector<VqVecu>& out) const = 0;
    virtual bool _joinMaskChunks(int k, const std::vector<VqVecu>& chunks) = 0;

    // ---- Sections on a stream (VqDualTopoMeshCoderIO.cpp)
    //
    // The symbol section, then the vertex data of the bound mesh, encoded
    // first: serialize9xV1 for VQ 9.0 to 9.3, serialize9xV2 (with its
    // trailer) for VQ 9.4 on, serialize10xV1 for VQ 10. The coder's version
    // must match (V1 for the 9.x layouts, V2 for 10).
    bool serialize9xV1(VqObjectStream& os);
    bool serialize9xV2(VqObjectStream& os);
    bool serialize10xV1(VqObjectStream& os);
    // A section into a new mesh of the given kind over a new pool; out stays
    // null on failure.
    bool deserialize9xV1(VqObjectStream& os, VqTopoMesh::PrimKind eKind, Vq::SharedPtr<VqTopoMesh>& out);
    bool deserialize9xV2(VqObjectStream& os, VqTopoMesh::PrimKind eKind, Vq::SharedPtr<VqTopoMesh>& out);
    bool deserialize10xV1(VqObjectStream& os, VqTopoMesh::PrimKind eKind, Vq::SharedPtr<VqTopoMesh>& out);

    // Where the bytes of the last section written or read went (stream
    // bytes before any segment compression).
    struct SectionStats {
        uint64_t nConnectivityBytes = 0; // the symbol section, its check value included
        uint64_t nCoordBytes = 0;        // the coordinate array
        uint64_t nNormalBytes = 0;       // the normal array
        uint64_t nOtherAttrBytes = 0;    // colours, texture coordinates, flags, auxiliary fields
        uint64_t nTableBytes = 0;        // bindings, bit counts, counts, the trailer
        uint64_t total() const {
            return nConnectivityBytes + nCoordBytes + nNormalBytes + nOtherAttrBytes + nTableBytes;
        }
    };
    const SectionStats& sectionStats() const { return _stats; }
    void clearStats() { _stats = SectionStats(); }

    // Statistics of the last encode.
    uint32_t numCoverPolys() const { return _nCovers; }
    uint32_t numAliasVerts() const { return _nAliases; }

    void clearState();
    void shrink();

protected:
    DualTopoMeshCoder();
    // Used by the versions' chunk functions.
    static bool _checkChunks(const std::vector<VqVecu>& chunks, size_t nChunks, const char* cls);

    DualMeshSymbols _syms;

private:
    friend struct DualTopoMeshCoderIO;

    bool _doExport(VqTopoMesh::PrimKind eKind, Vq::SharedPtr<VqTopoMesh>& out);
    bool _encodeLocked();
    // Everything a decode keeps for the next one: freed after a large mesh
    // and by shrink().
    void _freeDecodeScratch();

    const VqTopoMesh* _pTM = nullptr;
    VqDualVFMesh _src;
    VqDualVFMesh _dst;
    std::unique_ptr<VqVFMesh> _pVFM;
    std::unique_ptr<DualMeshCoderV1> _pCoder;
    std::unique_ptr<DualMeshDecoderV1> _pDecoder;
    std::unique_ptr<VqTriStripperEngine> _pTriStripperEngine;
    // The storage of the topologies strip decodes derive from their
    // polygons, kept from decode to decode so that its pages are not
    // fetched fresh per decode.
    std::unique_ptr<VqTopoMeshTopology> _pTopoStorage;
    // Likewise the working arrays of the decoded pools' collocation. They
    // live here rather than in a pool: the pool is new with every decode and
    // goes out with the result, and pools are shared by meshes that other
    // threads read, whereas a coder is handed to one caller at a time
    // (acquire/release) and so is used by one thread at a time.
    std::unique_ptr<CollocScratch> _pCollocScratch;
    std::vector<int> _viCoordOrder;
    std::vector<int> _viAttrOrder;
    VqVecf _vfCoords;
    int _nCoordComps = 0;
    Vq::SharedPtr<VqVertexRecordPool> _pAttrs;
    // The records were read from a section into a pool no one else holds:
    // the decoded mesh takes that pool rather than a copy of it (a caller's
    // pool, given by setVertexData or built by encode, is copied).
    bool _bOwnAttrs = false;
    // With _vfCoords read from a section: how far apart two of its points
    // of different codes lie at least (0: nothing known).
    double _dPointGap = 0;
    uint32_t _uRefHash = 0;
    uint32_t _nCovers = 0;
    uint32_t _nAliases = 0;
    SectionStats _stats;
};

} // namespace Vq
