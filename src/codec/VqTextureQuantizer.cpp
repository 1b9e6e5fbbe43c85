#include "VqTextureQuantizer.h"

#include "VqBaseDataStream.h"
#include "VqErrorState.h"

#include <cmath>

namespace {
const char* const kCls = "VqTextureQuantizer";
}

VqTextureQuantizer::VqTextureQuantizer() {
    for (Vq::UniformQuantizer<float>& q : _quantizers) {
        q.setRange(0.0f, 1.0f);
        q.setQuantizedSize(24);
    }
}

bool VqTextureQuantizer::setRange(float min1, float max1, float min2, float max2, float min3, float max3,
                                  float min4, float max4) {
    // Set on copies, so that a refused range leaves every component as it was.
    Vq::UniformQuantizer<float> q[kMaxComponents] = {_quantizers[0], _quantizers[1], _quantizers[2],
                                                     _quantizers[3]};
    VQ_PROPAGATE(q[0].setRange(min1, max1) && q[1].setRange(min2, max2) && q[2].setRange(min3, max3) &&
                 q[3].setRange(min4, max4));
    for (int i = 0; i < kMaxComponents; ++i)
        _quantizers[i] = q[i];
    return true;
}

bool VqTextureQuantizer::setPrec(int p1, int p2, int p3, int p4) {
    if (!((p1 >= 0) && (p2 >= 0) && (p3 >= 0) && (p4 >= 0)))
        VQ_FAIL(kCls, "setPrec", "(p1>=0) && (p2>=0) && (p3>=0) && (p4>=0)", VQ_ERR_ARGUMENT);
    Vq::UniformQuantizer<float> q[kMaxComponents] = {_quantizers[0], _quantizers[1], _quantizers[2],
                                                     _quantizers[3]};
    VQ_PROPAGATE(q[0].setQuantizedSize(p1) && q[1].setQuantizedSize(p2) && q[2].setQuantizedSize(p3) &&
                 q[3].setQuantizedSize(p4));
    for (int i = 0; i < kMaxComponents; ++i)
        _quantizers[i] = q[i];
    return true;
}

void VqTextureQuantizer::getPrec(int& p1, int& p2) const {
    p1 = static_cast<int>(_quantizers[0].quantizedSize());
    p2 = static_cast<int>(_quantizers[1].quantizedSize());
}

void VqTextureQuantizer::getPrec(int& p1, int& p2, int& p3, int& p4) const {
    getPrec(p1, p2);
    p3 = static_cast<int>(_quantizers[2].quantizedSize());
    p4 = static_cast<int>(_quantizers[3].quantizedSize());
}

bool VqTextureQuantizer::_toCodes(const float* v, int n, uint32_t* codes) const {
    for (int i = 0; i < n; ++i) {
        if (std::isnan(v[i])) VQ_FAIL(kCls, "convertFloatToCode", "!std::isnan(f)", VQ_ERR_ARGUMENT);
        codes[i] = _quantizers[i].quantize(v[i]);
    }
    return true;
}

bool VqTextureQuantizer::_fromCodes(const uint32_t* codes, int n, float* v) const {
    for (int i = 0; i < n; ++i) {
        if (codes[i] > _quantizers[i].maxCode())
            VQ_FAIL(kCls, "convertCodeToFloat", "nCode <= nMaxCode", VQ_ERR_CORRUPT);
        v[i] = _quantizers[i].dequantize(codes[i]);
    }
    return true;
}

bool VqTextureQuantizer::_serialize(VqBaseDataStream& s, int n) const {
    for (int i = 0; i < n; ++i)
        VQ_PROPAGATE(_quantizers[i].serialize(s));
    return true;
}

bool VqTextureQuantizer::_deserialize(VqBaseDataStream& s, int n) {
    Vq::UniformQuantizer<float> q[kMaxComponents];
    for (int i = 0; i < n; ++i)
        VQ_PROPAGATE(q[i].deserialize(s));
    for (int i = 0; i < n; ++i)
        _quantizers[i] = q[i];
    return true;
}
