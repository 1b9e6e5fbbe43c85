#pragma once

#include "VqExport.h"
#include "VqNode.h"

// A node with an ordered list of children. A child is owned through its
// parent link: adding it gives it this group as a parent, which takes one
// reference, and removing it releases that reference.
class VQ_API VqGroup : public Vq::Record<VqGroup, VqNode> {
    VQ_DECLARE_TYPE(VqGroup)
public:
    VqGroup() = default;
    // A copy has no children; clone() gives it some.
    VqGroup(const VqGroup& o) : Record(o) {}
    ~VqGroup() override;

    bool appendChild(VqNode* child) override;
    VqNode* child(int index, bool cooked = false) const override;
    int findChild(const VqNode* child) const override;
    bool insertChild(int index, VqNode* child) override;
    unsigned int numChildren(bool cooked = false) const override;
    bool replaceChild(int index, VqNode* child) override;
    bool replaceChild(const VqNode* oldChild, VqNode* newChild) override;
    bool removeChild(const VqNode* child) override;
    bool removeChild(int index) override;
    bool removeAllChildren() override;
    bool children(VqNode* const*& list, unsigned int& count, bool cooked = false) const override;
    bool shrink() const override;
    bool fixupLists() override;

    VqFixedVec<int, 2> computeNumPolygons() const override;
    VqFixedVec<int, 2> computeNumVertices() const override;
    VqFixedVec<int, 2> computeNumNodes() const override;
    float computeArea() const override;

    // The group's level: the child count and the children's IDs.
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

protected:
    bool _cloneInto(VqNode* copy, bool deep, CloneMap& map) const override;
    // Hook for derived groups after a child at index left the list.
    virtual void _childRemovedAt(int index) { (void)index; }
    virtual void _allChildrenRemoved() {}
    // Sum over the raw children, or (LOD groups) the range over them.
    virtual bool _countsAreAlternatives() const { return false; }
    VqFixedVec<int, 2> _combineCounts(VqFixedVec<int, 2> (*get)(const VqNode*)) const;

    // Whether the group level of an element lists the children (else it
    // holds a count of 0).
    virtual bool _writesChildren(const VqObjectStream& os) const {
        (void)os;
        return true;
    }
    bool _linkReadSlots(VqObjectStream& os) override;
    void _dropReadSlots() override;

    mutable std::vector<VqNode*> _vpChildren;
};
