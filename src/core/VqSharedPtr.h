#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace Vq {

// Intrusive shared pointer: exactly one raw pointer wide, so that an object
// stream can thread its fix-up lists through the slots of a pointer field
// (see VqPtrSwizzle). T needs ref() and unref().
template <class T>
class SharedPtr {
public:
    SharedPtr() noexcept = default;
    SharedPtr(std::nullptr_t) noexcept {}
    SharedPtr(T* p) noexcept : _p(p) {
        if (_p) _p->ref();
    }
    SharedPtr(const SharedPtr& o) noexcept : _p(o._p) {
        if (_p) _p->ref();
    }
    SharedPtr(SharedPtr&& o) noexcept : _p(o._p) { o._p = nullptr; }
    template <class U>
    SharedPtr(const SharedPtr<U>& o) noexcept : _p(o.get()) {
        if (_p) _p->ref();
    }
    ~SharedPtr() {
        T* old = _p;
        _p = nullptr;
        if (old) old->unref();
    }

    SharedPtr& operator=(T* p) noexcept {
        if (p == _p) return *this;
        if (p) p->ref();
        T* old = _p;
        _p = p;
        if (old) old->unref();
        return *this;
    }
    SharedPtr& operator=(const SharedPtr& o) noexcept { return *this = o._p; }
    SharedPtr& operator=(SharedPtr&& o) noexcept {
        if (this != &o) {
            T* old = _p;
            _p = o._p;
            o._p = nullptr;
            if (old) old->unref();
        }
        return *this;
    }
    template <class U>
    SharedPtr& operator=(const SharedPtr<U>& o) noexcept {
        return *this = o.get();
    }

    T* get() const noexcept { return _p; }
    T* operator->() const noexcept { return _p; }
    T& operator*() const noexcept { return *_p; }
    explicit operator bool() const noexcept { return _p != nullptr; }
    bool operator!() const noexcept { return _p == nullptr; }
    void reset() noexcept { *this = static_cast<T*>(nullptr); }

    // Takes over a reference the caller already counted: the converse of
    // release().
    static SharedPtr adopt(T* p) noexcept {
        SharedPtr s;
        s._p = p;
        return s;
    }

    // Hands the object over without releasing it: the count stays raised and
    // becomes the caller's responsibility.
    T* release() noexcept {
        T* p = _p;
        _p = nullptr;
        return p;
    }

    // The slot itself, for code that stores a pending object ID in it.
    T** slot() noexcept { return &_p; }

    bool operator==(const SharedPtr& o) const noexcept { return _p == o._p; }
    bool operator!=(const SharedPtr& o) const noexcept { return _p != o._p; }
    bool operator==(const T* p) const noexcept { return _p == p; }
    bool operator!=(const T* p) const noexcept { return _p != p; }
    bool operator<(const SharedPtr& o) const noexcept { return _p < o._p; }

private:
    T* _p = nullptr;
};

template <class T>
using SharedPtrVec = std::vector<SharedPtr<T>>;

} // namespace Vq

// The same pattern for body objects that are not VqBase objects.
template <class Body>
using VqRefCountedHandle = Vq::SharedPtr<Body>;
