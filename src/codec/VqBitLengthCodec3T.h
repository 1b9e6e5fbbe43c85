#pragma once

#include "VqCodeTextReader.h"
#include "VqCodeTextWriter.h"
#include "VqCodec3T.h"
#include "VqExport.h"
#include "VqWidthRuns.h"

#include <bit>
#include <cstdint>
#include <type_traits>

// The bit-length codec of version-3 packets (T = int or long). Its code text
// starts with a mode bit:
// - 0, fixed width: the minimum and the maximum as nibble numbers, then
//   every value less the minimum in w unsigned bits, w being the significant
//   bits of max - min (0 when equal).
// - 1, variable width: the centre as a nibble number, then groups until every
//   value is read: signed 4-bit width changes added to the current width
//   (starting at 0), repeated while the change read is -8 or 7; a 4-bit run
//   length r; r values, each value - centre as a two's complement number in
//   the current width.
// A nibble number is 4-bit groups, least significant first, each followed by
// a bit that is 1 when another group follows; it is sign-extended from its
// groups' bits when they are fewer than T's. No bit may follow the last
// value. Values and differences wider than 32 bits go high part first, so
// that every number reads most significant bit first.
template <class T>
class VQ_API VqBitLengthCodec3T : public VqCodec3T<T> {
public:
    using U = std::make_unsigned_t<T>;
    static constexpr int cValueBits = static_cast<int>(8 * sizeof(T));

    // The size the writer estimates for values (the chooser's figure):
    // the smaller of the fixed mode, taken as the significant bits of
    // max - min times (N + 2) plus 15, and the variable mode at the better
    // of its two centres, rounded up to a multiple of 32.
    int64_t estimateBits(const T* values, int nValues, T minValue, T maxValue, T mean);

    bool encode(const T* values, int nValues, VqVec<T>& oobValues, VqVecu& codeText, int64_t& nBits,
                VqProbContext3T<T>* pProbCntx) override;
    bool decode(int nValues, const T* oobValues, int nOOBValues, const uint32_t* codeText, int64_t nBits,
                VqVec<T>& values, VqProbContext3T<T>* pProbCntx) override;
    size_t memSize() const override { return sizeof(*this) + _runs.memSize(); }

    // Bits of a signed x: 1 + the significant bits of x, or of ~x when x is
    // negative (so 0 and -1 take one bit).
    static int signedBits(T x) {
        const U folded = static_cast<U>(x ^ (x >> (cValueBits - 1)));
        return 1 + static_cast<int>(std::bit_width(folded));
    }
    static int significantBits(U x) { return static_cast<int>(std::bit_width(x)); }
    static void writeNibbleNumber(VqCodeTextWriter& out, T v);
    // False when more groups follow than T holds.
    static bool readNibbleNumber(VqCodeTextReader& in, T& v);
    static int nibbleGroups(T v) {
        const int g = (signedBits(v) + 3) / 4;
        return g < cValueBits / 4 ? g : cValueBits / 4;
    }

private:
    struct Plan {
        bool bVariable;
        T centre;
        int64_t estimate;
    };
    Plan _plan(const T* values, int nValues, T minValue, T maxValue, T mean);
    // Runs of the widths of v - centre, smoothed; the variable mode's
    // estimate for that centre.
    int64_t _variableEstimate(const T* values, int nValues, T centre);

    VqWidthRuns _runs;
};

extern template class VqBitLengthCodec3T<int>;
extern template class VqBitLengthCodec3T<long>;
