#include "VqAllocHooked.h"

#include "VqPlatform.h"

void* VqAllocHooked::operator new(size_t size) noexcept {
    VqPlatform* platform = g_pInstanceVqPlatform;
    return platform ? platform->alloc(size) : nullptr;
}

void* VqAllocHooked::operator new[](size_t size) noexcept {
    VqPlatform* platform = g_pInstanceVqPlatform;
    return platform ? platform->alloc(size) : nullptr;
}

void VqAllocHooked::operator delete(void* ptr) noexcept {
    if (VqPlatform* platform = g_pInstanceVqPlatform) platform->dealloc(ptr);
}

void VqAllocHooked::operator delete[](void* ptr) noexcept {
    if (VqPlatform* platform = g_pInstanceVqPlatform) platform->dealloc(ptr);
}
