#include "VqNodeIter.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqHeapNodeIter.h"
#include "VqNode.h"
#include "VqPath.h"
#include "VqStackNodeIter.h"

#include <algorithm>

VQ_IMPLEMENT_ABSTRACT_TYPE(VqNodeIter, VqBase, CLSID_ZQNodeIter)
VQ_IMPLEMENT_TYPE_NOCLONE(VqStackNodeIter, VqNodeIter, CLSID_ZQStackNodeIter)
VQ_IMPLEMENT_TYPE_NOCLONE(VqHeapNodeIter, VqNodeIter, CLSID_ZQHeapNodeIter)

bool VqNodeIter::_checkTime(ActionTime actionTime, const char* method) const {
    if (!((actionTime == Pre) || (actionTime == Post)))
        VQ_FAIL("VqNodeIter", method, "(actionTime == Pre) || (actionTime == Post)", VQ_ERR_ARGUMENT);
    return true;
}

bool VqNodeIter::appendAction(ActionTime actionTime, Action action, const DataHandle& data) {
    VQ_PROPAGATE(_checkTime(actionTime, "appendAction"));
    if (!action) VQ_FAIL("VqNodeIter", "appendAction", "action != __null", VQ_ERR_ARGUMENT);
    _avActions[actionTime].push_back(ActionRec{action, data});
    return true;
}

bool VqNodeIter::insertAction(ActionTime actionTime, int index, Action action, const DataHandle& data) {
    VQ_PROPAGATE(_checkTime(actionTime, "insertAction"));
    if (!action) VQ_FAIL("VqNodeIter", "insertAction", "action != __null", VQ_ERR_ARGUMENT);
    std::vector<ActionRec>& v = _avActions[actionTime];
    if (!(index >= 0 && size_t(index) <= v.size()))
        VQ_FAIL("VqNodeIter", "insertAction", "index >= 0 && index <= numActions(actionTime)",
                VQ_ERR_ARGUMENT);
    v.insert(v.begin() + index, ActionRec{action, data});
    return true;
}

bool VqNodeIter::replaceAction(ActionTime actionTime, int index, Action action, const DataHandle& data) {
    VQ_PROPAGATE(_checkTime(actionTime, "replaceAction"));
    if (!action) VQ_FAIL("VqNodeIter", "replaceAction", "action != __null", VQ_ERR_ARGUMENT);
    std::vector<ActionRec>& v = _avActions[actionTime];
    if (!(index >= 0 && size_t(index) < v.size()))
        VQ_FAIL("VqNodeIter", "replaceAction", "index >= 0 && index < numActions(actionTime)",
                VQ_ERR_ARGUMENT);
    v[size_t(index)] = ActionRec{action, data};
    return true;
}

bool VqNodeIter::removeAction(ActionTime actionTime, int index) {
    VQ_PROPAGATE(_checkTime(actionTime, "removeAction"));
    std::vector<ActionRec>& v = _avActions[actionTime];
    if (!(index >= 0 && size_t(index) < v.size()))
        VQ_FAIL("VqNodeIter", "removeAction", "index >= 0 && index < numActions(actionTime)",
                VQ_ERR_ARGUMENT);
    v.erase(v.begin() + index);
    return true;
}

void VqNodeIter::removeAllActions() {
    _avActions[Pre].clear();
    _avActions[Post].clear();
}

bool VqNodeIter::removeAllActions(ActionTime actionTime) {
    VQ_PROPAGATE(_checkTime(actionTime, "removeAllActions"));
    _avActions[actionTime].clear();
    return true;
}

int VqNodeIter::numActions(ActionTime actionTime) const {
    return (actionTime == Pre || actionTime == Post) ? static_cast<int>(_avActions[actionTime].size()) : 0;
}

int VqNodeIter::findAction(ActionTime actionTime, Action action, int start) const {
    if (!(actionTime == Pre || actionTime == Post)) return -1;
    const std::vector<ActionRec>& v = _avActions[actionTime];
    for (size_t i = size_t(std::max(start, 0)); i < v.size(); ++i)
        if (v[i].fn == action) return static_cast<int>(i);
    return -1;
}

VqNodeIter::Action VqNodeIter::action(ActionTime actionTime, int index) const {
    if (!(actionTime == Pre || actionTime == Post)) return nullptr;
    const std::vector<ActionRec>& v = _avActions[actionTime];
    return index >= 0 && size_t(index) < v.size() ? v[size_t(index)].fn : nullptr;
}

bool VqNodeIter::getActionData(DataHandle& data, ActionTime actionTime, int index) const {
    VQ_PROPAGATE(_checkTime(actionTime, "getActionData"));
    const std::vector<ActionRec>& v = _avActions[actionTime];
    if (!(index >= 0 && size_t(index) < v.size()))
        VQ_FAIL("VqNodeIter", "getActionData", "index >= 0 && index < numActions(actionTime)",
                VQ_ERR_ARGUMENT);
    data = v[size_t(index)].data;
    return true;
}

