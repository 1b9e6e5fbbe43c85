#pragma once

#include "VqBitField.h"
#include "VqExport.h"
#include "VqGUID.h"
#include "VqRefCounted.h"
#include "VqSharedPtr.h"

#include <cstdint>
#include <vector>

// Element type and component count of an auxiliary per-vertex field. Codes
// 1-32 are integers in groups of four (1 to 4 components): unsigned then
// signed 8-bit, 16-bit, 32-bit and 64-bit. 33-40 are f32 and 41-48 f64, each
// with 1 to 4 components and then 6 (a symmetric 3x3 tensor), 4 (a 2x2
// matrix), 9 (3x3) and 16 (4x4): code 40 is 64 bytes, code 48 128 bytes.
enum VqAuxType : int {
    VQ_AUXTYPE_NONE = 0,
    VQ_AUXTYPE_U8_V1 = 1,
    VQ_AUXTYPE_U8_V2,
    VQ_AUXTYPE_U8_V3,
    VQ_AUXTYPE_U8_V4,
    VQ_AUXTYPE_I8_V1,
    VQ_AUXTYPE_I8_V2,
    VQ_AUXTYPE_I8_V3,
    VQ_AUXTYPE_I8_V4,
    VQ_AUXTYPE_U16_V1,
    VQ_AUXTYPE_U16_V2,
    VQ_AUXTYPE_U16_V3,
    VQ_AUXTYPE_U16_V4,
    VQ_AUXTYPE_I16_V1,
    VQ_AUXTYPE_I16_V2,
    VQ_AUXTYPE_I16_V3,
    VQ_AUXTYPE_I16_V4,
    VQ_AUXTYPE_U32_V1,
    VQ_AUXTYPE_U32_V2,
    VQ_AUXTYPE_U32_V3,
    VQ_AUXTYPE_U32_V4,
    VQ_AUXTYPE_I32_V1,
    VQ_AUXTYPE_I32_V2,
    VQ_AUXTYPE_I32_V3,
    VQ_AUXTYPE_I32_V4,
    VQ_AUXTYPE_U64_V1,
    VQ_AUXTYPE_U64_V2,
    VQ_AUXTYPE_U64_V3,
    VQ_AUXTYPE_U64_V4,
    VQ_AUXTYPE_I64_V1,
    VQ_AUXTYPE_I64_V2,
    VQ_AUXTYPE_I64_V3,
    VQ_AUXTYPE_I64_V4,
    VQ_AUXTYPE_F_V1,
    VQ_AUXTYPE_F_V2,
    VQ_AUXTYPE_F_V3,
    VQ_AUXTYPE_F_V4,
    VQ_AUXTYPE_F_V6,
    VQ_AUXTYPE_F_M2,
    VQ_AUXTYPE_F_M3,
    VQ_AUXTYPE_F_M4,
    VQ_AUXTYPE_D_V1,
    VQ_AUXTYPE_D_V2,
    VQ_AUXTYPE_D_V3,
    VQ_AUXTYPE_D_V4,
    VQ_AUXTYPE_D_V6,
    VQ_AUXTYPE_D_M2,
    VQ_AUXTYPE_D_M3,
    VQ_AUXTYPE_D_M4,
    VQ_AUXTYPE_LAST
};

namespace Vq {

// One auxiliary per-vertex field: skinning indices or weights, tangents, or a
// result field with several time steps. Each step holds one record of the
// type's size per vertex record, as raw bytes in host order.
//
// A field is filled by its creator and then bound to a pool, which from then
// on keeps it in step with its records (resizing, copying and reordering
// records). A step can be suppressed, which frees its data and takes it out
// of comparisons and files; only a field that is not bound can get a step
// back, since the pool has no data to give a re-activated step.
class VQ_API AuxVertexField : public VqRefCounted {
public:
    // Refuses a type outside 1..48 ("_eType < VQ_AUXTYPE_LAST").
    static bool s_create(VqAuxType eType, const VqGUID& guid, uint32_t nSteps, uint32_t nRecs,
                         Vq::SharedPtr<AuxVertexField>& out);

