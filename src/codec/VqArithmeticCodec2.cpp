#include "VqArithmeticCodec2.h"

#include "VqArithmeticDecoder.h"
#include "VqArithmeticEncoder.h"
#include "VqErrorState.h"
#include "VqProbContext2.h"

namespace {
const char* const kCls = "VqArithmeticCodec2";
constexpr uint32_t cMaxTotalCount = VqProbContext2::cMaxTotalCount;
} // namespace

bool VqArithmeticCodec2::encode(const int* values, int nValues, VqVeci& oobValues, VqVecu& codeText,
                                int64_t& nBits, VqProbContext2* pProbCntx) {
    VQ_CHECK(pProbCntx, kCls, "encode", VQ_ERR_ARGUMENT);
    const uint32_t t = pProbCntx->totalCount();
    VQ_CHECK(t > 0 && t < cMaxTotalCount, kCls, "encode", VQ_ERR_ARGUMENT);
    VqCodeTextWriter out(codeText);
    VqArithmeticEncoder coder(out);
    for (int i = 0; i < nValues; ++i) {
        const int idx = pProbCntx->lookupEntryByValue(values[i]);
        // A value with no entry, or only a zero-count one, cannot be coded.
        if (idx < 0 || pProbCntx->entry(idx)._cCount <= 0)
            VQ_FAIL(kCls, "encode", "Value not in probability table", VQ_ERR_ARGUMENT);
        const VqCntxEntry2& e = pProbCntx->entry(idx);
        if (e.isEscape()) oobValues.push_back(values[i]);
        coder.encode(static_cast<uint32_t>(e._cCumCount), static_cast<uint32_t>(e._cCount), t);
    }
    coder.flush();
    out.finish();
    nBits = out.numBits();
    return true;
}

bool VqArithmeticCodec2::decode(int nValues, const int* oobValues, int nOOBValues, const uint32_t* codeText,
                                int64_t nBits, VqVeci& values, VqProbContext2* pProbCntx) {
    VQ_CHECK(pProbCntx, kCls, "decode", VQ_ERR_ARGUMENT);
    const uint32_t t = pProbCntx->totalCount();
    VQ_CHECK(t > 0 && t < cMaxTotalCount, kCls, "decode", VQ_ERR_CORRUPT);
    VqCodeTextReader in(codeText, nBits);
    VqArithmeticDecoder coder(in);
    int room = _initialCapacity(nValues, nBits);
    values.resize(static_cast<size_t>(room));
    int* out = values.data();
    const VqCntxEntry2* entries = pProbCntx->entries();
    int iOOB = 0;
    for (int i = 0; i < nValues; ++i) {
        if (i == room) {
            room = _grow(values, room, nValues);
            out = values.data();
        }
        const int idx = pProbCntx->lookupEntryByCumCount(coder.target(t));
        if (idx < 0) VQ_FAIL(kCls, "decode", "Bad probability table", VQ_ERR_CORRUPT);
        const VqCntxEntry2& e = entries[idx];
        if (e.isEscape()) {
            if (iOOB >= nOOBValues) VQ_FAIL(kCls, "decode", "iOOB < nOOBValues", VQ_ERR_CORRUPT);
            out[i] = oobValues[iOOB++];
        } else {
            out[i] = e._iValue;
        }
        coder.consume(static_cast<uint32_t>(e._cCumCount), static_cast<uint32_t>(e._cCount), t);
        if (in.overrun()) VQ_FAIL(kCls, "decode", "Code text too short", VQ_ERR_CORRUPT);
    }
    coder.finish();
    if (in.overrun()) VQ_FAIL(kCls, "decode", "Code text too short", VQ_ERR_CORRUPT);
    if (!in.exhausted() || !in.padIsZero()) VQ_FAIL(kCls, "decode", "_uBitBuff == 0", VQ_ERR_CORRUPT);
    return true;
}
