#pragma once

#include "VqAuxDefVertexRecordFields.h"
#include "VqBaseVertexRecordPoolInternals.h"
#include "VqBox3.h"
#include "VqExport.h"
#include "VqGUID.h"
#include "VqMutex.h"
#include "VqPartNumContainer.h"
#include "VqPropBase.h"
#include "VqRWLockable.h"
#include "VqSharedPtr.h"
#include "VqSquareMatrix.h"
#include "VqVec.h"
#include "VqVertexRecordFields.h"
#include "VqVertexRecordPoolMesh.h"

#include <atomic>
#include <cstdint>
#include <vector>

class VqCodecDriver2;
class VqObjectStream;
namespace Vq {
template <class T>
class CodecDriver3T;
struct CollocScratch;
} // namespace Vq

// The per-vertex data of one or more topology meshes, which refer to its
// records by index: coordinates, normals, colours, eight texture units, a
// flag bit and auxiliary fields, held by a Vq::VertexRecordFields object.
//
// The pool owns the operations that move records: collocation (merging
// records at one place with the same attributes), reordering, merging pools.
// After each it tells every registered mesh how old indices map to new ones
// (Vq::VertexRecordPoolMesh), and keeps the combined map in indexMap().
//
// Locking: readers take lockRead, editors lockWrite (counted, reentrant for
// the writing thread). While s_bEnforceLocking is on (the default) every
// edit requires the write lock ("!s_bEnforceLocking || (isWriteLocked())");
// collocation and binding changes take it themselves and refuse to start
// under a read lock ("!isReadLocked()"), which would otherwise never be
// released to them. A dynamic pool refuses every edit ("!_bDynamic").
//
// The pool has no element record of its own: its data travel inside the
// records of the meshes that use it, through the coded arrays below.
class VQ_API VqVertexRecordPool : public VqPropBase, public Vq::RWLockable {
    VQ_DECLARE_TYPE(VqVertexRecordPool)
public:
    // Change codes sent to meshes and clients, besides the binding changes
    // of Vq::VertexRecordFields (4 and 8).
    enum : Vq::BaseChange { VQ_VRP_TOLERANCE_CHANGED = 2, VQ_VRP_RECORDS_CHANGED = 16 };

    static const VqGUID s_AUXFIELD_VQ_SKIN_INDICES;
    static const VqGUID s_AUXFIELD_VQ_SKIN_WEIGHTS;
    static const VqGUID s_AUXFIELD_VQ_TANVECS;

    static std::atomic<bool> s_bEnforceLocking;
    // The tolerances new pools start with: vertex epsilon 1e-6 (relative to
    // the box diagonal when positive, an absolute distance when negative) and
    // angular epsilon 1e-4 radians. Both must be finite.
    static bool s_setDefaultCollocateTol(float vertexEps, float angleEps);
    static void s_getDefaultCollocateTol(float& vertexEps, float& angleEps);

    // A pool without bindings; setBindings gives it some.
    VqVertexRecordPool();
    // Throws Vq::StdException for an invalid mask ("Incorrect ... specified")
    // or when memory runs out ("Memory Allocation").
    explicit VqVertexRecordPool(uint64_t eBindings);
    // Records, settings and fields are copied; meshes, locks and clients are not.
    VqVertexRecordPool(const VqVertexRecordPool& o);
    VqVertexRecordPool& operator=(const VqVertexRecordPool&) = delete;
    ~VqVertexRecordPool() override;

    bool isPersistable() const override { return false; }
    size_t _memSize(bool deep) const override;

    // ---- Records and bindings
    uint64_t getBindings() const { return _pFields->bindings(); }
    uint32_t numVtxRecords() const { return _pFields->numRecords(); }
    const Vq::VertexRecordFields* fields() const { return _pFields.get(); }
    // Refused while read-locked; takes the write lock itself. A change that
    // drops components clears the collocated flag.
    bool setBindings(uint64_t eBindings);
    bool clear(bool bFreeMemory = false);
    bool shrink();
    bool clone(Vq::SharedPtr<VqVertexRecordPool>& out) const;

