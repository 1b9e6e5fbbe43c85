#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

#include "VqDefaultInitAllocator.h"

// Growable array with a 32-bit length. Writing at an index past the end
// grows the array to hold it, with value-initialised elements in between;
// resize and the sized constructor value-initialise too. Only resizeUnset
// leaves new trivial elements unset.
template <class T>
class VqVec : public std::vector<T, VqDefaultInitAllocator<T>> {
    using Base = std::vector<T, VqDefaultInitAllocator<T>>;

public:
    using Base::Base;
    VqVec() = default;
    explicit VqVec(size_t n) : Base() { resize(n); }

    int length() const { return static_cast<int>(this->size()); }
    void setLength(int n) { resize(n > 0 ? static_cast<size_t>(n) : 0); }
    void append(const T& v) { this->push_back(v); }

    void resize(size_t n) {
        const size_t nOld = this->size();
        Base::resize(n);
        if constexpr (std::is_trivially_default_constructible_v<T>)
            if (n > nOld) std::uninitialized_value_construct(this->data() + nOld, this->data() + n);
    }
    void resize(size_t n, const T& v) { Base::resize(n, v); }
    // For a caller that writes every new element before it reads any: the
    // growth is not zeroed first.
    void resizeUnset(size_t n) { Base::resize(n); }

    T& operator[](int i) {
        if (static_cast<size_t>(i) >= this->size()) resize(static_cast<size_t>(i) + 1);
        return Base::operator[](static_cast<size_t>(i));
    }
    const T& operator[](int i) const { return Base::operator[](static_cast<size_t>(i)); }
};

// Equal to a standard vector of the same elements, whatever the allocators.
template <class T>
bool operator==(const VqVec<T>& a, const std::vector<T>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

typedef VqVec<int> VqVeci;
typedef VqVec<unsigned int> VqVecu;
typedef VqVec<float> VqVecf;
typedef VqVec<char> VqVecc;
typedef VqVec<unsigned char> VqVecuc;

// A stack of values, last in first out.
template <class T>
class VqStack : public std::vector<T> {
public:
    void push(const T& v) { this->push_back(v); }
    T pop() {
        T v = this->back();
        this->pop_back();
        return v;
    }
    T& top() { return this->back(); }
    const T& top() const { return this->back(); }
    int depth() const { return static_cast<int>(this->size()); }
};

// Restores the heap order below position i of a binary heap kept in an array,
// with the smallest element (by less) at the top.
template <class T, class Less>
void vqPercolateDown(T* heap, int count, int i, Less less) {
    T v = heap[i];
    for (;;) {
        int child = 2 * i + 1;
        if (child >= count) break;
        if (child + 1 < count && less(heap[child + 1], heap[child])) ++child;
        if (!less(heap[child], v)) break;
        heap[i] = heap[child];
        i = child;
    }
    heap[i] = v;
}
