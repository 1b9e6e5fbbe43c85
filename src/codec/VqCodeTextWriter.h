#pragma once

#include "VqExport.h"
#include "VqVec.h"

#include <cstdint>

// Appends bits to a code text: 32-bit words filled from the most significant
// bit down, with an exact count of the bits written. Every integer codec of
// every packet generation writes its output through this one class, so that
// the bit order is defined in a single place.
//
// Bits gather in a 64-bit accumulator and reach the word vector a whole word
// at a time; finish() writes the partly filled last word, padded with zeros.
class VQ_API VqCodeTextWriter {
public:
    // Empties words and starts writing into it.
    explicit VqCodeTextWriter(VqVecu& words) : _vWords(words) { _vWords.clear(); }

    // Appends the low n bits of value (0 <= n <= 32), most significant first.
    void writeBits(uint32_t value, int n) {
        if (n == 0) return;
        const uint64_t bits = value & (~uint64_t(0) >> (64 - n));
        _uAcc |= bits << (64 - _nAcc - n);
        _nAcc += n;
        _nBits += n;
        if (_nAcc >= 32) _spillWord();
    }

    // Appends count copies of one bit. A run of any length costs a few word
    // writes, however long the coder's run of pending bits has grown.
    void writeRun(bool bit, uint64_t count) {
        const uint32_t word = bit ? 0xFFFFFFFFu : 0u;
        // Top up the current word first, then whole words, then the rest.
        int head = static_cast<int>(count < uint64_t(32 - _nAcc) ? count : uint64_t(32 - _nAcc));
        writeBits(word, head);
        count -= static_cast<uint64_t>(head);
        for (; count >= 32; count -= 32)
            writeBits(word, 32);
        writeBits(word, static_cast<int>(count));
    }

    // Writes the last, partly filled word (zero padded). Nothing may follow.
    void finish() {
        if (_nAcc > 0) _vWords.push_back(static_cast<uint32_t>(_uAcc >> 32));
        _uAcc = 0;
        _nAcc = 0;
    }

    // Bits written so far.
    int64_t numBits() const { return _nBits; }

private:
    void _spillWord() {
        _vWords.push_back(static_cast<uint32_t>(_uAcc >> 32));
        _uAcc <<= 32;
        _nAcc -= 32;
    }

    VqVecu& _vWords;
    uint64_t _uAcc = 0; // pending bits, left aligned
    int _nAcc = 0;      // number of pending bits (below 32 between calls)
    int64_t _nBits = 0;
};
