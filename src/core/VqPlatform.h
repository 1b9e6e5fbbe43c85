#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// Process-wide platform description: the allocation hooks and the memory
// accounting every library object goes through.
class VqPlatform {
public:
    typedef void* (*AllocFunc)(size_t);
    typedef void (*FreeFunc)(void*);

    // The platform lives from the first init to the end of the process, so that
    // objects and strings released late still find their allocator.
    static VqPlatform* EnsureInstance();

    // Allocation through the replaceable functions; every call is counted.
    void* alloc(size_t size) noexcept;
    void dealloc(void* ptr) noexcept;
    // Installs a new pair and hands back the previous one. Blocks allocated by
    // the old pair are still freed by it.
    void setGblAllocFreeFunc(AllocFunc alloc, FreeFunc dealloc, AllocFunc* oldAlloc, FreeFunc* oldFree);

    // Totals since start-up: every alloc adds to them.
    uint64_t allocatedBytes() const { return _nAllocatedBytes.load(std::memory_order_relaxed); }
    uint64_t numAllocations() const { return _nAllocations.load(std::memory_order_relaxed); }

    // Memory tracked explicitly by large buffers (never below 0).
    void addToMemory(uint64_t bytes);
    void removeFromMemory(uint64_t bytes);
    uint64_t trackedMemory() const { return _nTrackedMemory.load(std::memory_order_relaxed); }

private:
    VqPlatform() = default;

    std::atomic<AllocFunc> _pfAlloc{nullptr};
    std::atomic<FreeFunc> _pfFree{nullptr};
    std::atomic<uint64_t> _nAllocatedBytes{0};
    std::atomic<uint64_t> _nAllocations{0};
    std::atomic<uint64_t> _nTrackedMemory{0};
};

extern VqPlatform* g_pInstanceVqPlatform;
