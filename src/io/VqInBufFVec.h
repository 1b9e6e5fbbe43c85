#pragma once

#include "VqExport.h"
#include "VqTypes.h"

#include <cstdint>
#include <vector>

// Growable byte buffer in fragments of 2^18 bytes, so that growing never
// copies what is already held. The write side of the object streams collects
// each outermost element in one; instances are pooled (see
// VqObjectStream::s_allocWriteBuffer). A writer that has consumed the leading
// fragments may hand them back: their memory holds the next fragments, so a
// long stream consumed as it grows stays in a few fragments that are
// already mapped and in the cache.
class VQ_API VqInBufFVec {
public:
    static constexpr int kFragShift = 18;
    static constexpr VqSize kFragSize = VqSize(1) << kFragShift;

    VqInBufFVec() = default;
    ~VqInBufFVec();
    VqInBufFVec(const VqInBufFVec&) = delete;
    VqInBufFVec& operator=(const VqInBufFVec&) = delete;

    // Makes byte index valid, adding fragments; false when memory is exhausted.
    bool verify(uint64_t index);
    // Bytes held (the high-water mark of what was written).
    uint64_t length() const { return _nLength; }
    void setLength(uint64_t n) { _nLength = n; }
    int numFragments() const { return static_cast<int>(_vpFrags.size()); }
    VqUChar* fragment(int i) const { return _vpFrags[i]; }
    // Address of byte pos, which must be valid.
    VqUChar* at(uint64_t pos) const { return _vpFrags[pos >> kFragShift] + (pos & (kFragSize - 1)); }

    // Copies n bytes in at pos (the range must be valid) and raises the length.
    void write(uint64_t pos, const VqUChar* src, VqSize n);
    // Copies n bytes out from pos (the range must be valid).
    void read(uint64_t pos, VqUChar* dst, VqSize n) const;
    // Empties the buffer; one fragment is kept for reuse.
    void clear();
    // Gives up fragment i, whose bytes are no longer needed: its memory
    // serves the next fragment added. Its positions are invalid from then on.
    void recycle(int i);

private:
    std::vector<VqUChar*> _vpFrags;
    std::vector<VqUChar*> _vpSpare;
    uint64_t _nLength = 0;
};
