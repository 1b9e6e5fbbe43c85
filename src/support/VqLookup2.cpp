#include "VqLookup2.h"

#include "VqErrorState.h"

#include <algorithm>
#include <bit>
#include <cstdint>

uint32_t vqLookup2(const uint8_t* k, uint32_t length, uint32_t initval) {
    uint32_t a = 0x9e3779b9, b = 0x9e3779b9, c = initval;
    uint32_t len = length;
    while (len >= 12) {
        a += k[0] + (uint32_t(k[1]) << 8) + (uint32_t(k[2]) << 16) + (uint32_t(k[3]) << 24);
        b += k[4] + (uint32_t(k[5]) << 8) + (uint32_t(k[6]) << 16) + (uint32_t(k[7]) << 24);
        c += k[8] + (uint32_t(k[9]) << 8) + (uint32_t(k[10]) << 16) + (uint32_t(k[11]) << 24);
        vqLookup2Mix(a, b, c);
        k += 12;
        len -= 12;
    }
    c += length;
    // The lowest byte of c holds the length, so the tail starts at its second byte.
    switch (len) {
    case 11:
        c += uint32_t(k[10]) << 24;
        [[fallthrough]];
    case 10:
        c += uint32_t(k[9]) << 16;
        [[fallthrough]];
    case 9:
        c += uint32_t(k[8]) << 8;
        [[fallthrough]];
    case 8:
        b += uint32_t(k[7]) << 24;
        [[fallthrough]];
    case 7:
        b += uint32_t(k[6]) << 16;
        [[fallthrough]];
    case 6:
        b += uint32_t(k[5]) << 8;
        [[fallthrough]];
    case 5:
        b += k[4];
        [[fallthrough]];
    case 4:
        a += uint32_t(k[3]) << 24;
        [[fallthrough]];
    case 3:
        a += uint32_t(k[2]) << 16;
        [[fallthrough]];
    case 2:
        a += uint32_t(k[1]) << 8;
        [[fallthrough]];
    case 1:
        a += k[0];
    }
    vqLookup2Mix(a, b, c);
    return c;
}

namespace {
struct Lookup2State {
    uint32_t a = 0x9e3779b9, b = 0x9e3779b9, c = 0;
};

// nBlocks 3-word blocks of each of four keys, the chains in the lanes of
// vectors: the mix's shifts, subtractions and exclusive ors are lane-wise,
// so four chains take the instructions and the time of one.
void mixFour(const uint32_t* const* k, uint32_t nBlocks, Lookup2State* st) {
    using Lanes = uint32_t __attribute__((vector_size(16)));
    Lanes a = {st[0].a, st[1].a, st[2].a, st[3].a}, b = {st[0].b, st[1].b, st[2].b, st[3].b},
          c = {st[0].c, st[1].c, st[2].c, st[3].c};
    for (uint32_t j = 0; j < 3 * nBlocks; j += 3) {
        a += Lanes{k[0][j], k[1][j], k[2][j], k[3][j]};
        b += Lanes{k[0][j + 1], k[1][j + 1], k[2][j + 1], k[3][j + 1]};
        c += Lanes{k[0][j + 2], k[1][j + 2], k[2][j + 2], k[3][j + 2]};
        vqLookup2Mix(a, b, c);
    }
    for (int i = 0; i < 4; ++i)
        st[i] = {a[i], b[i], c[i]};
}

// The rest of a key from word j (a block boundary) on.
uint32_t finishWords(const uint32_t* k, uint32_t length, uint32_t j, Lookup2State s) {
    for (; length - j >= 3; j += 3) {
        s.a += k[j];
        s.b += k[j + 1];
        s.c += k[j + 2];
        vqLookup2Mix(s.a, s.b, s.c);
    }
    s.c += length << 2;
    switch (length - j) {
    case 2:
        s.b += k[j + 1];
        [[fallthrough]];
    case 1:
        s.a += k[j];
    }
    vqLookup2Mix(s.a, s.b, s.c);
    return s.c;
}
} // namespace

