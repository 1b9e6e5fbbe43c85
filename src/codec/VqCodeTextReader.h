#pragma once

#include "VqExport.h"

#include <cstdint>

// Reads the bits of a code text in the order VqCodeTextWriter wrote them.
//
// A reader never touches memory past the code text: a request beyond the
// last bit yields zero bits and marks the reader as overrun, which decoders
// test once per value so that a corrupt packet ends promptly instead of
// decoding garbage until its value count is reached.
class VQ_API VqCodeTextReader {
public:
    // words holds ceil(nBits / 32) words.
    VqCodeTextReader(const uint32_t* words, int64_t nBits)
        : _pWords(words), _nWords((nBits + 31) / 32), _nBits(nBits) {}

    // The next n bits (0 <= n <= 32) as an unsigned number, first bit highest.
    uint32_t readBits(int n) {
        if (n == 0) return 0;
        if (_nBuf < n) _refill();
        const uint32_t v = static_cast<uint32_t>(_uBuf >> (64 - n));
        _uBuf <<= n;
        _nBuf -= n;
        return v;
    }
    uint32_t readBit() { return readBits(1); }
    // The same for 0 <= n <= 16, without a test for n = 0.
    uint32_t readUpTo16Bits(int n) {
        if (_nBuf < n) _refill();
        const uint32_t v = static_cast<uint32_t>((_uBuf >> 32) >> (32 - n));
        _uBuf <<= n;
        _nBuf -= n;
        return v;
    }

    // The buffered bits, lent to a loop that keeps them below a 16-bit
    // register of its own in one word, so that one shift moves bits from the
    // text into that register: bits holds the register in its top 16 bits,
    // then n bits read ahead, then zeros. Some 48 bits fit; a whole word
    // beyond them goes back to the text.
    struct Window {
        uint64_t bits;
        int n;
        int64_t iNext;
        const uint32_t* pWords;
        int64_t nWords;

        // Tops the bits read ahead up to 16 or more, for a shift of up to 16.
        // In line in the decoders' loops, which would otherwise call it once
        // a symbol when they run five texts at once, built for the baseline
        // set (see Vq::withBestIsa).
        [[gnu::always_inline]] void refill() {
            if (n >= 16) return;
            const uint32_t w = iNext < nWords ? pWords[iNext] : 0u;
            ++iNext;
            bits |= static_cast<uint64_t>(w) << (16 - n);
            n += 32;
        }
    };
    // top must be below 2^16; the window comes refilled.
    Window openWindow(uint32_t top) const {
        Window w{_uBuf, _nBuf, _iNext, _pWords, _nWords};
        if (w.n > 48) {
            // The last word loaded fills the buffer's last 32 bits.
            w.n -= 32;
            --w.iNext;
            w.bits &= ~(~uint64_t(0) >> w.n);
        }
        w.bits = (static_cast<uint64_t>(top) << 48) | (w.bits >> 16);
        w.refill();
        return w;
    }
    // Takes the window's bits read ahead back; its register is the caller's.
    void closeWindow(const Window& w) {
        _uBuf = w.bits << 16;
        _nBuf = w.n;
        _iNext = w.iNext;
    }

    // Moves on to bit pos of the code text, at or before its end.
    void seek(int64_t pos) {
        _iNext = pos >> 5;
        _uBuf = 0;
        _nBuf = 0;
        readBits(static_cast<int>(pos & 31));
    }
    // Bit pos of the code text (most significant first), 0 past its words.
    uint32_t bitAt(int64_t pos) const {
        const int64_t w = pos >> 5;
        return w < static_cast<int64_t>(_nWords) ? (_pWords[w] >> (31 - (pos & 31))) & 1u : 0u;
    }
    // Bits handed out: those loaded less those still buffered, which spares
    // the readers a counter of their own.
    int64_t numBitsRead() const { return 32 * _iNext - _nBuf; }
    int64_t numBits() const { return _nBits; }
    bool overrun() const { return numBitsRead() > _nBits; }
    // True when every bit was read and the padding of the last word is zero.
    bool exhausted() const { return numBitsRead() == _nBits; }
    bool padIsZero() const {
        const int pad = static_cast<int>(_nWords * 32 - _nBits);
        return pad == 0 || (_pWords[_nWords - 1] & ((uint32_t(1) << pad) - 1)) == 0;
    }

private:
    // Tops the buffer up to more than 32 bits; words past the end read as zeros.
    void _refill() {
        while (_nBuf <= 32) {
            const uint32_t w = _iNext < _nWords ? _pWords[_iNext] : 0u;
            ++_iNext;
            _uBuf |= static_cast<uint64_t>(w) << (32 - _nBuf);
            _nBuf += 32;
        }
    }

    const uint32_t* _pWords;
    int64_t _nWords;
    int64_t _nBits;
    int64_t _iNext = 0; // next word to load
    uint64_t _uBuf = 0; // loaded bits not yet handed out, left aligned
    int _nBuf = 0;
};
