#pragma once

#include "VqAttributeT.h"
#include "VqExport.h"
#include "VqSquareMatrix.h"

#include <atomic>
#include <vector>

// Placement of a node's subgraph: a 4 × 4 matrix acting on row vectors, the
// translation in the bottom row. Accumulation composes a lower transform
// before those of its ancestors (M ← N × M). When dynamic transforms take
// part, the accumulator keeps the sequence it was built from so that a change
// of a dynamic transform is replayed without a new traversal.
class VQ_API VqXform : public VqAttributeT<VqXform> {
    VQ_DECLARE_TYPE(VqXform)
public:
    // Matrix flag bits.
    enum : unsigned short {
        VQ_XF_VALID = 0x0001,
        VQ_XF_SCALED = 0x0002,
        VQ_XF_UNIFORM_SCALED = 0x0004,
        VQ_XF_MIRRORED = 0x0008,
        VQ_XF_IDENTITY = 0x0010,
        VQ_XF_MIXED = 0x0040,
        VQ_XF_OUT_OF_DATE = 0x0100
    };

    VqXform() = default;
    explicit VqXform(const VqMatrix4d& m);
    VqXform(const VqXform& o);
    VqXform& operator=(const VqXform&) = delete;
    ~VqXform() override;

    bool clone(VqAttribute*& out) const override;
    unsigned int _numFields() const override { return 1; }
    bool _apply(VqRenderContext& rc, const VqState* state, bool, bool) const override;
    bool accumulateHook(const VqAttribute& in, const VqState* state, const VqPath* path) override;
    bool _placement(VqSquareMatrix<double, 4>& m) const override;
    void _leakReportDetail(std::ostream& os) const override;

    // The matrix, recomposed first when a replayed sequence is out of date.
    const VqMatrix4d& matrix() const;
    void getMatrix(VqMatrix4f& m) const { m = VqMatrix4f(matrix()); }
    bool setMatrix(const VqMatrix4d& m);
    bool setMatrix(const VqMatrix4f& m) { return setMatrix(VqMatrix4d(m)); }

    bool isIdentity() const { return (_flags() & VQ_XF_IDENTITY) != 0; }
    bool isScaled() const { return (_flags() & VQ_XF_SCALED) != 0; }
    bool isUniformScaled() const { return (_flags() & VQ_XF_UNIFORM_SCALED) != 0; }
    bool isMirrored() const { return (_flags() & VQ_XF_MIRRORED) != 0; }
    unsigned short matrixFlags() const { return _uMatFlags; }
    bool isMixed() const { return _pMixedAccumData != nullptr; }
    // True when the accumulated sequence holds a transform marked dynamic.
    bool hasDynamicParts() const;

    // Element-store mask of an element: bit 15 for the first element in row
    // order down to bit 0 for the last, set where the element differs from
    // the identity's.
    unsigned short elementStoreMask() const;

    auto _fields() const { return std::tie(matrix()); }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

private:
    // One entry of a replayable sequence: a product of consecutive static
    // transforms, a dynamic transform, or the end of a run of dynamic ones.
    struct MixedEntry {
        enum Kind : unsigned char { Static, Dynamic, RunEnd } eKind;
        VqMatrix4d mStatic;
        Vq::SharedPtr<const VqXform> pDynamic;
    };
    // The accumulator is not a client of its dynamic transforms (states are
    // built on traversal threads, which must not change shared attributes):
    // it compares the sum of their change counts with the one it composed.
    struct MixedAccumData : public VqAllocHooked {
        std::vector<MixedEntry> _vEntries;
        std::atomic<uint64_t> _nComposedChanges{0};
    };

    unsigned short _flags() const;
    void _computeFlags() const;
    void _recompose() const;
    bool _appendStatic(const VqMatrix4d& m);
    bool _appendDynamic(const VqXform* x);
    uint64_t _dynamicChanges() const;

    mutable VqMatrix4d _mMatrix;
    // Filled lazily (the flags, and the matrix of a mixed accumulator) by
    // whichever reader asks first, under the attribute's fill lock.
    mutable std::atomic<unsigned short> _uMatFlags{0};
    MixedAccumData* _pMixedAccumData = nullptr;
};
