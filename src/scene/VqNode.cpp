#include "VqNode.h"

#include "VqDrawStyle.h"
#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqGroup.h"
#include "VqLight.h"
#include "VqLightSet.h"
#include "VqLineStyle.h"
#include "VqModelContext.h"
#include "VqMutex.h"
#include "VqPartition.h"
#include "VqPath.h"
#include "VqPointStyle.h"
#include "VqStringPropAtom.h"
#include "VqXform.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <stdexcept>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

VQ_IMPLEMENT_TYPE(VqNode, VqPropBase, CLSID_ZQNode)

uint32_t VqNode::s_uDefLGTravMask = 0xFFFFFFFFu;
uint32_t VqNode::s_uDefInstTravMask = 0xFFFFFFFFu;
VqMutex* VqNode::s_pInstDataMutex = nullptr;
std::atomic<int> VqNode::s_nPathQualStartsInAll{0};
VqNode::ModelContextNotifier VqNode::s_pfNotifyMC = nullptr;

const VqBox3<float> VqNode::s_emptyBox;
const VqBox3<float> VqNode::s_indeterminateBox(VqFixedVec<float, 3>(FLT_MAX, FLT_MAX, FLT_MAX),
                                               VqFixedVec<float, 3>(-FLT_MAX, -FLT_MAX, -FLT_MAX));

namespace {
// The class mutex of the instance-data maps; absent before init.
class InstDataLock {
public:
    explicit InstDataLock(VqMutex* m) : _m(m) {
        if (_m) _m->lock();
    }
    ~InstDataLock() {
        if (_m) _m->unlock();
    }
    InstDataLock(const InstDataLock&) = delete;
    InstDataLock& operator=(const InstDataLock&) = delete;

private:
    VqMutex* _m;
};

// Extents and counts are filled lazily by whichever traversal thread asks
// first, and a fill writes the caches of the whole subgraph below: one
// recursive lock for every node keeps two fills (and their readers) apart
// without an order between per-node locks to get wrong.
VqMutex s_cacheFillMutex;

bool countsComputed(const VqFixedVec<int, 2>& v) {
    return v[0] != -1 || v[1] != -1;
}

// A release of nodes in progress on this thread. Each pending entry owes one
// release; a node whose count reaches zero is deleted by it, and its
// destructor adds its own children here instead of releasing them itself.
// Parent links that could not be removed at once (the parent is neither the
// only nor the last one listed) are noted per child and removed in one pass
// per child at the end, when it is known which children outlived the release.
//
// The work lives in the outermost release's frame and the thread knows it by
// a plain pointer: a thread_local object with a destructor is gone once the
// thread's exit handlers have run, and a graph held by a static object, or
// released by another thread-exit handler, is released after that.
struct ReleaseWork {
    std::vector<VqNode*> pending;
    std::unordered_map<VqNode*, std::vector<VqNode*>> stale;
};
thread_local ReleaseWork* t_pRelease = nullptr;

// Calls fill on every node below root (root excluded) for which needs holds,
// children before their parents. needs(n) false means that n's cache is
// filled, and with it those of the whole subgraph below it (invalidation
// empties a node's cache together with those of all nodes above it), so the
// walk does not go below such a node. Filling bottom-up lets each node's
// compute function find its children's caches filled: the computation of a
// graph of any depth never recurses more than one level.
template <class Needs, class Fill>
void fillBelow(const VqNode* root, Needs&& needs, Fill&& fill) {
    std::unordered_set<const VqNode*> seen{root};
    // A node and the index of its next child to look at.
    std::vector<std::pair<const VqNode*, unsigned int>> stack{{root, 0u}};
    while (!stack.empty()) {
        auto& [n, next] = stack.back();
        VqNode* const* list = nullptr;
        unsigned int count = 0;
        n->children(list, count, false);
        if (next >= count) {
            const VqNode* done = n;
            stack.pop_back();
            if (done != root) fill(done);
            continue;
        }
        const VqNode* c = list[next++];
        if (c && needs(c) && seen.insert(c).second) stack.emplace_back(c, 0u);
    }
}

// One cached count pair (field(n)) of root, filled with compute after those
// of every node below it that is not yet counted.
template <class Field, class Compute>
void fillCounts(const VqNode* root, Field&& field, Compute&& compute) {
    if (countsComputed(field(root))) return;
    fillBelow(
        root, [&](const VqNode* n) { return !countsComputed(field(n)); },
        [&](const VqNode* n) { field(n) = compute(n); });
    field(root) = compute(root);
}

// Counts of shared subgraphs add up once per path, which a small file can
// make exceed any integer: they stop at the largest one.
int saturatingAdd(int a, int b) {
    const long long s = static_cast<long long>(a) + b;
    return s > INT_MAX ? INT_MAX : s < INT_MIN ? INT_MIN : static_cast<int>(s);
}
} // namespace

VqFixedVec<int, 2> VqNode::s_addCounts(const VqFixedVec<int, 2>& a, const VqFixedVec<int, 2>& b) {
    return VqFixedVec<int, 2>(saturatingAdd(a[0], b[0]), saturatingAdd(a[1], b[1]));
}

bool VqNode::init() {
    if (!s_pInstDataMutex) s_pInstDataMutex = new VqMutex();
    return true;
}

void VqNode::fini() {
    delete s_pInstDataMutex;
    s_pInstDataMutex = nullptr;
}

VqString VqNode::name() const {
    try {
        // A key made per call: a key kept from init would stay in the
        // string table for the library's life.
        Vq::SharedPtr<VqStringPropAtom> key = new VqStringPropAtom("name");
        Vq::SharedPtr<VqPropAtom> value = propValue(key.get());
        if (const auto* text = Vq::typeCast<VqStringPropAtom>(value.get()); text && text->hasValue())
            return text->value();
    } catch (...) {
        VqErrorState::recordCurrentException("VqNode", "name");
    }
    return VqString();
}

bool VqNode::setName(const VqString& name) {
    try {
        Vq::SharedPtr<VqStringPropAtom> key = new VqStringPropAtom("name");
        if (!key)
            VQ_FAIL("VqNode", "setName", "Allocation failed: new VqStringPropAtom(\"name\")", VQ_ERR_ALLOC);
        if (name.numChars() == 0) return removeProp(key.get());
        Vq::SharedPtr<VqStringPropAtom> value = new VqStringPropAtom(name);
        if (!value)
            VQ_FAIL("VqNode", "setName", "Allocation failed: new VqStringPropAtom(name)", VQ_ERR_ALLOC);
        return addProp(key.get(), value.get());
    } catch (...) {
        return VqErrorState::recordCurrentException("VqNode", "setName");
    }
}

void VqNode::setDefaultTravMasks(uint32_t lgMask, uint32_t instMask) {
    s_uDefLGTravMask = lgMask;
    s_uDefInstTravMask = instMask;
}

void VqNode::getDefaultTravMasks(uint32_t& lgMask, uint32_t& instMask) {
    lgMask = s_uDefLGTravMask;
    instMask = s_uDefInstTravMask;
}

VqNode::VqNode() : _uTravMask(s_uDefLGTravMask), _uDefInstTravMask(s_uDefInstTravMask) {}

