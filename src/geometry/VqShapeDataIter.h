#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

// A sequence of tuples of N values of T, the form in which callers hand
// geometry to shapes built in code. The base class is what shapes read;
// VqShapeDataArrayIter is the ready-made one over values in memory.
template <class T, int N>
class VqShapeDataIter {
public:
    virtual ~VqShapeDataIter() = default;
    virtual uint32_t count() const = 0;
    // The N values of tuple i (i < count()).
    virtual const T* at(uint32_t i) const = 0;
};

// Tuples stored one after the other; the iterator keeps its own copy.
template <class T, int N>
class VqShapeDataArrayIter : public VqShapeDataIter<T, N> {
public:
    VqShapeDataArrayIter() = default;
    VqShapeDataArrayIter(const T* values, uint32_t nTuples) : _v(values, values + size_t(nTuples) * N) {}
    explicit VqShapeDataArrayIter(std::vector<T> values) : _v(std::move(values)) {
        _v.resize(_v.size() / N * N);
    }
    uint32_t count() const override { return uint32_t(_v.size() / N); }
    const T* at(uint32_t i) const override { return _v.data() + size_t(i) * N; }

private:
    std::vector<T> _v;
};
