#include "VqGroup.h"

#include "VqErrorState.h"
#include "VqFactory.h"

#include <algorithm>

VQ_IMPLEMENT_TYPE(VqGroup, VqNode, CLSID_ZQGroup)

VqGroup::~VqGroup() {
    // Slots still holding IDs or uncounted addresses own nothing.
    if (_uSlotState != kSlotsCounted) return;
    std::vector<VqNode*> children;
    children.swap(_vpChildren);
    _releaseChildLinks(this, children.data(), children.size());
}

namespace {
const char* const kCycle = "The child is this node or lies above it: the graph would have a cycle";
} // namespace

bool VqGroup::appendChild(VqNode* child) {
    if (!child) VQ_FAIL("VqGroup", "appendChild", "pNewChild != __null", VQ_ERR_ARGUMENT);
    if (_wouldCloseCycle(child)) VQ_FAIL("VqGroup", "appendChild", kCycle, VQ_ERR_ARGUMENT);
    _vpChildren.push_back(child);
    child->appendParent(this);
    _childAdded(child);
    return true;
}

bool VqGroup::insertChild(int index, VqNode* child) {
    if (!(index >= 0 && static_cast<unsigned int>(index) <= numChildren()))
        VQ_FAIL("VqGroup", "insertChild", "index >= 0 && VqUInt32(index) <= numChildren()", VQ_ERR_ARGUMENT);
    if (!child) VQ_FAIL("VqGroup", "insertChild", "child != __null", VQ_ERR_ARGUMENT);
    if (_wouldCloseCycle(child)) VQ_FAIL("VqGroup", "insertChild", kCycle, VQ_ERR_ARGUMENT);
    _vpChildren.insert(_vpChildren.begin() + index, child);
    child->appendParent(this);
    _childAdded(child);
    return true;
}

VqNode* VqGroup::child(int index, bool) const {
    return index >= 0 && static_cast<size_t>(index) < _vpChildren.size()
               ? _vpChildren[static_cast<size_t>(index)]
               : nullptr;
}

int VqGroup::findChild(const VqNode* c) const {
    auto it = std::find(_vpChildren.begin(), _vpChildren.end(), c);
    return it == _vpChildren.end() ? -1 : static_cast<int>(it - _vpChildren.begin());
}

unsigned int VqGroup::numChildren(bool) const {
    return static_cast<unsigned int>(_vpChildren.size());
}

bool VqGroup::children(VqNode* const*& list, unsigned int& count, bool) const {
    list = _vpChildren.data();
    count = static_cast<unsigned int>(_vpChildren.size());
    return true;
}

bool VqGroup::removeChild(int index) {
    if (!(index >= 0 && static_cast<unsigned int>(index) < numChildren()))
        VQ_FAIL("VqGroup", "removeChild", "index >= 0 && VqUInt32(index) < numChildren()", VQ_ERR_ARGUMENT);
    VqNode* c = _vpChildren[static_cast<size_t>(index)];
    Vq::SharedPtr<VqNode> hold(c);
    _childRemoving(c);
    _vpChildren.erase(_vpChildren.begin() + index);
    _childRemovedAt(index);
    c->_removeParentLink(this);
    VQ_PROPAGATE(invalidateState(VQ_INVAL_STRUCTURE, true));
    return setModifiedFlag(true);
}

bool VqGroup::removeChild(const VqNode* c) {
    int i = findChild(c);
    if (i < 0) VQ_FAIL("VqGroup", "removeChild", "Unable to access child", VQ_ERR_UNREACHABLE);
    return removeChild(i);
}

bool VqGroup::replaceChild(int index, VqNode* c) {
    if (!(index >= 0 && static_cast<unsigned int>(index) < numChildren()))
        VQ_FAIL("VqGroup", "replaceChild", "index >= 0 && VqUInt32(index) < numChildren()", VQ_ERR_ARGUMENT);
    if (!c) VQ_FAIL("VqGroup", "replaceChild", "child != __null", VQ_ERR_ARGUMENT);
    VqNode* old = _vpChildren[static_cast<size_t>(index)];
    if (old == c) return true;
    if (_wouldCloseCycle(c)) VQ_FAIL("VqGroup", "replaceChild", kCycle, VQ_ERR_ARGUMENT);
    Vq::SharedPtr<VqNode> hold(old);
    _childRemoving(old);
    _vpChildren[static_cast<size_t>(index)] = c;
    c->appendParent(this);
    old->_removeParentLink(this);
    _childAdded(c);
    return true;
}

bool VqGroup::replaceChild(const VqNode* oldChild, VqNode* newChild) {
    int i = findChild(oldChild);
    if (i < 0) VQ_FAIL("VqGroup", "replaceChild", "Unable to access child", VQ_ERR_UNREACHABLE);
    return replaceChild(i, newChild);
}

bool VqGroup::removeAllChildren() {
    while (!_vpChildren.empty())
        VQ_PROPAGATE(removeChild(static_cast<int>(_vpChildren.size()) - 1));
    _allChildrenRemoved();
    return true;
}

bool VqGroup::shrink() const {
    _vpChildren.shrink_to_fit();
    return VqNode::shrink();
}

