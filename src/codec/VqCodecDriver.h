#pragma once

#include "VqCodecDriverBase.h"
#include "VqExport.h"
#include "VqVec.h"

#include <type_traits>

class VqObjectStream;

// The version-1 driver of a typed array, bound to it at construction.
// serialize() codes the residuals of the array under a predictor (the caller
// stores which) and deserialize() restores the array from a packet and the
// same predictor.
//
// VqCodecDriver<int> codes the values. VqCodecDriver<double> codes the bits
// of each double as two 32-bit values, the low half first, in a packet whose
// value count is twice the number of doubles; its predictors work on the
// doubles themselves (no xor), so that a predicted array comes back only as
// exactly as the residuals' rounding allows.
template <class T>
class VQ_API VqCodecDriver : public VqCodecDriverBase {
    static_assert(std::is_same_v<T, int> || std::is_same_v<T, double>, "int or double values");

public:
    explicit VqCodecDriver(VqVec<T>& values) : _rvValues(values) {}

    bool serialize(VqObjectStream& stream, VqCodecType eCodec = CodecNone,
                   VqPredictorType ePredType = PredNull);
    // A packet of more than nMaxValues values (of T) is refused unread.
    bool deserialize(VqObjectStream& stream, VqPredictorType ePredType, int nMaxValues);

    int numValues() const { return _rvValues.length(); }

private:
    static bool _checkPredictor(VqPredictorType ePredType, const char* method);

    VqVec<T>& _rvValues;
    // Residuals and, for doubles, their 32-bit halves; kept between arrays.
    VqVec<T> _vResiduals;
    VqVeci _vWords;
};

extern template class VqCodecDriver<int>;
extern template class VqCodecDriver<double>;
