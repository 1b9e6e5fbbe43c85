#pragma once

#include "VqCodec.h"
#include "VqExport.h"

// The raw codec of version-1 packets: each value is one 32-bit word of the
// code text.
class VQ_API VqNullCodec : public VqCodec {
public:
    bool encode(const int* symbols, int nSymbols, const VqProbModel<int>* pModel, VqVecu& codeText,
                int64_t& nBits) override;
    bool decode(const uint32_t* codeText, int64_t nBits, int nSymbols, int nValues,
                const VqProbModel<int>* pModel, const int* oobValues, int nOOBValues,
                VqVeci& values) override;
    size_t memSize() const override { return sizeof(*this); }
};
