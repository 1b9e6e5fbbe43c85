#pragma once

#include "VqCodec.h"
#include "VqExport.h"
#include "VqHuffTreeNode.h"

#include <vector>

// The Huffman codec of version-1 packets: one tree per context, which reader
// and writer build alike from the context's entries. Every entry becomes a
// leaf, pushed in table order onto a binary min-heap on count (a pushed node
// rises while strictly smaller than its parent; after a pop the last node
// goes to the root and sinks toward the smaller child, the right one only
// when strictly smaller than the left, as long as it is not strictly smaller
// than that child). While two or more nodes remain, the two popped first
// become the left and right children of a new node of their total count,
// which is pushed. The left branch adds bit 1 to a code, the right bit 0. A
// context of one entry codes it with no bits.
class VQ_API VqHuffmanCodec : public VqCodec {
public:
    bool encode(const int* symbols, int nSymbols, const VqProbModel<int>* pModel, VqVecu& codeText,
                int64_t& nBits) override;
    bool decode(const uint32_t* codeText, int64_t nBits, int nSymbols, int nValues,
                const VqProbModel<int>* pModel, const int* oobValues, int nOOBValues,
                VqVeci& values) override;
    size_t memSize() const override;

    // The trees of every context of model: _vRoots[c] is context c's root
    // in _vNodes (-1 for an empty context).
    void buildTrees(const VqProbModel<int>& model);
    const std::vector<VqHuffTreeNode>& nodes() const { return _vNodes; }
    int root(int cntx) const { return _vRoots[static_cast<size_t>(cntx)]; }

private:
    void _buildTree(const VqProbContext<int>& cntx);
    void _push(int node);
    int _pop();

    std::vector<VqHuffTreeNode> _vNodes;
    std::vector<int> _vRoots;
    std::vector<int> _vHeap;
    // Writing: the code of entry i of context c, at _vCodeStart[c] + i.
    struct Code {
        uint64_t bits;
        int length;
    };
    std::vector<Code> _vCodes;
    std::vector<int> _vCodeStart;
    std::vector<std::pair<int, Code>> _vStack;
};