VqNode::VqNode(const VqNode& o)
    : Record(o),
      _uFlags(
          (o._uFlags & ~static_cast<uint32_t>(VQ_NODE_IFLAG_NEEDSLOADFIXUP | VQ_NODE_IFLAG_MODELCONTEXT)) |
          VQ_NODE_IFLAG_MODIFIED | VQ_NODE_IFLAG_NOINSTDATA),
      _uTravMask(o._uTravMask), _uDefInstTravMask(o._uDefInstTravMask), _bBox(o._bBox), _fArea(o._fArea),
      _vNumVertices(o._vNumVertices), _vNumNodes(o._vNumNodes), _vNumPolygons(o._vNumPolygons),
      _pUserData(o._pUserData) {
    if (o._uSlotState != kSlotsCounted) return;
    // Qualified attributes stay behind: their paths end at the original.
    for (size_t i = 0; i < o._vAttrList.size(); ++i) {
        if (o._vAttrPathList[i]) continue;
        _vAttrList.push_back(o._vAttrList[i]);
        _vAttrList.back()->addNotification(this);
    }
    _vAttrPathList.resize(_vAttrList.size());
}

VqNode::~VqNode() {
    // Deleted during a release that still noted parents to remove from its list.
    if (_bStaleParents) t_pRelease->stale.erase(this);
    if (_nPathQualStarts) s_nPathQualStartsInAll.fetch_sub(static_cast<int>(_nPathQualStarts));
    if (_uSlotState != kSlotsCounted) {
        // The slots hold object IDs or uncounted addresses: nothing to release.
        for (auto& a : _vAttrList)
            a.release();
    } else {
        for (auto& a : _vAttrList)
            a->removeNotification(this);
        for (auto& q : _vAttrPathList)
            if (q) _releasePathHead(q.get(), this);
    }
    delete _pInstData;
}

void VqNode::_unref() const {
    if (_nPathQualStarts && refCount() == _nPathQualStarts + 1)
        const_cast<VqNode*>(this)->_dropPathQualsStartingHere();
}

bool VqNode::shrink() const {
    _vpParents.shrinkToFit();
    _vAttrList.shrink_to_fit();
    _vAttrPathList.shrink_to_fit();
    return true;
}

// ---- children of a plain node: none

bool VqNode::appendChild(VqNode*) {
    VQ_FAIL("VqNode", "appendChild", "Node cannot have children", VQ_ERR_ARGUMENT);
}
VqNode* VqNode::child(int, bool) const {
    return nullptr;
}
int VqNode::findChild(const VqNode*) const {
    return -1;
}
bool VqNode::insertChild(int, VqNode*) {
    VQ_FAIL("VqNode", "insertChild", "Node cannot have children", VQ_ERR_ARGUMENT);
}
unsigned int VqNode::numChildren(bool) const {
    return 0;
}
bool VqNode::replaceChild(int, VqNode*) {
    VQ_FAIL("VqNode", "replaceChild", "Unable to access child", VQ_ERR_UNREACHABLE);
}
bool VqNode::replaceChild(const VqNode*, VqNode*) {
    VQ_FAIL("VqNode", "replaceChild", "Unable to access child", VQ_ERR_UNREACHABLE);
}
bool VqNode::removeChild(const VqNode*) {
    VQ_FAIL("VqNode", "removeChild", "Unable to access child", VQ_ERR_UNREACHABLE);
}
bool VqNode::removeChild(int) {
    VQ_FAIL("VqNode", "removeChild", "Unable to access child", VQ_ERR_UNREACHABLE);
}
bool VqNode::removeAllChildren() {
    return true;
}
bool VqNode::children(VqNode* const*& list, unsigned int& count, bool) const {
    list = nullptr;
    count = 0;
    return true;
}

// ---- parents

bool VqNode::isAtOrAbove(const VqBase* node) const {
    return node == this || anyAbove([node](const VqNode* up) { return up == node; });
}

bool VqNode::anyAbove(const std::function<bool(const VqNode*)>& found) const {
    // A node may have several parents, so the walk keeps the nodes it met.
    std::unordered_set<const VqNode*> seen{this};
    std::vector<const VqNode*> todo{this};
    while (!todo.empty()) {
        const VqNode* n = todo.back();
        todo.pop_back();
        for (int i = 0; i < n->numParents(); ++i) {
            const VqNode* up = n->parent(i);
            if (!seen.insert(up).second) continue;
            if (found(up)) return true;
            todo.push_back(up);
        }
    }
    return false;
}

VqNode* VqNode::parent(int index) const {
    return index >= 0 && index < numParents() ? _vpParents[static_cast<size_t>(index)] : nullptr;
}

int VqNode::findParent(const VqNode* p) const {
    for (size_t i = 0; i < _vpParents.size(); ++i)
        if (_vpParents[i] == p) return static_cast<int>(i);
    return -1;
}

void VqNode::ParentList::_moveTo(uint32_t cap) {
    VqNode** to = cap > 1 ? new VqNode*[cap] : &_u.pOne;
    VqNode* const* from = begin();
    // Moving into the inline place reads the one link before overwriting it.
    VqNode* const first = _nSize ? from[0] : nullptr;
    if (cap > 1) std::copy(from, from + _nSize, to);
    if (_nCap > 1) delete[] _u.pHeap;
    if (cap > 1) {
        _u.pHeap = to;
    } else {
        _u.pOne = first;
    }
    _nCap = cap;
}

void VqNode::ParentList::_grow() {
    if (_nCap > UINT32_MAX / 2) throw std::length_error("VqNode: too many parent links");
    _moveTo(_nCap * 2);
}

void VqNode::ParentList::erase(size_t i) {
    std::copy(begin() + i + 1, end(), begin() + i);
    --_nSize;
}

size_t VqNode::ParentList::eraseAll(const VqNode* p) {
    VqNode** kept = std::remove(begin(), end(), p);
    const auto removed = static_cast<size_t>(end() - kept);
    _nSize -= static_cast<uint32_t>(removed);
    return removed;
}

void VqNode::ParentList::shrinkToFit() {
    if (_nCap > 1 && _nSize < _nCap) _moveTo(std::max<uint32_t>(_nSize, 1));
}

void VqNode::appendParent(VqNode* p) {
    _vpParents.push_back(p);
    ref();
}

void VqNode::removeParent(VqNode* p) {
    size_t before = _vpParents.size();
    size_t removed = _vpParents.eraseAll(p);
    // Instance keys of this subgraph encode the parent taken: they are stale.
    if (before >= 2 && removed) removeAllInstData(true);
    for (size_t i = 0; i < removed; ++i)
        unref();
}

void VqNode::_removeParentLink(VqNode* p) {
    // From the back: children mostly leave in the reverse order of their coming,
    // and a group holding this node many times drops its last link first.
    for (size_t i = _vpParents.size(); i-- > 0;)
        if (_vpParents[i] == p) {
            if (_vpParents.size() >= 2) removeAllInstData(true);
            _vpParents.erase(i);
            unref();
            return;
        }
}

void VqNode::_releaseChildLinks(VqNode* parent, VqNode* const* children, size_t count) {
    // Unlinks the children from parent. Within a release (bNested) the owed
    // counts wait their turn on the pending stack; the outermost call owes
    // its own children's directly, and so allocates nothing for a node
    // whose children outlive it.
    const auto unlink = [&](ReleaseWork& work, bool bNested) {
        for (size_t i = 0; i < count; ++i) {
            VqNode* c = children[i];
            if (!c) continue;
            if (!c->_vpParents.empty() && c->_vpParents.back() == parent) {
                if (c->_vpParents.size() >= 2) c->removeAllInstData(true);
                c->_vpParents.pop_back();
            } else {
                // Finding the link would cost a search through the list, once
                // per parent: with many parents leaving in an unlucky order,
                // quadratic.
                work.stale[c].push_back(parent);
                c->_bStaleParents = true;
            }
            if (bNested) work.pending.push_back(c);
        }
    };
    if (ReleaseWork* outer = t_pRelease) {
        unlink(*outer, true);
        return;
    }
    ReleaseWork work;
    unlink(work, false);
    struct Scope {
        explicit Scope(ReleaseWork* w) { t_pRelease = w; }
        ~Scope() { t_pRelease = nullptr; }
    } scope(&work);
    // Last child first, each one's release run to its end before the next:
    // the order the pending stack would give had they all been pushed.
    for (size_t i = count; i-- > 0;) {
        if (!children[i]) continue;
        children[i]->unref();
        while (!work.pending.empty()) {
            VqNode* c = work.pending.back();
            work.pending.pop_back();
            c->unref();
        }
    }
    // The nodes still noted outlived the release.
    for (auto& [c, gone] : work.stale)
        c->_purgeParents(gone);
}

