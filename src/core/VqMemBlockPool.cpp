#include "VqMemBlockPool.h"

#include "VqErrorState.h"
#include "VqMutex.h"
#include "VqPlatform.h"

#include <algorithm>
#include <new>

namespace {
VqMutex s_tableMutex;
std::vector<VqMemBlockPool*> s_vpPoolTable;

constexpr size_t alignedElementSize(size_t size) {
    return size < 8 ? 8 : (size + 7) & ~size_t(7);
}
} // namespace

VqMemBlockPool::VqMemBlockPool(size_t elementSize, bool shared)
    : _nElementSize(elementSize), _nBlockSize(std::max(s_cMinBlockElements * elementSize, s_cMinBlockBytes)),
      _nElementsPerBlock(static_cast<unsigned>(_nBlockSize / elementSize)), _bShared(shared) {}

VqMemBlockPool::~VqMemBlockPool() {
    VqPlatform* platform = g_pInstanceVqPlatform;
    for (auto& [addr, b] : _blocks) {
        platform->dealloc(b->pMem);
        platform->removeFromMemory(_nBlockSize);
        delete b;
    }
}

bool VqMemBlockPool::init() {
    VqAutoLock lock(s_tableMutex);
    s_vpPoolTable.reserve(16);
    return true;
}

void VqMemBlockPool::fini() {
    VqAutoLock lock(s_tableMutex);
    for (VqMemBlockPool* p : s_vpPoolTable)
        delete p;
    s_vpPoolTable.clear();
    s_vpPoolTable.shrink_to_fit();
}

VqMemBlockPool* VqMemBlockPool::getPool(size_t elementSize, bool shared) {
    // Blocks hold at least 32 elements; larger records do not belong in a pool.
    if (elementSize > SIZE_MAX / (2 * s_cMinBlockElements)) {
        VqErrorState::throwStdError("VqMemBlockPool", "getPool", "allocation failed", VQ_ERR_ALLOC);
        return nullptr;
    }
    const size_t size = alignedElementSize(elementSize);
    VqAutoLock lock(s_tableMutex);
    if (shared) {
        for (VqMemBlockPool* p : s_vpPoolTable) {
            if (p->_bShared && p->_nElementSize == size) {
                ++p->_nRefs;
                return p;
            }
        }
    }
    VqMemBlockPool* pool = new VqMemBlockPool(size, shared);
    if (!pool) {
        VqErrorState::throwStdError("VqMemBlockPool", "getPool", "allocation failed", VQ_ERR_ALLOC);
        return nullptr;
    }
    try {
        s_vpPoolTable.push_back(pool);
    } catch (...) {
        delete pool;
        VqErrorState::throwStdError("VqMemBlockPool", "getPool", "allocation failed", VQ_ERR_ALLOC);
        return nullptr;
    }
    return pool;
}

void VqMemBlockPool::releasePool(VqMemBlockPool* pool) {
    if (!pool) return;
    VqAutoLock lock(s_tableMutex);
    if (--pool->_nRefs > 0) return;
    auto it = std::find(s_vpPoolTable.begin(), s_vpPoolTable.end(), pool);
    if (it != s_vpPoolTable.end()) s_vpPoolTable.erase(it);
    delete pool;
}

int VqMemBlockPool::numBlocks() const {
    VqAutoLockRead lock(_lock);
    return static_cast<int>(_blocks.size());
}

void* VqMemBlockPool::allocate() {
    VqAutoLockWrite lock(_lock);
    if (_nFreed > 0) return _apFreed[--_nFreed];

    Block* b = _vpPartial.empty() ? nullptr : _vpPartial.back();
    if (!b) {
        VqPlatform* platform = g_pInstanceVqPlatform;
        char* mem = platform ? static_cast<char*>(platform->alloc(_nBlockSize)) : nullptr;
        b = mem ? new (std::nothrow) Block{mem, nullptr, 0, _nElementsPerBlock, -1} : nullptr;
        if (b) {
            try {
                _blocks.emplace(reinterpret_cast<uintptr_t>(mem), b);
                // Room for every block, so that purging never has to grow it.
                _vpPartial.reserve(_blocks.size());
                _vpPartial.push_back(b);
            } catch (...) {
                _blocks.erase(reinterpret_cast<uintptr_t>(mem));
                delete b;
                b = nullptr;
            }
        }
        if (!b) {
            if (mem) platform->dealloc(mem);
            VqErrorState::throwStdError("VqMemBlockPool", "allocate", "allocation failed", VQ_ERR_ALLOC);
            return nullptr;
        }
        b->iPartial = static_cast<int>(_vpPartial.size()) - 1;
        platform->addToMemory(_nBlockSize);
    }

    void* elem;
    if (b->pFreeHead) {
        elem = b->pFreeHead;
        b->pFreeHead = *static_cast<void**>(elem);
    } else {
        elem = b->pMem + static_cast<size_t>(b->nCarved++) * _nElementSize;
    }
    if (--b->nFree == 0) _removePartial(b);
    return elem;
}

void VqMemBlockPool::deallocate(void* ptr) {
    if (!ptr) return;
    VqAutoLockWrite lock(_lock);
    if (_nFreed == FLSize) _purgeFreedList();
    _apFreed[_nFreed++] = ptr;
}

void VqMemBlockPool::_removePartial(Block* b) {
    Block* last = _vpPartial.back();
    _vpPartial[b->iPartial] = last;
    last->iPartial = b->iPartial;
    _vpPartial.pop_back();
    b->iPartial = -1;
}

void VqMemBlockPool::_releaseBlock(Block* b) {
    if (b->iPartial >= 0) _removePartial(b);
    _blocks.erase(reinterpret_cast<uintptr_t>(b->pMem));
    VqPlatform* platform = g_pInstanceVqPlatform;
    platform->dealloc(b->pMem);
    platform->removeFromMemory(_nBlockSize);
    delete b;
}

// Hands every element on the freed list back to its block; blocks that end up
// entirely free go back to the platform.
void VqMemBlockPool::_purgeFreedList() {
    bool foreign = false;
    for (int i = 0; i < _nFreed; ++i) {
        const uintptr_t addr = reinterpret_cast<uintptr_t>(_apFreed[i]);
        auto it = _blocks.upper_bound(addr);
        if (it == _blocks.begin() || addr >= std::prev(it)->first + _nBlockSize) {
            foreign = true;
            continue;
        }
        Block* b = std::prev(it)->second;
        *static_cast<void**>(_apFreed[i]) = b->pFreeHead;
        b->pFreeHead = _apFreed[i];
        if (++b->nFree == _nElementsPerBlock) {
            _releaseBlock(b);
        } else if (b->iPartial < 0) {
            b->iPartial = static_cast<int>(_vpPartial.size());
            _vpPartial.push_back(b);
        }
    }
    _nFreed = 0;
    if (foreign)
        VqErrorState::throwStdError("VqMemBlockPool", "deallocate", "Element does not belong to the pool",
                                    VQ_ERR_INTERNAL);
}
