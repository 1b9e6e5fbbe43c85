#pragma once

#include "VqExport.h"
#include "VqNodeIter.h"

// By value: pending nodes in a binary heap, the smallest value first (nodes
// of equal value in the order they were scheduled). Each node's Post actions
// run right after its Pre actions.
class VQ_API VqHeapNodeIter : public VqNodeIter {
    VQ_DECLARE_TYPE(VqHeapNodeIter)
public:
    VqHeapNodeIter() = default;
    int numRemainingNodes() const override { return static_cast<int>(_vHeap.size()); }

protected:
    void _push(Entry&& e) override;
    void _pop(Entry& e) override;
    void _clearPending() override { _vHeap.clear(); }
    bool _deferPost() const override { return false; }

private:
    std::vector<Entry> _vHeap;
};
