#pragma once

#include "VqAllocHooked.h"
#include "VqExport.h"

#include <atomic>
#include <cstdint>

// Intrusive, atomic reference count. Objects start at 0; the first
// Vq::SharedPtr that takes one raises it to 1, and the release that brings it
// back to 0 deletes the object.
class VQ_API VqRefCounted : public VqAllocHooked {
public:
    VqRefCounted() = default;
    // A copy never inherits the count of its original.
    VqRefCounted(const VqRefCounted&) : VqAllocHooked() {}
    VqRefCounted& operator=(const VqRefCounted&) { return *this; }

    // Hook called before every release, while the object is fully alive.
    virtual void _unref() const {}
    virtual ~VqRefCounted() = default;

    uint32_t ref() const { return _nRefCount.fetch_add(1) + 1; }
    // Calls _unref(), decrements, and deletes the object at zero. Returns the new count.
    uint32_t unref() const {
        _unref();
        uint32_t n = _nRefCount.fetch_sub(1) - 1;
        if (n == 0) delete this;
        return n;
    }
    uint32_t refCount() const { return _nRefCount.load(std::memory_order_relaxed); }

protected:
    // Counts the first reference of an object no other thread can see yet,
    // without the cost of an atomic update; the maker hands it to
    // Vq::SharedPtr::adopt. For makers of many small objects.
    void _countFirstRef() const { _nRefCount.store(1, std::memory_order_relaxed); }

private:
    mutable std::atomic<uint32_t> _nRefCount{0};
};
