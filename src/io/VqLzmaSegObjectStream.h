#pragma once

#include "VqExport.h"
#include "VqSegObjectStream.h"

// Segment stream of format 10. It writes the partition settings' compression
// algorithm (LZMA unless configured otherwise) as flag and algorithm byte, and
// reads zlib and LZMA segments alike, choosing the decoder by the algorithm byte.
class VQ_API VqLzmaSegObjectStream : public VqSegObjectStream {
    VQ_DECLARE_TYPE(VqLzmaSegObjectStream)
public:
    explicit VqLzmaSegObjectStream(VqDataStream* raw = nullptr);

protected:
    bool _acceptsFlag(uint32_t flag) const override;
    const char* _flagCheckText() const override;
};
