#pragma once

#include "VqExport.h"
#include "VqRefCounted.h"
#include "VqVec.h"

#include <cstddef>
#include <cstdint>

class VqProbContext2;

// A codec of version-2 packets: turns an array of values into a code text
// (words and an exact bit count) and back. Values a codec cannot code
// itself go to the out-of-band list in order; the arithmetic codec takes
// them for its escape entry, the other codecs produce none. Codecs carry
// nothing from one call to the next but memory to reuse, so a driver keeps
// one of each.
class VQ_API VqCodec2 : public VqRefCounted {
public:
    // Replaces oobValues' content only by appending; codeText is replaced.
    virtual bool encode(const int* values, int nValues, VqVeci& oobValues, VqVecu& codeText, int64_t& nBits,
                        VqProbContext2* pProbCntx) = 0;
    // Decodes exactly nValues values into values (resized to that count).
    // codeText holds ceil(nBits / 32) words.
    virtual bool decode(int nValues, const int* oobValues, int nOOBValues, const uint32_t* codeText,
                        int64_t nBits, VqVeci& values, VqProbContext2* pProbCntx) = 0;
    virtual size_t memSize() const = 0;
};
