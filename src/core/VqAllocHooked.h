#pragma once

#include "VqExport.h"

#include <cstddef>

// Root of every library object: allocation goes through the platform
// singleton so that every byte the library holds is accounted for. Without a
// platform (before VqLib::init or after the last fini) allocation yields null;
// the operators are noexcept so that a new-expression then skips the
// constructor instead of running it on a null pointer.
class VQ_API VqAllocHooked {
public:
    static void* operator new(size_t size) noexcept;
    static void* operator new[](size_t size) noexcept;
    static void operator delete(void* ptr) noexcept;
    static void operator delete[](void* ptr) noexcept;
    // Placement forms are needed by containers that construct in place.
    static void* operator new(size_t, void* where) noexcept { return where; }
    static void operator delete(void*, void*) noexcept {}
};
