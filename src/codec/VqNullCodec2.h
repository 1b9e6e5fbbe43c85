#pragma once

#include "VqCodec2.h"
#include "VqExport.h"

// The raw codec: each value is one 32-bit word of the code text. Packets of
// version 2 never use it (readers refuse its type); it serves callers that
// want a code text without compression.
class VQ_API VqNullCodec2 : public VqCodec2 {
public:
    bool encode(const int* values, int nValues, VqVeci& oobValues, VqVecu& codeText, int64_t& nBits,
                VqProbContext2* pProbCntx) override;
    bool decode(int nValues, const int* oobValues, int nOOBValues, const uint32_t* codeText, int64_t nBits,
                VqVeci& values, VqProbContext2* pProbCntx) override;
    size_t memSize() const override { return sizeof(*this); }
};
