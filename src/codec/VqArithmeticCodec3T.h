#pragma once

#include "VqArithmeticCoding.h"
#include "VqCodec3T.h"
#include "VqExport.h"
#include "VqProbContext3T.h"

// The arithmetic codec of version-3 packets: the coder and context rules of
// every generation over a VqProbContext3T.
template <class T>
class VQ_API VqArithmeticCodec3T : public VqCodec3T<T> {
public:
    bool encode(const T* values, int nValues, VqVec<T>& oobValues, VqVecu& codeText, int64_t& nBits,
                VqProbContext3T<T>* pProbCntx) override;
    bool decode(int nValues, const T* oobValues, int nOOBValues, const uint32_t* codeText, int64_t nBits,
                VqVec<T>& values, VqProbContext3T<T>* pProbCntx) override;
    // How often each entry of the context was decoded by the last decode().
    const uint32_t* entryCounts() const { return _coding.entryCounts(); }
    size_t memSize() const override { return sizeof(*this) + _coding.memSize(); }

private:
    VqArithmeticCoding<VqProbContext3T<T>> _coding;
};

extern template class VqArithmeticCodec3T<int>;
extern template class VqArithmeticCodec3T<long>;