    // Sets the number of records; records added are zero.
    bool allocate(uint32_t nVtxRecs);
    // Trades the records' coordinates for coords, which must hold one point
    // for every record (the pool's component count each); coords receives
    // the old ones.
    bool _swapVtxCoords(VqVecf& coords);
    bool newVtxRecord(uint32_t& index);
    // Appends n records, copying each bound attribute from its array (n x
    // components values, record-major). A null array for a bound attribute
    // is refused and nothing is added. Flags are one byte per record (non-zero
    // = set), or with flagsArePacked one bit per record, bit i%8 of byte i/8.
    bool addVtxRecords(uint32_t n, uint32_t& firstIndex, const float* coords, const float* normals,
                       const float* colors, const float* const* texCoords, const unsigned char* flags,
                       bool flagsArePacked = false);
    bool addVtxRecords(uint32_t n, uint32_t& firstIndex, const double* coords, const double* normals,
                       const double* colors, const double* const* texCoords, const unsigned char* flags,
                       bool flagsArePacked = false);
    // The same with record i's data taken from entry indices[i] of each array.
    bool addVtxRecords(uint32_t n, const uint32_t* indices, uint32_t& firstIndex, const float* coords,
                       const float* normals, const float* colors, const float* const* texCoords,
                       const unsigned char* flags, bool flagsArePacked = false);
    // Appends the records of src at the given indices (all of them when
    // indices is null), coordinates and normals transformed when xf is given.
    // The standard bindings must agree; auxiliary fields are matched by GUID.
    bool addVtxRecords(const VqVertexRecordPool& src, const uint32_t* indices, uint32_t n,
                       const VqMatrix4f* xf, uint32_t& firstIndex);

    // A null pointer leaves (or skips) that attribute; texCoords[k] likewise.
    bool setVtxRecord(uint32_t index, const float* coord, const float* normal, const float* color,
                      const float* const* texCoords, const bool* flag);
    bool getVtxRecord(uint32_t index, float* coord, float* normal, float* color, float* const* texCoords,
                      bool* flag) const;

    // ---- Geometry
    // The box of the records' positions (x/w, y/w, z/w for homogeneous and z
    // = 0 for 2D coordinates), kept until the next change; empty for no records.
    VqBox3<float> bbox() const;
    // A box the caller vouches for, kept until the next change.
    bool setBBox(const VqBox3<float>& box);
    bool computeVertexRefBBox(const uint32_t* indices, uint32_t n, VqBox3<float>& box) const;
    // Row vectors, p' = p M. Normals go through the inverse transpose and are
    // renormalised; homogeneous coordinates are transformed whole.
    bool transform(const VqMatrix4f& m);
    bool transform(const VqMatrix4d& m);
    // Appends other's records (with bCollocate, then collocates, keeping
    // records no mesh uses). Where other's records went: indexMap() after a
    // collocation, else from the old record count on.
    bool merge(const VqVertexRecordPool& other, bool bCollocate);

    // ---- Collocation
    bool setCollocateTol(float vertexEps, float angleEps);
    void getCollocateTol(float& vertexEps, float& angleEps) const;
    bool isCollocated() const { return _bCollocated; }
    // Merges records that lie within the tolerance and are compatible, then
    // renumbers them in the order the meshes first reference them. With
    // bRemoveUnreferenced, records no mesh references go (all of them when no
    // mesh references any). Nothing happens when already collocated.
    // pScratch, when given, holds the working arrays (see Vq::CollocScratch).
    bool _ensureCollocated(bool bRemoveUnreferenced, Vq::CollocScratch* pScratch = nullptr);
    // Position aside, whether two records may merge: equal flags, normals
    // within the angular tolerance, equal colours and texture coordinates
    // (NaN equals nothing), auxiliary records equal byte for byte.
    bool isCompatibleVtxRecs(uint32_t a, uint32_t b) const;
    // Builds the rings of records at one position (collocating first).
    bool _ensureEquivRings(Vq::CollocScratch* pScratch = nullptr);
    bool equivRingsValid() const { return _bEquivRingsValid; }
    // The next record of index's ring (index itself when alone); valid while
    // equivRingsValid().
    uint32_t nextEquivVtx(uint32_t index) const { return _vuEquivRing[static_cast<int>(index)]; }
    // The rings (nextEquivVtx for every record) when they are exactly the
    // records at bit-equal positions, which they are after a collocation
    // that found the distinct positions all farther apart than the
    // tolerance, each record then carrying its position's coordinates;
    // null otherwise, or once the rings are dropped or built anew.
    const uint32_t* _positionRings() const {
        return _bEquivRingsValid && _bRingsArePositions ? _vuEquivRing.data() : nullptr;
    }
    // No two records of one ring could merge: what collocation leaves.
    bool _isValidColloc(Vq::CollocScratch* pScratch = nullptr);
    // Renumbers the records in the order the meshes first reference them
    // (unreferenced ones last), so that drawing walks memory forward.
    bool optimizePoolCache();
    // After collocation or renumbering, entry i is the new index of old record i.
    const VqVecu& indexMap() const { return _vuIndexMap; }