void VqNode::_purgeParents(const std::vector<VqNode*>& gone) {
    _bStaleParents = false;
    // Instance keys of this subgraph encode the parent taken: they are stale.
    if (_vpParents.size() >= 2) removeAllInstData(true);
    std::unordered_map<const VqNode*, size_t> toRemove;
    for (VqNode* p : gone)
        ++toRemove[p];
    size_t w = 0;
    for (size_t r = 0; r < _vpParents.size(); ++r) {
        auto it = toRemove.find(_vpParents[r]);
        if (it != toRemove.end() && it->second > 0) {
            --it->second;
            continue;
        }
        _vpParents[w++] = _vpParents[r];
    }
    _vpParents.truncate(w);
}

bool VqNode::_wouldCloseCycle(const VqNode* child) const {
    if (child == this) return true;
    // Most edits build a graph from the top (the child has no children yet)
    // or from the bottom (this node has no parents yet).
    if (_vpParents.empty() || child->numChildren(false) == 0) return false;
    // Either walk settles the question: up from this node looking for the
    // child, or down from the child looking for this node. They advance in
    // step, so that an edit costs about the smaller of the two.
    std::vector<const VqNode*> up{this}, down{child};
    std::unordered_set<const VqNode*> seenUp{this}, seenDown{child};
    while (!up.empty() && !down.empty()) {
        const VqNode* u = up.back();
        up.pop_back();
        for (const VqNode* p : u->_vpParents) {
            if (p == child) return true;
            if (seenUp.insert(p).second) up.push_back(p);
        }
        const VqNode* d = down.back();
        down.pop_back();
        VqNode* const* list = nullptr;
        unsigned int count = 0;
        d->children(list, count, false);
        for (unsigned int i = 0; i < count; ++i) {
            if (list[i] == this) return true;
            if (list[i] && seenDown.insert(list[i]).second) down.push_back(list[i]);
        }
    }
    return false;
}

VqPartition* VqNode::partition() const {
    return Vq::typeCast<VqPartition>(_partitionRoot());
}

Vq::ModelContext* VqNode::modelContext() const {
    return Vq::ModelContext::findModelContext(this);
}

VqGroup* VqNode::_partitionRoot() const {
    std::unordered_set<const VqNode*> seen;
    std::vector<const VqNode*> todo{this};
    while (!todo.empty()) {
        const VqNode* n = todo.back();
        todo.pop_back();
        if (!seen.insert(n).second) continue;
        if (n->_isPartitionRoot()) return static_cast<VqGroup*>(const_cast<VqNode*>(n));
        for (VqNode* p : n->_vpParents)
            todo.push_back(p);
    }
    return nullptr;
}

// ---- child bookkeeping shared by the node classes with children

void VqNode::_childAdded(VqNode* child) {
    _notifyModelContext(child, VQ_CHANGE_CHILD_ADDED);
    child->removeAllInstData(true);
    invalidateState(VQ_INVAL_STRUCTURE, true);
    setModifiedFlag(true);
}

void VqNode::_childRemoving(VqNode* child) {
    _notifyModelContext(child, VQ_CHANGE_CHILD_REMOVED);
    child->removeAllInstData(true);
}

bool VqNode::_notANode(const char* method) {
    VqErrorState::throwStdError("VqNode", method, "Child object is not a node", VQ_ERR_CORRUPT);
    return false;
}

// ---- model context

bool VqNode::_notifyModelContext(const VqBase* who, Vq::BaseChange change) const {
    if (!internalFlag(VQ_NODE_IFLAG_MODELCONTEXT) || !s_pfNotifyMC) return true;
    return s_pfNotifyMC(this, who, change);
}

bool VqNode::_sendAttrNotificationToMC(VqAttribute* attr) {
    return _notifyModelContext(attr, Vq::BaseChangeAll);
}

// ---- flags

bool VqNode::setFlag(unsigned short flag, bool on) {
    uint32_t bits = static_cast<uint32_t>(flag) << 16;
    _uFlags = on ? (_uFlags | bits) : (_uFlags & ~bits);
    return true;
}

bool VqNode::setFlags(unsigned short flags) {
    _uFlags = (_uFlags & 0xFFFFu) | (static_cast<uint32_t>(flags) << 16);
    return true;
}

void VqNode::setInternalFlags(unsigned short flags) const {
    _uFlags = (_uFlags & 0xFFFF0000u) | flags;
}

bool VqNode::setIgnoreFlag(bool on) {
    if (isIgnored() == on) return true;
    setInternalFlag(VQ_NODE_IFLAG_IGNORE, on);
    return invalidateState(VQ_INVAL_IGNORE, true);
}

bool VqNode::setModifiedFlag(bool on) {
    if (!on) {
        setInternalFlag(VQ_NODE_IFLAG_MODIFIED, false);
        return true;
    }
    if (isModified()) return true;
    return invalidateState(VQ_INVAL_MODIFIED, true);
}

// ---- invalidation

bool VqNode::isBBoxIndeterminate() const {
    for (int i = 0; i < 3; ++i)
        if (_bBox.min[i] != FLT_MAX || _bBox.max[i] != -FLT_MAX) return false;
    return true;
}

bool VqNode::invalidateState(int mask, bool propagate) const {
    int up = 0, down = 0;
    _invalidateHere(mask, up, down);
    if (!propagate || (!up && !down)) return true;
    // A work list, not recursion: graphs may be of any depth. Bits going up
    // come from the caches of the nodes above, which pass none down, and the
    // bits going down pass none up, so each entry goes one way.
    struct Step {
        const VqNode* node;
        int mask;
    };
    std::vector<Step> todo;
    auto spread = [&](const VqNode* n, int toParents, int toChildren) {
        if (toParents)
            for (VqNode* p : n->_vpParents)
                todo.push_back({p, toParents});
        if (!toChildren) return true;
        VqNode* const* list = nullptr;
        unsigned int count = 0;
        VQ_PROPAGATE(n->children(list, count, true));
        for (unsigned int i = 0; i < count; ++i)
            todo.push_back({list[i], toChildren});
        return true;
    };
    VQ_PROPAGATE(spread(this, up, down));
    while (!todo.empty()) {
        const Step s = todo.back();
        todo.pop_back();
        s.node->_invalidateHere(s.mask, up, down);
        VQ_PROPAGATE(spread(s.node, up, down));
    }
    return true;
}

