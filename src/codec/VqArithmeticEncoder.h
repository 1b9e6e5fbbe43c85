#pragma once

#include "VqArithmeticScale.h"
#include "VqCodeTextWriter.h"
#include "VqExport.h"

#include <bit>
#include <cstdint>

// The 16-bit binary arithmetic coder shared by every packet generation,
// encoding side. A symbol is an interval [c, c + n) of a scale t (its
// context's cumulative count, count and total count).
//
// The scale must stay below 2^14 and every coded count above 0: after
// renormalisation the range exceeds 2^14, so each symbol then keeps an
// interval of at least one code value. Callers check their contexts.
//
// Renormalisation shifts out the run of leading bits that low and high share
// in one step and then handles the straddle case (low = 01..., high = 10...)
// bit by bit; the bits produced are those of the one-bit-at-a-time rule.
class VQ_API VqArithmeticEncoder {
public:
    explicit VqArithmeticEncoder(VqCodeTextWriter& out) : _out(out) {}

    void encode(uint32_t c, uint32_t n, const VqArithmeticScale& t) {
        const uint32_t r = _uHigh - _uLow + 1;
        _uHigh = _uLow + t.divide((c + n) * r) - 1;
        _uLow = _uLow + t.divide(c * r);
        const uint32_t same = ~(_uLow ^ _uHigh) & 0xFFFFu;
        if (same & 0x8000u) {
            // k leading bits agree: they are final.
            const int k = std::countl_one(static_cast<uint16_t>(same));
            if (_nPending == 0) {
                _out.writeBits(_uLow >> (16 - k), k);
            } else {
                const uint32_t first = _uLow >> 15;
                _out.writeBits(first, 1);
                _out.writeRun(first == 0, _nPending);
                _nPending = 0;
                _out.writeBits(_uLow >> (16 - k), k - 1);
            }
            _uLow = (_uLow << k) & 0xFFFFu;
            _uHigh = ((_uHigh << k) | ((1u << k) - 1)) & 0xFFFFu;
        }
        // The top bits now differ; the straddle case may follow, never the other.
        while (_uLow & ~_uHigh & 0x4000u) {
            ++_nPending;
            _uLow = (_uLow & 0x3FFFu) << 1;
            _uHigh = (((_uHigh | 0x4000u) << 1) | 1u) & 0xFFFFu;
        }
    }

    // Ends the code: bit 14 of low, pending + 1 complements of it and 16
    // zeros, so that a decoder reading two bits past its last symbol finds
    // exactly the end of the code. The caller finishes the writer.
    void flush() {
        const uint32_t bit = (_uLow >> 14) & 1u;
        _out.writeBits(bit, 1);
        _out.writeRun(bit == 0, _nPending + 1);
        _out.writeBits(0, 16);
        _nPending = 0;
    }

private:
    VqCodeTextWriter& _out;
    uint32_t _uLow = 0;
    uint32_t _uHigh = 0xFFFFu;
    uint64_t _nPending = 0;
};