    // ---- Quantisation
    // Bit counts of coordinates (0 or 1-32), normals (0-13), texture
    // coordinates (0-32) and colours (0-8); 0 = written losslessly.
    bool setCompressionParams(int vtxBits, int normBits, int texBits, int colBits);
    void getCompressionParams(int& vtxBits, int& normBits, int& texBits, int& colBits) const;
    bool isQuantized() const;
    // Moves every attribute onto the grid it is written on at the current bit
    // counts (coordinates on box grown over the records), so that a later
    // write loses nothing more.
    bool preQuantize(const VqBox3<float>& box);

    // ---- Auxiliary fields
    bool bindAuxField(Vq::AuxVertexField* pField);
    bool unbindAuxField(const VqGUID& guid);
    uint32_t numAuxFields() const;
    Vq::AuxVertexField* auxField(const VqGUID& guid) const;
    Vq::AuxVertexField* auxField(uint32_t index) const;
    bool addFieldVisualization(int eMode, const VqGUID& guid, uint32_t iStep);
    bool removeFieldVisualization(int eMode, const VqGUID& guid);
    // The positions moved by a field: out[i] = position i + scale times
    // components iComp .. iComp + 2 of the field's record i in step iStep.
    bool _computeDeformVtxCoords(const VqGUID& guid, uint32_t iStep, int iComp, float scale,
                                 VqVecf& out) const;

    // ---- Locking
    bool isReadLocked() const { return numReadLocks() > 0; }
    bool isWriteLocked() const { return numWriteLocks() > 0; }
    // The write lock: it already keeps readers out.
    bool lockExclusive(bool bLock) { return lockWrite(bLock); }
    // Takes the read lock (the write lock when bWritable) and fills the view;
    // releaseInternals gives the lock back and, for a writable view, drops
    // what the pool derived from the arrays (box, collocation, rings).
    bool acquireInternals(VqBaseVertexRecordPoolInternals& out, bool bWritable);
    bool releaseInternals(VqBaseVertexRecordPoolInternals& view);

    // ---- Meshes, the pool's index-map targets
    bool addMesh(Vq::VertexRecordPoolMesh* pMesh);
    bool removeMesh(Vq::VertexRecordPoolMesh* pMesh);
    uint32_t numMeshes() const { return static_cast<uint32_t>(_vpMeshes.size()); }
    // The partition and number under which meshes share this pool (null when
    // it was never numbered; see Vq::PartNumContainer).
    const Vq::PartNumContainer* partNumContainer() const { return _pPartNum.get(); }
    void setPartNumContainer(Vq::PartNumContainer* pNum);

    bool setDynamic(bool bDynamic);
    bool isDynamic() const { return _bDynamic; }

    // The first texture unit with no coordinates bound, all ones when all are.
    bool _getAvailTexCoordSlot(uint32_t& slot) const;

