#pragma once

#include "VqExport.h"

#include <cstddef>
#include <cstdint>

namespace Vq {

// MD5 message digest (RFC 1321), used for GUID node identifiers.
class VQ_API MD5 {
public:
    MD5();
    void update(const void* data, size_t length);
    void final(uint8_t digest[16]);

    static void digest(const void* data, size_t length, uint8_t out[16]);

private:
    void _transform(const uint8_t block[64]);
    uint32_t _state[4];
    uint64_t _nBits;
    uint8_t _buffer[64];
    size_t _nBuffered;
};

} // namespace Vq
