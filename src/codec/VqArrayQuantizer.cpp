#include "VqArrayQuantizer.h"

#include "VqErrorState.h"

#include <cmath>

namespace Vq {

namespace {
const char* const kCls = "Vq::ArrayQuantizer";
}

bool ArrayQuantizer::setFromValues(const double* values, int n, int nBits) {
    VQ_CHECK(nBits >= 1 && nBits <= 32, kCls, "setFromValues", VQ_ERR_ARGUMENT);
    VQ_CHECK(n == 0 || values, kCls, "setFromValues", VQ_ERR_ARGUMENT);
    double lo = 0.0, hi = 0.0;
    for (int i = 0; i < n; ++i) {
        VQ_CHECK(std::isfinite(values[i]), kCls, "setFromValues", VQ_ERR_ARGUMENT);
        lo = i ? std::min(lo, values[i]) : values[i];
        hi = i ? std::max(hi, values[i]) : values[i];
    }
    // f64 values beyond the f32 range have no f32 bound that holds them.
    VQ_CHECK(std::fabs(lo) <= 3.4028234663852886e+38 && std::fabs(hi) <= 3.4028234663852886e+38, kCls,
             "setFromValues", VQ_ERR_ARGUMENT);
    float fLo = static_cast<float>(lo), fHi = static_cast<float>(hi);
    if (fLo > lo) fLo = std::nextafter(fLo, -HUGE_VALF);
    if (fHi < hi) fHi = std::nextafter(fHi, HUGE_VALF);
    VQ_PROPAGATE(_q.setRange(fLo, fHi) && _q.setQuantizedSize(static_cast<uint32_t>(nBits)));
    _setFactors();
    return true;
}

void ArrayQuantizer::_setFactors() {
    float fLo = 0.0f, fHi = 0.0f;
    _q.getRange(fLo, fHi);
    _dMin = fLo;
    _nMaxCode = _q.maxCode();
    const double range = double(fHi) - double(fLo);
    _dEncode = range > 0.0 ? _nMaxCode / range : 0.0;
    _dDecode = _nMaxCode ? range / _nMaxCode : 0.0;
}

bool ArrayQuantizer::quantize(const double* values, int n, uint32_t* codes) const {
    VQ_CHECK(_q.isUsable(), kCls, "quantize", VQ_ERR_ARGUMENT);
    for (int i = 0; i < n; ++i) {
        VQ_CHECK(std::isfinite(values[i]), kCls, "quantize", VQ_ERR_ARGUMENT);
        const double d = std::max(0.0, (values[i] - _dMin) * _dEncode + 0.5);
        codes[i] = static_cast<uint32_t>(std::min<double>(std::floor(d), _nMaxCode));
    }
    return true;
}

bool ArrayQuantizer::dequantize(const uint32_t* codes, int n, double* values) const {
    VQ_CHECK(_q.isUsable(), kCls, "dequantize", VQ_ERR_ARGUMENT);
    for (int i = 0; i < n; ++i) {
        if (codes[i] > _nMaxCode) VQ_FAIL(kCls, "dequantize", "codes[i] <= _nMaxCode", VQ_ERR_CORRUPT);
        values[i] = codes[i] * _dDecode + _dMin;
    }
    return true;
}

bool ArrayQuantizer::serialize(VqBaseDataStream& s) const {
    return _q.serialize(s);
}

bool ArrayQuantizer::deserialize(VqBaseDataStream& s) {
    VQ_PROPAGATE(_q.deserialize(s));
    _setFactors();
    return true;
}

} // namespace Vq