    // ---- Coded arrays of the VQ 9.x mesh records, coded by the version-2 driver
    //
    // Each array is written for the records the coder lists, in its order,
    // and read into the records it lists (which must exist). uHash chains the
    // check values: pass the previous array's value (0 to start) and get this
    // one's back. See VqVertexRecordPoolCoded.cpp for the layouts.
    bool _writeQuantizedVertexArray(VqObjectStream& os, VqCodecDriver2& cd, const uint32_t* indices,
                                    uint32_t nIndices, const VqBox3<float>& box, int nBits,
                                    uint32_t& uHash) const;
    bool _readQuantizedVertexArray(VqObjectStream& os, VqCodecDriver2& cd, const uint32_t* indices,
                                   uint32_t nIndices, uint32_t& uHash);
    // The same array into coords (nComps floats per listed point) rather
    // than into records: the coded mesh records keep one position per
    // vertex, which the decoder then places at the vertex's records.
    // dPointGap receives how far apart two points of different codes lie at
    // least, 0 when nothing is known (see Vq::CollocScratch::dPointGap).
    static bool _readQuantizedCoordArray(VqObjectStream& os, VqCodecDriver2& cd, int nComps,
                                         const uint32_t* indices, uint32_t nIndices, float* coords,
                                         uint32_t& uHash, double& dPointGap);
    bool _writeQuantizedNormalArray(VqObjectStream& os, VqCodecDriver2& cd, const uint32_t* indices,
                                    uint32_t nIndices, int nBits, uint32_t& uHash) const;
    bool _readQuantizedNormalArray(VqObjectStream& os, VqCodecDriver2& cd, const uint32_t* indices,
                                   uint32_t nIndices, uint32_t& uHash);
    bool _writeQuantizedColorArray(VqObjectStream& os, VqCodecDriver2& cd, const uint32_t* indices,
                                   uint32_t nIndices, int nBits, uint32_t& uHash) const;
    bool _readQuantizedColorArray(VqObjectStream& os, VqCodecDriver2& cd, const uint32_t* indices,
                                  uint32_t nIndices, uint32_t& uHash);
    bool _writeQuantizedTextureArray(VqObjectStream& os, VqCodecDriver2& cd, int iUnit,
                                     const uint32_t* indices, uint32_t nIndices, int nBits,
                                     uint32_t& uHash) const;
    bool _readQuantizedTextureArray(VqObjectStream& os, VqCodecDriver2& cd, int iUnit,
                                    const uint32_t* indices, uint32_t nIndices, uint32_t& uHash);
    bool _writeVtxFlagArray(VqObjectStream& os, VqCodecDriver2& cd, const uint32_t* indices,
                            uint32_t nIndices, uint32_t& uHash) const;
    bool _readVtxFlagArray(VqObjectStream& os, VqCodecDriver2& cd, const uint32_t* indices, uint32_t nIndices,
                           uint32_t& uHash);
    bool _writeAuxiliaryFields(VqObjectStream& os, VqCodecDriver2& cd, const uint32_t* indices,
                               uint32_t nIndices, uint32_t& uHash) const;
    bool _readAuxiliaryFields(VqObjectStream& os, VqCodecDriver2& cd, const uint32_t* indices,
                              uint32_t nIndices, uint32_t& uHash);

    // ---- The same arrays in the VQ 10 mesh records, coded by the version-3
    // driver; the layouts are those of the 9.x family.
    bool _writeQuantizedVertexArray(VqObjectStream& os, Vq::CodecDriver3T<int>& cd, const uint32_t* indices,
                                    uint32_t nIndices, const VqBox3<float>& box, int nBits,
                                    uint32_t& uHash) const;
    bool _readQuantizedVertexArray(VqObjectStream& os, Vq::CodecDriver3T<int>& cd, const uint32_t* indices,
                                   uint32_t nIndices, uint32_t& uHash);
    static bool _readQuantizedCoordArray(VqObjectStream& os, Vq::CodecDriver3T<int>& cd, int nComps,
                                         const uint32_t* indices, uint32_t nIndices, float* coords,
                                         uint32_t& uHash, double& dPointGap);
    // The coordinate array (as _readQuantizedCoordArray) and then the
    // normal array of nRecs records, whose code texts decode together;
    // uCoordsEnd gets the stream's position after the coordinates.
    bool _readQuantizedCoordAndNormalArrays(VqObjectStream& os, Vq::CodecDriver3T<int>& cd, int nComps,
                                            const uint32_t* indices, uint32_t nVerts, float* coords,
                                            uint32_t nRecs, uint32_t& uHash, uint64_t& uCoordsEnd,
                                            double& dPointGap);
    bool _writeQuantizedNormalArray(VqObjectStream& os, Vq::CodecDriver3T<int>& cd, const uint32_t* indices,
                                    uint32_t nIndices, int nBits, uint32_t& uHash) const;
    bool _readQuantizedNormalArray(VqObjectStream& os, Vq::CodecDriver3T<int>& cd, const uint32_t* indices,
                                   uint32_t nIndices, uint32_t& uHash);
    bool _writeQuantizedColorArray(VqObjectStream& os, Vq::CodecDriver3T<int>& cd, const uint32_t* indices,
                                   uint32_t nIndices, int nBits, uint32_t& uHash) const;
    bool _readQuantizedColorArray(VqObjectStream& os, Vq::CodecDriver3T<int>& cd, const uint32_t* indices,
                                  uint32_t nIndices, uint32_t& uHash);
    bool _writeQuantizedTextureArray(VqObjectStream& os, Vq::CodecDriver3T<int>& cd, int iUnit,
                                     const uint32_t* indices, uint32_t nIndices, int nBits,
                                     uint32_t& uHash) const;
    bool _readQuantizedTextureArray(VqObjectStream& os, Vq::CodecDriver3T<int>& cd, int iUnit,
                                    const uint32_t* indices, uint32_t nIndices, uint32_t& uHash);
    bool _writeVtxFlagArray(VqObjectStream& os, Vq::CodecDriver3T<int>& cd, const uint32_t* indices,
                            uint32_t nIndices, uint32_t& uHash) const;
    bool _readVtxFlagArray(VqObjectStream& os, Vq::CodecDriver3T<int>& cd, const uint32_t* indices,
                           uint32_t nIndices, uint32_t& uHash);
    bool _writeAuxiliaryFields(VqObjectStream& os, Vq::CodecDriver3T<int>& cd, const uint32_t* indices,
                               uint32_t nIndices, uint32_t& uHash) const;
    bool _readAuxiliaryFields(VqObjectStream& os, Vq::CodecDriver3T<int>& cd, const uint32_t* indices,
                              uint32_t nIndices, uint32_t& uHash);

