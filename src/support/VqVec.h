#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Growable array with a 32-bit length. Writing at an index past the end
// grows the array to hold it, with value-initialised elements in between.
template <class T>
class VqVec : public std::vector<T> {
public:
    using std::vector<T>::vector;
    VqVec() = default;

    int length() const { return static_cast<int>(this->size()); }
    void setLength(int n) { this->resize(n > 0 ? static_cast<size_t>(n) : 0); }
    void append(const T& v) { this->push_back(v); }

    T& operator[](int i) {
        if (static_cast<size_t>(i) >= this->size()) this->resize(static_cast<size_t>(i) + 1);
        return std::vector<T>::operator[](static_cast<size_t>(i));
    }
    const T& operator[](int i) const { return std::vector<T>::operator[](static_cast<size_t>(i)); }
};

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
