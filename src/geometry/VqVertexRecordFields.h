#pragma once

#include "VqBase.h"
#include "VqBitField.h"
#include "VqExport.h"
#include "VqGeomBindings.h"
#include "VqVec.h"

#include <cstdint>

namespace Vq {

class AuxVertexField;

// The per-vertex data of a vertex record pool: for n records, each bound
// attribute as one flat f32 array of n x components values, record-major (the
// components of record i are contiguous), and the vertex flags as n bits.
// Flat arrays let whole attributes be copied, transformed and quantised in
// bulk.
//
// The subclasses decide which bindings they accept: MinVertexRecordFields
// none, DefVertexRecordFields the standard attributes,
// AuxDefVertexRecordFields those plus auxiliary fields.
class VQ_API VertexRecordFields : public VqBase {
    VQ_DECLARE_TYPE(VertexRecordFields)
public:
    // Four components of every record must fit a 32-bit count.
    static constexpr uint32_t s_cMaxRecords = 0x1FFFFFFF;
    // What a binding change reports: the layout changed, or an attribute
    // lost components and with them data.
    enum : Vq::BaseChange { VQ_VRF_BINDINGS_CHANGED = 4, VQ_VRF_COMPONENTS_DROPPED = 8 };

    VertexRecordFields() = default;
    VertexRecordFields(const VertexRecordFields&) = default;
    VertexRecordFields& operator=(const VertexRecordFields&) = delete;

    uint64_t bindings() const { return _eBindings; }
    uint32_t numRecords() const { return _nRecs; }
    int numVtxCoordComps() const { return _nCoordComps; }
    int numNormalComps() const { return _nNormalComps; }
    int numColorComps() const { return _nColorComps; }
    int numTexCoordComps(int unit) const { return _anTexComps[unit]; }
    bool hasVtxFlags() const { return (_eBindings & VQ_GEOMBIND_VTXFLAG_MASK) != 0; }
    // Bytes of one record's standard attributes (the flag bit not counted).
    size_t coreVtxRecSize() const;

    float* vtxCoords() { return _vfCoords.data(); }
    const float* vtxCoords() const { return _vfCoords.data(); }
    float* normals() { return _vfNormals.data(); }
    const float* normals() const { return _vfNormals.data(); }
    float* colors() { return _vfColors.data(); }
    const float* colors() const { return _vfColors.data(); }
    float* texCoords(int unit) { return _avfTexCoords[unit].data(); }
    const float* texCoords(int unit) const { return _avfTexCoords[unit].data(); }
    VqBitVec& vtxFlags() { return _vbFlags; }
    const VqBitVec& vtxFlags() const { return _vbFlags; }

    // Changes the bindings and re-lays the arrays; change is what listeners
    // are told (VQ_VRF_BINDINGS_CHANGED or VQ_VRF_COMPONENTS_DROPPED).
    virtual bool setBindings(uint64_t eBindings, Vq::BaseChange& change) = 0;

    // Grows or cuts every array to n records; new records are zero.
    virtual bool resize(uint32_t n);
    // Trades the coordinate array for coords, which must hold exactly the
    // records' coordinates (numRecords() x numVtxCoordComps() values): a
    // caller that built them whole hands them over without a copy.
    bool swapVtxCoords(VqVecf& coords);
    virtual void copyRecord(uint32_t dst, uint32_t src);
    // New record j takes its attributes from old record recordMap[j] and,
    // when coordMap is given, its coordinates from old record coordMap[j].
    // The fields end with nRecs records.
    virtual bool reorder(const uint32_t* recordMap, uint32_t nRecs, const uint32_t* coordMap);
    // Whether the records' auxiliary data agree byte for byte (none here).
    virtual bool equalAuxRecords(uint32_t a, uint32_t b) const;
    // Appends the records of src at the given indices; the standard bindings
    // of both must agree.
    virtual bool append(const VertexRecordFields& src, const uint32_t* indices, uint32_t n);
    // Drops every record; bFreeMemory also gives the arrays' memory back.
    virtual void clear(bool bFreeMemory);
    virtual void shrink();

    size_t _memSize(bool deep) const override;
    bool isPersistable() const override { return false; }

protected:
    // Component counts of a mask, or false with the reason recorded.
    struct Layout {
        int nCoord = 0, nNormal = 0, nColor = 0;
        int anTex[VQ_GEOMBIND_NUM_TEXUNITS] = {};
        bool bFlags = false;
    };
    static bool _decodeBindings(uint64_t eBindings, Layout& out, const char* cls);
    Layout _layout() const;
    // Re-lays every array for the new layout, keeping the components both
    // share; false (nothing changed) when memory runs out.
    bool _recomponentize(const Layout& to);
    void _setLayout(uint64_t eBindings, const Layout& l);

    uint64_t _eBindings = 0;
    uint32_t _nRecs = 0;
    int _nCoordComps = 0;
    int _nNormalComps = 0;
    int _nColorComps = 0;
    int _anTexComps[VQ_GEOMBIND_NUM_TEXUNITS] = {};
    VqVecf _vfCoords;
    VqVecf _vfNormals;
    VqVecf _vfColors;
    VqVecf _avfTexCoords[VQ_GEOMBIND_NUM_TEXUNITS];
    VqBitVec _vbFlags;
};

} // namespace Vq
