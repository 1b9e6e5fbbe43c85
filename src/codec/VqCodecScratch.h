#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>

// A decoder's scratch table of trivial elements whose resize leaves them
// unset: the decoder writes every element it reads, so the zeroing a
// std::vector does on growth would be a pass over the table for nothing.
// Growth keeps no element; the buffer is kept from one use to the next.
template <class T>
class VqCodecScratch {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_default_constructible_v<T>,
                  "trivial elements");

public:
    void resize(size_t n) {
        if (n > _nCapacity) {
            _pData.reset(new T[n]); // default-initialised: unset
            _nCapacity = n;
        }
        _nSize = n;
    }
    T* data() { return _pData.get(); }
    const T* data() const { return _pData.get(); }
    T& operator[](size_t i) { return _pData[i]; }
    size_t size() const { return _nSize; }
    size_t capacity() const { return _nCapacity; }

private:
    std::unique_ptr<T[]> _pData;
    size_t _nSize = 0;
    size_t _nCapacity = 0;
};
