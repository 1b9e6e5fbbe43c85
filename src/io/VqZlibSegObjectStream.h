#pragma once

#include "VqExport.h"
#include "VqSegObjectStream.h"

// Segment stream of formats 8 and 9: a zlib stream, flag and algorithm byte 2.
// Its reader accepts only flag 2.
class VQ_API VqZlibSegObjectStream : public VqSegObjectStream {
    VQ_DECLARE_TYPE(VqZlibSegObjectStream)
public:
    explicit VqZlibSegObjectStream(VqDataStream* raw = nullptr);

protected:
    bool _acceptsFlag(uint32_t flag) const override;
    const char* _flagCheckText() const override;
};
