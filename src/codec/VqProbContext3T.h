#pragma once

#include "VqCntxEntry3T.h"
#include "VqCntxTable.h"
#include "VqExport.h"

#include <cstddef>
#include <cstdint>

class VqBaseDataStream;

// The probability context of a version-3 arithmetic packet (T = int or
// long): its table and its stored form, a run of bit fields: 16-bit entry
// count E, 6-bit count width bc, 7-bit value width bv, the minimum value mv
// (as many bits as T has; the 64-bit form low half first, as the stream's
// 64-bit bit fields go), then per entry the escape flag, the count in bc bits
// and value - mv in bv bits (a field of more than 32 bits also low half
// first); then padding to a byte. A zero width leaves its field out; the
// field then reads as 0.
template <class T>
class VQ_API VqProbContext3T : public VqCntxTable<VqCntxEntry3T<T>> {
    using Base = VqCntxTable<VqCntxEntry3T<T>>;

public:
    static constexpr int cValueBits = static_cast<int>(8 * sizeof(T));

    // Writes the table in its current order (the reader accumulates the
    // counts in the same order); nBits tells how many bits that took, the
    // padding included.
    bool serialize(VqBaseDataStream& stream, int64_t& nBits) const;

    // Reads a table and accumulates it. A table the decoder cannot use (8192
    // entries or more, a field wider than its value, a total count of 0 or of
    // 8192 and more) is refused as corrupt.
    bool deserialize(VqBaseDataStream& stream);

    // One ordinary entry per non-empty bin, with the value minValue + bin,
    // sorted by descending count, accumulated and rescaled.
    bool buildFromHisto(const uint32_t* histo, int nBins, T minValue);

    bool hasEscape() const;

    // Widths the stored form uses for the table's current entries.
    void fieldWidths(int& bc, int& bv) const;
};

extern template class VqProbContext3T<int>;
extern template class VqProbContext3T<long>;