void VqNode::_invalidateHere(int mask, int& up, int& down) const {
    up = 0;
    down = 0;
    bool boxValid = !isBBoxIndeterminate() && !_bBox.isEmpty();
    if (mask & VQ_INVAL_BBOX) {
        if (!isBBoxIndeterminate()) {
            _bBox = s_indeterminateBox;
            up |= VQ_INVAL_BBOX;
        }
    }
    if (mask & VQ_INVAL_AREA) {
        if (_fArea != -1.0f) {
            _fArea = -1.0f;
            up |= VQ_INVAL_AREA;
        }
        // An area change alone still tells the parents their boxes may differ.
        if (mask == VQ_INVAL_AREA && boxValid) up |= VQ_INVAL_BBOX;
    }
    if ((mask & VQ_INVAL_VERTICES) && countsComputed(_vNumVertices)) {
        _vNumVertices = VqFixedVec<int, 2>(-1, -1);
        up |= VQ_INVAL_VERTICES;
    }
    if ((mask & VQ_INVAL_POLYGONS) && countsComputed(_vNumPolygons)) {
        _vNumPolygons = VqFixedVec<int, 2>(-1, -1);
        up |= VQ_INVAL_POLYGONS;
    }
    if ((mask & VQ_INVAL_NODES) && countsComputed(_vNumNodes)) {
        _vNumNodes = VqFixedVec<int, 2>(-1, -1);
        up |= VQ_INVAL_NODES;
    }
    if ((mask & VQ_INVAL_HOOK) && internalFlag(VQ_NODE_IFLAG_INVALHOOK)) _invalidateHook();
    if ((mask & VQ_INVAL_LODLOADED) && internalFlag(VQ_NODE_IFLAG_LODLOADEDVALID)) {
        setInternalFlag(VQ_NODE_IFLAG_LODLOADEDVALID, false);
        up |= VQ_INVAL_LODLOADED;
    }
    if ((mask & VQ_INVAL_MODIFIED) && !isModified()) {
        setInternalFlag(VQ_NODE_IFLAG_MODIFIED, true);
        up |= VQ_INVAL_MODIFIED;
    }

    if ((mask & VQ_INVAL_DOWN) && _pInstData) {
        // The states are released after the class mutex is dropped.
        std::vector<Vq::SharedPtr<VqCachedState>> dropped;
        {
            InstDataLock lock(s_pInstDataMutex);
            for (auto& [key, d] : *_pInstData) {
                if (!d._pState) continue;
                if (mask & VQ_INVAL_STATE) {
                    dropped.push_back(std::move(d._pState));
                    down |= VQ_INVAL_STATE;
                    continue;
                }
                for (int bit = 0x1000; bit <= 0x4000; bit <<= 1)
                    if ((mask & bit) && d._pState->dropCaches(bit)) down |= bit;
            }
        }
    }
}

// ---- instance data

int VqNode::s_cLog2(int n) {
    int b = 0;
    while (n > 1 && (1 << b) < n)
        ++b;
    return b;
}

bool VqNode::s_childKey(unsigned int& key, const VqNode* parent, int childIndex) {
    const VqNode* c = parent ? parent->child(childIndex, false) : nullptr;
    if (!c) return false;
    int b = s_cLog2(c->numParents());
    if (b == 0) return true;
    // The k-th time the parent holds this child is its k-th link in the child's parent list.
    int k = 0;
    for (int i = 0; i < childIndex; ++i)
        if (parent->child(i, false) == c) ++k;
    int idx = -1;
    for (int i = 0; i < c->numParents() && idx < 0; ++i)
        if (c->_vpParents[static_cast<size_t>(i)] == parent && k-- == 0) idx = i;
    if (idx < 0) return false;
    // The key holds a marker bit and at most 31 bits of choices.
    if ((key >> (32 - b)) != 0) return false;
    key = (key << b) | static_cast<unsigned int>(idx);
    return true;
}

bool VqNode::s_parentKey(unsigned int& key, const VqNode* node, VqNode*& parentOut) {
    parentOut = nullptr;
    int n = node->numParents();
    if (n == 0) return false;
    if (n == 1) {
        parentOut = node->_vpParents[0];
        return true;
    }
    if (key <= 1) return false;
    int b = s_cLog2(n);
    unsigned int idx = key & ((1u << b) - 1u);
    if (idx >= static_cast<unsigned int>(n)) return false;
    key >>= b;
    parentOut = node->_vpParents[idx];
    return true;
}

bool VqNode::s_isTermNodeAbove(const VqNode* node, unsigned int key) {
    if (s_nPathQualStartsInAll.load(std::memory_order_relaxed) == 0) return false;
    std::unordered_set<const VqNode*> seen;
    while (node && seen.insert(node).second) {
        if (node->_nPathQualStarts) return true;
        VqNode* p = nullptr;
        if (!s_parentKey(key, node, p)) break;
        node = p;
    }
    return false;
}

VqNode::VqInstData* VqNode::instData(unsigned int key, bool create) const {
    InstDataLock lock(s_pInstDataMutex);
    if (VqInstData* d = _findInstData(key)) return d;
    if (!create) return nullptr;
    // The records of the nodes above on the path come first, made from the
    // top down; they are gathered without recursion, as paths may be long.
    std::vector<std::pair<const VqNode*, unsigned int>> above;
    const VqNode* n = this;
    unsigned int k = key;
    for (;;) {
        VqNode* p = nullptr;
        if (!s_parentKey(k, n, p) || !p || p->_findInstData(k)) break;
        above.emplace_back(p, k);
        n = p;
    }
    for (auto it = above.rbegin(); it != above.rend(); ++it)
        it->first->_makeInstData(it->second);
    return _makeInstData(key);
}

VqNode::VqInstData* VqNode::_findInstData(unsigned int key) const {
    if (_pCachedInstData && _uCachedKey == key) return _pCachedInstData;
    if (!_pInstData) return nullptr;
    auto it = _pInstData->find(key);
    if (it == _pInstData->end()) return nullptr;
    _uCachedKey = key;
    _pCachedInstData = &it->second;
    return _pCachedInstData;
}

VqNode::VqInstData* VqNode::_makeInstData(unsigned int key) const {
    if (!_pInstData) _pInstData = new InstDataMap();
    VqInstData& d = (*_pInstData)[key];
    d._uTravMask = _uDefInstTravMask;
    setInternalFlag(VQ_NODE_IFLAG_NOINSTDATA, false);
    _uCachedKey = key;
    _pCachedInstData = &d;
    return &d;
}

bool VqNode::haveInstData(bool subgraph) const {
    auto has = [](const VqNode* n) {
        InstDataLock lock(s_pInstDataMutex);
        return n->_pInstData && !n->_pInstData->empty();
    };
    if (!subgraph) return has(this);
    return !walkOnce(this, [&](const VqNode* n) { return has(n) ? Walk::Stop : Walk::Descend; });
}

bool VqNode::_dropInstData() const {
    InstDataMap* old = nullptr;
    {
        InstDataLock lock(s_pInstDataMutex);
        old = _pInstData;
        _pInstData = nullptr;
        _pCachedInstData = nullptr;
        setInternalFlag(VQ_NODE_IFLAG_NOINSTDATA, true);
    }
    const bool hadAny = old && !old->empty();
    delete old;
    return hadAny;
}

bool VqNode::removeAllInstData(bool recursive) const {
    // A record below is always made with those of the nodes above it on its
    // path: without records at a node, none below was reached through it.
    if (!_dropInstData() || !recursive) return true;
    std::vector<const VqNode*> todo{this};
    while (!todo.empty()) {
        const VqNode* n = todo.back();
        todo.pop_back();
        VqNode* const* list = nullptr;
        unsigned int count = 0;
        VQ_PROPAGATE(n->children(list, count, false));
        for (unsigned int i = 0; i < count; ++i)
            if (list[i] && list[i]->_dropInstData()) todo.push_back(list[i]);
    }
    return true;
}

uint32_t VqNode::travMask(unsigned int key) const {
    const VqInstData* d = instData(key, false);
    return d ? d->_uTravMask : _uDefInstTravMask;
}

bool VqNode::setTravMask(unsigned int key, uint32_t mask) {
    VqInstData* d = instData(key, true);
    if (!d) VQ_FAIL("VqNode", "setTravMask", "pInstData", VQ_ERR_INTERNAL);
    d->_uTravMask = mask;
    return true;
}

VqUserData* VqNode::userData(unsigned int key) const {
    const VqInstData* d = instData(key, false);
    return d ? d->_pUserData.get() : nullptr;
}

