#pragma once

#include "VqExport.h"
#include "VqInterleavedRepHelper.h"
#include "VqVec.h"

#include <cstdint>

// Walks the primitives of interleaved vertex data (a primitive list and the
// floats of one layout), one primitive at a time, and reads the parts of
// its vertices. Colours are given as three floats whether held packed or
// not. The arrays must outlive the iterator and stay as they are.
class VQ_API VqInterleavedPrimDataIter {
public:
    VqInterleavedPrimDataIter(const VqVecu& primList, const VqVecf& floats,
                              const VqInterleavedRepHelper::Offsets& o);

    // False once the list is done, or when it does not fit the floats.
    bool valid() const { return _iPrim + 1 < _nListLen && _bFits; }
    void next() { ++_iPrim; }
    // Makes primitive prim the current one.
    void seek(uint32_t prim) { _iPrim = prim; }
    uint32_t primIndex() const { return _iPrim; }
    uint32_t numVertices() const;
    // Parts of vertex i of the current primitive; false for a part the
    // layout lacks or a vertex beyond the primitive.
    bool coord(uint32_t i, float out[3]) const;
    bool normal(uint32_t i, float out[3]) const;
    bool color(uint32_t i, float out[3]) const;
    bool texCoord(uint32_t i, float out[2]) const;

    // A primitive list fits nVerts vertices when it runs from 0 without
    // falling and ends at nVerts (or is empty); otherwise nothing is walked.
    static bool s_fits(const VqVecu& prims, size_t nVerts);

private:
    const float* _vertex(uint32_t i) const;

    const VqVecu& _rPrims;
    const VqVecf& _rFloats;
    VqInterleavedRepHelper::Offsets _offsets;
    uint32_t _nListLen;
    uint32_t _iPrim = 0;
    bool _bFits;
};
