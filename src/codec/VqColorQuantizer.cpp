#include "VqColorQuantizer.h"

#include "VqBaseDataStream.h"
#include "VqErrorState.h"

#include <algorithm>
#include <cmath>

namespace {
const char* const kCls = "VqColorQuantizer";

// Values of parts that are not coded.
constexpr float kC1Default = 0.0f;
constexpr float kOtherDefault = 1.0f;

uint64_t lowBits(int n) {
    return (uint64_t(1) << n) - 1;
}

unsigned char toByte(float f) {
    return static_cast<unsigned char>(std::clamp(f, 0.0f, 1.0f) * 255.0f + 0.5f);
}
} // namespace

VqColorQuantizer::VqColorQuantizer() {
    _setFixedRanges(1.0f);
    _c1Quantizer.setQuantizedSize(8);
    _c2Quantizer.setQuantizedSize(8);
    _c3Quantizer.setQuantizedSize(8);
    _alphaQuantizer.setQuantizedSize(0);
}

void VqColorQuantizer::_setFixedRanges(float c1Max) {
    _c1Quantizer.setRange(0.0f, c1Max);
    _c2Quantizer.setRange(0.0f, 1.0f);
    _c3Quantizer.setRange(0.0f, 1.0f);
    _alphaQuantizer.setRange(0.0f, 1.0f);
}

bool VqColorQuantizer::setRange(float c1Min, float c1Max, float c2Min, float c2Max, float c3Min, float c3Max,
                                float aMin, float aMax) {
    if (_bEncodeWithHSV) VQ_FAIL(kCls, "setRange", "!_bEncodeWithHSV", VQ_ERR_ARGUMENT);
    Vq::UniformQuantizer<float> q1 = _c1Quantizer, q2 = _c2Quantizer, q3 = _c3Quantizer, qa = _alphaQuantizer;
    VQ_PROPAGATE(q1.setRange(c1Min, c1Max) && q2.setRange(c2Min, c2Max) && q3.setRange(c3Min, c3Max) &&
                 qa.setRange(aMin, aMax));
    _c1Quantizer = q1;
    _c2Quantizer = q2;
    _c3Quantizer = q3;
    _alphaQuantizer = qa;
    return true;
}

void VqColorQuantizer::getRange(float& c1Min, float& c1Max, float& c2Min, float& c2Max, float& c3Min,
                                float& c3Max, float& aMin, float& aMax) const {
    _c1Quantizer.getRange(c1Min, c1Max);
    _c2Quantizer.getRange(c2Min, c2Max);
    _c3Quantizer.getRange(c3Min, c3Max);
    _alphaQuantizer.getRange(aMin, aMax);
}

bool VqColorQuantizer::_checkPrec(int c1, int c2, int c3, int a, const char* method, VqErrorCode code) {
    // Summed in 64 bits: four large ints must not wrap into an accepted sum.
    if (!((c1 >= 0) && (c2 >= 0) && (c3 >= 0) && (a >= 0) && (int64_t(c1) + c2 + c3 + a <= 32)))
        VQ_FAIL(kCls, method, "(c1>=0) && (c2>=0) && (c3>=0) && (a>=0) && (c1+c2+c3+a<=32)", code);
    return true;
}

bool VqColorQuantizer::setPrec(int c1, int c2, int c3, int a) {
    VQ_PROPAGATE(_checkPrec(c1, c2, c3, a, "setPrec", VQ_ERR_ARGUMENT));
    _c1Quantizer.setQuantizedSize(c1);
    _c2Quantizer.setQuantizedSize(c2);
    _c3Quantizer.setQuantizedSize(c3);
    _alphaQuantizer.setQuantizedSize(a);
    _nC1Prec = c1;
    _nC2Prec = c2;
    _nC3Prec = c3;
    _nAlphaPrec = a;
    return true;
}

void VqColorQuantizer::getPrec(int& c1, int& c2, int& c3, int& a) const {
    c1 = _nC1Prec;
    c2 = _nC2Prec;
    c3 = _nC3Prec;
    a = _nAlphaPrec;
}

void VqColorQuantizer::setEncodeWithHSV(bool on) {
    _bEncodeWithHSV = on;
    _setFixedRanges(on ? 6.0f : 1.0f);
}

bool VqColorQuantizer::convertRGBtoCode(float r, uint32_t& code) const {
    VQ_PROPAGATE(_convertRGBAtoCode(r, kOtherDefault, kOtherDefault, kOtherDefault, code));
    return true;
}

bool VqColorQuantizer::convertRGBtoCode(const VqFixedVec<float, 2>& rg, uint32_t& code) const {
    VQ_PROPAGATE(_convertRGBAtoCode(rg[0], rg[1], kOtherDefault, kOtherDefault, code));
    return true;
}

