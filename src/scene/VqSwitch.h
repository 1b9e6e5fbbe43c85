#pragma once

#include "VqGroup.h"

// A group of which a traversal visits only the selected child.
class VqSwitch : public VqGroup {
    VQ_DECLARE_TYPE(VqSwitch)
public:
    VqSwitch() = default;
    VqSwitch(const VqSwitch& o) : VqGroup(o), _iSelectedChild(o._iSelectedChild) {}

    // -1 selects nothing.
    bool setSelectedChild(int iChild);
    int selectedChild() const { return _iSelectedChild; }

    VqNode* child(int index, bool cooked = false) const override;
    unsigned int numChildren(bool cooked = false) const override;
    bool children(VqNode* const*& list, unsigned int& count, bool cooked = false) const override;

    bool _serializeVQ64virtual(VqObjectStream& os) const override;
    bool _serializeVQ90virtual(VqObjectStream& os) const override;
    bool _serializeVQ100virtual(VqObjectStream& os) const override;
    bool _deserializeVQvirtual(VqObjectStream& os) override;
    bool _deserializeVQ90virtual(VqObjectStream& os) override;
    bool _deserializeVQ100virtual(VqObjectStream& os) override;

protected:
    void _childRemovedAt(int index) override;
    void _allChildrenRemoved() override;

private:
    int _iSelectedChild = -1;
};