    // Every record, unquantised and uncoded.
    bool _writeRaw(VqObjectStream& os) const;
    bool _readRaw(VqObjectStream& os);

private:
    friend struct VqVertexRecordPoolCoding;

    // The checks every edit makes.
    bool _checkEdit(const char* method) const;
    // Drops what is derived from the records after they changed.
    void _recordsChanged();
    bool _sendChange(Vq::BaseChange change);
    Vq::AuxDefVertexRecordFields* _auxFields() const;
    bool _appendRecords(uint32_t n, uint32_t& firstIndex);
    // Renumbers records by recordMap (new j from old recordMap[j], coordinates
    // from coordMap[j]) and tells the meshes oldToNew (old index to new).
    bool _reorderAndNotify(const VqVecu& recordMap, const VqVecu* coordMap, const VqVecu& oldToNew);
    // Keeps oldToNew as indexMap(), failing as _reorderAndNotify does.
    bool _keepIndexMap(const VqVecu& oldToNew);
    // Numbers the records in the order the meshes first reference them
    // (rank[i], all ones for records no mesh references) and counts them.
    bool _referenceRanks(VqVecu& rank, uint32_t& nReferenced) const;
    bool _collocate(bool bRemoveUnreferenced, Vq::CollocScratch* pScratch);
    // Transforms records first .. first + n - 1; false for a singular matrix
    // when normals are bound (nothing changed then).
    template <class M>
    bool _transformRecords(const M& m, uint32_t first, uint32_t n);
    template <class Src>
    bool _addRecords(uint32_t n, uint32_t& firstIndex, const Src& src);
    // Positions as 3D points (see bbox).
    void _projectedPoint(uint32_t i, VqVec3f& p) const;

    Vq::SharedPtr<Vq::VertexRecordFields> _pFields;
    bool _bCollocated = false;
    bool _bEquivRingsValid = false;
    bool _bDynamic = false;
    VqVecu _vuIndexMap;
    VqVecu _vuEquivRing;
    bool _bRingsArePositions = false;
    mutable VqMutex _cacheMutex;
    mutable VqBox3<float> _bbox;
    mutable bool _bBBoxValid = false;
    float _fVertexEps;
    float _fAngleEps;
    float _fNormalThreshold; // 1 - cos(angular epsilon)
    uint8_t _nVtxBits = 0;
    uint8_t _nNormBits = 0;
    uint8_t _nTexBits = 0;
    uint8_t _nColBits = 0;
    std::vector<Vq::VertexRecordPoolMesh*> _vpMeshes;
    Vq::SharedPtr<Vq::PartNumContainer> _pPartNum;
};
