#include "VqInstance.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqModelContext.h"
#include "VqPartition.h"

VQ_IMPLEMENT_TYPE(VqInstance, VqNode, CLSID_ZQInstance)

VqInstance::~VqInstance() {
    if (_uSlotState != kSlotsCounted || !_pChild) return;
    VqNode* c = _pChild;
    _pChild = nullptr;
    _releaseChildLinks(this, &c, 1);
}

bool VqInstance::_checkChild(const VqNode* c) const {
    if (!c) VQ_FAIL("VqInstance", "replaceChild", "child != __null", VQ_ERR_ARGUMENT);
    if (c == this) VQ_FAIL("VqInstance", "replaceChild", "child != (VqNode*)this", VQ_ERR_ARGUMENT);
    if (c == _pChild) VQ_FAIL("VqInstance", "replaceChild", "_pChild != child", VQ_ERR_ARGUMENT);
    if (_wouldCloseCycle(c))
        VQ_FAIL("VqInstance", "replaceChild",
                "The child is this node or lies above it: the graph would have a cycle", VQ_ERR_ARGUMENT);
    if (c->internalFlag(VQ_NODE_IFLAG_MODELCONTEXT)) {
        // A model's nodes report to their model, so the instance must place
        // the child in the same one.
        const VqPartition* own = partition();
        if (Vq::ModelContext::findModelContext(c) != Vq::ModelContext::findModelContext(own))
            VQ_FAIL("VqInstance", "replaceChild", "Parent and child have to be in the same model context",
                    VQ_ERR_PARTITION);
    } else if (_bPartitionCheck) {
        VqGroup* childRoot = c->_partitionRoot();
        if (childRoot && childRoot != _partitionRoot())
            VQ_FAIL("VqInstance", "replaceChild", "Parent and child have to be in the same partition",
                    VQ_ERR_PARTITION);
    }
    return true;
}

bool VqInstance::replaceChild(VqNode* c) {
    VQ_PROPAGATE(_checkChild(c));
    Vq::SharedPtr<VqNode> old(_pChild);
    if (old) _childRemoving(old.get());
    _pChild = c;
    c->appendParent(this);
    if (old) old->_removeParentLink(this);
    _childAdded(c);
    return true;
}

bool VqInstance::removeChild() {
    if (!_pChild) return true;
    Vq::SharedPtr<VqNode> old(_pChild);
    _childRemoving(old.get());
    _pChild = nullptr;
    old->_removeParentLink(this);
    VQ_PROPAGATE(invalidateState(VQ_INVAL_STRUCTURE, true));
    return setModifiedFlag(true);
}

VqNode* VqInstance::child(int index, bool) const {
    return index == 0 ? _pChild : nullptr;
}
int VqInstance::findChild(const VqNode* c) const {
    return c && c == _pChild ? 0 : -1;
}
unsigned int VqInstance::numChildren(bool) const {
    return _pChild ? 1u : 0u;
}

bool VqInstance::appendChild(VqNode* c) {
    if (_pChild) VQ_FAIL("VqInstance", "appendChild", "_pChild == __null", VQ_ERR_ARGUMENT);
    return replaceChild(c);
}

bool VqInstance::replaceChild(int index, VqNode* c) {
    if (index != 0 || !_pChild)
        VQ_FAIL("VqInstance", "replaceChild", "Unable to access child", VQ_ERR_UNREACHABLE);
    return replaceChild(c);
}

bool VqInstance::replaceChild(const VqNode* oldChild, VqNode* newChild) {
    if (!oldChild || oldChild != _pChild)
        VQ_FAIL("VqInstance", "replaceChild", "Unable to access child", VQ_ERR_UNREACHABLE);
    return replaceChild(newChild);
}

bool VqInstance::removeChild(const VqNode* c) {
    if (!c || c != _pChild)
        VQ_FAIL("VqInstance", "removeChild", "Unable to access child", VQ_ERR_UNREACHABLE);
    return removeChild();
}

bool VqInstance::removeChild(int index) {
    if (index != 0 || !_pChild)
        VQ_FAIL("VqInstance", "removeChild", "Unable to access child", VQ_ERR_UNREACHABLE);
    return removeChild();
}

bool VqInstance::removeAllChildren() {
    return removeChild();
}

bool VqInstance::children(VqNode* const*& list, unsigned int& count, bool) const {
    list = _pChild ? &_pChild : nullptr;
    count = _pChild ? 1u : 0u;
    return true;
}

VqFixedVec<int, 2> VqInstance::computeNumPolygons() const {
    VqFixedVec<int, 2> v(0, 0);
    if (_pChild) _pChild->numPolygons(v);
    return v;
}

VqFixedVec<int, 2> VqInstance::computeNumVertices() const {
    VqFixedVec<int, 2> v(0, 0);
    if (_pChild) _pChild->numVertices(v);
    return v;
}

VqFixedVec<int, 2> VqInstance::computeNumNodes() const {
    VqFixedVec<int, 2> v(0, 0);
    if (_pChild) _pChild->numNodes(v);
    return s_addCounts(v, VqFixedVec<int, 2>(1, 1));
}

float VqInstance::computeArea() const {
    return _pChild ? _pChild->area() : 0.0f;
}

bool VqInstance::_cloneInto(VqNode* copy, bool deep, CloneMap& map) const {
    if (!_pChild) return true;
    auto* inst = static_cast<VqInstance*>(copy);
    VqNode* cc = _pChild;
    if (deep) VQ_PROPAGATE(_cloneChild(_pChild, deep, map, cc));
    inst->_pChild = cc;
    cc->appendParent(inst);
    return true;
}

bool VqInstance::_writeFields(VqObjectStream& os, const Vq::RecordFormat&) const {
    return _writeId(os, _pChild);
}

bool VqInstance::_readFields(VqObjectStream& os, const Vq::RecordFormat&, int) {
    int id = -1;
    VQ_PROPAGATE(os.read(&id));
    _pChild = static_cast<VqNode*>(_idToSlot(id));
    _uSlotState = kSlotsPendingIds;
    return true;
}

bool VqInstance::_linkReadSlots(VqObjectStream& os) {
    VQ_PROPAGATE(VqNode::_linkReadSlots(os));
    const void** slot = reinterpret_cast<const void**>(static_cast<void*>(&_pChild));
    os.ptrFromNum(_slotToId(*slot), slot);
    return true;
}

void VqInstance::_dropReadSlots() {
    if (_uSlotState == kSlotsPendingIds) _pChild = nullptr;
    VqNode::_dropReadSlots();
}

bool VqInstance::fixupLists() {
    bool raw = _uSlotState == kSlotsRaw;
    bool ok = VqNode::fixupLists();
    if (!raw || _uSlotState != kSlotsCounted) return ok;
    VqBase* obj = _rawSlotObject(_pChild);
    _pChild = nullptr;
    if (!obj) return ok;
    auto* c = Vq::typeCast<VqNode>(obj);
    if (!c) return _notANode("fixupLists");
    _pChild = c;
    c->appendParent(this);
    return ok;
}
