#include "VqCodecDriver.h"

#include "VqErrorState.h"
#include "VqObjectStream.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdint>

namespace {
const char* const kCls = "VqCodecDriver";
} // namespace

template <class T>
bool VqCodecDriver<T>::_checkPredictor(VqPredictorType ePredType, const char* method) {
    if constexpr (std::is_same_v<T, double>) {
        VQ_CHECK(ePredType != PredXor1 && ePredType != PredXor2, kCls, method, VQ_ERR_ARGUMENT);
        VQ_CHECK(VqResidualPredictor::isValidForDouble(ePredType), kCls, method, VQ_ERR_ARGUMENT);
    } else {
        VQ_CHECK(isValidPredictor(ePredType), kCls, method, VQ_ERR_ARGUMENT);
    }
    return true;
}

template <class T>
bool VqCodecDriver<T>::serialize(VqObjectStream& stream, VqCodecType eCodec, VqPredictorType ePredType) {
    VQ_PROPAGATE(_checkPredictor(ePredType, "serialize"));
    try {
        const T* values = _rvValues.data();
        if (ePredType != PredNull) {
            _vResiduals.resize(_rvValues.size());
            VqResidualPredictor::pack(_rvValues.data(), _vResiduals.data(), _rvValues.length(), ePredType);
            values = _vResiduals.data();
        }
        if constexpr (std::is_same_v<T, double>) {
            VQ_CHECK(_rvValues.size() <= static_cast<size_t>(INT_MAX / 2), kCls, "serialize",
                     VQ_ERR_ARGUMENT);
            _vWords.resize(2 * _rvValues.size());
            for (size_t i = 0; i < _rvValues.size(); ++i) {
                const uint64_t bits = std::bit_cast<uint64_t>(values[i]);
                _vWords[2 * i] = static_cast<int>(static_cast<uint32_t>(bits));
                _vWords[2 * i + 1] = static_cast<int>(static_cast<uint32_t>(bits >> 32));
            }
            VQ_PROPAGATE(_serializePacket(stream, _vWords.data(), _vWords.length(), eCodec));
        } else {
            VQ_CHECK(_rvValues.size() <= static_cast<size_t>(INT_MAX), kCls, "serialize", VQ_ERR_ARGUMENT);
            VQ_PROPAGATE(_serializePacket(stream, values, _rvValues.length(), eCodec));
        }
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "serialize");
    }
    return true;
}

template <class T>
bool VqCodecDriver<T>::deserialize(VqObjectStream& stream, VqPredictorType ePredType, int nMaxValues) {
    VQ_PROPAGATE(_checkPredictor(ePredType, "deserialize"));
    VQ_CHECK(nMaxValues >= 0, kCls, "deserialize", VQ_ERR_ARGUMENT);
    try {
        if constexpr (std::is_same_v<T, double>) {
            VQ_PROPAGATE(_deserializePacket(stream, _vWords, 2 * std::min(nMaxValues, INT_MAX / 2)));
            // Each double is two values.
            VQ_CHECK(_vWords.size() % 2 == 0, kCls, "deserialize", VQ_ERR_CORRUPT);
            _rvValues.resize(_vWords.size() / 2);
            for (size_t i = 0; i < _rvValues.size(); ++i)
                _rvValues[i] = std::bit_cast<double>(
                    static_cast<uint64_t>(static_cast<uint32_t>(_vWords[2 * i])) |
                    static_cast<uint64_t>(static_cast<uint32_t>(_vWords[2 * i + 1])) << 32);
        } else {
            VQ_PROPAGATE(_deserializePacket(stream, _rvValues, nMaxValues));
        }
        if (ePredType != PredNull)
            VqResidualPredictor::unpack(_rvValues.data(), _rvValues.data(), _rvValues.length(), ePredType);
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "deserialize");
    }
    return true;
}

template class VqCodecDriver<int>;
template class VqCodecDriver<double>;
