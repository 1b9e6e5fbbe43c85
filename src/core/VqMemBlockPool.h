#pragma once

#include "VqAllocHooked.h"
#include "VqExport.h"
#include "VqRWSpinLock.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

// Fixed-size block pool for small records. Elements are carved out of blocks
// of at least 16 KiB taken from the platform (and counted as tracked memory);
// freed elements wait on a short list so that the common alloc/free churn does
// not touch the blocks at all. Pools are shared per element size.
class VQ_API VqMemBlockPool : public VqAllocHooked {
public:
    // Freed elements kept before they are handed back to their blocks.
    static constexpr int FLSize = 256;
    static constexpr size_t s_cMinBlockBytes = 16384;
    static constexpr size_t s_cMinBlockElements = 32;

    // A shared request returns the pool of the same aligned size if there is
    // one (counting a reference); otherwise a new pool. Null on failure.
    static VqMemBlockPool* getPool(size_t elementSize, bool shared);
    // Drops a reference; the last one deletes the pool and its blocks.
    static void releasePool(VqMemBlockPool* pool);
    static bool init();
    // Deletes every pool still in the table.
    static void fini();

    // Null, with the error recorded, when no block can be allocated.
    void* allocate();
    void deallocate(void* ptr);

    size_t elementSize() const { return _nElementSize; }
    size_t blockSize() const { return _nBlockSize; }
    unsigned elementsPerBlock() const { return _nElementsPerBlock; }
    int numBlocks() const;

    ~VqMemBlockPool();

private:
    struct Block {
        char* pMem;
        void* pFreeHead;  // elements given back, linked through their first word
        unsigned nCarved; // elements handed out from the block's unused tail
        unsigned nFree;   // elements available: the free list and the tail
        int iPartial;     // position in _vpPartial, -1 when the block is full
    };

    VqMemBlockPool(size_t elementSize, bool shared);
    void _purgeFreedList();
    void _releaseBlock(Block* b);
    void _removePartial(Block* b);

    const size_t _nElementSize;
    const size_t _nBlockSize;
    const unsigned _nElementsPerBlock;
    const bool _bShared;
    int _nRefs = 1;

    mutable VqRWSpinLock _lock;
    std::map<uintptr_t, Block*> _blocks; // by start address, to find an element's block
    std::vector<Block*> _vpPartial;      // blocks with at least one free element
    void* _apFreed[FLSize];
    int _nFreed = 0;
};
