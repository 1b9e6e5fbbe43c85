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

    uint32_t target(const VqArithmeticScale& t) const { return _target(_uLow, _uHigh, _uCode, t); }

    void consume(uint32_t c, uint32_t n, const VqArithmeticScale& t) {
        _narrow(_in, _uLow, _uHigh, _uCode, _nPending, c, n, t);
    }

    // Decodes n symbols: step(i, target, c, n) files symbol i, the one whose
    // interval [c, c + n) holds target, and returns false to stop. Meanwhile
    // the registers and the reader live in locals, which the values the
    // caller stores cannot alias: through the members, every store of an
    // integer would send them through memory again at every symbol.
    template <class Step>
    bool run(int nSymbols, const VqArithmeticScale& t, Step&& step) {
        VqCodeTextReader in = _in;
        const VqArithmeticScale scale = t;
        uint32_t low = _uLow, high = _uHigh, code = _uCode;
        int64_t pending = _nPending;
        bool ok = true;
        for (int i = 0; i < nSymbols && ok; ++i) {
            uint32_t c = 0, n = 0;
            ok = step(i, _target(low, high, code, scale), c, n);
            if (ok) _narrow(in, low, high, code, pending, c, n, scale);
        }
        _in = in;
        _uLow = low;
        _uHigh = high;
        _uCode = code;
        _nPending = pending;
        return ok;
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
    static uint32_t _target(uint32_t low, uint32_t high, uint32_t code, const VqArithmeticScale& t) {
        return ((code - low + 1) * t.total() - 1) / (high - low + 1);
    }

    // Narrows [low, high] to the interval [c, c + n) of t and shifts out the
    // bits that interval settles, taking as many from the code text. Kept
    // inline: called apart, its registers go through memory.
    [[gnu::always_inline]] static void _narrow(VqCodeTextReader& in, uint32_t& low, uint32_t& high,
                                               uint32_t& code, int64_t& pending, uint32_t c, uint32_t n,
                                               const VqArithmeticScale& t) {
        const uint32_t r = high - low + 1;
        high = low + t.divide((c + n) * r) - 1;
        low = low + t.divide(c * r);
        // Without a branch: k is 0 when the top bits differ. The bit below
        // the 16 counted ones keeps the count off zero, which costs a branch.
        const int k = std::countl_zero(((low ^ high) << 16) | 0x8000u);
        // The straddle steps (low = 01..., high = 10...) that follow, all at
        // once and without a branch, whose outcome no predictor foresees: step
        // j takes the bit below bit 15 out of the three registers when it is
        // 1 in low and 0 in high. Each step clears that bit of low, sets it in
        // high and flips it in code before the shift; as bits 15 and 14 of
        // code differ while it lies between low and high, its bit 15 stays as
        // it is. So after s steps the registers keep bit 15 (the one below
        // the k agreeing bits) and lose the s bits below it. The bits the
        // shifts by k bring in are 0 in low and 1 in high, so s counts in the
        // registers as they are, and both shifts take one read of k + s bits
        // (at most 16: the straddle bits lie below the k agreeing bits and
        // the first differing one).
        const int s = std::countl_zero((~((low & ~high) << (k + 1)) << 16) | 0x8000u);
        const int m = k + s;
        const uint32_t w = (code << m) | in.readUpTo16Bits(m);
        low = (low << m) & 0x7FFFu;
        high = (((high << m) | ((1u << m) - 1)) & 0x7FFFu) | 0x8000u;
        code = ((w >> s) & 0x8000u) | (w & 0x7FFFu);
        // The encoder resolves its pending bits whenever leading bits agree.
        pending = (k > 0 ? 0 : pending) + s;
    }

    VqCodeTextReader& _in;
    uint32_t _uLow = 0;
    uint32_t _uHigh = 0xFFFFu;
    uint32_t _uCode = 0;
    int64_t _nPending = 0; // straddle steps since the leading bits last agreed
};
