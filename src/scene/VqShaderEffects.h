#pragma once

#include "VqAttrUtil.h"
#include "VqAttribute.h"

// Per-pixel effects the shader synthesis adds: environment mapping, bump
// mapping, Phong shading and a paint effect.
class VqShaderEffects : public VqAttribute {
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

    bool clone(VqAttribute*& out) const override;
    int compareHook(const VqAttribute& o) const override;
    bool isEqualHook(const VqAttribute& o) const override;
    void _updateHashVal() const override;
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

    bool _serializeVQ64virtual(VqObjectStream& os) const override;
    bool _serializeVQ80virtual(VqObjectStream& os) const override;
    bool _serializeVQ90virtual(VqObjectStream& os) const override;
    bool _serializeVQ100virtual(VqObjectStream& os) const override;
    bool _deserializeVQvirtual(VqObjectStream& os) override;
    bool _deserializeVQ64virtual(VqObjectStream& os) override;
    bool _deserializeVQ80virtual(VqObjectStream& os) override;
    bool _deserializeVQ90virtual(VqObjectStream& os) override;
    bool _deserializeVQ100virtual(VqObjectStream& os) override;

private:
    bool _changed();
    bool _writeFields(VqObjectStream& os) const;
    bool _readFields(VqObjectStream& os);

    bool _bEnable = false;
    int _iEnvTexChan = -1;
    float _fEnvMapReflectivity = 0.0f;
    int _iBumpMapTexChan = -1;
    float _fBumpiness = 1.0f;
    bool _bTangentSpace = false;
    bool _bPhong = false;
    bool _bPaint = false;
};
