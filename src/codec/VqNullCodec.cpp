#include "VqNullCodec.h"

#include <cstring>

namespace {
const char* const kCls = "VqNullCodec";
}

bool VqNullCodec::encode(const int* symbols, int nSymbols, const VqProbModel<int>*, VqVecu& codeText,
                         int64_t& nBits) {
    codeText.resize(static_cast<size_t>(nSymbols));
    if (nSymbols > 0) std::memcpy(codeText.data(), symbols, static_cast<size_t>(nSymbols) * 4);
    nBits = 32 * static_cast<int64_t>(nSymbols);
    return true;
}

bool VqNullCodec::decode(const uint32_t* codeText, int64_t nBits, int nSymbols, int, const VqProbModel<int>*,
                         const int*, int, VqVeci& values) {
    VQ_CHECK(nBits == 32 * static_cast<int64_t>(nSymbols), kCls, "decode", VQ_ERR_CORRUPT);
    values.resize(static_cast<size_t>(nSymbols));
    if (nSymbols > 0) std::memcpy(values.data(), codeText, static_cast<size_t>(nSymbols) * 4);
    return true;
}