bool VqNode::setUserData(unsigned int key, VqUserData* data) {
    VqInstData* d = instData(key, true);
    if (!d) VQ_FAIL("VqNode", "setUserData", "pInstData", VQ_ERR_INTERNAL);
    d->_pUserData = data;
    return true;
}

// ---- extents and counts

VqBox3<float> VqNode::bBoxRaw(unsigned int key) const {
    VqAutoLock fill(s_cacheFillMutex);
    // A node without children has one box for every instance: nothing
    // above it enters its own coordinates.
    const bool shared = key == 1 || numChildren(false) == 0 || !s_isTermNodeAbove(this, key);
    if (shared && !isBBoxIndeterminate()) return _bBox;
    // The shared boxes below first, so that computing this one finds them.
    if (shared)
        fillBelow(
            this, [](const VqNode* n) { return n->isBBoxIndeterminate(); },
            [](const VqNode* n) {
                VqBox3<float> b;
                n->computeBBox(b, 1, true);
                n->_bBox = b;
            });
    VqBox3<float> box;
    computeBBox(box, key, true);
    // Only the box that every instance shares is kept: one computed for an
    // instance below the start of a path qualifier holds for that instance.
    if (shared) _bBox = box;
    return box;
}

VqBox3<float> VqNode::bBox(unsigned int key) const {
    VqPath path;
    VqAttribute::Placement above;
    const bool known = path._decode(this, key);
    if (known) _pathPlacement(path, path.length() - 1, above);
    return _boxIn(key, above, known ? &path : nullptr);
}

bool VqNode::computeBBox(VqBox3<float>& box, unsigned int key, bool) const {
    box = s_emptyBox;
    VqNode* const* list = nullptr;
    unsigned int n = 0;
    VQ_PROPAGATE(children(list, n, false));
    const VqAttribute::Placement own = _ownPlacement(key, VqAttribute::Placement());
    // Without path qualifiers every instance's box is the shared one: the
    // children's keys, which cost a search through the child's parents (and
    // through this node's children for a child held many times), are needed
    // only with them.
    const bool keyed = s_nPathQualStartsInAll.load(std::memory_order_relaxed) != 0;
    for (unsigned int i = 0; i < n; ++i) {
        // A key that has no room for the step names no instance: the child's
        // shared box stands for it.
        unsigned int childKey = key;
        if (!keyed || !s_childKey(childKey, this, static_cast<int>(i))) childKey = 1;
        box.extendBy(list[i]->_boxIn(childKey, own.below(), nullptr));
    }
    return true;
}

// ---- placements

bool VqNode::_invalidatePlacedBoxes() const {
    if (numChildren(false) > 0) return invalidateState(VQ_INVAL_BBOX, true);
    // Parents may be removed while they are told: walk a copy.
    const std::vector<VqNode*> parents = _vpParents.copy();
    for (const VqNode* p : parents)
        VQ_PROPAGATE(p->invalidateState(VQ_INVAL_BBOX, true));
    return true;
}

bool VqNode::_hasPathQuals() const {
    for (const auto& q : _vAttrPathList)
        if (q) return true;
    return false;
}

VqAttribute::Placement VqNode::_ownPlacement(unsigned int key, const VqAttribute::Placement& above,
                                             const VqPath* path) const {
    VqAttribute::Placement p = above.below();
    // The path is needed only to tell where qualified attributes apply.
    VqPath decoded;
    if (!path && _hasPathQuals() && decoded._decode(this, key)) path = &decoded;
    for (size_t i = 0; i < _vAttrList.size(); ++i) {
        const VqPathQual* q = _vAttrPathList[i].get();
        if (!q || (path && q->isValid(path))) p.offer(*_vAttrList[i]);
    }
    return p;
}

void VqNode::_pathPlacement(const VqPath& path, int end, VqAttribute::Placement& p) {
    for (int i = 0; i < end; ++i) {
        VqAttribute* const* list = nullptr;
        VqPathQual* const* quals = nullptr;
        int count = 0;
        path[i]->attributes(list, quals, count);
        for (int a = 0; a < count; ++a)
            if (!quals[a] || quals[a]->isValid(path, i)) p.offer(*list[a]);
    }
}

VqBox3<float> VqNode::_boxIn(unsigned int key, const VqAttribute::Placement& above,
                             const VqPath* path) const {
    const VqAttribute::Placement own = _ownPlacement(key, above, path);
    const VqBox3<float> raw = _rawBoxUnder(key, above, own);
    return own.matrix.isIdentity() ? raw : vqTransformBox(VqSquareMatrix<float, 4>(own.matrix), raw);
}

VqBox3<float> VqNode::_rawBoxUnder(unsigned int key, const VqAttribute::Placement& above,
                                   const VqAttribute::Placement& own) const {
    return above.bFinal && numChildren(false) > 0 ? _rawBoxWithin(key, own) : bBoxRaw(key);
}

// Depth first with a work list, as graphs may be deep; a subgraph reached
// again on the same instance key and in the same state is boxed once.
VqBox3<float> VqNode::_rawBoxWithin(unsigned int key, const VqAttribute::Placement& own) const {
    struct Frame {
        const VqNode* node;
        unsigned int key;
        VqAttribute::Placement own; // after the node's own attributes; its matrix places the node
        unsigned int next;
        VqBox3<float> box;
    };
    typedef std::tuple<const VqNode*, unsigned int, bool> MemoKey;
    struct MemoHash {
        size_t operator()(const MemoKey& k) const {
            return std::hash<const void*>()(std::get<0>(k)) ^ (size_t(std::get<1>(k)) << 1) ^
                   size_t(std::get<2>(k));
        }
    };
    std::unordered_map<MemoKey, VqBox3<float>, MemoHash> memo;
    auto placed = [](const VqAttribute::Placement& p, const VqBox3<float>& raw) {
        return p.matrix.isIdentity() ? raw : vqTransformBox(VqSquareMatrix<float, 4>(p.matrix), raw);
    };
    std::vector<Frame> stack{{this, key, own, 0u, s_emptyBox}};
    for (;;) {
        Frame& f = stack.back();
        VqNode* const* list = nullptr;
        unsigned int count = 0;
        f.node->children(list, count, false);
        if (f.next >= count) {
            const Frame done = f;
            stack.pop_back();
            memo[MemoKey(done.node, done.key, done.own.bSkipDynamic)] = done.box;
            if (stack.empty()) return done.box;
            stack.back().box.extendBy(placed(done.own, done.box));
            continue;
        }
        const unsigned int i = f.next++;
        const VqNode* c = list[i];
        if (!c) continue;
        unsigned int childKey = f.key;
        if (!s_childKey(childKey, f.node, static_cast<int>(i))) childKey = 1;
        const VqAttribute::Placement cOwn = c->_ownPlacement(childKey, f.own);
        if (c->numChildren(false) == 0) {
            // A leaf's box does not depend on what lies above it.
            f.box.extendBy(placed(cOwn, c->bBoxRaw(childKey)));
            continue;
        }
        auto hit = memo.find(MemoKey(c, childKey, cOwn.bSkipDynamic));
        if (hit != memo.end()) {
            f.box.extendBy(placed(cOwn, hit->second));
            continue;
        }
        stack.push_back({c, childKey, cOwn, 0u, s_emptyBox});
    }
}

