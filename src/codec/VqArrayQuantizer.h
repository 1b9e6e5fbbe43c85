#pragma once

#include "VqExport.h"
#include "VqUniformQuantizer.h"

#include <cstdint>

class VqBaseDataStream;

namespace Vq {

// Codes one array of f32 or f64 values with 1 to 32 bits over the range the
// values span. The record is that of a Vq::UniformQuantizer<float>, so the
// range is rounded outward to f32 bounds that hold every value; coding runs
// in double, so f64 values keep the precision the bit count gives them. A
// round trip is off by at most (maximum - minimum) / (2(2^b - 1)) plus the
// rounding to the value type.
//
// Values that are not finite are refused: no code stands for them.
class VQ_API ArrayQuantizer {
public:
    ArrayQuantizer() = default;

    bool setFromValues(const double* values, int n, int nBits);
    int numBits() const { return static_cast<int>(_q.quantizedSize()); }
    bool quantize(const double* values, int n, uint32_t* codes) const;
    // Codes above the largest one come only from damaged data and are refused.
    bool dequantize(const uint32_t* codes, int n, double* values) const;

    // Record (9 bytes): f32 minimum, f32 maximum, uint8 bit count.
    bool serialize(VqBaseDataStream& s) const;
    bool deserialize(VqBaseDataStream& s);

private:
    void _setFactors();

    UniformQuantizer<float> _q;
    double _dMin = 0.0;
    double _dEncode = 0.0;
    double _dDecode = 0.0;
    uint32_t _nMaxCode = 0;
};

} // namespace Vq
