#pragma once

#include "VqArithmeticCoding.h"
#include "VqCodec2.h"
#include "VqExport.h"
#include "VqProbContext2.h"

// The arithmetic codec of version-2 packets: each value is coded as the
// interval of its entry in the probability context; a value the context does
// not hold is coded as the escape entry and goes to the out-of-band list.
class VQ_API VqArithmeticCodec2 : public VqCodec2 {
public:
    bool encode(const int* values, int nValues, VqVeci& oobValues, VqVecu& codeText, int64_t& nBits,
                VqProbContext2* pProbCntx) override;
    bool decode(int nValues, const int* oobValues, int nOOBValues, const uint32_t* codeText, int64_t nBits,
                VqVeci& values, VqProbContext2* pProbCntx) override;
    // How often each entry of the context was decoded by the last decode().
    const uint32_t* entryCounts() const { return _coding.entryCounts(); }
    size_t memSize() const override { return sizeof(*this) + _coding.memSize(); }

private:
    VqArithmeticCoding<VqProbContext2> _coding;
};