bool VqNode::computeBBoxAreaWC(unsigned int key, VqBox3<float>* box, float* area) const {
    if (box) *box = s_emptyBox;
    if (area) *area = -1.0f;
    VqPath path;
    VQ_PROPAGATE(path.setPath(this, key));
    VqAttribute::Placement above;
    _pathPlacement(path, path.length() - 1, above);
    const VqAttribute::Placement own = _ownPlacement(key, above, &path);
    const VqSquareMatrix<double, 4> world = own.matrix * above.matrix;
    if (box) {
        const VqBox3<float> raw = _rawBoxUnder(key, above, own);
        *box = vqTransformBox(VqSquareMatrix<float, 4>(world), raw);
    }
    if (area) {
        const double(*a)[4] = world.m;
        const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                           a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                           a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
        *area = static_cast<float>(this->area() * std::pow(std::fabs(det), 2.0 / 3.0));
    }
    return true;
}

VqBox3<float> VqNode::bBoxWC(unsigned int key) const {
    VqBox3<float> box = s_emptyBox;
    getBBoxWC(key, box);
    return box;
}

bool VqNode::getBBoxWC(unsigned int key, VqBox3<float>& box) const {
    return computeBBoxAreaWC(key, &box, nullptr);
}

float VqNode::areaWC(unsigned int key) const {
    float a = -1.0f;
    computeBBoxAreaWC(key, nullptr, &a);
    return a;
}

void VqNode::setBBox(const VqBox3<float>& box) {
    VqAutoLock fill(s_cacheFillMutex);
    if (box == _bBox) return;
    _bBox = box;
    // The parents' boxes hold this one.
    std::vector<VqNode*> parents = _vpParents.copy();
    for (VqNode* p : parents)
        p->invalidateState(VQ_INVAL_BBOX, true);
}

void VqNode::setBBox(const VqFixedVec<float, 3>& mn, const VqFixedVec<float, 3>& mx) {
    setBBox(VqBox3<float>(mn, mx));
}

float VqNode::area() const {
    VqAutoLock fill(s_cacheFillMutex);
    if (_fArea != -1.0f) return _fArea;
    fillBelow(
        this, [](const VqNode* n) { return n->_fArea == -1.0f; },
        [](const VqNode* n) { n->_fArea = n->computeArea(); });
    _fArea = computeArea();
    return _fArea;
}

void VqNode::setArea(float a) {
    VqAutoLock fill(s_cacheFillMutex);
    if (a == _fArea) return;
    _fArea = a;
    std::vector<VqNode*> parents = _vpParents.copy();
    for (VqNode* p : parents)
        p->invalidateState(VQ_INVAL_AREA, true);
}

float VqNode::computeArea() const {
    return _computeAreaRaw();
}
float VqNode::_computeAreaRaw() const {
    return 0.0f;
}
VqFixedVec<int, 2> VqNode::computeNumPolygons() const {
    return VqFixedVec<int, 2>(0, 0);
}
VqFixedVec<int, 2> VqNode::computeNumVertices() const {
    return VqFixedVec<int, 2>(0, 0);
}
VqFixedVec<int, 2> VqNode::computeNumNodes() const {
    return VqFixedVec<int, 2>(1, 1);
}

bool VqNode::numVertices(VqFixedVec<int, 2>& out) const {
    VqAutoLock fill(s_cacheFillMutex);
    fillCounts(
        this, [](const VqNode* n) -> VqFixedVec<int, 2>& { return n->_vNumVertices; },
        [](const VqNode* n) { return n->computeNumVertices(); });
    out = _vNumVertices;
    return true;
}

bool VqNode::numNodes(VqFixedVec<int, 2>& out) const {
    VqAutoLock fill(s_cacheFillMutex);
    fillCounts(
        this, [](const VqNode* n) -> VqFixedVec<int, 2>& { return n->_vNumNodes; },
        [](const VqNode* n) { return n->computeNumNodes(); });
    out = _vNumNodes;
    return true;
}

bool VqNode::numPolygons(VqFixedVec<int, 2>& out) const {
    VqAutoLock fill(s_cacheFillMutex);
    fillCounts(
        this, [](const VqNode* n) -> VqFixedVec<int, 2>& { return n->_vNumPolygons; },
        [](const VqNode* n) { return n->computeNumPolygons(); });
    out = _vNumPolygons;
    return true;
}

// ---- attributes

bool VqNode::_attachAttribute(VqAttribute* attr) {
    VQ_PROPAGATE(attr->addNotification(this));
    VQ_PROPAGATE(attr->_invalidateNodeData(this));
    if (attr->isDynamic()) VQ_PROPAGATE(invalidateState(VQ_INVAL_DYNAMIC, true));
    if (attr->isPersistable()) VQ_PROPAGATE(setModifiedFlag(true));
    return _sendAttrNotificationToMC(attr);
}

void VqNode::_detachAttribute(VqAttribute* attr) {
    attr->removeNotification(this);
    attr->_invalidateNodeData(this);
    if (attr->isPersistable()) setModifiedFlag(true);
    _sendAttrNotificationToMC(attr);
}

void VqNode::_holdPathHead(const VqPathQual* q) {
    const VqNode* head = q->path().first();
    ++head->_nPathQualStarts;
    s_nPathQualStartsInAll.fetch_add(1, std::memory_order_relaxed);
    head->ref();
}

void VqNode::_releasePathHead(const VqPathQual* q, const VqNode* dying) {
    const VqNode* head = q->path().first();
    // A node going away holds no reference of its own any more.
    if (head == dying) return;
    // The start goes first: the release must not find it still counted.
    --head->_nPathQualStarts;
    s_nPathQualStartsInAll.fetch_sub(1, std::memory_order_relaxed);
    head->unref();
}

bool VqNode::appendAttribute(VqAttribute* attr, VqPathQual* pPath) {
    if (!attr) VQ_FAIL("VqNode", "appendAttribute", "pAttr != __null", VQ_ERR_ARGUMENT);
    if (pPath) {
        if (!pPath->path().isValidTailNode(this))
            VQ_FAIL("VqNode", "appendAttribute", "pPath->path().isValidTailNode(this)", VQ_ERR_ARGUMENT);
        for (const auto& q : _vAttrPathList)
            if (!(q.get() != pPath))
                VQ_FAIL("VqNode", "appendAttribute", "_vAttrPathList[j] != pPath", VQ_ERR_ARGUMENT);
    }
    VQ_PROPAGATE(insertAttribute(numAttributes(), attr));
    if (!pPath) return true;
    _vAttrPathList.back() = pPath;
    _holdPathHead(pPath);
    // Attached above for every path: what it places, for its own paths only.
    return attr->_invalidateNodeData(this);
}

bool VqNode::insertAttribute(int index, VqAttribute* attr) {
    if (!attr) VQ_FAIL("VqNode", "insertAttribute", "pAttr != __null", VQ_ERR_ARGUMENT);
    if (!(index >= 0 && index <= numAttributes()))
        VQ_FAIL("VqNode", "insertAttribute", "iIndex >= 0 && iIndex <= _vAttrList.length()", VQ_ERR_ARGUMENT);
    if (numAttributes() >= 0xFFFF)
        VQ_FAIL("VqNode", "insertAttribute", "_vAttrList.length() < 65535", VQ_ERR_ARGUMENT);
    _vAttrList.insert(_vAttrList.begin() + index, Vq::SharedPtr<VqAttribute>(attr));
    _vAttrPathList.insert(_vAttrPathList.begin() + index, nullptr);
    return _attachAttribute(attr);
}

bool VqNode::removeAttribute(int index) {
    if (!(index >= 0 && index < numAttributes()))
        VQ_FAIL("VqNode", "removeAttribute", "iIndex >= 0 && iIndex < _vAttrList.length()", VQ_ERR_ARGUMENT);
    Vq::SharedPtr<VqAttribute> hold = _vAttrList[static_cast<size_t>(index)];
    Vq::SharedPtr<VqPathQual> qual = _vAttrPathList[static_cast<size_t>(index)];
    _vAttrList.erase(_vAttrList.begin() + index);
    _vAttrPathList.erase(_vAttrPathList.begin() + index);
    _detachAttribute(hold.get());
    if (qual) _releasePathHead(qual.get(), nullptr);
    return true;
}

