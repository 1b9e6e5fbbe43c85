#include "VqPlatform.h"

#include <cstdlib>
#include <new>

VqPlatform* g_pInstanceVqPlatform = nullptr;

namespace {
// Each block carries a header with its size and the free function that owns
// it, so that the accounting stays right when the functions are swapped.
struct alignas(16) BlockHeader {
    size_t size;
    VqPlatform::FreeFunc release;
};
static_assert(sizeof(BlockHeader) == 16, "block header keeps 16-byte alignment");
} // namespace

VqPlatform* VqPlatform::EnsureInstance() {
    if (!g_pInstanceVqPlatform) {
        VqPlatform* p = new (std::nothrow) VqPlatform();
        if (p) {
            p->_pfAlloc = &std::malloc;
            p->_pfFree = &std::free;
        }
        g_pInstanceVqPlatform = p;
    }
    return g_pInstanceVqPlatform;
}

void* VqPlatform::alloc(size_t size) noexcept {
    if (size > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
    AllocFunc fn = _pfAlloc.load();
    void* raw = fn(size + sizeof(BlockHeader));
    if (!raw) return nullptr;
    auto* h = static_cast<BlockHeader*>(raw);
    h->size = size;
    h->release = _pfFree.load();
    _nAllocatedBytes.fetch_add(size, std::memory_order_relaxed);
    _nAllocations.fetch_add(1, std::memory_order_relaxed);
    return h + 1;
}

void VqPlatform::dealloc(void* ptr) noexcept {
    if (!ptr) return;
    BlockHeader* h = static_cast<BlockHeader*>(ptr) - 1;
    h->release(h);
}

void VqPlatform::setGblAllocFreeFunc(AllocFunc alloc, FreeFunc dealloc, AllocFunc* oldAlloc,
                                     FreeFunc* oldFree) {
    if (oldAlloc) *oldAlloc = _pfAlloc.load();
    if (oldFree) *oldFree = _pfFree.load();
    _pfAlloc = alloc ? alloc : &std::malloc;
    _pfFree = dealloc ? dealloc : &std::free;
}

void VqPlatform::addToMemory(uint64_t bytes) { _nTrackedMemory.fetch_add(bytes, std::memory_order_relaxed); }

void VqPlatform::removeFromMemory(uint64_t bytes) {
    uint64_t cur = _nTrackedMemory.load(std::memory_order_relaxed);
    uint64_t next;
    do {
        next = cur > bytes ? cur - bytes : 0;
    } while (!_nTrackedMemory.compare_exchange_weak(cur, next, std::memory_order_relaxed));
}
