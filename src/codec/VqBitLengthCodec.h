#pragma once

#include "VqCodec.h"
#include "VqExport.h"

#include <vector>

// The bit-length codec of version-1 packets. Per value a width prefix, then
// the value in the current width as a two's complement number (the width
// starts at 0; a value of width 0 takes no bits). Prefix 0 keeps the width;
// prefix 1 is followed by a run of equal bits ended by the opposite bit, each
// 1 of the run adding 2 to the width and each 0 taking 2 away. When the code
// text ends while a value of width 0 is due, that value is 0.
class VQ_API VqBitLengthCodec : public VqCodec {
public:
    static constexpr int cMaxWidth = 32;

    bool encode(const int* symbols, int nSymbols, const VqProbModel<int>* pModel, VqVecu& codeText,
                int64_t& nBits) override;
    bool decode(const uint32_t* codeText, int64_t nBits, int nSymbols, int nValues,
                const VqProbModel<int>* pModel, const int* oobValues, int nOOBValues,
                VqVeci& values) override;
    size_t memSize() const override { return sizeof(*this) + _vWidths.capacity() * sizeof(uint8_t); }

    // Bits the writer would produce for values.
    int64_t estimateBits(const int* values, int nValues);

private:
    // The width of each value: the least even width that holds it, or, with
    // a look-ahead of one value, a wider one when that saves width changes.
    void _chooseWidths(const int* values, int nValues);

    std::vector<uint8_t> _vWidths;
};
