#pragma once

#include "VqExport.h"
#include "VqNode.h"

// A node with exactly one child: the means by which one subgraph is placed
// at several places of the graph.
class VQ_API VqInstance : public Vq::Record<VqInstance, VqNode> {
    VQ_DECLARE_TYPE(VqInstance)
public:
    VqInstance() = default;
    VqInstance(const VqInstance& o) : Record(o), _bPartitionCheck(o._bPartitionCheck) {}
    ~VqInstance() override;

    virtual bool replaceChild(VqNode* child);
    virtual bool removeChild();
    virtual VqNode* child() const { return _pChild; }

    VqNode* child(int index, bool cooked = false) const override;
    int findChild(const VqNode* child) const override;
    unsigned int numChildren(bool cooked = false) const override;
    bool appendChild(VqNode* child) override;
    bool replaceChild(int index, VqNode* child) override;
    bool replaceChild(const VqNode* oldChild, VqNode* newChild) override;
    bool removeChild(const VqNode* child) override;
    bool removeChild(int index) override;
    bool removeAllChildren() override;
    bool children(VqNode* const*& list, unsigned int& count, bool cooked = false) const override;
    bool fixupLists() override;

    VqFixedVec<int, 2> computeNumPolygons() const override;
    VqFixedVec<int, 2> computeNumVertices() const override;
    VqFixedVec<int, 2> computeNumNodes() const override;
    float computeArea() const override;

    // With the check on, a child in a partition must be in this instance's partition.
    void setPartitionCheck(bool on) { _bPartitionCheck = on; }
    bool partitionCheck() const { return _bPartitionCheck; }

    // The instance's level: its child's ID.
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

protected:
    bool _cloneInto(VqNode* copy, bool deep, CloneMap& map) const override;
    bool _linkReadSlots(VqObjectStream& os) override;
    void _dropReadSlots() override;

private:
    bool _checkChild(const VqNode* child) const;

    mutable VqNode* _pChild = nullptr;
    bool _bPartitionCheck = true;
};
