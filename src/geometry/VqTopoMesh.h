#pragma once

#include "VqBitField.h"
#include "VqBox3.h"
#include "VqErrorState.h"
#include "VqExport.h"
#include "VqFixedVec.h"
#include "VqMutex.h"
#include "VqPartNumContainer.h"
#include "VqPropBase.h"
#include "VqRWLockable.h"
#include "VqRecord.h"
#include "VqSharedPtr.h"
#include "VqSquareMatrix.h"
#include "VqTopoMeshInternals.h"
#include "VqVec.h"
#include "VqVertexRecordPool.h"
#include "VqVertexRecordPoolMesh.h"

#include <atomic>
#include <cstdint>
#include <memory>

struct VqTopoMeshTopology;

// The geometry of one vertex shape: primitives, each a run of indices into a
// vertex record pool, grouped into face groups. The subclass fixes what a
// primitive is: a triangle strip, a polygon, a line strip or a set of points.
//
// Primitives and atoms. Primitive p holds indices paiPrimStart[p] ..
// paiPrimStart[p + 1] - 1; face group g holds primitives paiFaceGrps[g] ..
// paiFaceGrps[g + 1] - 1. Atoms are the elementary pieces of primitives in
// primitive order: a strip of k indices has k - 2 triangles (its turns
// included), a line strip k - 1 segments, a polygon one, a point set k points.
// Atom j of a strip covers indices j .. j + 2 of it; odd atoms are the
// triangle (s[j + 1], s[j], s[j + 2]), so that every triangle of a strip winds
// as the first one does.
//
// Topology. On demand (ensureTopology) the mesh derives a half-edge topology
// over its facets: its topological vertices are positions, not records, so
// that a seam (records with one position but different normals, colours or
// texture coordinates) does not cut the surface. A facet is an atom of a
// strip or polygon mesh whose corners lie at distinct positions; the others
// (strip turns, repeated indices, collapsed triangles) are degenerate and stay
// out of the topology. Facet handles number the facets in atom order. An edge
// joins two positions; its half-edges are paired (opposite) only when exactly
// two facets share it and run along it in opposite directions. Edges with one
// half-edge are boundary edges; edges whose half-edges cannot be paired
// (three or more facets, or two that run the same way because one is flipped
// against the other) are non-manifold edges. A mesh is a closed solid when
// every half-edge has its opposite. Line-strip and point meshes have
// vertices but no facets.
//
// The topology is derived state: any edit of the primitives or of the pool's
// records drops it (invalidateTopology), and handles are valid from
// ensureTopology until then. Walk functions return -1 for a handle out of
// range or a walk that leaves the surface.
//
// Locking. Readers take lockRead, editors lockWrite (counted, reentrant for
// the writing thread; a thread that holds a read lock must not ask for the
// write lock). While s_bEnforceLocking is on (the default) every edit requires
// the write lock ("!s_bEnforceLocking || (isWriteLocked())"), and edits that
// work on topology handles (createPrimitive, makeWeak) also an open
// beginTopoEdit / endTopoEdit bracket. Edits that add or change records take
// the pool's write lock themselves. Deriving the topology is safe from several
// readers at once.
//
// Pool. The mesh keeps its pool alive and registers with it, so that when the
// pool renumbers its records (collocation, reordering) the mesh rewrites its
// indices. Several meshes may share one pool; operations that change records
// (transform, setVertexRecord, generateGouraudNormals) change them for every
// mesh that uses them.
//
// Record. A mesh element starts with this class's level (no property-table
// level before it: a mesh's properties are not saved), which names the pool
// for sharing; each kind's level follows with its connectivity and the
// vertex data of the records it uses. A record read back leaves the mesh
// holding a pool of its own. See VqTopoMeshRecord.cpp.
class VQ_API VqTopoMesh : public Vq::Record<VqTopoMesh, VqPropBase>,
                          public Vq::RWLockable,
                          public Vq::VertexRecordPoolMesh {
    VQ_DECLARE_TYPE(VqTopoMesh)
public:
    enum PrimKind { VQ_PRIM_TRISTRIP, VQ_PRIM_POLYGON, VQ_PRIM_LINESTRIP, VQ_PRIM_POINT };

    static std::atomic<bool> s_bEnforceLocking;

    // A mesh over a new pool with the given bindings. Throws Vq::StdException
    // for an invalid mask or when memory runs out.
    explicit VqTopoMesh(uint64_t eBindings);
    // A mesh over pool, shared (a new pool without bindings when null).
    explicit VqTopoMesh(VqVertexRecordPool* pPool);
    // The primitives are copied; the pool is shared; the topology is not copied.
    VqTopoMesh(const VqTopoMesh& o);
    VqTopoMesh& operator=(const VqTopoMesh&) = delete;
    ~VqTopoMesh() override;

    bool isPersistable() const override { return true; }
    size_t _memSize(bool deep) const override;

    virtual PrimKind primKind() const = 0;
    // The fewest indices a primitive of this kind needs.
    uint32_t minPrimSize() const;

    // ---- Pool and bindings
    VqVertexRecordPool* vtxRecPool() const { return _pVtxRecPool.get(); }
    uint64_t getBindings() const { return _pVtxRecPool->getBindings(); }
    bool setBindings(uint64_t eBindings);
    // Moves the mesh onto pool, index i becoming indexMap[i] (unchanged when
    // indexMap is null). Every new index must name a record of the new pool.
    bool setVtxRecPool(VqVertexRecordPool* pPool, const VqVecu* pIndexMap);
    // The same without a map: the indices stay as they are.
    bool _replaceVtxRecPool(VqVertexRecordPool* pPool);
    bool setCompressionParams(int vtxBits, int normBits, int texBits, int colBits);
    void getCompressionParams(int& vtxBits, int& normBits, int& texBits, int& colBits) const;
    bool setCollocateTol(float vertexEps, float angleEps);
    void getCollocateTol(float& vertexEps, float& angleEps) const;
    // Collocates the pool's records (see VqVertexRecordPool::_ensureCollocated).
    bool collocate(bool bRemoveUnreferenced = false);
    // Row vectors, p' = p M, applied to the pool's records.
    bool transform(const VqMatrix4f& m);
    bool transform(const VqMatrix4d& m);
    // Gives every facet corner a normal: the area-weighted mean of the facet
    // normals around its position that lie within creaseAngle (radians) of
    // its own facet's normal. Binds normals in the pool when unbound. Corners
    // that share a record but get different normals get records of their
    // own. In a strip an index serves up to three triangles and keeps the
    // normal of the first. With bCollocate the pool then merges records that
    // have come to agree.
    bool generateGouraudNormals(float creaseAngle, bool bCollocate);

    // ---- Building
    // Sizes the arrays for a decoder that fills them through a writable
    // acquirePrimitives; the contents are zero until then.
    bool allocatePrimitives(uint32_t nPrims, uint32_t nIndices, uint32_t nFaceGrps);
    // Adds n records to the pool (each bound attribute from its array, as
    // VqVertexRecordPool::addVtxRecords) and one primitive of them at the end
    // of faceGroup, creating the groups up to it. bCollocate then collocates.
    bool addPrimitive(int faceGroup, uint32_t n, const float* coords, const float* normals,
                      const float* colors, const float* const* texCoords, const unsigned char* flags,
                      bool bCollocate = false);
    // nPrims primitives of primSizes[i] records each, their records appended
    // to the pool from the arrays in order.
    bool addPrimitives(int faceGroup, uint32_t nPrims, const uint32_t* primSizes, const float* coords,
                       const float* normals, const float* colors, const float* const* texCoords,
                       const unsigned char* flags, bool bCollocate = false);
    bool addPrimitives(int faceGroup, uint32_t nPrims, const uint32_t* primSizes, const double* coords,
                       const double* normals, const double* colors, const double* const* texCoords,
                       const unsigned char* flags, bool bCollocate = false);
    // nPrims primitives over existing records: primSizes[i] indices each, or
    // primSize each, taken in order from indices.
    bool addPrimitives(int faceGroup, uint32_t nPrims, const uint32_t* primSizes, const uint32_t* indices);
    bool addPrimitives(int faceGroup, uint32_t nPrims, uint32_t primSize, const uint32_t* indices);
    // A primitive through topological vertices, each standing for the record
    // it was first met with. Inside a topology edit; the topology stays as it
    // was until the edit ends.
    bool createPrimitive(int faceGroup, const VqVtxHdl* vertices, uint32_t n);
    bool ensureNumFaceGroups(uint32_t n);
    // Vertex data of the older formats, appended to face group 0 (see
    // VqTopoMeshLegacyAdd.cpp). Interleaved: primitive p is the run of
    // vertices primList[p] .. primList[p + 1] - 1 of floats, each vertex
    // stride floats with coordinates, normal, colour and texture coordinates
    // at the given offsets (-1: absent). Indexed: primitive p is indices
    // primList[p] .. primList[p + 1] - 1, each naming a vertex of the
    // separate arrays (3 coordinate, 3 normal, 3 colour and 2 texture floats
    // a vertex; empty when absent). Everything is checked before the mesh
    // changes.
    bool _addPrimitives(const VqVecu& primList, const float* floats, uint32_t nFloats, int stride,
                        int vtxOffset, int normalOffset, int colorOffset, int textureOffset);
    bool _addPrimitives(const VqVecu& primList, const VqVecu& indices, const VqVecf& vtx,
                        const VqVecf& normals, const VqVecf& colors, const VqVecf& texCoords);
    bool removePrimitive(uint32_t iPrim);
    // Removes the primitives whose bits are set; the records stay in the pool.
    bool removePrimitives(const VqBitVec& toRemove);
    // Removes every primitive and face group; the pool keeps its records.
    bool clearPrimitives();
    bool shrink();

    // ---- Queries
    uint32_t numPrims() const { return uint32_t(_vuPrimStart.size() - 1); }
    uint32_t numPrims(uint32_t iFaceGrp) const;
    uint32_t numIndices() const { return uint32_t(_vuIndices.size()); }
    uint32_t numFaceGroups() const { return uint32_t(_vuFaceGrps.size() - 1); }
    uint32_t numAtoms() const;
    // The size all primitives share, 0 when they differ or there are none.
    uint32_t uniformPrimSize() const;
    const uint32_t* primStarts() const { return _vuPrimStart.data(); }
    const uint32_t* indices() const { return _vuIndices.data(); }
    const uint32_t* faceGroupStarts() const { return _vuFaceGrps.data(); }
    // The first primitive of face group g (numPrims() for g = numFaceGroups()).
    int faceGroupStart(uint32_t iFaceGrp) const;
    // Index positions and atoms of a primitive, by its number or by its number
    // within a face group; -1 when there is no such primitive.
    int firstVtxOnPrim(uint32_t iPrim) const;
    int lastVtxOnPrim(uint32_t iPrim) const;
    int firstFacetOnPrim(uint32_t iPrim) const;
    int lastFacetOnPrim(uint32_t iPrim) const;
    int firstVtxOnPrim(uint32_t iFaceGrp, uint32_t iPrimInGrp) const;
    int lastVtxOnPrim(uint32_t iFaceGrp, uint32_t iPrimInGrp) const;
    int firstFacetOnPrim(uint32_t iFaceGrp, uint32_t iPrimInGrp) const;
    int lastFacetOnPrim(uint32_t iFaceGrp, uint32_t iPrimInGrp) const;
    // The next and previous index position, and atom, on the same primitive.
    int nextVtxOnPrim(uint32_t iIndex) const;
    int prevVtxOnPrim(uint32_t iIndex) const;
    int nextFacetOnPrim(uint32_t iAtom) const;
    int prevFacetOnPrim(uint32_t iAtom) const;
    int atomToPrim(uint32_t iAtom) const;
    int atomToFaceGroup(uint32_t iAtom) const;
    // The records of an atom's corners in winding order (3 for a strip
    // triangle, the polygon's size, 2 for a segment, 1 for a point); the
    // number of corners, 0 for no such atom.
    uint32_t atomRecords(uint32_t iAtom, uint32_t* out, uint32_t maxOut) const;
    // An atom's facet in the topology (-1 for a degenerate atom or a mesh
    // without facets), and back.
    VqFacetHdl atomToFacet(uint32_t iAtom) const;
    int facetToAtom(VqFacetHdl f) const;
    // [0] distinct records the primitives use, [1] indices.
    bool numVertices(VqFixedVec<int, 2>& out) const;
    // Distinct records used, and atoms whose corners are distinct records
    // (strip turns and repeated indices left out).
    bool numVertsAndPolys(int& nVerts, int& nPolys) const;
    // The records of a primitive, attribute by attribute (a null output is
    // skipped; texCoords, when given, holds 8 outputs, null for units to skip).
    bool getPrimitive(uint32_t iPrim, VqVecf* coords, VqVecf* normals, VqVecf* colors,
                      VqVecf* const* texCoords, VqVecuc* flags) const;
    // The record at index position iIndex (see VqVertexRecordPool).
    bool getVertexRecord(uint32_t iIndex, float* coord, float* normal, float* color, float* const* texCoords,
                         bool* flag) const;
    bool setVertexRecord(uint32_t iIndex, const float* coord, const float* normal, const float* color,
                         const float* const* texCoords, const bool* flag);
    // Box of the records used by face groups iFGStart .. iFGEnd (-1: all).
    bool computeFaceGroupBBox(int iFGStart, int iFGEnd, VqBox3<float>& box) const;
    // Box of the records the primitives use (the pool's box covers them all).
    bool computeMinimalBBox(VqBox3<float>& box) const;
    // computeMinimalBBox, kept until the next edit.
    VqBox3<float> bbox() const;

    // ---- Topology
    bool ensureTopology() const;
    void invalidateTopology();
    uint32_t numFacets() const;
    uint32_t numHEdges() const;
    uint32_t numTopoVertices() const;
    uint32_t numEdges() const;
    int facetDegree(VqFacetHdl f) const;
    VqVtxHdl vertex(VqFacetHdl f, int i) const;
    VqHEdgeHdl halfedge(VqFacetHdl f, int i) const;
    VqHEdgeHdl nextHEdge(VqHEdgeHdl h) const;
    VqHEdgeHdl prevHEdge(VqHEdgeHdl h) const;
    VqHEdgeHdl oppositeHEdge(VqHEdgeHdl h) const;
    // The vertex a half-edge leaves, the facet it belongs to, the record at
    // its start.
    VqVtxHdl origin(VqHEdgeHdl h) const;
    VqFacetHdl hedgeFacet(VqHEdgeHdl h) const;
    int hedgeRecord(VqHEdgeHdl h) const;
    // Turning around h's origin to the next outgoing half-edge, clockwise or
    // counter-clockwise seen from the side the facets face; -1 at a border.
    VqHEdgeHdl circulateCW(VqHEdgeHdl h) const;
    VqHEdgeHdl circulateCCW(VqHEdgeHdl h) const;
    // An outgoing half-edge of v: one without an opposite when v lies on a
    // border, so that counter-clockwise turns from it cover v's fan.
    VqHEdgeHdl vtxHEdge(VqVtxHdl v) const;
    // The record v was first met with, and the vertex of a record (-1 when
    // the mesh does not use its position).
    int vtxRecord(VqVtxHdl v) const;
    VqVtxHdl recordVtx(uint32_t iRec) const;
    // Whether a half-edge around v has no opposite.
    bool anyBorder(VqVtxHdl v) const;
    // A border, a non-manifold edge, or a seam: the facets on either side
    // use different records at one of its ends.
    bool featureEdge(VqHEdgeHdl h) const;
    // The facets around v.
    int valence(VqVtxHdl v) const;
    // The next record at the same position as iRec (iRec when alone).
    uint32_t nextEquivVtx(uint32_t iRec) const;
    // Cuts h's edge inside a topology edit: h and its opposite lose each
    // other, so that walks stop there as at a border, and the edge counts
    // as a boundary edge. Rebuilding the topology forgets it.
    bool makeWeak(VqHEdgeHdl h);
    bool isClosedSolid() const;
    // -1 when the topology cannot be derived.
    int numBoundaryEdges() const;
    int numNonmanifoldEdges() const;
    // Checks the primitive arrays (sizes, offsets, indices within the pool)
    // and, with bTopology, derives the topology and checks its links. What
    // fails is recorded.
    bool verifyTopoMesh(bool bTopology) const;
    bool isTopologyValid() const { return verifyTopoMesh(true); }
    // The topology is derived, current and sound (nothing is derived here).
    bool _isValidTopo() const;
    const VqTopoMeshTopology* _topology() const;

    // Opens and closes a topology edit (counted).
    bool beginTopoEdit();
    bool endTopoEdit();
    bool isInTopoEdit() const { return _nTopoEdit > 0; }

    // ---- Access under lock
    bool lockExclusive(bool bLock) { return lockWrite(bLock); }
    bool isReadLocked() const { return numReadLocks() > 0; }
    bool isWriteLocked() const { return numWriteLocks() > 0; }
    bool acquirePrimitives(VqTopoMeshPrimitives& out, bool bWritable);
    bool releasePrimitives(VqTopoMeshPrimitives& view);
    bool acquireInternals(VqTopoMeshInternals& out, bool bWritable);
    bool releaseInternals(VqTopoMeshInternals& view);

    // ---- Pool notifications (Vq::VertexRecordPoolMesh)
    void _indexMapReference(VqVecu& vMap, uint32_t& nNext) const override;
    bool _indexMapUpdate(const VqVecu& vMap) override;
    bool _vtxRecPoolChanged(const VqVertexRecordPool* pPool, Vq::BaseChange change) override;

    // ---- Record of this level: the pool's number or reference.
    int _localVersion(const Vq::RecordFormat& f) const {
        return f.generation() == 9 && f.atLeast(9, 4) ? 2 : 1;
    }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

    // Replaces all primitive arrays at once (the stripper and the cache
    // optimiser hand over what they built). The arrays are checked first;
    // nothing changes when they do not agree.
    bool _assignPrimitives(VqVecu&& primStart, VqVecu&& indices, VqVecu&& faceGrps);

protected:
    // For the kinds' record levels. What a level read becomes the mesh's:
    // decoded's primitives and pool move into this mesh, and the pool takes
    // the number the head read (decoded is left empty).
    bool _adoptRead(VqTopoMesh& decoded);
    // Runs a kind's whole record read (every level of it); when it fails the
    // mesh is left empty, whichever level failed.
    template <class Fn>
    bool _readWhole(Fn fn) {
        if (fn()) return true;
        VqErrorState::rethrowError();
        _emptyAfterFailedRead();
        return false;
    }
    // After a level failed to read: no primitives, and an empty pool of the
    // same bindings, so that nothing half built remains.
    void _emptyAfterFailedRead();
    // The connectivity of a strip or polygon mesh as a coder section of the
    // format's layout, and back (the levels of those two kinds).
    bool _writeCoded(VqObjectStream& os, const Vq::RecordFormat& fmt, const char* cls) const;
    bool _readCoded(VqObjectStream& os, const Vq::RecordFormat& fmt, const char* cls);
    // After every record written or read: the derived topology goes and the
    // arrays shrink (a const mesh only trims what it caches).
    void _trimAfterRecord() const;
    // The line-strip and point levels, whose indices are coded directly
    // (Vq::IndexedMeshCoder). Reading goes into fresh, a new mesh of the same
    // kind, which this mesh adopts once it is whole.
    bool _writeIndexedLevel(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readIndexedLevel(VqObjectStream& os, const Vq::RecordFormat& fmt, const char* cls, int localVersion,
                           VqTopoMesh* fresh);

    // Edits check this first.
    bool _checkEdit(const char* method) const;
    // The face-group range of a query as a primitive range; the texts are
    // those of the range checks.
    bool _faceGroupRange(const char* method, int iFGStart, int iFGEnd, uint32_t& primBegin,
                         uint32_t& primEnd) const;

private:
    bool _setPool(VqVertexRecordPool* pPool);
    bool _insertPrimitives(const char* method, int faceGroup, uint32_t nPrims, const uint32_t* primSizes,
                           uint32_t primSize, const uint32_t* indices);
    template <class T>
    bool _addWithRecords(const char* method, int faceGroup, uint32_t nPrims, const uint32_t* primSizes,
                         uint32_t primSize, const T* coords, const T* normals, const T* colors,
                         const T* const* texCoords, const unsigned char* flags, bool bCollocate);
    bool _checkArrays(const char* method, uint32_t nVtxRecs) const;
    uint32_t _atomStart(uint32_t iPrim) const;
    int _primOfIndex(uint32_t iIndex) const;
    void _primitivesChanged();
    // Derives the topology when it is not current, the arrays checked first
    // under method's name.
    bool _ensureTopology(const char* method) const;
    bool _buildTopology(const char* method) const;
    template <class M>
    bool _transform(const M& m);

    Vq::SharedPtr<VqVertexRecordPool> _pVtxRecPool;
    VqVecu _vuPrimStart;
    VqVecu _vuIndices;
    VqVecu _vuFaceGrps;
    int _nTopoEdit = 0;
    bool _bPrimsEditedInTopoEdit = false;

    mutable VqMutex _topoMutex;
    mutable std::atomic<bool> _bTopoCurrent{false};
    mutable bool _bTopoOk = false;
    mutable std::unique_ptr<VqTopoMeshTopology> _pTopo;
    mutable VqBox3<float> _bbox;
    mutable bool _bBBoxValid = false;
    // The pool number a record's head read, for the pool the kind's level reads.
    Vq::SharedPtr<Vq::PartNumContainer> _pReadPoolNum;
};