void vqLookup2WordsTogether(int n, const uint32_t* const* keys, const uint32_t* nWords,
                            const uint32_t* initvals, uint32_t* out) {
    for (int i0 = 0; i0 < n; i0 += 4) {
        const int m = std::min(n - i0, 4);
        Lookup2State st[4];
        // Lanes without a key of their own hash the first one's again.
        const uint32_t* k[4] = {keys[i0], keys[i0], keys[i0], keys[i0]};
        uint32_t nBlocks = UINT32_MAX;
        for (int i = 0; i < m; ++i) {
            k[i] = keys[i0 + i];
            st[i].c = initvals[i0 + i];
            nBlocks = std::min(nBlocks, nWords[i0 + i] / 3);
        }
        // One alone goes as fast without the lanes.
        if (m == 1) nBlocks = 0;
        mixFour(k, nBlocks, st);
        for (int i = 0; i < m; ++i)
            out[i0 + i] = finishWords(k[i], nWords[i0 + i], 3 * nBlocks, st[i]);
    }
}

uint32_t vqLookup2Words(const uint32_t* k, uint32_t length, uint32_t initval) {
    Lookup2State s;
    s.c = initval;
    return finishWords(k, length, 0, s);
}

namespace Vq {

void Lookup2Chain::_add(const Array& a) {
    if (_nArrs == kMaxArrays)
        VqErrorState::throwStdError("Lookup2Chain", "add", "nArrays < kMaxArrays", VQ_ERR_INTERNAL);
    _arrs[_nArrs++] = a;
    _bLive = true;
}

void Lookup2Chain::addWords(const uint32_t* p, uint32_t nWords) {
    _add({reinterpret_cast<const unsigned char*>(p), nWords, 0, ~0u, 0, kWords});
}

void Lookup2Chain::addHalves(const uint16_t* p, uint32_t nHalves) {
    _add({reinterpret_cast<const unsigned char*>(p), (nHalves + 1) / 2, nHalves, ~0u, 0, kHalves});
}

void Lookup2Chain::addBits(const uint64_t* p, uint32_t nWords, int shift, uint32_t mask) {
    _add({reinterpret_cast<const unsigned char*>(p), nWords, 0, mask, uint8_t(shift), kBits});
}

uint32_t Lookup2Chain::_word(uint32_t i) const {
    const Array& a = _arrs[_iArr];
    switch (a.kind) {
    case kWords: {
        uint32_t w;
        std::memcpy(&w, a.p + 4 * size_t(i), 4);
        return w;
    }
    case kHalves: {
        uint16_t lo, hi = 0;
        std::memcpy(&lo, a.p + 4 * size_t(i), 2);
        if (2 * i + 1 < a.nHalves) std::memcpy(&hi, a.p + 4 * size_t(i) + 2, 2);
        return uint32_t(lo) | uint32_t(hi) << 16;
    }
    case kBits: {
        uint64_t x;
        std::memcpy(&x, a.p + 8 * size_t(i), 8);
        return uint32_t(x >> a.shift) & a.mask;
    }
    }
    return 0;
}

void Lookup2Chain::_stepSlow() {
    if (_iArr >= 0) {
        // The blocks the step could not read (an odd count of halves ends
        // in a block with a half word), then the tail and the length.
        const uint32_t n = _arrs[_iArr].n;
        for (; _i + 3 <= n; _i += 3) {
            _a += _word(_i);
            _b += _word(_i + 1);
            _c += _word(_i + 2);
            vqLookup2Mix(_a, _b, _c);
        }
        _c += n << 2;
        if (n - _i == 2) _b += _word(_i + 1);
        if (n - _i >= 1) _a += _word(_i);
        vqLookup2Mix(_a, _b, _c);
    }
    _i = _nFast = 0;
    if (++_iArr == _nArrs) {
        _bLive = false;
        return;
    }
    // The next array starts from this one's value.
    const Array& a = _arrs[_iArr];
    _a = _b = 0x9e3779b9;
    _p = a.p;
    _b64 = a.kind == kBits;
    _shift = a.shift;
    _mask = a.mask;
    // Halves are read as words in place only where that puts the first in
    // the low half, and never the last one alone.
    if (a.kind != kHalves)
        _nFast = a.n;
    else if constexpr (std::endian::native == std::endian::little)
        _nFast = a.nHalves / 2;
}

uint32_t Lookup2Chain::finish() {
    while (_bLive)
        step();
    return _c;
}

} // namespace Vq
