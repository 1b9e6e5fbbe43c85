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
    using Packet = typename VqArithmeticCoding<VqProbContext3T<T>>::Packet;

    bool encode(const T* values, int nValues, VqVec<T>& oobValues, VqVecu& codeText, int64_t& nBits,
                VqProbContext3T<T>* pProbCntx) override;
    bool decode(int nValues, const T* oobValues, int nOOBValues, const uint32_t* codeText, int64_t nBits,
                VqVec<T>& values, VqProbContext3T<T>* pProbCntx) override;
    // Decodes two independent packets in one loop, whose symbol chains
    // overlap; the checks and failures are those of decode() for each.
    bool decodePair(const Packet& a, const Packet& b);
    // How often each entry of the context was decoded by the last decode(),
    // or of the first packet's by the last decodePair().
    const uint32_t* entryCounts() const { return _coding.entryCounts(); }
    // The same for the second packet of the last decodePair().
    const uint32_t* secondEntryCounts() const { return _second.entryCounts(); }
    size_t memSize() const override { return sizeof(*this) + _coding.memSize() + _second.memSize(); }

private:
    VqArithmeticCoding<VqProbContext3T<T>> _coding;
    // Its own tables for the second packet of a pair.
    VqArithmeticCoding<VqProbContext3T<T>> _second;
};

extern template class VqArithmeticCodec3T<int>;
extern template class VqArithmeticCodec3T<long>;
