#pragma once

#include "VqExport.h"
#include "VqTypes.h"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

class VqBaseDataStream;

namespace Vq {

// Maps the closed interval [minimum, maximum] onto the codes 0 ... 2^b - 1,
// rounding to the nearest code, and codes back onto the interval. A round
// trip is off by at most (maximum - minimum) / (2(2^b - 1)) plus the
// rounding to T. The arithmetic runs in double, so that codes up to 2^32 - 1
// and the 32-bit float bounds of the file stay exact.
//
// A default quantizer is unusable until range and bit count are set: its
// minimum lies above its maximum and its bit count is all ones.
//
// Record (9 bytes): 32-bit float minimum, 32-bit float maximum, uint8 bit count.
template <class T>
class VQ_API UniformQuantizer {
public:
    UniformQuantizer() = default;
    // Failures are recorded as by setRange and setQuantizedSize.
    UniformQuantizer(T fMin, T fMax, uint32_t nBits);
    virtual ~UniformQuantizer() = default;
    UniformQuantizer(const UniformQuantizer&) = default;
    UniformQuantizer& operator=(const UniformQuantizer&) = default;

    virtual bool serialize(VqBaseDataStream& s) const;
    virtual bool deserialize(VqBaseDataStream& s);
    virtual uint32_t serializedSize() const { return 9; }

    // Bounds must be finite and ordered ("fMin <= fMax").
    bool setRange(T fMin, T fMax);
    void getRange(T& fMin, T& fMax) const {
        fMin = static_cast<T>(_dMin);
        fMax = static_cast<T>(_dMax);
    }
    // 0 ... 32 bits ("nBits <= sizeof(T) * 8").
    bool setQuantizedSize(uint32_t nBits);
    uint32_t quantizedSize() const { return _nBits; }
    // 2^b - 1; 0 while the bit count is unset.
    uint32_t maxCode() const { return _nMaxCode; }
    bool isInRange(T v) const { return v >= _dMin && v <= _dMax; }
    bool isUsable() const { return _nBits <= kMaxBits && _dMin <= _dMax; }

    // Values outside the range take the nearest end. NaN takes code 0: the
    // conversion to an integer must never see it, and callers that must not
    // code NaN (points, texture coordinates) refuse it before they get here.
    uint32_t quantize(T v) const {
        double d = static_cast<double>(v);
        if (!(d >= _dMin)) d = _dMin;
        if (d > _dMax) d = _dMax;
        const uint32_t code = static_cast<uint32_t>(static_cast<int64_t>((d - _dMin) * _dEncodeFactor + 0.5));
        return std::min(code, _nMaxCode);
    }
    // Codes above the largest code decode to the maximum.
    T dequantize(uint32_t code) const {
        const double d = static_cast<double>(code) * _dDecodeFactor + _dMin;
        return static_cast<T>(std::min(std::max(d, _dMin), _dMax));
    }
    // The same in double for the two codes in the low lanes of codes, each
    // below 2^31 (which a signed conversion takes exactly): the same
    // operations in the same order, so the same values.
    __m128d dequantize2(__m128i codes) const {
        const __m128d d =
            _mm_add_pd(_mm_mul_pd(_mm_cvtepi32_pd(codes), _mm_set1_pd(_dDecodeFactor)), _mm_set1_pd(_dMin));
        return _mm_min_pd(_mm_set1_pd(_dMax), _mm_max_pd(_mm_set1_pd(_dMin), d));
    }

    // How far apart the values of two different codes lie at least: the
    // step between codes less what rounding to T and the clamp to the range
    // can take from it (half a unit in the last place each, bounded by the
    // largest magnitude in the range, with room to spare). Infinite with one
    // code only; 0 or less when the step drowns in the rounding.
    double minCodeGap() const {
        if (!isUsable()) return 0.0;
        if (_nMaxCode == 0) return HUGE_VAL;
        constexpr double kUlp = 2.0 / double(uint64_t(1) << std::numeric_limits<T>::digits);
        const double roundOff = kUlp * std::max(std::fabs(_dMin), std::fabs(_dMax)) +
                                double(std::numeric_limits<T>::denorm_min());
        return _dDecodeFactor - 2.0 * roundOff;
    }

    static constexpr uint32_t kMaxBits = sizeof(T) * 8;

protected:
    void _recomputeMultipliers();
    // Checks what setRange and setQuantizedSize accept, with the given
    // method name and error code (arguments and file data differ in both).
    static bool _checkRange(double fMin, double fMax, const char* method, VqErrorCode code);
    static bool _checkBits(uint32_t nBits, const char* method, VqErrorCode code);

    double _dMin = 3.4028234663852886e+38;
    double _dMax = -3.4028234663852886e+38;
    uint32_t _nBits = 0xFFFFFFFFu;
    double _dEncodeFactor = 0.0;
    double _dDecodeFactor = 0.0;
    uint32_t _nMaxCode = 0;
};

extern template class UniformQuantizer<float>;

} // namespace Vq
