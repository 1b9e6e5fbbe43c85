#pragma once

#include <memory>
#include <new>
#include <type_traits>
#include <utility>

// The standard allocator, except that an element made without arguments is
// default-initialised: a trivial one is left unset rather than zeroed. The
// containers that use it decide where growth must still be zeroed.
template <class T>
class VqDefaultInitAllocator : public std::allocator<T> {
public:
    template <class U>
    struct rebind {
        using other = VqDefaultInitAllocator<U>;
    };

    VqDefaultInitAllocator() = default;
    template <class U>
    VqDefaultInitAllocator(const VqDefaultInitAllocator<U>&) noexcept {}

    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        // A class whose implicit constructor leaves members unset would be
        // zeroed by value-initialisation: only the trivial are left unset.
        if constexpr (std::is_trivially_default_constructible_v<U>)
            ::new (static_cast<void*>(p)) U;
        else
            ::new (static_cast<void*>(p)) U();
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

template <class T, class U>
bool operator==(const VqDefaultInitAllocator<T>&, const VqDefaultInitAllocator<U>&) noexcept {
    return true;
}
