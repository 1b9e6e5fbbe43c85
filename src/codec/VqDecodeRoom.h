#pragma once

#include "VqExport.h"

#include <cstddef>
#include <cstdint>

// Output room for a decoder, made as values actually decode: the whole array
// at once when the code text is long enough to hold it at a modest rate,
// else a part that doubles as it fills, so that a corrupt value count never
// allocates ahead of the bits that back it.
class VQ_API VqDecodeRoom {
public:
    static int initial(int nValues, int64_t nBits) {
        const int64_t plausible = 16 * nBits + 4096;
        return nValues < plausible ? nValues : static_cast<int>(plausible);
    }
    // Doubles the room of values (up to nValues); returns the new room.
    template <class V>
    static int grow(V& values, int room, int nValues) {
        const int next = room > nValues / 2 ? nValues : 2 * room;
        values.resize(static_cast<size_t>(next));
        return next;
    }
};
