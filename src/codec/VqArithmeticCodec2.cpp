#include "VqArithmeticCodec2.h"

#include "VqArithmeticDecoder.h"
#include "VqArithmeticEncoder.h"
#include "VqErrorState.h"
#include "VqProbContext2.h"

#include <algorithm>

namespace {
const char* const kCls = "VqArithmeticCodec2";
constexpr uint32_t cMaxTotalCount = VqProbContext2::cMaxTotalCount;
// Values decoded between two checks of the code text's end.
constexpr int kRunLength = 4096;
} // namespace

bool VqArithmeticCodec2::encode(const int* values, int nValues, VqVeci& oobValues, VqVecu& codeText,
                                int64_t& nBits, VqProbContext2* pProbCntx) {
    VQ_CHECK(pProbCntx, kCls, "encode", VQ_ERR_ARGUMENT);
    const uint32_t t = pProbCntx->totalCount();
    VQ_CHECK(t > 0 && t < cMaxTotalCount, kCls, "encode", VQ_ERR_ARGUMENT);
    const VqArithmeticScale scale(t);
    VqCodeTextWriter out(codeText);
    VqArithmeticEncoder coder(out);
    for (int i = 0; i < nValues; ++i) {
        const int idx = pProbCntx->lookupEntryByValue(values[i]);
        // A value with no entry, or only a zero-count one, cannot be coded.
        if (idx < 0 || pProbCntx->entry(idx)._cCount <= 0)
            VQ_FAIL(kCls, "encode", "Value not in probability table", VQ_ERR_ARGUMENT);
        const VqCntxEntry2& e = pProbCntx->entry(idx);
        if (e.isEscape()) oobValues.push_back(values[i]);
        coder.encode(static_cast<uint32_t>(e._cCumCount), static_cast<uint32_t>(e._cCount), scale);
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
    const VqArithmeticScale scale(t);
    const VqCntxEntry2* entries = pProbCntx->entries();
    // A table from cumulative count to entry finds the same entry as the
    // search in one step; filling it costs about as much as searching for a
    // quarter of its size in values.
    const bool bTable = static_cast<uint64_t>(nValues) * 4 >= t;
    if (bTable) {
        _vCumToEntry.resize(t);
        for (int k = 0, nEntries = pProbCntx->numEntries(); k < nEntries; ++k)
            std::fill_n(_vCumToEntry.begin() + entries[k]._cCumCount, entries[k]._cCount, static_cast<uint16_t>(k));
    }
    VqCodeTextReader in(codeText, nBits);
    VqArithmeticDecoder coder(in);
    // Values decode in runs between the checks of room and of bits left: a
    // corrupt code text is caught at the end of the run it breaks.
    const auto run = [&]<bool kTable>(int* out, int from, int to, int& iOOB) {
        for (int i = from; i < to; ++i) {
            const uint32_t target = coder.target(scale);
            const int idx = kTable ? _vCumToEntry[target] : pProbCntx->lookupEntryByCumCount(target);
            if (idx < 0) VQ_FAIL(kCls, "decode", "Bad probability table", VQ_ERR_CORRUPT);
            const VqCntxEntry2& e = entries[idx];
            if (e.isEscape()) {
                if (iOOB >= nOOBValues) VQ_FAIL(kCls, "decode", "iOOB < nOOBValues", VQ_ERR_CORRUPT);
                out[i] = oobValues[iOOB++];
            } else {
                out[i] = e._iValue;
            }
            coder.consume(static_cast<uint32_t>(e._cCumCount), static_cast<uint32_t>(e._cCount), scale);
        }
        return true;
    };
    int room = _initialCapacity(nValues, nBits);
    values.resize(static_cast<size_t>(room));
    int iOOB = 0;
    for (int done = 0; done < nValues;) {
        if (done == room) room = _grow(values, room, nValues);
        const int to = std::min(room, done + kRunLength);
        if (!(bTable ? run.template operator()<true>(values.data(), done, to, iOOB)
                     : run.template operator()<false>(values.data(), done, to, iOOB)))
            return false;
        if (in.overrun()) VQ_FAIL(kCls, "decode", "Code text too short", VQ_ERR_CORRUPT);
        done = to;
    }
    coder.finish();
    if (in.overrun()) VQ_FAIL(kCls, "decode", "Code text too short", VQ_ERR_CORRUPT);
    if (!in.exhausted() || !in.padIsZero()) VQ_FAIL(kCls, "decode", "_uBitBuff == 0", VQ_ERR_CORRUPT);
    return true;
}
