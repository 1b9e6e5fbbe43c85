#include "VqNullCodec2.h"

#include "VqErrorState.h"

#include <cstring>

namespace {
const char* const kCls = "VqNullCodec2";
}

bool VqNullCodec2::encode(const int* values, int nValues, VqVeci&, VqVecu& codeText, int64_t& nBits,
                          VqProbContext2* pProbCntx) {
    VQ_CHECK(pProbCntx == __null, kCls, "encode", VQ_ERR_ARGUMENT);
    codeText.resize(static_cast<size_t>(nValues));
    if (nValues > 0) std::memcpy(codeText.data(), values, static_cast<size_t>(nValues) * 4);
    nBits = 32 * static_cast<int64_t>(nValues);
    return true;
}

bool VqNullCodec2::decode(int nValues, const int*, int, const uint32_t* codeText, int64_t nBits, VqVeci& values,
                          VqProbContext2* pProbCntx) {
    VQ_CHECK(pProbCntx == __null, kCls, "decode", VQ_ERR_ARGUMENT);
    VQ_CHECK(nBits == 32 * static_cast<int64_t>(nValues), kCls, "decode", VQ_ERR_CORRUPT);
    values.resize(static_cast<size_t>(nValues));
    if (nValues > 0) std::memcpy(values.data(), codeText, static_cast<size_t>(nValues) * 4);
    return true;
}
