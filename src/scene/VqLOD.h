#pragma once

#include "VqBitField.h"
#include "VqExport.h"
#include "VqGroup.h"

// A group whose children are levels of detail of one object. A forced child,
// when set, is the only child a traversal visits.
class VQ_API VqLOD : public Vq::Record<VqLOD, VqGroup> {
    VQ_DECLARE_TYPE(VqLOD)
public:
    VqLOD() = default;
    VqLOD(const VqLOD& o) : Record(o), _vRelQualities(o._vRelQualities), _iForcedChild(o._iForcedChild) {}

    virtual bool setRelativeQuality(int index, float quality);
    // Kept for callers of the older interface; selection is by setForcedChild.
    virtual bool setForcedChildren(VqBitField<1>) { return true; }
    virtual bool setForcedChild(int iChild);

    bool relativeQuality(int index, float& quality) const;
    void relativeQualities(const float*& list, int& count) const;
    int forcedChild() const { return _iForcedChild; }

    VqNode* child(int index, bool cooked = false) const override;
    unsigned int numChildren(bool cooked = false) const override;
    bool children(VqNode* const*& list, unsigned int& count, bool cooked = false) const override;

    // The LOD's level: the relative qualities and the forced-child mask
    // (always written as none) before format 10; nothing of its own in 10,
    // where a reader forgets both.
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

protected:
    bool _countsAreAlternatives() const override { return true; }
    // The forced child from a file's mask: its lowest set bit, none for 0 and all ones.
    void _setForcedFromMask(uint32_t mask);

    mutable std::vector<float> _vRelQualities;
    int _iForcedChild = -1;
};
