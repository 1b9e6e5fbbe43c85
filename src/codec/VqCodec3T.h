#pragma once

#include "VqExport.h"
#include "VqProbContext3T.h"
#include "VqRefCounted.h"
#include "VqVec.h"

#include <cstddef>
#include <cstdint>

// A codec of version-3 packets over values of type T (int or long): turns
// an array into a code text (words and an exact bit count) and back. Values
// a codec cannot code itself go to the out-of-band list in order; the
// arithmetic codec takes them for its escape entry, the bit-length codec
// produces none. Codecs carry nothing from one call to the next but memory
// to reuse, so a driver keeps one of each.
template <class T>
class VQ_API VqCodec3T : public VqRefCounted {
public:
    // Appends to oobValues; codeText is replaced.
    virtual bool encode(const T* values, int nValues, VqVec<T>& oobValues, VqVecu& codeText, int64_t& nBits,
                        VqProbContext3T<T>* pProbCntx) = 0;
    // Decodes exactly nValues values into values (resized to that count).
    // codeText holds ceil(nBits / 32) words.
    virtual bool decode(int nValues, const T* oobValues, int nOOBValues, const uint32_t* codeText,
                        int64_t nBits, VqVec<T>& values, VqProbContext3T<T>* pProbCntx) = 0;
    virtual size_t memSize() const = 0;
};
