#pragma once

#include "VqCodec2.h"
#include "VqExport.h"
#include "VqWidthRuns.h"

// The bit-length codec of version-2 packets. Its code text starts with a
// mode bit:
// - 0, fixed width: 6-bit widths of the minimum and the maximum, both as
//   two's complement numbers in those widths, then every value less the
//   minimum in w bits, w being the bit count of max - min (0 when equal).
// - 1, variable width: the mean (32 bits), 3-bit widths of a width change
//   and of a run length, then groups until every value is read: signed width
//   changes added to the current width (starting at 0), repeated while the
//   change read is one of the two extreme codes; an unsigned run length r;
//   r values, each value - mean as a two's complement number in the current
//   width.
// No bit may follow the last value.
class VQ_API VqBitLengthCodec2 : public VqCodec2 {
public:
    // The field widths the writer uses in variable mode.
    static constexpr int cDeltaBits = VqWidthRuns::cDeltaBits;
    static constexpr int cRunBits = VqWidthRuns::cRunBits;

    bool encode(const int* values, int nValues, VqVeci& oobValues, VqVecu& codeText, int64_t& nBits,
                VqProbContext2* pProbCntx) override;
    bool decode(int nValues, const int* oobValues, int nOOBValues, const uint32_t* codeText, int64_t nBits,
                VqVeci& values, VqProbContext2* pProbCntx) override;
    size_t memSize() const override;

private:
    // Runs of equal widths of values - mean, after smoothing; kept between
    // calls so that coding many arrays reuses the memory.
    VqWidthRuns _runs;
};
