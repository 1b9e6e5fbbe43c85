#pragma once

#include "VqArithmeticScale.h"
#include "VqCodeTextReader.h"
#include "VqCpuIsa.h"
#include "VqExport.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

// The decoding side of VqArithmeticEncoder. Per symbol: target(t) gives a
// cumulative count in [0, t); the caller finds the entry whose interval
// holds it and passes that interval to consume().
//
// The code always lies in [low, high], whatever bits the code text holds, as
// long as consume() receives the interval that holds target(): so a corrupt
// code text yields wrong symbols, never an invalid state. The scale
// must stay below 2^14 (see VqArithmeticEncoder).
class VQ_API VqArithmeticDecoder {
public:
    explicit VqArithmeticDecoder(VqCodeTextReader& in) : _in(in) { _uDiff = _in.readBits(16); }

    uint32_t target(const VqArithmeticScale& t) const { return _target(_uRange, _uDiff, t); }

    void consume(uint32_t c, uint32_t n, const VqArithmeticScale& t) {
        uint32_t lo = 0;
        const int m = _narrow(_uLow, _uRange, _nPending, c, n, t, lo);
        _uDiff = ((_uDiff - lo) << m) | _in.readUpTo16Bits(m);
    }

    // Decodes n symbols: step(i, target, c, n) files symbol i, the one whose
    // interval [c, c + n) holds target, and returns false to stop. Meanwhile
    // the registers and the reader live in locals, which the values the
    // caller stores cannot alias: through the members, every store of an
    // integer would send them through memory again at every symbol.
    template <class Step>
    bool run(int nSymbols, const VqArithmeticScale& t, const Step& step) {
        return runTogether(nSymbols, Lane<Step>{*this, t, step});
    }

    // One decoder of runTogether(), with its scale and step as for run().
    // The step is a copy: its captures then live in the loop's own frame.
    template <class Step>
    struct Lane {
        VqArithmeticDecoder& coder;
        const VqArithmeticScale& scale;
        Step step;
    };

    // Decodes n symbols of each lane, one of each in turn: each symbol waits
    // on the one before it in its own code text alone, so the chains of
    // division, table load and narrowing overlap where one packet alone
    // leaves the core idle. Stops at the first step that returns false.
    template <class... Step>
    static bool runTogether(int nSymbols, Lane<Step>... lanes) {
        return Vq::withBestIsa([&]() VQ_ISA_BODY {
            return _runTogether(std::index_sequence_for<Step...>{}, nSymbols, lanes...);
        });
    }