// ---- counts: the sum over the children, or the range for alternatives

namespace {
VqFixedVec<int, 2> verticesOf(const VqNode* n) {
    VqFixedVec<int, 2> v;
    n->numVertices(v);
    return v;
}
VqFixedVec<int, 2> polygonsOf(const VqNode* n) {
    VqFixedVec<int, 2> v;
    n->numPolygons(v);
    return v;
}
VqFixedVec<int, 2> nodesOf(const VqNode* n) {
    VqFixedVec<int, 2> v;
    n->numNodes(v);
    return v;
}
} // namespace

VqFixedVec<int, 2> VqGroup::_combineCounts(VqFixedVec<int, 2> (*get)(const VqNode*)) const {
    if (_vpChildren.empty()) return VqFixedVec<int, 2>(0, 0);
    bool alternatives = _countsAreAlternatives();
    VqFixedVec<int, 2> r = alternatives ? get(_vpChildren[0]) : VqFixedVec<int, 2>(0, 0);
    for (size_t i = alternatives ? 1 : 0; i < _vpChildren.size(); ++i) {
        VqFixedVec<int, 2> c = get(_vpChildren[i]);
        if (alternatives) {
            r[0] = std::min(r[0], c[0]);
            r[1] = std::max(r[1], c[1]);
        } else {
            r = s_addCounts(r, c);
        }
    }
    return r;
}

VqFixedVec<int, 2> VqGroup::computeNumVertices() const {
    return _combineCounts(&verticesOf);
}
VqFixedVec<int, 2> VqGroup::computeNumPolygons() const {
    return _combineCounts(&polygonsOf);
}
VqFixedVec<int, 2> VqGroup::computeNumNodes() const {
    return s_addCounts(_combineCounts(&nodesOf), VqFixedVec<int, 2>(1, 1));
}

float VqGroup::computeArea() const {
    float a = 0.0f;
    for (const VqNode* c : _vpChildren)
        a = _countsAreAlternatives() ? std::max(a, c->area()) : a + c->area();
    return a;
}

// ---- cloning

bool VqGroup::_cloneInto(VqNode* copy, bool deep, CloneMap& map) const {
    auto* g = static_cast<VqGroup*>(copy);
    for (VqNode* c : _vpChildren) {
        VqNode* cc = c;
        if (deep) VQ_PROPAGATE(_cloneChild(c, deep, map, cc));
        g->_vpChildren.push_back(cc);
        cc->appendParent(g);
    }
    return true;
}

// ---- reading and writing

bool VqGroup::_writeFields(VqObjectStream& os, const Vq::RecordFormat&) const {
    if (!_writesChildren(os)) return os.write(0);
    VQ_PROPAGATE(os.write(static_cast<int>(_vpChildren.size())));
    for (const VqNode* c : _vpChildren)
        VQ_PROPAGATE(_writeId(os, c));
    return true;
}

bool VqGroup::_readFields(VqObjectStream& os, const Vq::RecordFormat&, int) {
    int count = 0;
    VQ_PROPAGATE(os.readLength(count, sizeof(int)));
    if (!_vpChildren.empty()) VQ_FAIL("VqGroup", "deserialize", "_vpChildren.length() == 0", VQ_ERR_INTERNAL);
    // The count is only checked against the element's recorded length, which a
    // compressed segment cannot vouch for: grow with the IDs actually read, so
    // memory follows the bytes that arrive, not the count a file claims.
    constexpr int kTrustedCount = 1 << 16;
    _vpChildren.reserve(static_cast<size_t>(std::min(count, kTrustedCount)));
    _uSlotState = kSlotsPendingIds;
    for (int i = 0; i < count; ++i) {
        int id = -1;
        VQ_PROPAGATE(os.read(&id));
        _vpChildren.push_back(static_cast<VqNode*>(_idToSlot(id)));
    }
    return true;
}

bool VqGroup::_linkReadSlots(VqObjectStream& os) {
    VQ_PROPAGATE(VqNode::_linkReadSlots(os));
    for (VqNode*& c : _vpChildren) {
        const void** slot = reinterpret_cast<const void**>(static_cast<void*>(&c));
        os.ptrFromNum(_slotToId(*slot), slot);
    }
    return true;
}

void VqGroup::_dropReadSlots() {
    if (_uSlotState == kSlotsPendingIds) _vpChildren.clear();
    VqNode::_dropReadSlots();
}

bool VqGroup::fixupLists() {
    bool raw = _uSlotState == kSlotsRaw;
    bool ok = VqNode::fixupLists();
    if (!raw || _uSlotState != kSlotsCounted) return ok;
    size_t w = 0;
    for (size_t r = 0; r < _vpChildren.size(); ++r) {
        VqBase* obj = _rawSlotObject(_vpChildren[r]);
        if (!obj) continue;
        auto* c = Vq::typeCast<VqNode>(obj);
        if (!c) {
            ok = _notANode("fixupLists");
            continue;
        }
        _vpChildren[w++] = c;
        c->appendParent(this);
    }
    _vpChildren.resize(w);
    _vpChildren.shrink_to_fit();
    return ok;
}
