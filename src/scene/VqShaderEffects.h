#pragma once

#include "VqAttributeT.h"
#include "VqExport.h"

// Per-pixel effects the shader synthesis adds: environment mapping, bump
// mapping, Phong shading and a paint effect.
class VQ_API VqShaderEffects : public VqAttributeT<VqShaderEffects> {
    VQ_DECLARE_TYPE(VqShaderEffects)
public:
    enum Field : unsigned int {
        Enable = 0,
        EnvTexChan = 1,
        EnvMapReflectivity = 2,
        BumpMapTexChan = 3,
        Bumpiness = 4,
        TangentSpaceBumpMap = 5,
        PhongShading = 6,
        PaintEffect = 7,
        NumFields = 8
    };

    VqShaderEffects() = default;

    unsigned int _numFields() const override { return NumFields; }
    bool _apply(VqRenderContext& rc, const VqState* state, bool, bool) const override;
    bool accumulateHook(const VqAttribute& in, const VqState* state, const VqPath* path) override;

    bool enabled() const { return _bEnable; }
    bool setEnable(bool on);
    int envTexChan() const { return _iEnvTexChan; }
    bool setEnvTexChan(int iEnvTexChan);
    float envMapReflectivity() const { return _fEnvMapReflectivity; }
    bool setEnvMapReflectivity(float fEnvMapReflectivity);
    int bumpMapTexChan() const { return _iBumpMapTexChan; }
    bool setBumpMapTexChan(int iBumpMapTexChan);
    float bumpiness() const { return _fBumpiness; }
    bool setBumpiness(float fBumpiness);
    bool tangentSpaceBumpMap() const { return _bTangentSpace; }
    bool setTangentSpaceBumpMap(bool on);
    bool phongShading() const { return _bPhong; }
    bool setPhongShading(bool on);
    bool paintEffect() const { return _bPaint; }
    bool setPaintEffect(bool on);

    // From 9.6 on the level is local version 2, with the field final mask
    // after the fields, which the base part of 9.x cannot carry; format 10
    // keeps that mask in the base part.
    int _localVersion(const Vq::RecordFormat& fmt) const {
        return fmt.generation() == 9 && fmt.minor >= 6 ? 2 : 1;
    }

    auto _fields() const {
        return std::tie(_bEnable, _iEnvTexChan, _fEnvMapReflectivity, _iBumpMapTexChan, _fBumpiness,
                        _bTangentSpace, _bPhong, _bPaint);
    }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

private:
    bool _changed();

    bool _bEnable = false;
    int _iEnvTexChan = -1;
    float _fEnvMapReflectivity = 0.0f;
    int _iBumpMapTexChan = -1;
    float _fBumpiness = 1.0f;
    bool _bTangentSpace = false;
    bool _bPhong = false;
    bool _bPaint = false;
};