    static int s_numComponents(VqAuxType eType);
    // Bytes of one component: 1, 2, 4 or 8 (0 for an invalid type).
    static int s_elementSize(VqAuxType eType);
    static int s_recordSize(VqAuxType eType) { return s_numComponents(eType) * s_elementSize(eType); }
    static bool s_isValid(VqAuxType eType) { return eType > VQ_AUXTYPE_NONE && eType < VQ_AUXTYPE_LAST; }
    // Quantised or drawn: every valid type but the 64-bit integers.
    static bool s_isQuantizable(VqAuxType eType) {
        return s_isValid(eType) && (eType < VQ_AUXTYPE_U64_V1 || eType > VQ_AUXTYPE_I64_V4);
    }
    static bool s_isFloat(VqAuxType eType) { return eType >= VQ_AUXTYPE_F_V1 && eType <= VQ_AUXTYPE_F_M4; }
    static bool s_isDouble(VqAuxType eType) { return eType >= VQ_AUXTYPE_D_V1 && eType <= VQ_AUXTYPE_D_M4; }
    static bool s_isSigned(VqAuxType eType) { return eType < VQ_AUXTYPE_F_V1 && (eType - 1) / 4 % 2 == 1; }

    AuxVertexField(const AuxVertexField& o);
    AuxVertexField& operator=(const AuxVertexField&) = delete;

    VqAuxType type() const { return _eType; }
    const VqGUID& guid() const { return _guid; }
    int numComponents() const { return _nComps; }
    int elementSize() const { return s_elementSize(_eType); }
    int recordSize() const { return _nRecSize; }
    uint32_t numRecords() const { return _nRecs; }
    uint32_t numSteps() const { return static_cast<uint32_t>(_vSteps.size()); }
    uint32_t numActiveSteps() const;
    bool isBound() const { return _bIsBound; }

    // Null for a suppressed step or an index beyond the steps.
    uint8_t* stepData(uint32_t iStep);
    const uint8_t* stepData(uint32_t iStep) const;
    const uint8_t* record(uint32_t iStep, uint32_t iRec) const {
        return stepData(iStep) + size_t(iRec) * _nRecSize;
    }

    // Component c of record iRec in step iStep (which must be active), as a
    // double whatever the element type.
    double componentAsDouble(uint32_t iStep, uint32_t iRec, int c) const;

    bool isStepSuppressed(uint32_t iStep) const;
    // Frees the step's data.
    bool suppressStep(uint32_t iStep);
    // Gives the step zeroed data again; refused on a bound field ("!_bIsBound").
    bool activateStep(uint32_t iStep);

    // Bits the floating-point values are quantised to when written (0: raw,
    // bit for bit). Integers are always written as they are.
    int quantizationBits() const { return _nQuantBits; }
    bool setQuantizationBits(int nBits);

    // The pool's side: record bookkeeping, done on every active step.
    void _setBound(bool bBound) { _bIsBound = bBound; }
    bool _resize(uint32_t nRecs);
    void _copyRecord(uint32_t dst, uint32_t src);
    // Reordering in two steps, so that a pool can prepare all its arrays
    // before it changes any: _gather builds the steps in which new record j
    // is old record recordMap[j] (false when memory runs out), _adopt
    // installs them and cannot fail.
    using Steps = std::vector<std::vector<uint8_t>>;
    bool _gather(const uint32_t* recordMap, uint32_t nNew, Steps& out) const;
    void _adopt(Steps& steps, uint32_t nNew);
    bool _equalRecords(uint32_t a, uint32_t b) const;
    // Appends records of src (same type and active steps) chosen by indices.
    bool _append(const AuxVertexField& src, const uint32_t* indices, uint32_t n);
    bool _sameLayout(const AuxVertexField& o) const;
    void _shrink();
    // Adds an active step of zero records at the end.
    bool _appendStep();
    size_t _memSize() const;

private:
    AuxVertexField(VqAuxType eType, const VqGUID& guid, uint32_t nSteps);

    VqAuxType _eType;
    int _nComps;
    int _nRecSize;
    VqGUID _guid;
    uint32_t _nRecs = 0;
    std::vector<std::vector<uint8_t>> _vSteps;
    VqBitVec _vbStepSuppressed;
    bool _bIsBound = false;
    int _nQuantBits = 0;
};

} // namespace Vq
