#pragma once

#include "VqExport.h"
#include "VqGroup.h"

// A group of which a traversal visits only the selected child.
class VQ_API VqSwitch : public Vq::Record<VqSwitch, VqGroup> {
    VQ_DECLARE_TYPE(VqSwitch)
public:
    VqSwitch() = default;
    VqSwitch(const VqSwitch& o) : Record(o), _iSelectedChild(o._iSelectedChild) {}

    // -1 selects nothing.
    bool setSelectedChild(int iChild);
    int selectedChild() const { return _iSelectedChild; }

    VqNode* child(int index, bool cooked = false) const override;
    unsigned int numChildren(bool cooked = false) const override;
    bool children(VqNode* const*& list, unsigned int& count, bool cooked = false) const override;

    // The switch's level: the selected child. Unlike most levels it carries
    // a local version before format 9 too.
    bool _localVersionIn(const Vq::RecordFormat&) const { return true; }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

protected:
    void _childRemovedAt(int index) override;
    void _allChildrenRemoved() override;

private:
    int _iSelectedChild = -1;
};
