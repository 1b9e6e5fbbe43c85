#include "VqArithmeticCodec2.h"

#include "VqErrorState.h"

namespace {
const char* const kCls = "VqArithmeticCodec2";
} // namespace

bool VqArithmeticCodec2::encode(const int* values, int nValues, VqVeci& oobValues, VqVecu& codeText,
                                int64_t& nBits, VqProbContext2* pProbCntx) {
    VQ_CHECK(pProbCntx, kCls, "encode", VQ_ERR_ARGUMENT);
    return VqArithmeticCoding<VqProbContext2>::encode(kCls, values, nValues, oobValues, codeText, nBits,
                                                      *pProbCntx);
}

bool VqArithmeticCodec2::decode(int nValues, const int* oobValues, int nOOBValues, const uint32_t* codeText,
                                int64_t nBits, VqVeci& values, VqProbContext2* pProbCntx) {
    VQ_CHECK(pProbCntx, kCls, "decode", VQ_ERR_ARGUMENT);
    return _coding.decode(kCls, nValues, oobValues, nOOBValues, codeText, nBits, values, *pProbCntx);
}
