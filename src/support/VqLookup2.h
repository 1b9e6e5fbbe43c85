#pragma once

#include "VqExport.h"

#include <cstdint>
#include <cstring>

// Bob Jenkins' lookup2 hash, the check value of the strings and of the coded
// geometry arrays. Both variants start from a = b = 0x9E3779B9 and c = the
// initial value, so a hash can be chained by passing the previous one.
//
// The byte variant reads the key as little-endian 32-bit words whatever the
// host, so its value does not depend on the machine.
VQ_API uint32_t vqLookup2(const uint8_t* key, uint32_t nBytes, uint32_t initval);
// The word variant reads whole 32-bit words: on a little-endian host it
// equals the byte variant over the same memory (the length term counts bytes).
VQ_API uint32_t vqLookup2Words(const uint32_t* key, uint32_t nWords, uint32_t initval);
// vqLookup2Words over n arrays at once: out[i] is the hash of the
// nWords[i] words of keys[i] from initvals[i]. Each hash is one serial
// chain of ALU work that leaves most of a core idle; up to four run side by
// side while all have blocks left. A chain of arrays each stored with its
// check value hashes this way from the values stored: the value before an
// array's own, when it matches, is what the array's hash starts from.
VQ_API void vqLookup2WordsTogether(int n, const uint32_t* const* keys, const uint32_t* nWords,
                                   const uint32_t* initvals, uint32_t* out);

// lookup2's mixing step, shared by the one-shot variants and the chain; T
// is uint32_t, or a vector of them that mixes several hashes lane by lane.
template <class T>
[[gnu::always_inline]] inline void vqLookup2Mix(T& a, T& b, T& c) {
    a -= b;
    a -= c;
    a ^= (c >> 13);
    b -= c;
    b -= a;
    b ^= (a << 8);
    c -= a;
    c -= b;
    c ^= (b >> 13);
    a -= b;
    a -= c;
    a ^= (c >> 12);
    b -= c;
    b -= a;
    b ^= (a << 16);
    c -= a;
    c -= b;
    c ^= (b >> 5);
    a -= b;
    a -= c;
    a ^= (c >> 3);
    b -= c;
    b -= a;
    b ^= (a << 10);
    c -= a;
    c -= b;
    c ^= (b >> 15);
}

namespace Vq {

// The word variant over a list of arrays, each hashed from the value of the
// one before, as chained vqLookup2Words calls would: the same value bit for
// bit, but had a 3-word block at a time. The hash is one serial chain of ALU
// work; a caller that mostly waits on dependent loads advances it a block
// now and then, and the chain runs in the slots the waits leave idle.
//
// The arrays are read in place, so they must neither change nor go away
// until the value is had. Arrays whose words are not stored as such (16-bit
// halves, bit fields of 64-bit masks) are read as the words they make.
class VQ_API Lookup2Chain {
public:
    static constexpr int kMaxArrays = 32;

    explicit Lookup2Chain(uint32_t initval = 0) : _c(initval) {}
    Lookup2Chain(const Lookup2Chain&) = delete;
    Lookup2Chain& operator=(const Lookup2Chain&) = delete;

    // Arrays are appended before the first step; at most kMaxArrays.
    void addWords(const uint32_t* p, uint32_t nWords);
    // n halves as (n + 1) / 2 words, two a word, the first in the low half;
    // an odd last one has a zero high half.
    void addHalves(const uint16_t* p, uint32_t nHalves);
    // n words, word i = (p[i] >> shift) & mask.
    void addBits(const uint64_t* p, uint32_t nWords, int shift, uint32_t mask);

    // One more 3-word block, or an array's end; nothing once all is hashed.
    [[gnu::always_inline]] void step() {
        if (_i + 3 <= _nFast) [[likely]] {
            uint32_t w0, w1, w2;
            const unsigned char* q = _p + size_t(_i) * (_b64 ? 8u : 4u);
            if (_b64) {
                w0 = _bits(q);
                w1 = _bits(q + 8);
                w2 = _bits(q + 16);
            } else {
                w0 = _load32(q);
                w1 = _load32(q + 4);
                w2 = _load32(q + 8);
            }
            _a += w0;
            _b += w1;
            _c += w2;
            vqLookup2Mix(_a, _b, _c);
            _i += 3;
        } else if (_bLive)
            _stepSlow();
    }
    // Hashes what is left; the value.
    uint32_t finish();

private:
    enum Kind : uint8_t { kWords, kHalves, kBits };
    struct Array {
        const unsigned char* p;
        uint32_t n; // words
        uint32_t nHalves;
        uint32_t mask;
        uint8_t shift;
        Kind kind;
    };
    static uint32_t _load32(const unsigned char* q) {
        uint32_t w;
        std::memcpy(&w, q, 4);
        return w;
    }
    uint32_t _bits(const unsigned char* q) const {
        uint64_t x;
        std::memcpy(&x, q, 8);
        return uint32_t(x >> _shift) & _mask;
    }
    void _add(const Array& a);
    uint32_t _word(uint32_t i) const;
    void _stepSlow();

    // The array being hashed, its words before _nFast read in the step.
    const unsigned char* _p = nullptr;
    uint32_t _i = 0;
    uint32_t _nFast = 0;
    bool _b64 = false;
    uint8_t _shift = 0;
    uint32_t _mask = 0;
    uint32_t _a = 0x9e3779b9, _b = 0x9e3779b9, _c;
    // Something is left to hash.
    bool _bLive = false;
    int _iArr = -1;
    int _nArrs = 0;
    Array _arrs[kMaxArrays];
};

} // namespace Vq
