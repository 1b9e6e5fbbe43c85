#pragma once

#include "VqArithmeticScale.h"
#include "VqCodeTextReader.h"
#include "VqExport.h"

#include <bit>
#include <cstdint>

// The decoding side of VqArithmeticEncoder. Per symbol: target(t) gives a
// cumulative count in [0, t); the caller finds the entry whose interval
// holds it and passes that interval to consume().
//
// The code register always lies in [low, high], whatever bits the code text
// holds, as long as consume() receives the interval that holds target(): so
// a corrupt code text yields wrong symbols, never an invalid state. The scale
// must stay below 2^14 (see VqArithmeticEncoder).
class VQ_API VqArithmeticDecoder {
public:
    explicit VqArithmeticDecoder(VqCodeTextReader& in) : _in(in) { _uCode = _in.readBits(16); }

    uint32_t target(const VqArithmeticScale& t) const {
        const uint32_t r = _uHigh - _uLow + 1;
        return ((_uCode - _uLow + 1) * t.total() - 1) / r;
    }

    void consume(uint32_t c, uint32_t n, const VqArithmeticScale& t) {
        const uint32_t r = _uHigh - _uLow + 1;
        _uHigh = _uLow + t.divide((c + n) * r) - 1;
        _uLow = _uLow + t.divide(c * r);
        // Without a branch: k is 0 when the top bits differ.
        const int k = std::countl_one(static_cast<uint16_t>(~(_uLow ^ _uHigh)));
        _uLow = (_uLow << k) & 0xFFFFu;
        _uHigh = ((_uHigh << k) | ((1u << k) - 1)) & 0xFFFFu;
        _uCode = ((_uCode << k) | _in.readUpTo16Bits(k)) & 0xFFFFu;
        // The straddle steps (low = 01..., high = 10...), all at once and
        // without a branch, whose outcome no predictor foresees: step j takes
        // bit 14 - j out of the three registers when it is 1 in low and 0 in
        // high. Each step clears that bit of low, sets it in high and flips it
        // in code before the shift; as bits 15 and 14 of code differ while it
        // lies between low and high, its bit 15 stays as it is. So after s
        // steps the registers keep bit 15 and lose the s bits below it.
        const int s = std::countl_one(static_cast<uint16_t>((_uLow & ~_uHigh & 0x7FFFu) << 1));
        _uLow = (_uLow << s) & 0x7FFFu;
        _uHigh = ((_uHigh << s) | 0x8000u | ((1u << s) - 1)) & 0xFFFFu;
        _uCode = (_uCode & 0x8000u) | ((_uCode << s) & 0x7FFFu) | _in.readUpTo16Bits(s);
        // The encoder resolves its pending bits whenever leading bits agree.
        _nPending = (k > 0 ? 0 : _nPending) + s;
    }

    // Reads the two bits the encoder's flush leaves after the last symbol.
    void finish() { _in.readBits(2); }

    // After finish(): whether the code text ends exactly as the encoder's
    // flush ends it, from the position where its pending bits began: bit 14
    // of low, pending + 1 complements of it, 16 zeros. Any code value in the
    // last interval decodes to the same symbols; held to this one, no bit of
    // a code text can change without changing what it decodes to.
    bool endIsCanonical() const {
        const int64_t q = _in.numBitsRead() - 18 - _nPending;
        if (q < 0 || _in.numBitsRead() != _in.numBits()) return false;
        const uint32_t b = (_uLow >> 14) & 1u;
        if (_in.bitAt(q) != b) return false;
        for (int64_t i = 1; i <= _nPending + 1; ++i)
            if (_in.bitAt(q + i) == b) return false;
        for (int64_t i = _nPending + 2; i < _nPending + 18; ++i)
            if (_in.bitAt(q + i) != 0) return false;
        return true;
    }

private:
    VqCodeTextReader& _in;
    uint32_t _uLow = 0;
    uint32_t _uHigh = 0xFFFFu;
    uint32_t _uCode = 0;
    int64_t _nPending = 0; // straddle steps since the leading bits last agreed
};
