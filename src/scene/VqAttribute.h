#pragma once

#include "VqBitField.h"
#include "VqExport.h"
#include "VqPropBase.h"
#include "VqRecord.h"
#include "VqSquareMatrix.h"

#include <atomic>
#include <cstdint>
#include <vector>

class VqMutex;
class VqNode;
class VqPartition;
class VqPath;
class VqState;
class VqRenderContext;

// Base of the appearance and placement attributes attached to nodes. It
// holds the flags and the per-field final and inhibit masks that decide how
// an attribute combines with those above it on a path, and writes the base
// part of every attribute element. Each type derives and supplies its fields.
class VQ_API VqAttribute : public Vq::Record<VqAttribute, VqPropBase> {
    VQ_DECLARE_TYPE(VqAttribute)
public:
    // State flag bits.
    enum : uint8_t {
        VQ_ATTR_FINAL = 0x01, // final as a whole; meaningful in elements before format 10
        VQ_ATTR_FORCE = 0x02,
        VQ_ATTR_IGNORE = 0x04,
        VQ_ATTR_PERSISTABLE = 0x08,
        VQ_ATTR_DYNAMIC = 0x10 // never stored in files
    };
    static constexpr uint8_t s_uForceAccumFlag = VQ_ATTR_FORCE;
    static constexpr uint8_t s_uDynamicFlag = VQ_ATTR_DYNAMIC;

    VqAttribute() = default;
    VqAttribute(const VqAttribute& o);
    VqAttribute& operator=(const VqAttribute& o);

    // Defined by each type.
    virtual bool clone(VqAttribute*& out) const = 0;
    virtual int compareHook(const VqAttribute& o) const = 0;
    virtual bool isEqualHook(const VqAttribute& o) const = 0;
    virtual void _updateHashVal() const;
    virtual bool setFinal(bool on);
    virtual bool setForceAccum(bool on);
    virtual bool setIgnoreFlag(bool on);
    virtual bool setPersistable(bool on);
    virtual bool setDynamicFlag(bool on);
    virtual unsigned int _numFields() const = 0;
    // Field-bit conversion for types whose numbering changed with format 10.
    virtual VqBitField<1> _convertFromPreV10FieldBits(unsigned int bits) const;
    virtual unsigned int _convertToPreV10FieldBits(VqBitField<1> bits, unsigned int major,
                                                   unsigned int minor) const;
    // Offers an attribute met lower on a path to this accumulator.
    virtual bool accumulate(const VqAttribute& incoming, const VqState* state, const VqPath* path);
    virtual int numAccumulands() const { return 1; }
    virtual const VqAttribute* accumuland(int index) const { return index == 0 ? this : nullptr; }
    virtual bool _apply(VqRenderContext& rc, const VqState* state, bool, bool) const = 0;
    // Drops what a node caches for this kind of attribute.
    virtual bool _invalidateNodeData(VqNode* node) const;
    virtual bool accumulateHook(const VqAttribute& incoming, const VqState* state, const VqPath* path) = 0;
    virtual bool finalize(VqState*) { return true; }
    // Turns the reference slots that reading filled into counted references;
    // the node holding the attribute calls it from its own fix-up.
    virtual bool _fixupLists() { return true; }
    // The objects this attribute's record names by object ID: they must be
    // written into the same segment, or the references read back empty.
    virtual void _referencedObjects(std::vector<const VqBase*>& out) const { (void)out; }
    // The matrix (for row vectors) by which this attribute places its node's
    // subgraph; false when it is not a placing attribute (the default). A
    // placing attribute answers true even for the identity: whether it is
    // final matters to the placements below it.
    virtual bool _placement(VqSquareMatrix<double, 4>& m) const {
        (void)m;
        return false;
    }
    // Whether format 9.6 and 9.7 elements of this type carry the final mask
    // (local version 2 of the base part). The formats say where the mask goes
    // for shader effects only (after that type's own fields, in a level of
    // local version 2). Our choice for the others: draw, line and point
    // styles, material, fog, texture-coordinate generation and shaders write
    // it in the base part; transforms, light sets, cutting planes and texture
    // images, whose one field makes a partial mask impossible, do not. The
    // reader takes a base part of local version 2 from any type, so that
    // files whose writer chose otherwise still read.
    virtual bool _writesV9FinalMask() const { return false; }

    bool isPersistable() const override { return (_uFlags & VQ_ATTR_PERSISTABLE) != 0; }
    bool isPostV95Content() const override;
    bool sendNotification(const VqBase* who, Vq::BaseChange change) const override;

