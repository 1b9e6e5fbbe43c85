#pragma once

#include "VqExport.h"

#include <cstdint>

// A node of a version-1 Huffman tree: a leaf stands for a context entry, an
// inner node has two children, the left one reached by bit 1.
struct VQ_API VqHuffTreeNode {
    uint64_t _cCount = 0;
    int32_t _iLeft = -1;  // inner nodes: child on bit 1
    int32_t _iRight = -1; // inner nodes: child on bit 0
    int32_t _iEntry = -1; // leaves: the entry's index in its context

    bool isLeaf() const { return _iEntry >= 0; }
};
