#pragma once

#include "VqBase.h"
#include "VqExport.h"
#include "VqRefCounted.h"
#include "VqVec.h"

#include <vector>

class VqNode;

// Body of the data handles that travel with an iteration: callers derive
// their own.
class VQ_API VqRefCountedBody : public VqRefCounted {};

// Walks a graph from a root and calls the installed actions at each node.
// Actions schedule the children to visit (addChild, addAllChildren); the
// order in which pending nodes are visited is the subclass's: last in first
// out (VqStackNodeIter) or by value (VqHeapNodeIter).
class VQ_API VqNodeIter : public VqBase {
    VQ_DECLARE_TYPE(VqNodeIter)
public:
    enum ActionTime : int { Pre = 0, Post = 1 };
    // 1 skips the node's remaining actions; 2 and 3 end the iteration after
    // the node, dropping what is pending; 4 ends it keeping what is pending
    // for the next execute.
    enum ExecutionControl : int {
        VQ_EXEC_CONTINUE = 0,
        VQ_EXEC_SKIP_ACTIONS = 1,
        VQ_EXEC_STOP = 2,
        VQ_EXEC_ABORT = 3,
        VQ_EXEC_SUSPEND = 4
    };
    typedef VqRefCountedHandle<VqRefCountedBody> DataHandle;
    typedef bool (*Action)(VqNodeIter* iter, ActionTime time, int actionIndex, VqNode* node, unsigned int key,
                           DataHandle& data, float value);

    VqNodeIter() = default;
    VqNodeIter(const VqNodeIter&) = delete;
    VqNodeIter& operator=(const VqNodeIter&) = delete;

    bool appendAction(ActionTime actionTime, Action action, const DataHandle& data);
    bool insertAction(ActionTime actionTime, int index, Action action, const DataHandle& data);
    bool replaceAction(ActionTime actionTime, int index, Action action, const DataHandle& data);
    bool removeAction(ActionTime actionTime, int index);
    void removeAllActions();
    bool removeAllActions(ActionTime actionTime);
    int numActions() const { return static_cast<int>(_avActions[Pre].size() + _avActions[Post].size()); }
    int numActions(ActionTime actionTime) const;
    int findAction(ActionTime actionTime, Action action, int start = 0) const;
    Action action(ActionTime actionTime, int index) const;
    bool getActionData(DataHandle& data, ActionTime actionTime, int index) const;

    bool setExecutionControl(ExecutionControl control);
    ExecutionControl executionControl() const { return _eControl; }
    // Cooked (true) visits what groups expose to traversals; raw all children.
    void setChildMode(bool cooked) { _bCooked = cooked; }
    void getChildMode(bool& cooked) const { cooked = _bCooked; }

    bool execute(VqNode* root, unsigned int key, DataHandle& data, float value);
    // Schedules child index of the current node, with its key and value.
    bool addChild(int index, DataHandle& data, float value);
    // Schedules every child of the current node, from the last to the first,
    // each with values[i] (0 beyond the list).
    bool addAllChildren(DataHandle& data, const VqVec<float>& values);
    virtual int numRemainingNodes() const = 0;

    VqNode* currentNode() const { return _pCurNode; }
    unsigned int currentKey() const { return _uCurKey; }
    float currentValue() const { return _fCurValue; }

protected:
    struct Entry {
        VqNode* pNode;
        VqNode* pParent;
        unsigned int uKey;
        float fValue;
        ActionTime eTime;
        unsigned int uSeq;
        DataHandle data;
    };
    virtual void _push(Entry&& e) = 0;
    virtual void _pop(Entry& e) = 0;
    virtual void _clearPending() = 0;
    // Called before a child of the current node is pushed during its Pre actions.
    virtual void _beforeFirstChild() {}
    // Whether the Post actions of a node wait for its children.
    virtual bool _deferPost() const = 0;

    bool _runActions(ActionTime time, Entry& e);
    bool _checkTime(ActionTime actionTime, const char* method) const;

    struct ActionRec {
        Action fn;
        DataHandle data;
    };
    std::vector<ActionRec> _avActions[2];
    ExecutionControl _eControl = VQ_EXEC_CONTINUE;
    bool _bCooked = true;
    bool _bKeepPending = false;
    bool _bInPre = false;
    bool _bPostPushed = false;
    VqNode* _pCurNode = nullptr;
    VqNode* _pCurParent = nullptr;
    unsigned int _uCurKey = 0;
    float _fCurValue = 0.0f;
    unsigned int _uSeq = 0;
    Entry* _pCurEntry = nullptr;
};
