#pragma once

#include "VqExport.h"
#include "VqPackedRepHelper.h"

#include <cstdint>

// Walks the primitives of packed vertex data as VqInterleavedPrimDataIter
// walks interleaved data; a colour comes from the separate packed array,
// alpha included.
class VQ_API VqPackedPrimDataIter {
public:
    explicit VqPackedPrimDataIter(const VqPackedRepHelper::Data& d);

    bool valid() const { return _iPrim + 1 < uint32_t(_rData.primList.size()) && _bFits; }
    void next() { ++_iPrim; }
    uint32_t primIndex() const { return _iPrim; }
    uint32_t numVertices() const;
    bool coord(uint32_t i, float out[3]) const;
    bool normal(uint32_t i, float out[3]) const;
    bool color(uint32_t i, float out[4]) const;
    bool texCoord(uint32_t i, float out[2]) const;

private:
    const float* _vertex(uint32_t i) const;

    const VqPackedRepHelper::Data& _rData;
    VqPackedRepHelper::Offsets _offsets;
    uint32_t _iPrim = 0;
    bool _bFits;
};
