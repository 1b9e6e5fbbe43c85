#pragma once

#include "VqExport.h"
#include "VqNodeIter.h"

// Depth-first: pending nodes on a stack. A node's Post actions run after the
// subtrees of all the children scheduled during its Pre actions.
class VQ_API VqStackNodeIter : public VqNodeIter {
    VQ_DECLARE_TYPE(VqStackNodeIter)
public:
    VqStackNodeIter() = default;
    int numRemainingNodes() const override { return static_cast<int>(_vStack.size()); }

protected:
    void _push(Entry&& e) override { _vStack.push_back(std::move(e)); }
    void _pop(Entry& e) override {
        e = std::move(_vStack.back());
        _vStack.pop_back();
    }
    void _clearPending() override { _vStack.clear(); }
    void _beforeFirstChild() override;
    bool _deferPost() const override { return true; }

private:
    std::vector<Entry> _vStack;
};
