#pragma once

#include "VqExport.h"

#include <bit>
#include <cstdint>

// The scale (total count) of the arithmetic coder with its reciprocal, so
// that the two divisions of every interval update become multiplications.
//
// The quotients are exact: with k = 30 + ceil(log2 t) and m = ceil(2^k / t),
// x m / 2^k exceeds x / t by less than x / 2^k <= 1 / t for x < 2^30, which
// never reaches the next multiple of 1 / t, so floor(x m / 2^k) =
// floor(x / t); x m stays below 2^62. The coder's products (c + n) r lie
// below t 2^16, under 2^30 for every scale below 2^14.
class VQ_API VqArithmeticScale {
public:
    explicit VqArithmeticScale(uint32_t t)
        : _t(t), _k(30 + static_cast<int>(std::bit_width(t - 1))), _m(((uint64_t(1) << _k) + t - 1) / t) {}

    uint32_t total() const { return _t; }
    // floor(x / t) for x < 2^30.
    uint32_t divide(uint32_t x) const { return static_cast<uint32_t>((x * _m) >> _k); }

private:
    uint32_t _t;
    int _k;
    uint64_t _m;
};
