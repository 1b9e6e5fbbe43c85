#pragma once

#include "VqArithmeticScale.h"
#include "VqCodec.h"
#include "VqExport.h"

#include <vector>

// The arithmetic codec of version-1 packets: the coder shared by every
// generation, with the scale and entries of the context current for each
// symbol (totals up to 16383). Its code text is whole words: the writer pads
// the last one with zeros and counts the padding in the bit count, and a
// reader refuses a count that is not a multiple of 32.
class VQ_API VqArithmeticCodec : public VqCodec {
public:
    bool encode(const int* symbols, int nSymbols, const VqProbModel<int>* pModel, VqVecu& codeText,
                int64_t& nBits) override;
    bool decode(const uint32_t* codeText, int64_t nBits, int nSymbols, int nValues,
                const VqProbModel<int>* pModel, const int* oobValues, int nOOBValues,
                VqVeci& values) override;
    size_t memSize() const override {
        return sizeof(*this) + _vScales.capacity() * sizeof(VqArithmeticScale) +
               _vCumToEntry.capacity() * sizeof(uint16_t) + _vTableStart.capacity() * sizeof(int64_t);
    }

private:
    // One scale per context; false when a context's total is beyond the
    // coder's range (an empty context gets a scale that is never used).
    bool _makeScales(const VqProbModel<int>& model, VqErrorCode eCode);

    std::vector<VqArithmeticScale> _vScales;
    // Entry index per cumulative count of each context, context c's table
    // starting at _vTableStart[c], for packets long enough to repay filling
    // them; kept between calls for their memory only.
    std::vector<uint16_t> _vCumToEntry;
    std::vector<int64_t> _vTableStart;
};