bool VqNode::replaceAttribute(int index, VqAttribute* attr) {
    if (!attr) VQ_FAIL("VqNode", "replaceAttribute", "pAttr != __null", VQ_ERR_ARGUMENT);
    if (!(index >= 0 && index < numAttributes()))
        VQ_FAIL("VqNode", "replaceAttribute", "iIndex >= 0 && iIndex < _vAttrList.length()", VQ_ERR_ARGUMENT);
    Vq::SharedPtr<VqAttribute> old = _vAttrList[static_cast<size_t>(index)];
    if (old.get() == attr) return true;
    _vAttrList[static_cast<size_t>(index)] = attr;
    _detachAttribute(old.get());
    return _attachAttribute(attr);
}

bool VqNode::replaceAttribute(const VqAttribute* oldAttr, VqAttribute* newAttr) {
    int i = findAttribute(oldAttr, 0);
    if (i < 0) VQ_FAIL("VqNode", "replaceAttribute", "iIndex >= 0", VQ_ERR_ARGUMENT);
    return replaceAttribute(i, newAttr);
}

bool VqNode::replaceAttribute(const VqType& t, VqAttribute* attr) {
    int i = findAttribute(t, 0);
    if (i < 0) VQ_FAIL("VqNode", "replaceAttribute", "iIndex >= 0", VQ_ERR_ARGUMENT);
    return replaceAttribute(i, attr);
}

bool VqNode::removeAttribute(const VqAttribute* attr) {
    int i = findAttribute(attr, 0);
    if (i < 0) VQ_FAIL("VqNode", "removeAttribute", "iIndex >= 0", VQ_ERR_ARGUMENT);
    return removeAttribute(i);
}

bool VqNode::removeAttribute(const VqType& t) {
    int i = findAttribute(t, 0);
    if (i < 0) VQ_FAIL("VqNode", "removeAttribute", "iIndex >= 0", VQ_ERR_ARGUMENT);
    return removeAttribute(i);
}

bool VqNode::removeAllAttributes() {
    while (!_vAttrList.empty())
        VQ_PROPAGATE(removeAttribute(numAttributes() - 1));
    return true;
}

bool VqNode::getAttribute(int iIndex, VqAttribute*& attr) const {
    VqPathQual* qual = nullptr;
    return getAttribute(iIndex, attr, qual);
}

bool VqNode::getAttribute(int iIndex, VqAttribute*& attr, VqPathQual*& pPath) const {
    attr = nullptr;
    pPath = nullptr;
    if (!(iIndex >= 0 && iIndex < numAttributes()))
        VQ_FAIL("VqNode", "getAttribute", "iIndex >= 0 && iIndex < _vAttrList.length()", VQ_ERR_ARGUMENT);
    attr = _vAttrList[static_cast<size_t>(iIndex)].get();
    pPath = _vAttrPathList[static_cast<size_t>(iIndex)].get();
    return true;
}

namespace {
// The lists are handed out as arrays of plain pointers: a shared pointer must
// be nothing but its pointer.
template <class T>
T* const* asPointers(const std::vector<Vq::SharedPtr<T>>& v) {
    static_assert(sizeof(Vq::SharedPtr<T>) == sizeof(T*) && std::is_standard_layout_v<Vq::SharedPtr<T>>,
                  "a shared pointer is one pointer");
    return reinterpret_cast<T* const*>(v.data());
}
} // namespace

void VqNode::attributes(VqAttribute* const*& list, int& count) const {
    list = asPointers(_vAttrList);
    count = numAttributes();
}

void VqNode::attributes(VqAttribute* const*& list, VqPathQual* const*& quals, int& count) const {
    list = asPointers(_vAttrList);
    quals = asPointers(_vAttrPathList);
    count = numAttributes();
}

VqAttribute* VqNode::attribute(int index, const VqPath* path) const {
    if (!(index >= 0 && index < numAttributes())) {
        VqErrorState::throwStdError("VqNode", "attribute", "iIndex >= 0 && iIndex < _vAttrList.length()",
                                    VQ_ERR_ARGUMENT);
        return nullptr;
    }
    const VqPathQual* q = _vAttrPathList[static_cast<size_t>(index)].get();
    return !q || q->isValid(path) ? _vAttrList[static_cast<size_t>(index)].get() : nullptr;
}

void VqNode::_dropPathQualsStartingHere() {
    // Held while the qualifiers let go of this node.
    Vq::SharedPtr<VqNode> self(this);
    std::vector<VqNode*> holders;
    walkOnce(this, [&](VqNode* n) {
        for (const auto& q : n->_vAttrPathList)
            if (q && q->path().first() == this) {
                holders.push_back(n);
                break;
            }
        return Walk::Descend;
    });
    for (VqNode* n : holders)
        for (int i = n->numAttributes(); i-- > 0;) {
            const VqPathQual* q = n->_vAttrPathList[static_cast<size_t>(i)].get();
            if (q && q->path().first() == this) n->_dropQualifiedQuietly(static_cast<size_t>(i));
        }
}

// The head of the attribute's paths is going: no instance that the attribute
// applies to stays, so nothing cached needs dropping, and nothing is told.
// Telling would walk up through parent lists that a release in progress may
// not have cleaned yet.
void VqNode::_dropQualifiedQuietly(size_t index) {
    Vq::SharedPtr<VqAttribute> attr = _vAttrList[index];
    Vq::SharedPtr<VqPathQual> qual = _vAttrPathList[index];
    _vAttrList.erase(_vAttrList.begin() + static_cast<std::ptrdiff_t>(index));
    _vAttrPathList.erase(_vAttrPathList.begin() + static_cast<std::ptrdiff_t>(index));
    attr->removeNotification(this);
    _releasePathHead(qual.get(), nullptr);
}

int VqNode::findAttribute(const VqAttribute* attr, int start) const {
    for (int i = start < 0 ? 0 : start; i < numAttributes(); ++i)
        if (_vAttrList[static_cast<size_t>(i)].get() == attr) return i;
    return -1;
}

int VqNode::findAttribute(const VqType& t, int start) const {
    for (int i = start < 0 ? 0 : start; i < numAttributes(); ++i)
        if (_vAttrList[static_cast<size_t>(i)]->isOfType(t)) return i;
    return -1;
}

namespace {
// The attribute kinds whose changes concern the model as a whole: lights
// and shadows, placement, and the styles that decide what is drawn.
bool concernsModel(const VqAttribute* attr) {
    return Vq::typeCast<VqLightSet>(attr) || Vq::typeCast<VqXform>(attr) || Vq::typeCast<VqDrawStyle>(attr) ||
           Vq::typeCast<VqLineStyle>(attr) || Vq::typeCast<VqPointStyle>(attr);
}
} // namespace

bool VqNode::sendNotification(const VqBase* who, Vq::BaseChange change) const {
    VQ_PROPAGATE(VqPropBase::sendNotification(who, change));
    // Of the properties, only the one that makes a mirror plane concerns the model.
    if (!internalFlag(VQ_NODE_IFLAG_MODELCONTEXT)) return true;
    const auto* key = Vq::typeCast<VqStringPropAtom>(who);
    if (key && key->value() == VqString(vqPropMirrorPlane)) VQ_PROPAGATE(_notifyModelContext(who, change));
    return true;
}

