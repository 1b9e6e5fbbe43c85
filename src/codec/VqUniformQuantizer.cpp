#include "VqUniformQuantizer.h"

#include "VqBaseDataStream.h"
#include "VqErrorState.h"

#include <cmath>

namespace Vq {

namespace {
const char* const kCls = "Vq::UniformQuantizer";
}

template <class T>
UniformQuantizer<T>::UniformQuantizer(T fMin, T fMax, uint32_t nBits) {
    if (setRange(fMin, fMax)) setQuantizedSize(nBits);
}

template <class T>
bool UniformQuantizer<T>::_checkRange(double fMin, double fMax, const char* method, VqErrorCode code) {
    // An infinite end leaves no finite step between codes and makes the
    // factors inf or NaN; NaN fails here too rather than as an unordered pair.
    if (!std::isfinite(fMin) || !std::isfinite(fMax))
        VQ_FAIL(kCls, method, "std::isfinite(fMin) && std::isfinite(fMax)", code);
    if (!(fMin <= fMax)) VQ_FAIL(kCls, method, "fMin <= fMax", code);
    return true;
}

template <class T>
bool UniformQuantizer<T>::_checkBits(uint32_t nBits, const char* method, VqErrorCode code) {
    if (nBits > kMaxBits) VQ_FAIL(kCls, method, "nBits <= sizeof(T) * 8", code);
    return true;
}

template <class T>
bool UniformQuantizer<T>::setRange(T fMin, T fMax) {
    VQ_PROPAGATE(_checkRange(fMin, fMax, "setRange", VQ_ERR_ARGUMENT));
    _dMin = fMin;
    _dMax = fMax;
    _recomputeMultipliers();
    return true;
}

template <class T>
bool UniformQuantizer<T>::setQuantizedSize(uint32_t nBits) {
    VQ_PROPAGATE(_checkBits(nBits, "setQuantizedSize", VQ_ERR_ARGUMENT));
    _nBits = nBits;
    _recomputeMultipliers();
    return true;
}

template <class T>
void UniformQuantizer<T>::_recomputeMultipliers() {
    // The largest code follows the bit count alone, so that it is right
    // whichever of range and bit count is set first. 64-bit, so that b = 32
    // gives 0xFFFFFFFF without shifting by 32.
    _nMaxCode = _nBits <= kMaxBits ? static_cast<uint32_t>((uint64_t(1) << _nBits) - 1) : 0;
    if (!(_dMin <= _dMax)) return;
    const double range = _dMax - _dMin;
    _dEncodeFactor = range > 0.0 ? _nMaxCode / range : 0.0;
    _dDecodeFactor = _nMaxCode ? range / _nMaxCode : 0.0;
}

template <class T>
bool UniformQuantizer<T>::serialize(VqBaseDataStream& s) const {
    // A record the reader would refuse is not written.
    VQ_PROPAGATE(_checkRange(_dMin, _dMax, "serialize", VQ_ERR_ARGUMENT) &&
                 _checkBits(_nBits, "serialize", VQ_ERR_ARGUMENT));
    VQ_PROPAGATE(s.write(static_cast<float>(_dMin)) && s.write(static_cast<float>(_dMax)) &&
                 s.write(static_cast<unsigned char>(_nBits)));
    return true;
}

template <class T>
bool UniformQuantizer<T>::deserialize(VqBaseDataStream& s) {
    float fMin = 0.0f;
    float fMax = 0.0f;
    unsigned char nBits = 0;
    VQ_PROPAGATE(s.read(&fMin) && s.read(&fMax) && s.read(&nBits));
    VQ_PROPAGATE(_checkRange(fMin, fMax, "deserialize", VQ_ERR_CORRUPT) &&
                 _checkBits(nBits, "deserialize", VQ_ERR_CORRUPT));
    _dMin = fMin;
    _dMax = fMax;
    _nBits = nBits;
    _recomputeMultipliers();
    return true;
}

template class UniformQuantizer<float>;

} // namespace Vq
