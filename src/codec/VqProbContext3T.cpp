#include "VqProbContext3T.h"

#include "VqBaseDataStream.h"

#include <algorithm>
#include <bit>
#include <type_traits>

namespace {
const char* const kCls = "VqProbContext3T";

// Fields of up to 64 bits, through the stream's bit fields.
bool putField(VqBaseDataStream& stream, uint64_t v, int n) {
    return n <= 32 ? stream.writeBits(static_cast<uint32_t>(v), n) : stream.writeBits64(v, n);
}
bool getField(VqBaseDataStream& stream, uint64_t& v, int n) {
    if (n <= 32) {
        unsigned int u = 0;
        const bool ok = stream.readBits(u, n);
        v = u;
        return ok;
    }
    unsigned long u = 0;
    const bool ok = stream.readBits64(u, n);
    v = u;
    return ok;
}
} // namespace

template <class T>
void VqProbContext3T<T>::fieldWidths(int& bc, int& bv) const {
    using U = std::make_unsigned_t<T>;
    uint32_t maxCount = 0;
    T minValue = 0, maxValue = 0;
    for (int i = 0; i < this->numEntries(); ++i) {
        const VqCntxEntry3T<T>& e = this->entry(i);
        maxCount = std::max(maxCount, static_cast<uint32_t>(e._cCount));
        if (i == 0 || e._value < minValue) minValue = e._value;
        if (i == 0 || e._value > maxValue) maxValue = e._value;
    }
    bc = static_cast<int>(std::bit_width(maxCount));
    bv =
        static_cast<int>(std::bit_width(static_cast<U>(static_cast<U>(maxValue) - static_cast<U>(minValue))));
}

template <class T>
bool VqProbContext3T<T>::serialize(VqBaseDataStream& stream, int64_t& nBits) const {
    using U = std::make_unsigned_t<T>;
    nBits = 0;
    const int nEntry = this->numEntries();
    VQ_CHECK(nEntry <= 0x0000ffff, kCls, "serialize", VQ_ERR_INTERNAL);
    int iEscCode = -1;
    T minValue = 0;
    for (int i = 0; i < nEntry; ++i) {
        const VqCntxEntry3T<T>* pEntry = &this->entry(i);
        VQ_CHECK(pEntry->_cCount >= 0, kCls, "serialize", VQ_ERR_INTERNAL);
        if (pEntry->isEscape()) {
            VQ_CHECK(iEscCode == -1, kCls, "serialize", VQ_ERR_INTERNAL);
            iEscCode = i;
        }
        if (i == 0 || pEntry->_value < minValue) minValue = pEntry->_value;
    }
    int bc = 0, bv = 0;
    fieldWidths(bc, bv);
    VQ_PROPAGATE(stream.writeBits(static_cast<uint32_t>(nEntry), 16));
    VQ_PROPAGATE(stream.writeBits(static_cast<uint32_t>(bc), 6));
    VQ_PROPAGATE(stream.writeBits(static_cast<uint32_t>(bv), 7));
    VQ_PROPAGATE(putField(stream, static_cast<U>(minValue), cValueBits));
    for (int i = 0; i < nEntry; ++i) {
        const VqCntxEntry3T<T>& e = this->entry(i);
        VQ_PROPAGATE(stream.writeBits(e._bEscape ? 1u : 0u, 1));
        VQ_PROPAGATE(stream.writeBits(static_cast<uint32_t>(e._cCount), bc));
        VQ_PROPAGATE(
            putField(stream, static_cast<U>(static_cast<U>(e._value) - static_cast<U>(minValue)), bv));
    }
    VQ_PROPAGATE(stream.writeAlignmentBits());
    nBits = (16 + 6 + 7 + cValueBits + static_cast<int64_t>(nEntry) * (1 + bc + bv) + 7) / 8 * 8;
    return true;
}

template <class T>
bool VqProbContext3T<T>::deserialize(VqBaseDataStream& stream) {
    using U = std::make_unsigned_t<T>;
    this->clear();
    unsigned int uEntries = 0, bc = 0, bv = 0;
    uint64_t mv = 0;
    VQ_PROPAGATE(stream.readBits(uEntries, 16));
    VQ_PROPAGATE(stream.readBits(bc, 6));
    VQ_PROPAGATE(stream.readBits(bv, 7));
    VQ_PROPAGATE(getField(stream, mv, cValueBits));
    // No writer makes a table the coder cannot use, so such a table is corrupt.
    const int nEntries = static_cast<int>(uEntries);
    VQ_CHECK(nEntries < Base::cMaxCntxCount, kCls, "deserialize", VQ_ERR_CORRUPT);
    VQ_CHECK(bc <= 32 && bv <= static_cast<unsigned>(cValueBits), kCls, "deserialize", VQ_ERR_CORRUPT);
    this->_vEntries.resize(static_cast<size_t>(nEntries));
    uint64_t total = 0;
    for (VqCntxEntry3T<T>& e : this->_vEntries) {
        unsigned int esc = 0, count = 0;
        uint64_t value = 0;
        VQ_PROPAGATE(stream.readBits(esc, 1));
        VQ_PROPAGATE(stream.readBits(count, static_cast<int>(bc)));
        VQ_PROPAGATE(getField(stream, value, static_cast<int>(bv)));
        total += count;
        // Checked per entry, so that every stored count fits its field.
        VQ_CHECK(total < Base::cMaxTotalCount, kCls, "deserialize", VQ_ERR_CORRUPT);
        e._bEscape = esc != 0;
        e._cCount = static_cast<int32_t>(count);
        e._value = static_cast<T>(static_cast<U>(static_cast<U>(mv) + static_cast<U>(value)));
    }
    VQ_CHECK(stream.readZeroAlignmentBits(), kCls, "deserialize", VQ_ERR_CORRUPT);
    this->accumulateCounts();
    VQ_CHECK(this->totalCount() > 0, kCls, "deserialize", VQ_ERR_CORRUPT);
    return true;
}

template <class T>
bool VqProbContext3T<T>::buildFromHisto(const uint32_t* histo, int nBins, T minValue) {
    using U = std::make_unsigned_t<T>;
    this->clear();
    for (int bin = 0; bin < nBins; ++bin) {
        if (histo[bin] == 0) continue;
        VqCntxEntry3T<T> e;
        e._cCount = static_cast<int32_t>(histo[bin]);
        e._value = static_cast<T>(static_cast<U>(static_cast<U>(minValue) + static_cast<U>(bin)));
        this->_vEntries.push_back(e);
    }
    this->sortByDescendingCount();
    this->accumulateCounts();
    return this->rescale();
}

template <class T>
bool VqProbContext3T<T>::hasEscape() const {
    for (const VqCntxEntry3T<T>& e : this->_vEntries)
        if (e._bEscape) return true;
    return false;
}

template class VqProbContext3T<int>;
template class VqProbContext3T<long>;
