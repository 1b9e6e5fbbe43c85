#pragma once

#include "VqCntxEntry2.h"
#include "VqCntxTable.h"
#include "VqExport.h"

class VqBaseDataStream;

// The probability context of a version-2 arithmetic packet: its table and its
// stored form, a run of bit fields (16-bit entry count, three 6-bit field
// widths, a 32-bit minimum value, then per entry symbol + 2, count and
// value - minimum in those widths) padded to a byte. A zero width leaves its
// field out; the field then reads as 0.
class VQ_API VqProbContext2 : public VqCntxTable<VqCntxEntry2> {
public:
    // Writes the table in its current order (cumulative counts are not
    // stored; the reader accumulates them in the same order); nBytes tells
    // how many bytes that took.
    bool serialize(VqBaseDataStream& stream, size_t& nBytes) const;

    // Reads a table and accumulates it. A table the decoder cannot use (8192
    // entries or more, a field wider than 32 bits, a total count of 0 or
    // of 8192 and more) is refused as corrupt.
    bool deserialize(VqBaseDataStream& stream);

    // One ordinary entry per non-empty bin, with the value minValue + bin,
    // sorted by descending count, accumulated and rescaled.
    bool buildFromHisto(const uint32_t* histo, int nBins, int32_t minValue);
};
