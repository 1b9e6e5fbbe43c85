#pragma once

#include "VqExport.h"
#include "VqFixedVec.h"
#include "VqUniformQuantizer.h"

#include <cstdint>

class VqBaseDataStream;

// Codes a colour with alpha as one packed unsigned integer, c1 in the highest
// bits: c1 << (p2 + p3 + pa) | c2 << (p3 + pa) | c3 << pa | a. The three
// colour parts are red, green and blue, or hue, saturation and value when
// coding through HSV; the precisions sum to at most 32.
//
// A part of precision 0 is not coded and decodes as 0.0 for c1 and 1.0 for
// the others; the forms with fewer than four components fill the missing
// ones with those values before coding.
//
// In HSV mode the ranges are fixed ([0, 6] for hue, [0, 1] for the rest), as
// the record then carries only the bit counts; setRange is refused there.
//
// Record: uint8 HSV flag; RGB: the c1, c2, c3 and alpha quantizers (9 bytes
// each); HSV: four uint8 bit counts.
class VQ_API VqColorQuantizer {
public:
    // RGB; c1 ... c3 over [0, 1] with 8 bits; alpha over [0, 1] with 0 bits.
    VqColorQuantizer();
    virtual ~VqColorQuantizer() = default;
    VqColorQuantizer(const VqColorQuantizer&) = default;
    VqColorQuantizer& operator=(const VqColorQuantizer&) = default;

    bool setRange(float c1Min, float c1Max, float c2Min, float c2Max, float c3Min, float c3Max, float aMin,
                  float aMax);
    void getRange(float& c1Min, float& c1Max, float& c2Min, float& c2Max, float& c3Min, float& c3Max,
                  float& aMin, float& aMax) const;
    bool setPrec(int c1, int c2, int c3, int a);
    void getPrec(int& c1, int& c2, int& c3, int& a) const;
    // Switching on fixes the HSV ranges; switching off restores [0, 1] for all four.
    void setEncodeWithHSV(bool on);
    bool getEncodeWithHSV() const { return _bEncodeWithHSV; }

    bool convertRGBtoCode(float r, uint32_t& code) const;
    bool convertRGBtoCode(const VqFixedVec<float, 2>& rg, uint32_t& code) const;
    bool convertRGBtoCode(const VqFixedVec<float, 3>& rgb, uint32_t& code) const;
    bool convertRGBtoCode(const VqFixedVec<float, 4>& rgba, uint32_t& code) const;
    // Bytes stand for k / 255.
    bool convertRGBtoCode(unsigned char r, unsigned char g, unsigned char b, unsigned char a,
                          uint32_t& code) const;
    // Bits above the precisions' sum are ignored.
    void convertCodeToRGB(uint32_t code, float& r) const;
    void convertCodeToRGB(uint32_t code, VqFixedVec<float, 2>& rg) const;
    void convertCodeToRGB(uint32_t code, VqFixedVec<float, 3>& rgb) const;
    void convertCodeToRGB(uint32_t code, VqFixedVec<float, 4>& rgba) const;
    // Components are clamped to [0, 1] and rounded to the nearest k / 255.
    void convertCodeToRGB(uint32_t code, unsigned char& r, unsigned char& g, unsigned char& b,
                          unsigned char& a) const;

    bool serialize(VqBaseDataStream& s) const;
    bool deserialize(VqBaseDataStream& s);

    virtual bool _convertRGBAtoCode(float r, float g, float b, float a, uint32_t& code) const;
    virtual void _convertCodetoRGBA(uint32_t code, float& r, float& g, float& b, float& a) const;
    // Hue in [0, 6): the sextant of the colour circle and the position in it.
    virtual bool _convertRBGtoHSV(float r, float g, float b, float& outH, float& outS, float& outV) const;
    virtual void _convertHSVtoRGB(float h, float s, float v, float& r, float& g, float& b) const;

private:
    static bool _checkPrec(int c1, int c2, int c3, int a, const char* method, VqErrorCode code);
    void _setFixedRanges(float c1Max);

    Vq::UniformQuantizer<float> _c1Quantizer;
    Vq::UniformQuantizer<float> _c2Quantizer;
    Vq::UniformQuantizer<float> _c3Quantizer;
    Vq::UniformQuantizer<float> _alphaQuantizer;
    bool _bEncodeWithHSV = false;
    int _nC1Prec = 8;
    int _nC2Prec = 8;
    int _nC3Prec = 8;
    int _nAlphaPrec = 0;
};
