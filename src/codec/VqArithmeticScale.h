#pragma once

#include "VqExport.h"

#include <cstdint>

// The scale (total count) of the arithmetic coder with its reciprocal, so
// that the two divisions of every interval update become multiplications.
//
// The quotients are exact for the coder's products x = (c + n) r <= t 2^16
// (c + n <= t, r <= 2^16): with m = ceil(2^44 / t), x m / 2^44 exceeds x / t
// by less than x / 2^44 <= t / 2^28, below 1 / t for every scale below 2^14,
// which never reaches the next multiple of 1 / t; so floor(x m / 2^44) =
// floor(x / t), and x m stays below 2^61. One shift for every scale is an
// immediate operand, which spares the coders a register.
class VQ_API VqArithmeticScale {
public:
    explicit VqArithmeticScale(uint32_t t) : _t(t), _m(((uint64_t(1) << kShift) + t - 1) / t) {}

    uint32_t total() const { return _t; }
    // floor(x / t) for x <= t 2^16.
    uint32_t divide(uint32_t x) const { return static_cast<uint32_t>((x * _m) >> kShift); }
    // floor(c r / t) for c r <= t 2^16, in two steps: rm = scaled(r), then
    // divideScaled(c, rm). The product c (r m) is the integer (c r) m above,
    // so the quotient is the same; a decoder knows r before c and so takes
    // one multiplication off the path from the symbol to the next one.
    uint64_t scaled(uint32_t r) const { return r * _m; }
    static uint32_t divideScaled(uint32_t c, uint64_t rm) { return static_cast<uint32_t>((c * rm) >> kShift); }

private:
    static constexpr int kShift = 44;
    uint32_t _t;
    uint64_t _m;
};