bool VqColorQuantizer::convertRGBtoCode(const VqFixedVec<float, 3>& rgb, uint32_t& code) const {
    VQ_PROPAGATE(_convertRGBAtoCode(rgb[0], rgb[1], rgb[2], kOtherDefault, code));
    return true;
}

bool VqColorQuantizer::convertRGBtoCode(const VqFixedVec<float, 4>& rgba, uint32_t& code) const {
    VQ_PROPAGATE(_convertRGBAtoCode(rgba[0], rgba[1], rgba[2], rgba[3], code));
    return true;
}

bool VqColorQuantizer::convertRGBtoCode(unsigned char r, unsigned char g, unsigned char b, unsigned char a,
                                        uint32_t& code) const {
    VQ_PROPAGATE(_convertRGBAtoCode(r / 255.0f, g / 255.0f, b / 255.0f, a / 255.0f, code));
    return true;
}

void VqColorQuantizer::convertCodeToRGB(uint32_t code, float& r) const {
    float g, b, a;
    _convertCodetoRGBA(code, r, g, b, a);
}

void VqColorQuantizer::convertCodeToRGB(uint32_t code, VqFixedVec<float, 2>& rg) const {
    float b, a;
    _convertCodetoRGBA(code, rg[0], rg[1], b, a);
}

void VqColorQuantizer::convertCodeToRGB(uint32_t code, VqFixedVec<float, 3>& rgb) const {
    float a;
    _convertCodetoRGBA(code, rgb[0], rgb[1], rgb[2], a);
}

void VqColorQuantizer::convertCodeToRGB(uint32_t code, VqFixedVec<float, 4>& rgba) const {
    _convertCodetoRGBA(code, rgba[0], rgba[1], rgba[2], rgba[3]);
}

void VqColorQuantizer::convertCodeToRGB(uint32_t code, unsigned char& r, unsigned char& g, unsigned char& b,
                                        unsigned char& a) const {
    float fr, fg, fb, fa;
    _convertCodetoRGBA(code, fr, fg, fb, fa);
    r = toByte(fr);
    g = toByte(fg);
    b = toByte(fb);
    a = toByte(fa);
}

bool VqColorQuantizer::_convertRGBAtoCode(float r, float g, float b, float a, uint32_t& code) const {
    float c1 = r, c2 = g, c3 = b;
    if (_bEncodeWithHSV) {
        if (!((0.0 <= r) && (r <= 1.0) && (0.0 <= g) && (g <= 1.0) && (0.0 <= b) && (b <= 1.0) &&
              _alphaQuantizer.isInRange(a)))
            VQ_FAIL(kCls, "_convertRGBAtoCode",
                    "(0.0 <= r) && (r <= 1.0) && (0.0 <= g) && (g <= 1.0) && (0.0 <= b) && (b <= 1.0) && "
                    "_alphaQuantizer.isInRange(a)",
                    VQ_ERR_ARGUMENT);
        VQ_PROPAGATE(_convertRBGtoHSV(r, g, b, c1, c2, c3));
    } else if (!(_c1Quantizer.isInRange(r) && _c2Quantizer.isInRange(g) && _c3Quantizer.isInRange(b) &&
                 _alphaQuantizer.isInRange(a))) {
        VQ_FAIL(
            kCls, "_convertRGBAtoCode",
            "_c1Quantizer.isInRange( r ) && _c2Quantizer.isInRange( g ) && _c3Quantizer.isInRange( b ) && "
            "_alphaQuantizer.isInRange( a )",
            VQ_ERR_ARGUMENT);
    }
    // 64-bit: with all 32 bits in the lower parts, c1 is shifted by 32.
    const int sh3 = _nAlphaPrec;
    const int sh2 = sh3 + _nC3Prec;
    const int sh1 = sh2 + _nC2Prec;
    const uint64_t packed = uint64_t(_c1Quantizer.quantize(c1)) << sh1 |
                            uint64_t(_c2Quantizer.quantize(c2)) << sh2 |
                            uint64_t(_c3Quantizer.quantize(c3)) << sh3 | _alphaQuantizer.quantize(a);
    code = static_cast<uint32_t>(packed);
    return true;
}

void VqColorQuantizer::_convertCodetoRGBA(uint32_t code, float& r, float& g, float& b, float& a) const {
    const int sh3 = _nAlphaPrec;
    const int sh2 = sh3 + _nC3Prec;
    const int sh1 = sh2 + _nC2Prec;
    const uint64_t c = code;
    const float c1 = _nC1Prec ? _c1Quantizer.dequantize(uint32_t(c >> sh1 & lowBits(_nC1Prec))) : kC1Default;
    const float c2 =
        _nC2Prec ? _c2Quantizer.dequantize(uint32_t(c >> sh2 & lowBits(_nC2Prec))) : kOtherDefault;
    const float c3 =
        _nC3Prec ? _c3Quantizer.dequantize(uint32_t(c >> sh3 & lowBits(_nC3Prec))) : kOtherDefault;
    a = _nAlphaPrec ? _alphaQuantizer.dequantize(uint32_t(c & lowBits(_nAlphaPrec))) : kOtherDefault;
    if (_bEncodeWithHSV) {
        _convertHSVtoRGB(c1, c2, c3, r, g, b);
    } else {
        r = c1;
        g = c2;
        b = c3;
    }
}