// Once an action asked for something, only another request replaces it; a
// suspension (4) is lifted only by 0.
bool VqNodeIter::setExecutionControl(ExecutionControl control) {
    if (_eControl == VQ_EXEC_SUSPEND) {
        if (control == VQ_EXEC_CONTINUE) _eControl = control;
    } else if (_eControl != VQ_EXEC_CONTINUE) {
        if (control != VQ_EXEC_CONTINUE) _eControl = control;
    } else {
        _eControl = control;
    }
    return true;
}

// Each action gets its own data when it was installed with some, else the
// data scheduled with the node.
bool VqNodeIter::_runActions(ActionTime time, Entry& e) {
    for (size_t i = 0; i < _avActions[time].size(); ++i) {
        ActionRec& a = _avActions[time][i];
        DataHandle& data = a.data ? a.data : e.data;
        if (!a.fn(this, time, static_cast<int>(i), e.pNode, e.uKey, data, e.fValue)) {
            VqErrorState::rethrowError();
            return false;
        }
        if (_eControl != VQ_EXEC_CONTINUE) break;
    }
    return true;
}

bool VqNodeIter::execute(VqNode* root, unsigned int key, DataHandle& data, float value) {
    if (!root) VQ_FAIL("VqNodeIter", "execute", "root != __null", VQ_ERR_ARGUMENT);
    if (!_bKeepPending) _clearPending();
    _bKeepPending = false;
    _push(Entry{root, nullptr, key, value, Pre, _uSeq++, data});
    _eControl = VQ_EXEC_CONTINUE;
    Entry e;
    bool ok = true;
    while (ok && numRemainingNodes() > 0) {
        _pop(e);
        _pCurNode = e.pNode;
        _pCurParent = e.pParent;
        _uCurKey = e.uKey;
        _fCurValue = e.fValue;
        _pCurEntry = &e;
        _bPostPushed = false;
        if (e.eTime == Pre) {
            _bInPre = true;
            ok = _runActions(Pre, e);
            _bInPre = false;
            // Post actions wait for the children only where an entry was pushed for them.
            if (ok && (!_bPostPushed || !_deferPost()) && _eControl == VQ_EXEC_CONTINUE &&
                !_avActions[Post].empty())
                ok = _runActions(Post, e);
        } else {
            ok = _runActions(Post, e);
        }
        if (!ok) break;
        if (_eControl == VQ_EXEC_STOP || _eControl == VQ_EXEC_ABORT) {
            _clearPending();
            break;
        }
        if (_eControl == VQ_EXEC_SUSPEND) {
            _bKeepPending = true;
            break;
        }
        _eControl = VQ_EXEC_CONTINUE;
    }
    if (!ok) _clearPending();
    _pCurNode = nullptr;
    _pCurParent = nullptr;
    _pCurEntry = nullptr;
    if (!ok) VqErrorState::rethrowError();
    return ok;
}

bool VqNodeIter::addChild(int index, DataHandle& data, float value) {
    if (!_pCurNode) VQ_FAIL("VqNodeIter", "addChild", "_pCurNode != __null", VQ_ERR_ARGUMENT);
    VqNode* child = _pCurNode->child(index, _bCooked);
    if (!child) VQ_FAIL("VqNodeIter", "addChild", "child != __null", VQ_ERR_ARGUMENT);
    // The key follows the raw link: for cooked children of a group that
    // exposes a subset, find where the child sits among all of them.
    int rawIndex = index;
    if (_bCooked && _pCurNode->numChildren(true) != _pCurNode->numChildren(false))
        rawIndex = _pCurNode->findChild(child);
    unsigned int key = _uCurKey;
    VQ_PROPAGATE(VqPath::addChildBitsToBitVec(key, _pCurNode, rawIndex));
    if (_bInPre && !_bPostPushed) {
        _bPostPushed = true;
        _beforeFirstChild();
    }
    _push(Entry{child, _pCurNode, key, value, Pre, _uSeq++, data});
    return true;
}

bool VqNodeIter::addAllChildren(DataHandle& data, const VqVec<float>& values) {
    if (!_pCurNode) VQ_FAIL("VqNodeIter", "addAllChildren", "_pCurNode != __null", VQ_ERR_ARGUMENT);
    const int n = static_cast<int>(_pCurNode->numChildren(_bCooked));
    for (int i = n - 1; i >= 0; --i)
        VQ_PROPAGATE(addChild(i, data, i < values.length() ? values[i] : 0.0f));
    return true;
}

void VqStackNodeIter::_beforeFirstChild() {
    if (_avActions[Post].empty()) return;
    _push(Entry{_pCurNode, _pCurParent, _uCurKey, _fCurValue, Post, _uSeq++, _pCurEntry->data});
}

namespace {
struct HeapLater {
    template <class E>
    bool operator()(const E& a, const E& b) const {
        return a.fValue > b.fValue || (a.fValue == b.fValue && a.uSeq > b.uSeq);
    }
};
} // namespace

void VqHeapNodeIter::_push(Entry&& e) {
    _vHeap.push_back(std::move(e));
    std::push_heap(_vHeap.begin(), _vHeap.end(), HeapLater());
}

void VqHeapNodeIter::_pop(Entry& e) {
    std::pop_heap(_vHeap.begin(), _vHeap.end(), HeapLater());
    e = std::move(_vHeap.back());
    _vHeap.pop_back();
}