    // Decodes n symbols as run() does, for a scale where the interval
    // [c, c + n) of one symbol is most of it: step files the others as for
    // run(), and likely(i) files symbol i as that one. Whether the code lies
    // in that interval is asked first, from the interval's ends in the
    // range, which its narrowing needs anyway: such a symbol waits on two
    // multiplications rather than on the division to the target and the
    // step's look-up after it. The answer is the same as the target's: the
    // target floor(((d + 1) t - 1) / r) reaches c exactly when the code less
    // low, d, reaches floor(c r / t).
    template <class Step, class Likely>
    bool runMostly(int nSymbols, const VqArithmeticScale& t, uint32_t c, uint32_t n, const Step& step,
                   const Likely& likely) {
        return Vq::withBestIsa([&]() VQ_ISA_BODY {
            // Copies, as for run(), and the registers in locals.
            const Step other = step;
            const Likely mostly = likely;
            Regs r = _openRegs(t);
            // The interval's ends scaled once, so that each end in the range
            // is one multiplication by it, where scaling the range first put
            // two in a row on the symbol's chain: the same integer product.
            const uint64_t cm = t.scaled(c), em = t.scaled(c + n);
            bool ok = true;
            for (int i = 0; i < nSymbols && ok; ++i) {
                const uint32_t lo = VqArithmeticScale::divideScaled(r.range, cm);
                const uint32_t hi = VqArithmeticScale::divideScaled(r.range, em);
                const uint32_t diff = static_cast<uint32_t>(r.win.bits >> 48);
                if (diff - lo < hi - lo) [[likely]] {
                    mostly(i);
                    _narrowWindowTo(r, lo, hi);
                    continue;
                }
                uint32_t cs = 0, ns = 0;
                ok = other(i, _target(r.range, diff, r.scale), cs, ns);
                if (ok) _narrowWindow(r, cs, ns);
            }
            _closeRegs(r);
            return ok;
        });
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
    // A decoder's registers, as locals of runTogether(); the code less low
    // is the top of the reader's window.
    struct Regs {
        VqCodeTextReader::Window win;
        VqArithmeticScale scale;
        uint32_t low, range;
        int64_t pending;
    };

    // Always in line: runTogether() builds it once for each instruction set.
    template <size_t... I, class... Step>
    [[gnu::always_inline]] static bool _runTogether(std::index_sequence<I...>, int nSymbols,
                                                    Lane<Step>... lanes) {
        Regs r[] = {lanes.coder._openRegs(lanes.scale)...};
        bool ok = true;
        for (int i = 0; i < nSymbols && ok; ++i) {
            uint32_t c[sizeof...(I)] = {}, n[sizeof...(I)] = {};
            ok = (lanes.step(i, _target(r[I].range, static_cast<uint32_t>(r[I].win.bits >> 48), r[I].scale),
                             c[I], n[I]) &&
                  ...);
            if (ok) (_narrowWindow(r[I], c[I], n[I]), ...);
        }
        (lanes.coder._closeRegs(r[I]), ...);
        return ok;
    }

    // The registers into locals, and back: with the window open, the
    // reader's state is the window's.
    [[gnu::always_inline]] Regs _openRegs(const VqArithmeticScale& t) {
        return Regs{_in.openWindow(_uDiff), t, _uLow, _uRange, _nPending};
    }
    [[gnu::always_inline]] void _closeRegs(const Regs& r) {
        _in.closeWindow(r.win);
        _uDiff = static_cast<uint32_t>(r.win.bits >> 48);
        _uLow = r.low;
        _uRange = r.range;
        _nPending = r.pending;
    }

    // _narrow() on a decoder's registers, the code less low and the bits it
    // takes moving in one shift.
    [[gnu::always_inline]] static void _narrowWindow(Regs& r, uint32_t c, uint32_t n) {
        uint32_t lo = 0;
        const int m = _narrow(r.low, r.range, r.pending, c, n, r.scale, lo);
        _shiftWindow(r, lo, m);
    }
    // The same for an interval whose ends in the range, lo and hi, are known.
    [[gnu::always_inline]] static void _narrowWindowTo(Regs& r, uint32_t lo, uint32_t hi) {
        _shiftWindow(r, lo, _narrowTo(r.low, r.range, r.pending, lo, hi));
    }
    [[gnu::always_inline]] static void _shiftWindow(Regs& r, uint32_t lo, int m) {
        r.win.bits = (r.win.bits - (static_cast<uint64_t>(lo) << 48)) << m;
        r.win.n -= m;
        r.win.refill();
    }

    // The registers are low, the range high - low + 1 and the code less low:
    // the target and the narrowing need only the last two, and both shift
    // out bits alike (each step doubles the range and takes one code bit
    // into the difference), where high and code each needed their bits
    // masked and set apart.
    static uint32_t _target(uint32_t range, uint32_t diff, const VqArithmeticScale& t) {
        return ((diff + 1) * t.total() - 1) / range;
    }

    // Narrows low and the range to the interval [c, c + n) of t and shifts
    // out the bits that interval settles; returns their count m and the
    // interval's lower end lo in the range, by which the code less low
    // drops before it shifts by m and takes m bits of the code text. As long
    // as that interval holds the target, lo is at most the code less low and
    // the difference stays below the range, whatever bits the code text
    // holds. Kept inline: called apart, its registers go through memory.
    [[gnu::always_inline]] static int _narrow(uint32_t& low, uint32_t& range, int64_t& pending, uint32_t c,
                                              uint32_t n, const VqArithmeticScale& t, uint32_t& lo) {
        const uint64_t rm = t.scaled(range);
        lo = VqArithmeticScale::divideScaled(c, rm);
        return _narrowTo(low, range, pending, lo, VqArithmeticScale::divideScaled(c + n, rm));
    }
    // The rest of _narrow(), from the interval's ends in the range.
    [[gnu::always_inline]] static int _narrowTo(uint32_t& low, uint32_t& range, int64_t& pending, uint32_t lo,
                                                uint32_t hi) {
        low += lo;
        range = hi - lo;
        const uint32_t high = low + range - 1;
        // Without a branch: k is 0 when the top bits differ. The bit below
        // the 16 counted ones keeps the count off zero, which costs a branch.
        const int k = std::countl_zero(((low ^ high) << 16) | 0x8000u);
        // The straddle steps (low = 01..., high = 10...) that follow, all at
        // once and without a branch, whose outcome no predictor foresees: step
        // j takes the bit below bit 15 out of low and high when it is 1 in low
        // and 0 in high; low keeps its bit 15 (the one below the k agreeing
        // bits) and loses the s bits below it. The bits the shifts by k bring
        // in are 0 in low and 1 in high, so s counts in the registers as they
        // are, and the shifts take one read of k + s bits (at most 16: the
        // straddle bits lie below the k agreeing bits and the first differing
        // one).
        //
        // The word w, whose shift by k + 1 gives those bits in its top half
        // with ones below them, needs only low and high: it forms while k is
        // counted, and s waits on one shift after k.
        const uint32_t w = ((~(low & ~high) << 16) | 0xFFFFu) << 1;
        const int s = std::countl_zero(w << k);
        const int m = k + s;
        range <<= m;
        low = (low << m) & 0x7FFFu;
        // The encoder resolves its pending bits whenever leading bits agree.
        pending = (k > 0 ? 0 : pending) + s;
        return m;
    }

    VqCodeTextReader& _in;
    uint32_t _uLow = 0;
    uint32_t _uRange = 0x10000u;
    uint32_t _uDiff = 0;   // code less low, below the range
    int64_t _nPending = 0; // straddle steps since the leading bits last agreed
};