bool VqColorQuantizer::_convertRBGtoHSV(float r, float g, float b, float& outH, float& outS,
                                        float& outV) const {
    const float v = std::max(r, std::max(g, b));
    const float delta = v - std::min(r, std::min(g, b));
    outV = v;
    outS = v != 0.0f ? delta / v : 0.0f;
    // Ties go to the first of r, g, b that holds the maximum.
    float h;
    if (delta == 0.0f)
        h = 0.0f;
    else if (r == v)
        h = (g - b) / delta;
    else if (g == v)
        h = (b - r) / delta + 2.0f;
    else
        h = (r - g) / delta + 4.0f;
    // A hue just below 0 can round to exactly 6 when lifted; both steps keep
    // it in [0, 6).
    if (h < 0.0f) h += 6.0f;
    if (h >= 6.0f) h -= 6.0f * std::floor(h / 6.0f);
    outH = h;
    if (!(outH >= 0.0f && outH < 6.0f))
        VQ_FAIL(kCls, "_convertRBGtoHSV", "outH >= 0.0f && outH < 6.0f", VQ_ERR_INTERNAL);
    return true;
}

void VqColorQuantizer::_convertHSVtoRGB(float h, float s, float v, float& r, float& g, float& b) const {
    if (s == 0.0f) {
        r = g = b = v;
        return;
    }
    const int i = static_cast<int>(h);
    const float f = h - static_cast<float>(i);
    const float p = (1.0f - s) * v;
    const float q = (1.0f - s * f) * v;
    const float t = (1.0f - (1.0f - f) * s) * v;
    switch (i) {
    case 1:
        r = q, g = v, b = p;
        break;
    case 2:
        r = p, g = v, b = t;
        break;
    case 3:
        r = p, g = q, b = v;
        break;
    case 4:
        r = t, g = p, b = v;
        break;
    case 5:
        r = v, g = p, b = q;
        break;
    default:
        // 0, and 6 for a hue decoded at the top of its range, which is red again.
        r = v, g = t, b = p;
        break;
    }
}

bool VqColorQuantizer::serialize(VqBaseDataStream& s) const {
    VQ_PROPAGATE(s.write(static_cast<unsigned char>(_bEncodeWithHSV ? 1 : 0)));
    if (_bEncodeWithHSV) {
        VQ_PROPAGATE(s.write(static_cast<unsigned char>(_nC1Prec)) &&
                     s.write(static_cast<unsigned char>(_nC2Prec)) &&
                     s.write(static_cast<unsigned char>(_nC3Prec)) &&
                     s.write(static_cast<unsigned char>(_nAlphaPrec)));
    } else {
        VQ_PROPAGATE(_c1Quantizer.serialize(s) && _c2Quantizer.serialize(s) && _c3Quantizer.serialize(s) &&
                     _alphaQuantizer.serialize(s));
    }
    return true;
}

bool VqColorQuantizer::deserialize(VqBaseDataStream& s) {
    unsigned char nHSV = 0;
    VQ_PROPAGATE(s.read(&nHSV));
    if (!(nHSV <= 1)) VQ_FAIL(kCls, "deserialize", "nHSV <= 1", VQ_ERR_CORRUPT);
    VqColorQuantizer q;
    int prec[4];
    if (nHSV) {
        unsigned char bits[4];
        VQ_PROPAGATE(s.read(bits, 4));
        for (int i = 0; i < 4; ++i)
            prec[i] = bits[i];
        q.setEncodeWithHSV(true);
    } else {
        VQ_PROPAGATE(q._c1Quantizer.deserialize(s) && q._c2Quantizer.deserialize(s) &&
                     q._c3Quantizer.deserialize(s) && q._alphaQuantizer.deserialize(s));
        prec[0] = static_cast<int>(q._c1Quantizer.quantizedSize());
        prec[1] = static_cast<int>(q._c2Quantizer.quantizedSize());
        prec[2] = static_cast<int>(q._c3Quantizer.quantizedSize());
        prec[3] = static_cast<int>(q._alphaQuantizer.quantizedSize());
    }
    VQ_PROPAGATE(_checkPrec(prec[0], prec[1], prec[2], prec[3], "deserialize", VQ_ERR_CORRUPT));
    q.setPrec(prec[0], prec[1], prec[2], prec[3]);
    *this = q;
    return true;
}
