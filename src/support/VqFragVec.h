#pragma once

#include <memory>
#include <vector>

// A vector kept in fragments of 2^n elements. Growing never moves an element,
// so pointers to elements stay valid, and a large vector needs no single
// contiguous block.
template <class T, int n>
class VqFragVec {
    static_assert(n >= 0 && n < 31, "fragment size must fit a 32-bit length");

public:
    static constexpr int s_nFragSize = 1 << n;

    int length() const { return _nLength; }
    T& operator[](int i) { return _vFrags[i >> n][i & (s_nFragSize - 1)]; }
    const T& operator[](int i) const { return _vFrags[i >> n][i & (s_nFragSize - 1)]; }

    void append(const T& v) {
        if ((_nLength & (s_nFragSize - 1)) == 0 && (_nLength >> n) == static_cast<int>(_vFrags.size()))
            _vFrags.emplace_back(new T[s_nFragSize]());
        (*this)[_nLength++] = v;
    }
    void setLength(int len) {
        while (static_cast<int>(_vFrags.size()) * s_nFragSize < len) _vFrags.emplace_back(new T[s_nFragSize]());
        _nLength = len;
    }
    void clear() {
        _vFrags.clear();
        _nLength = 0;
    }

private:
    std::vector<std::unique_ptr<T[]>> _vFrags;
    int _nLength = 0;
};
