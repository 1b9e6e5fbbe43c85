#pragma once

#include "VqExport.h"

#include <algorithm>
#include <cstdint>
#include <vector>

// A word of n-bit fields; VqBitField<1> is a 32-bit mask of single bits.
template <int n>
class VqBitField {
    static_assert(n >= 1 && n <= 32 && 32 % n == 0, "fields must tile a 32-bit word");

public:
    constexpr VqBitField() = default;
    constexpr explicit VqBitField(uint32_t bits) : _nBits(bits) {}

    static constexpr int numFields() { return 32 / n; }
    uint32_t get(int i) const { return (_nBits >> (i * n)) & mask(); }
    void set(int i, uint32_t v) { _nBits = (_nBits & ~(mask() << (i * n))) | ((v & mask()) << (i * n)); }
    bool isSet(int i) const { return get(i) != 0; }
    void set(int i) { set(i, mask()); }
    void clear(int i) { set(i, 0u); }
    void clearAll() { _nBits = 0; }
    void setAll() { _nBits = 0xFFFFFFFFu; }
    uint32_t bits() const { return _nBits; }
    void setBits(uint32_t b) { _nBits = b; }

    bool operator==(const VqBitField& o) const { return _nBits == o._nBits; }
    bool operator!=(const VqBitField& o) const { return _nBits != o._nBits; }
    VqBitField operator|(const VqBitField& o) const { return VqBitField(_nBits | o._nBits); }
    VqBitField operator&(const VqBitField& o) const { return VqBitField(_nBits & o._nBits); }
    VqBitField operator~() const { return VqBitField(~_nBits); }
    VqBitField& operator|=(const VqBitField& o) {
        _nBits |= o._nBits;
        return *this;
    }
    VqBitField& operator&=(const VqBitField& o) {
        _nBits &= o._nBits;
        return *this;
    }

private:
    static constexpr uint32_t mask() { return n == 32 ? 0xFFFFFFFFu : ((1u << n) - 1u); }
    uint32_t _nBits = 0;
};

// A growable vector of bits.
class VQ_API VqBitVec {
public:
    VqBitVec() = default;
    explicit VqBitVec(int nBits) { resize(nBits); }

    int length() const { return _nBits; }
    void resize(int nBits) {
        _nBits = nBits > 0 ? nBits : 0;
        _vWords.resize((static_cast<size_t>(_nBits) + 31) / 32, 0u);
        if (_nBits % 32) _vWords.back() &= (1u << (_nBits % 32)) - 1u;
    }
    bool get(int i) const { return (_vWords[i >> 5] >> (i & 31)) & 1u; }
    void set(int i, bool v = true) {
        if (i >= _nBits) resize(i + 1);
        if (v)
            _vWords[i >> 5] |= 1u << (i & 31);
        else
            _vWords[i >> 5] &= ~(1u << (i & 31));
    }
    void clearAll() { std::fill(_vWords.begin(), _vWords.end(), 0u); }
    bool operator==(const VqBitVec& o) const { return _nBits == o._nBits && _vWords == o._vWords; }
    const std::vector<uint32_t>& words() const { return _vWords; }

private:
    int _nBits = 0;
    std::vector<uint32_t> _vWords;
};
