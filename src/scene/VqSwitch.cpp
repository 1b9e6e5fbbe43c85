#include "VqSwitch.h"

#include "VqErrorState.h"
#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(VqSwitch, VqGroup, CLSID_ZQSwitch)

bool VqSwitch::setSelectedChild(int iChild) {
    if (iChild != -1 && !(iChild >= -1 && static_cast<unsigned int>(iChild) < numChildren()))
        VQ_FAIL("VqSwitch", "setSelectedChild", "iChild >= -1 && VqUInt32(iChild) < numChildren()",
                VQ_ERR_ARGUMENT);
    if (iChild == _iSelectedChild) return true;
    _iSelectedChild = iChild;
    VQ_PROPAGATE(invalidateState(VQ_INVAL_STATE, true));
    return setModifiedFlag(true);
}

// The selection keeps its index; it is dropped only when it points past the end.
void VqSwitch::_childRemovedAt(int) {
    if (_iSelectedChild >= static_cast<int>(_vpChildren.size())) _iSelectedChild = -1;
}

void VqSwitch::_allChildrenRemoved() {
    _iSelectedChild = -1;
}

VqNode* VqSwitch::child(int index, bool cooked) const {
    if (!cooked) return VqGroup::child(index, false);
    if (index != 0 || _iSelectedChild < 0) return nullptr;
    return VqGroup::child(_iSelectedChild, false);
}

unsigned int VqSwitch::numChildren(bool cooked) const {
    if (!cooked) return VqGroup::numChildren(false);
    return _iSelectedChild >= 0 && static_cast<size_t>(_iSelectedChild) < _vpChildren.size() ? 1u : 0u;
}

bool VqSwitch::children(VqNode* const*& list, unsigned int& count, bool cooked) const {
    if (!cooked) return VqGroup::children(list, count, false);
    count = numChildren(true);
    list = count ? &_vpChildren[static_cast<size_t>(_iSelectedChild)] : nullptr;
    return true;
}

namespace {
unsigned int selectionForFile(int sel) {
    return sel < 0 ? 0xFFFFFFFFu : static_cast<unsigned int>(sel);
}
int selectionFromFile(unsigned int v) {
    return v > 0x7FFFFFFFu ? -1 : static_cast<int>(v);
}
} // namespace

// Files before format 9 carry a 16-bit version at this level too.
bool VqSwitch::_writeFields(VqObjectStream& os, const Vq::RecordFormat&) const {
    return os.write(selectionForFile(_iSelectedChild));
}

bool VqSwitch::_readFields(VqObjectStream& os, const Vq::RecordFormat&, int) {
    unsigned int sel = 0;
    VQ_PROPAGATE(os.read(&sel));
    _iSelectedChild = selectionFromFile(sel);
    return true;
}
