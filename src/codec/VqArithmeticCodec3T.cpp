#include "VqArithmeticCodec3T.h"

#include "VqErrorState.h"

namespace {
const char* const kCls = "VqArithmeticCodec3T";
} // namespace

template <class T>
bool VqArithmeticCodec3T<T>::encode(const T* values, int nValues, VqVec<T>& oobValues, VqVecu& codeText,
                                    int64_t& nBits, VqProbContext3T<T>* pProbCntx) {
    VQ_CHECK(pProbCntx, kCls, "encode", VQ_ERR_ARGUMENT);
    return VqArithmeticCoding<VqProbContext3T<T>>::encode(kCls, values, nValues, oobValues, codeText, nBits,
                                                          *pProbCntx);
}

template <class T>
bool VqArithmeticCodec3T<T>::decode(int nValues, const T* oobValues, int nOOBValues, const uint32_t* codeText,
                                    int64_t nBits, VqVec<T>& values, VqProbContext3T<T>* pProbCntx) {
    VQ_CHECK(pProbCntx, kCls, "decode", VQ_ERR_ARGUMENT);
    return _coding.decode(kCls, nValues, oobValues, nOOBValues, codeText, nBits, values, *pProbCntx);
}

template <class T>
bool VqArithmeticCodec3T<T>::decodePair(const Packet& a, const Packet& b) {
    VQ_CHECK(a.cntx && b.cntx, kCls, "decode", VQ_ERR_ARGUMENT);
    return VqArithmeticCoding<VqProbContext3T<T>>::decodePair(kCls, a, _coding, b, _second);
}

template class VqArithmeticCodec3T<int>;
template class VqArithmeticCodec3T<long>;