bool VqNode::receiveNotification(const VqBase* who, Vq::BaseChange change) const {
    auto* self = const_cast<VqNode*>(this);
    auto* attr = Vq::typeCast<VqAttribute>(who);
    if (attr && findAttribute(attr, 0) >= 0) {
        VQ_PROPAGATE(attr->_invalidateNodeData(self));
        if (attr->isPersistable()) VQ_PROPAGATE(self->setModifiedFlag(true));
        if (concernsModel(attr))
            VQ_PROPAGATE(self->_sendAttrNotificationToMC(const_cast<VqAttribute*>(attr)));
    } else if (Vq::typeCast<VqLight>(who)) {
        VQ_PROPAGATE(_notifyModelContext(who, change));
    }
    return VqPropBase::receiveNotification(who, change);
}

void VqNode::_propAdded(const VqPropAtom* value) {
    if (value && value->isPersistable()) setModifiedFlag(true);
}

void VqNode::_propRemoved(const VqPropAtom* value) {
    if (value && value->isPersistable()) setModifiedFlag(true);
}

// ---- versions

void VqNode::_getMinimumVQVersion(int& major, int& minor) const {
    VqPropBase::_getMinimumVQVersion(major, minor);
    _forPersistableAttributes([&](const VqAttribute* a) { a->_getMinimumVQVersion(major, minor); });
}

bool VqNode::getMinimumVQVersion(int& major, int& minor) const {
    major = 7;
    minor = 0;
    walkOnce(this, [&](const VqNode* n) {
        n->_getMinimumVQVersion(major, minor);
        return Walk::Descend;
    });
    return true;
}

// ---- cloning

bool VqNode::clone(VqNode*& out, bool deep) const {
    out = nullptr;
    CloneMap map;
    return _cloneChild(this, deep, map, out);
}

bool VqNode::_cloneChild(const VqNode* node, bool deep, CloneMap& map, VqNode*& out) const {
    out = nullptr;
    bool shared = node->numParents() > 1;
    if (shared) {
        auto it = map.find(node);
        if (it != map.end()) {
            out = it->second;
            return true;
        }
    }
    VqBase* b = nullptr;
    VQ_PROPAGATE(node->_clone(b));
    if (!b) VQ_FAIL("VqNode", "clone", "Allocation failed: pCopy = _clone()", VQ_ERR_ALLOC);
    VqNode* copy = static_cast<VqNode*>(b);
    if (shared) map[node] = copy;
    if (!node->_cloneInto(copy, deep, map)) {
        Vq::SharedPtr<VqNode> discard(copy);
        VqErrorState::rethrowError();
        return false;
    }
    out = copy;
    return true;
}

bool VqNode::_cloneInto(VqNode*, bool, CloneMap&) const {
    return true;
}

// ---- reading and writing

bool VqNode::prepareForSerialize() const {
    VqPartition* p = partition();
    return p ? prepareForSerialize(*p) : true;
}

bool VqNode::prepareForSerialize(VqPartition& within) const {
    return ensureLLData(within);
}

bool VqNode::writeData(VqObjectStream&) const {
    return true;
}

bool VqNode::_writeId(VqObjectStream& os, const VqBase* obj) {
    int id = -1;
    VQ_PROPAGATE(os.ptr2num(obj, &id));
    return os.write(id);
}

bool VqNode::_readIds(VqObjectStream& os, int count, void** slots, size_t stride) {
    for (int i = 0; i < count; ++i) {
        int id = -1;
        VQ_PROPAGATE(os.read(&id));
        *reinterpret_cast<void**>(reinterpret_cast<char*>(slots) + static_cast<size_t>(i) * stride) =
            _idToSlot(id);
    }
    return true;
}

bool VqNode::_writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
    if (fmt.generation() == 0) VQ_PROPAGATE(_writeOwnId(os));
    VQ_PROPAGATE(os.write(static_cast<unsigned int>(_uFlags & VQ_NODE_IFLAG_IGNORE)));
    // A qualified attribute is never written: its path belongs to this session's graph.
    int count = 0;
    _forPersistableAttributes([&](const VqAttribute*) { ++count; });
    VQ_PROPAGATE(os.write(count));
    bool ok = true;
    _forPersistableAttributes([&](const VqAttribute* a) { ok = ok && _writeId(os, a); });
    VQ_PROPAGATE(ok);
    setInternalFlag(VQ_NODE_IFLAG_MODIFIED, false);
    return true;
}

bool VqNode::_readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int) {
    if (fmt.generation() == 0) VQ_PROPAGATE(_readOwnId(os));
    unsigned int flags = 0;
    VQ_PROPAGATE(os.read(&flags));
    _uFlags = (_uFlags & ~static_cast<uint32_t>(VQ_NODE_IFLAG_IGNORE)) | flags;
    int count = 0;
    VQ_PROPAGATE(os.readLength(count, sizeof(int)));
    if (count > 0xFFFF) VQ_FAIL("VqNode", "deserialize", "nAttrs <= 65535", VQ_ERR_CORRUPT);
    if (_uSlotState != kSlotsCounted || !_vAttrList.empty())
        VQ_FAIL("VqNode", "deserialize", "_vAttrList.length() == 0", VQ_ERR_INTERNAL);
    // Most nodes have no attribute of their own; both lists are empty then.
    if (count > 0) {
        _vAttrList.resize(static_cast<size_t>(count));
        _vAttrPathList.assign(static_cast<size_t>(count), nullptr);
    }
    _uSlotState = kSlotsPendingIds;
    VQ_PROPAGATE(_readIds(os, count, reinterpret_cast<void**>(_vAttrList.data()), sizeof(_vAttrList[0])));
    setInternalFlag(VQ_NODE_IFLAG_NEEDSLOADFIXUP, true);
    _bBox = s_indeterminateBox;
    return true;
}

bool VqNode::deserialize(VqObjectStream& os) {
    if (!VqPropBase::deserialize(os)) {
        _dropReadSlots();
        return false;
    }
    if (_uSlotState != kSlotsPendingIds) return true;
    _uSlotState = kSlotsRaw;
    return _linkReadSlots(os);
}

bool VqNode::_linkReadSlots(VqObjectStream& os) {
    for (auto& a : _vAttrList) {
        const void** slot = reinterpret_cast<const void**>(static_cast<void*>(a.slot()));
        os.ptrFromNum(_slotToId(*slot), slot);
    }
    return true;
}

void VqNode::_dropReadSlots() {
    if (_uSlotState != kSlotsPendingIds) return;
    for (auto& a : _vAttrList)
        a.release();
    _vAttrList.clear();
    _vAttrPathList.clear();
}

bool VqNode::fixupLists() {
    if (!internalFlag(VQ_NODE_IFLAG_NEEDSLOADFIXUP))
        VQ_FAIL("VqNode", "fixupLists", "internalFlag(VQ_NODE_IFLAG_NEEDSLOADFIXUP)", VQ_ERR_INTERNAL);
    if (_uSlotState != kSlotsRaw) return true;
    bool ok = true;
    for (size_t i = _vAttrList.size(); i-- > 0;) {
        VqBase* obj = _rawSlotObject(_vAttrList[i].release());
        auto* attr = Vq::typeCast<VqAttribute>(obj);
        if (!attr) {
            if (obj) {
                VqErrorState::throwStdError("VqNode", "fixupLists", "Attribute object is not an attribute",
                                            VQ_ERR_CORRUPT);
                ok = false;
            }
            _vAttrList.erase(_vAttrList.begin() + static_cast<std::ptrdiff_t>(i));
            _vAttrPathList.erase(_vAttrPathList.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        _vAttrList[i] = attr;
        attr->addNotification(this);
        if (!attr->_fixupLists()) ok = false;
    }
    _uSlotState = kSlotsCounted;
    setInternalFlag(VQ_NODE_IFLAG_MODIFIED, false);
    return ok;
}

void VqNode::graphObjects(const VqNode* root, std::vector<const VqBase*>& out) {
    graphObjects(root, [&](const VqBase* obj) { out.push_back(obj); });
}
