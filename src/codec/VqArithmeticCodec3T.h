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
    // The most packets decodeTogether() takes: five, so that a record's
    // three coordinate texts and the pair of its normals' run in one loop,
    // which took an eighth less time than a loop of three and one of two.
    static constexpr int cMaxTogether = 5;
    // Decodes n (2 to cMaxTogether) independent packets in one loop, whose
    // symbol chains overlap; the checks and failures are those of decode()
    // for each.
    bool decodeTogether(const Packet* const* p, int n);
    // How often each entry of the context was decoded by the last decode(),
    // or of packet k's by the last decodeTogether().
    const uint32_t* entryCounts(int k = 0) const { return _aCoding[k].entryCounts(); }
    size_t memSize() const override {
        size_t n = sizeof(*this);
        for (const auto& c : _aCoding)
            n += c.memSize();
        return n;
    }

private:
    // Its own tables for each packet decoded together; the first also
    // serves decode().
    VqArithmeticCoding<VqProbContext3T<T>> _aCoding[cMaxTogether];
};

extern template class VqArithmeticCodec3T<int>;
extern template class VqArithmeticCodec3T<long>;
