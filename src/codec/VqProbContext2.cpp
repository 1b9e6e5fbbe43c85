#include "VqProbContext2.h"

#include "VqBaseDataStream.h"

#include <algorithm>
#include <bit>
#include <climits>

namespace {
const char* const kCls = "VqProbContext2";

int bitsFor(uint32_t x) {
    return static_cast<int>(std::bit_width(x));
}
} // namespace

bool VqProbContext2::serialize(VqBaseDataStream& stream, size_t& nBytes) const {
    nBytes = 0;
    const int nEntry = numEntries();
    VQ_CHECK(nEntry <= 0x0000ffff, kCls, "serialize", VQ_ERR_INTERNAL);
    int iEscCode = -1;
    int32_t maxSymbol = INT32_MIN;
    uint32_t maxCount = 0;
    int32_t minValue = 0, maxValue = 0;
    for (int i = 0; i < nEntry; ++i) {
        const VqCntxEntry2* pEntry = &_vEntries[i];
        VQ_CHECK(pEntry->_cCount >= 0, kCls, "serialize", VQ_ERR_INTERNAL);
        if (pEntry->isEscape()) {
            VQ_CHECK(iEscCode == -1, kCls, "serialize", VQ_ERR_INTERNAL);
            iEscCode = i;
        }
        maxSymbol = std::max(maxSymbol, pEntry->_iSymbol);
        maxCount = std::max(maxCount, static_cast<uint32_t>(pEntry->_cCount));
        if (i == 0 || pEntry->_iValue < minValue) minValue = pEntry->_iValue;
        if (i == 0 || pEntry->_iValue > maxValue) maxValue = pEntry->_iValue;
    }
    // Symbols are stored as symbol + 2; the width holds the largest of them
    // (an empty table keeps the width of two symbols).
    const int bs = nEntry == 0 ? 2 : std::max(1, bitsFor(static_cast<uint32_t>(maxSymbol + 2)));
    const int bc = bitsFor(maxCount);
    const int bv = bitsFor(static_cast<uint32_t>(maxValue) - static_cast<uint32_t>(minValue));
    VQ_PROPAGATE(stream.writeBits(static_cast<uint32_t>(nEntry), 16));
    VQ_PROPAGATE(stream.writeBits(static_cast<uint32_t>(bs), 6));
    VQ_PROPAGATE(stream.writeBits(static_cast<uint32_t>(bc), 6));
    VQ_PROPAGATE(stream.writeBits(static_cast<uint32_t>(bv), 6));
    VQ_PROPAGATE(stream.writeBits(static_cast<uint32_t>(minValue), 32));
    for (const VqCntxEntry2& e : _vEntries) {
        VQ_PROPAGATE(stream.writeBits(static_cast<uint32_t>(e._iSymbol + 2), bs));
        VQ_PROPAGATE(stream.writeBits(static_cast<uint32_t>(e._cCount), bc));
        VQ_PROPAGATE(
            stream.writeBits(static_cast<uint32_t>(e._iValue) - static_cast<uint32_t>(minValue), bv));
    }
    VQ_PROPAGATE(stream.writeAlignmentBits());
    nBytes = (16 + 3 * 6 + 32 + static_cast<size_t>(nEntry) * (bs + bc + bv) + 7) / 8;
    return true;
}

bool VqProbContext2::deserialize(VqBaseDataStream& stream) {
    clear();
    uint32_t uEntries = 0, bs = 0, bc = 0, bv = 0, mv = 0;
    VQ_PROPAGATE(stream.readBits(uEntries, 16));
    VQ_PROPAGATE(stream.readBits(bs, 6));
    VQ_PROPAGATE(stream.readBits(bc, 6));
    VQ_PROPAGATE(stream.readBits(bv, 6));
    VQ_PROPAGATE(stream.readBits(mv, 32));
    // No writer makes a table the coder cannot use, so such a table is corrupt.
    const int nEntries = static_cast<int>(uEntries);
    VQ_CHECK(nEntries < cMaxCntxCount, kCls, "deserialize", VQ_ERR_CORRUPT);
    VQ_CHECK(bs <= 32 && bc <= 32 && bv <= 32, kCls, "deserialize", VQ_ERR_CORRUPT);
    _vEntries.resize(static_cast<size_t>(nEntries));
    uint64_t total = 0;
    for (VqCntxEntry2& e : _vEntries) {
        uint32_t sym = 0, count = 0, value = 0;
        VQ_PROPAGATE(stream.readBits(sym, static_cast<int>(bs)));
        VQ_PROPAGATE(stream.readBits(count, static_cast<int>(bc)));
        VQ_PROPAGATE(stream.readBits(value, static_cast<int>(bv)));
        total += count;
        // Checked per entry, so that every stored count fits its field.
        VQ_CHECK(total < cMaxTotalCount, kCls, "deserialize", VQ_ERR_CORRUPT);
        e._iSymbol = static_cast<int32_t>(sym - 2);
        VQ_CHECK(e._iSymbol == VqCntxEntry2::s_iOrdinarySymbol || e._iSymbol == VqCntxEntry2::s_iEscapeSymbol,
                 kCls, "deserialize", VQ_ERR_CORRUPT);
        e._cCount = static_cast<int32_t>(count);
        e._iValue = static_cast<int32_t>(mv + value);
    }
    VQ_CHECK(stream.readZeroAlignmentBits(), kCls, "deserialize", VQ_ERR_CORRUPT);
    accumulateCounts();
    VQ_CHECK(totalCount() > 0, kCls, "deserialize", VQ_ERR_CORRUPT);
    return true;
}

bool VqProbContext2::buildFromHisto(const uint32_t* histo, int nBins, int32_t minValue) {
    clear();
    for (int bin = 0; bin < nBins; ++bin) {
        if (histo[bin] == 0) continue;
        VqCntxEntry2 e;
        e._cCount = static_cast<int32_t>(histo[bin]);
        e._iValue = static_cast<int32_t>(static_cast<uint32_t>(minValue) + static_cast<uint32_t>(bin));
        _vEntries.push_back(e);
    }
    sortByDescendingCount();
    accumulateCounts();
    return rescale();
}
