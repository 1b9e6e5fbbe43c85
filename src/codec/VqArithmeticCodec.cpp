#include "VqArithmeticCodec.h"

#include "VqArithmeticDecoder.h"
#include "VqArithmeticEncoder.h"

#include <algorithm>

namespace {
const char* const kCls = "VqArithmeticCodec";
} // namespace

bool VqArithmeticCodec::_makeScales(const VqProbModel<int>& model, VqErrorCode eCode) {
    _vScales.clear();
    for (int c = 0; c < model.numContexts(); ++c) {
        // Summed here in 64 bits: the context's own total is kept in 32.
        uint64_t total = 0;
        const VqProbContext<int>& cntx = model.context(c);
        for (int i = 0; i < cntx.numEntries(); ++i)
            total += static_cast<uint64_t>(cntx.entry(i)._cCount);
        if (total > VqProbContext<int>::cMaxScale) VQ_FAIL(kCls, "decode", "Bad probability table", eCode);
        _vScales.emplace_back(total > 0 ? static_cast<uint32_t>(total) : 1u);
    }
    return true;
}

bool VqArithmeticCodec::encode(const int* symbols, int nSymbols, const VqProbModel<int>* pModel,
                               VqVecu& codeText, int64_t& nBits) {
    VQ_CHECK(pModel, kCls, "encode", VQ_ERR_ARGUMENT);
    VQ_PROPAGATE(_makeScales(*pModel, VQ_ERR_INTERNAL));
    VqCodeTextWriter out(codeText);
    VqArithmeticEncoder coder(out);
    int cur = 0;
    for (int s = 0; s < nSymbols; ++s) {
        VQ_CHECK(cur < pModel->numContexts(), kCls, "encode", VQ_ERR_INTERNAL);
        const VqProbContext<int>& cntx = pModel->context(cur);
        const int idx = symbols[s];
        VQ_CHECK(idx >= 0 && idx < cntx.numEntries() && cntx.entry(idx)._cCount > 0, kCls, "encode",
                 VQ_ERR_INTERNAL);
        const VqCntxEntry<int>& e = cntx.entry(idx);
        coder.encode(static_cast<uint32_t>(e._cCumCount), static_cast<uint32_t>(e._cCount),
                     _vScales[static_cast<size_t>(cur)]);
        cur = e._iNextCntx;
    }
    coder.flush();
    // Whole words: the reader takes 32 bits at a time.
    out.writeBits(0, static_cast<int>((32 - out.numBits() % 32) % 32));
    out.finish();
    nBits = out.numBits();
    return true;
}

bool VqArithmeticCodec::decode(const uint32_t* codeText, int64_t nBits, int nSymbols, int nValues,
                               const VqProbModel<int>* pModel, const int* oobValues, int nOOBValues,
                               VqVeci& values) {
    VQ_CHECK(pModel, kCls, "decode", VQ_ERR_ARGUMENT);
    if (nBits % 32 != 0) VQ_FAIL(kCls, "decode", "nBits == 32", VQ_ERR_CORRUPT);
    VQ_PROPAGATE(_makeScales(*pModel, VQ_ERR_CORRUPT));
    // Tables from cumulative count to entry find the entry in one step; all
    // of them together cost about as much to fill as a quarter of their
    // size in searches.
    uint64_t sumTotals = 0;
    for (int c = 0; c < pModel->numContexts(); ++c)
        sumTotals += pModel->context(c).totalCount();
    // Judged by the value count, which the reader bounds, rather than the
    // symbol count, which a corrupt packet may inflate.
    const bool bTables = static_cast<uint64_t>(nValues) * 4 >= sumTotals;
    if (bTables) {
        _vTableStart.clear();
        _vCumToEntry.resize(sumTotals);
        int64_t start = 0;
        for (int c = 0; c < pModel->numContexts(); ++c) {
            const VqProbContext<int>& cntx = pModel->context(c);
            _vTableStart.push_back(start);
            for (int k = 0; k < cntx.numEntries(); ++k)
                std::fill_n(_vCumToEntry.begin() + start + cntx.entry(k)._cCumCount, cntx.entry(k)._cCount,
                            static_cast<uint16_t>(k));
            start += cntx.totalCount();
        }
    }
    VqCodeTextReader in(codeText, nBits);
    VqArithmeticDecoder coder(in);
    const VqArithmeticScale* scales = _vScales.data();
    const auto decodeEntry = [&](int c) {
        const VqProbContext<int>& cntx = pModel->context(c);
        if (cntx.totalCount() == 0) return -1;
        const VqArithmeticScale& scale = scales[c];
        const uint32_t target = coder.target(scale);
        const int idx = bTables
                            ? _vCumToEntry[static_cast<size_t>(_vTableStart[static_cast<size_t>(c)] + target)]
                            : cntx.lookupEntryByCumCount(target);
        if (idx >= 0) {
            const VqCntxEntry<int>& e = cntx.entry(idx);
            coder.consume(static_cast<uint32_t>(e._cCumCount), static_cast<uint32_t>(e._cCount), scale);
        }
        return idx;
    };
    // A word the code text does not have was needed.
    const auto checkBits = [&] {
        if (in.overrun()) VQ_FAIL(kCls, "decode", "nBitsRead == 32", VQ_ERR_CORRUPT);
        return true;
    };
    VQ_PROPAGATE(_decodeThroughModel(kCls, *pModel, nSymbols, nValues, nBits, oobValues, nOOBValues, values,
                                     decodeEntry, checkBits));
    coder.finish();
    VQ_PROPAGATE(checkBits());
    // The rest of the last word read is padding and must be zero; no word may follow.
    const int64_t rest = nBits - in.numBitsRead();
    if (rest >= 32 || in.readBits(static_cast<int>(rest)) != 0)
        VQ_FAIL(kCls, "decode", "_uBitBuff == 0", VQ_ERR_CORRUPT);
    return true;
}
