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
    return _aCoding[0].decode(kCls, nValues, oobValues, nOOBValues, codeText, nBits, values, *pProbCntx);
}

template <class T>
bool VqArithmeticCodec3T<T>::decodeTogether(const Packet* const* p, int n) {
    VQ_CHECK(n >= 2 && n <= cMaxTogether, kCls, "decode", VQ_ERR_ARGUMENT);
    for (int k = 0; k < n; ++k)
        VQ_CHECK(p[k]->cntx, kCls, "decode", VQ_ERR_ARGUMENT);
    using Coding = VqArithmeticCoding<VqProbContext3T<T>>;
    if (n == 2) return Coding::decodeTogether(kCls, {p[0], p[1]}, {&_aCoding[0], &_aCoding[1]});
    if (n == 3)
        return Coding::decodeTogether(kCls, {p[0], p[1], p[2]}, {&_aCoding[0], &_aCoding[1], &_aCoding[2]});
    if (n == 4)
        return Coding::decodeTogether(kCls, {p[0], p[1], p[2], p[3]},
                                      {&_aCoding[0], &_aCoding[1], &_aCoding[2], &_aCoding[3]});
    return Coding::decodeTogether(kCls, {p[0], p[1], p[2], p[3], p[4]},
                                  {&_aCoding[0], &_aCoding[1], &_aCoding[2], &_aCoding[3], &_aCoding[4]});
}

template class VqArithmeticCodec3T<int>;
template class VqArithmeticCodec3T<long>;