    bool isFinal() const { return _uFinalMask.bits() == knownFieldsMask(); }
    bool isForceAccum() const { return (_uFlags & VQ_ATTR_FORCE) != 0; }
    bool isIgnored() const { return (_uFlags & VQ_ATTR_IGNORE) != 0; }
    bool isDynamic() const { return (_uFlags & VQ_ATTR_DYNAMIC) != 0; }
    bool isAccumulant() const { return _uAccumulated != 0; }
    uint8_t stateFlags() const { return _uFlags; }
    VqBitField<1> finalMask() const { return _uFinalMask; }
    VqBitField<1> inhibitMask() const { return _uInhibitMask; }
    uint32_t hashValue() const;

    bool setFieldFinal(unsigned int iFieldNum, bool on);
    bool setInhibit(unsigned int iFieldNum, bool on);
    bool isFieldFinal(unsigned int iFieldNum) const {
        return iFieldNum < 32 && _uFinalMask.isSet(static_cast<int>(iFieldNum));
    }
    bool isInhibited(unsigned int iFieldNum) const {
        return iFieldNum < 32 && _uInhibitMask.isSet(static_cast<int>(iFieldNum));
    }
    // (1 << n) - 1 for n fields, all 32 bits from 32 fields on.
    uint32_t knownFieldsMask() const;

    bool invalidateNodeData(VqNode* node) const { return _invalidateNodeData(node); }
    // The partition of the first node the attribute is attached to, or null.
    VqPartition* partition() const;
    bool apply(VqRenderContext& rc, const VqState* state) const { return _apply(rc, state, false, false); }

    // Step 1 of accumulation: whether an accumulator (final as a whole or
    // not) takes the incoming attribute in.
    static bool s_admits(bool accumulatorFinal, const VqAttribute& incoming) {
        if (accumulatorFinal && !incoming.isForceAccum()) return incoming.isDynamic();
        return !incoming.isIgnored() || incoming.isDynamic();
    }

    // The placement that the placing attributes met along a path compose, by
    // the rules by which a state's accumulated transform is built: admission
    // (final, force, ignore, dynamic), the order M <- N x M, and, for dynamic
    // transforms, the replay rules of a run of them (an ignored one does not
    // count; after one that is final only forcing ones do). Boxes and path
    // transforms compose with it, so that they place geometry where the state
    // draws it. What it does not follow: a dynamic transform changed after
    // a state was built is replayed with its new flags, the placement uses
    // the flags it has when asked.
    struct VQ_API Placement {
        VqSquareMatrix<double, 4> matrix;
        bool bFinal = false;       // the accumulated transform is final as a whole
        bool bSkipDynamic = false; // in a run of dynamic transforms after a final one
        // Offers the next attribute met lower on the path; attributes that
        // place nothing are passed over.
        void offer(const VqAttribute& a);
        // The same flags, with the identity: the part of a placement that a
        // node adds to what lies above it.
        Placement below() const {
            Placement p;
            p.bFinal = bFinal;
            p.bSkipDynamic = bSkipDynamic;
            return p;
        }
    };

    // The base part of every attribute element: before format 9 the own
    // object ID, the flags and (from 8.0) the inhibit mask in the numbering
    // of the element's version; in format 9 the flags, the inhibit mask and,
    // for types with _writesV9FinalMask from 9.6 (local version 2), the final
    // mask; in format 10 the flags and both masks.
    int _localVersion(const Vq::RecordFormat& fmt) const;
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

protected:
    // Sets or clears flag bits and notifies with 255 when they changed.
    bool _setFlag(uint8_t bit, bool on);
    // A lock for filling a lazily computed value of the attribute at p, which
    // threads reading a shared attribute may ask for at once. Striped by
    // address: attributes filled at the same time rarely share a lock.
    static VqMutex& _lazyFillLock(const void* p);
    void _resetHash() const {
        _uHashVal = 0;
        _uHashPublished.store(0, std::memory_order_relaxed);
    }
    // The field merge of accumulation: true when this accumulator takes field
    // i of incoming (incoming forces or the field is not final here, and
    // incoming does not inhibit it); a field final in incoming becomes final
    // here. Final bits are only ever added.
    bool _mergeField(const VqAttribute& incoming, unsigned int i) {
        if (!(incoming.isForceAccum() || !isFieldFinal(i)) || incoming.isInhibited(i)) return false;
        if (incoming.isFieldFinal(i)) {
            _uFinalMask.set(static_cast<int>(i));
            if (isFinal()) _uFlags |= VQ_ATTR_FINAL;
        }
        return true;
    }

    uint8_t _uAccumulated = 0;
    uint8_t _uFlags = VQ_ATTR_PERSISTABLE;
    VqBitField<1> _uInhibitMask;
    VqBitField<1> _uFinalMask;
    // The working value of the _updateHashVal chain (each type adds its
    // fields to what its base computed), and the finished value that
    // hashValue hands out. Threads that read a shared attribute may ask for
    // its hash together: the chain runs under a lock and only its end result
    // is published, so no reader sees a half-computed value.
    mutable uint32_t _uHashVal = 0;
    mutable std::atomic<uint32_t> _uHashPublished{0};
};
