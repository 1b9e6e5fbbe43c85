#pragma once

#include "VqExport.h"
#include "VqFixedVec.h"
#include "VqUniformQuantizer.h"

#include <cstdint>

class VqBaseDataStream;

// Codes texture coordinates of one to four components, one uniform quantizer
// per component (default [0, 1] with 24 bits). As for points, NaN is refused
// and values outside a range clamp to it; codes a component cannot have are
// refused when decoding.
//
// Record: the first k quantizers in order (serializeK, k = 1 ... 4; plain
// serialize writes two). The record does not say k: the caller keeps it.
class VQ_API VqTextureQuantizer {
public:
    static constexpr int kMaxComponents = 4;

    VqTextureQuantizer();

    // Minimum and maximum of components 1 to 4.
    bool setRange(float min1, float max1, float min2, float max2, float min3, float max3, float min4,
                  float max4);
    bool setPrec(int p1, int p2, int p3, int p4);
    void getPrec(int& p1, int& p2) const;
    void getPrec(int& p1, int& p2, int& p3, int& p4) const;

    bool convertFloatToCode(float s, uint32_t& code) const { return _toCodes(&s, 1, &code); }
    template <int n>
    bool convertFloatToCode(const VqFixedVec<float, n>& v, VqFixedVec<uint32_t, n>& codes) const {
        static_assert(n >= 2 && n <= kMaxComponents, "two to four components");
        return _toCodes(v.data(), n, codes.data());
    }
    bool convertCodeToFloat(uint32_t code, float& s) const { return _fromCodes(&code, 1, &s); }
    template <int n>
    bool convertCodeToFloat(const VqFixedVec<uint32_t, n>& codes, VqFixedVec<float, n>& v) const {
        static_assert(n >= 2 && n <= kMaxComponents, "two to four components");
        return _fromCodes(codes.data(), n, v.data());
    }

    bool serialize1(VqBaseDataStream& s) const { return _serialize(s, 1); }
    bool serialize2(VqBaseDataStream& s) const { return _serialize(s, 2); }
    bool serialize3(VqBaseDataStream& s) const { return _serialize(s, 3); }
    bool serialize4(VqBaseDataStream& s) const { return _serialize(s, 4); }
    bool serialize(VqBaseDataStream& s) const { return _serialize(s, 2); }
    // Components beyond those read keep their settings.
    bool deserialize1(VqBaseDataStream& s) { return _deserialize(s, 1); }
    bool deserialize2(VqBaseDataStream& s) { return _deserialize(s, 2); }
    bool deserialize3(VqBaseDataStream& s) { return _deserialize(s, 3); }
    bool deserialize4(VqBaseDataStream& s) { return _deserialize(s, 4); }
    bool deserialize(VqBaseDataStream& s) { return _deserialize(s, 2); }

private:
    bool _toCodes(const float* v, int n, uint32_t* codes) const;
    bool _fromCodes(const uint32_t* codes, int n, float* v) const;
    bool _serialize(VqBaseDataStream& s, int n) const;
    bool _deserialize(VqBaseDataStream& s, int n);

    Vq::UniformQuantizer<float> _quantizers[kMaxComponents];
};
