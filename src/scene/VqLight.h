#pragma once

#include "VqExport.h"
#include "VqFixedVec.h"
#include "VqNotifyBase.h"
#include "VqRecord.h"

class VqTexImage;

// Coordinate systems of a light. A light in model coordinates is placed by
// the transform accumulated above the light set that holds it.
enum VqCoordSystem : int {
    VQ_COORDSYS_NONE = 0,
    VQ_COORDSYS_VIEW = 1,
    VQ_COORDSYS_MODEL = 2,
    VQ_COORDSYS_WORLD = 3
};

// A light source; held by light sets, element of its own.
class VQ_API VqLight : public Vq::Record<VqLight, VqNotifyBase> {
    VQ_DECLARE_TYPE(VqLight)
public:
    // Before format 9 a light, which light sets refer to, writes its own
    // object ID first; then the colours, brightness, coordinate system and
    // shadow settings.
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

    VqLight();
    VqLight(const VqLight& o);
    ~VqLight() override;

    const VqVec4f& ambientColor() const { return _vAmbient; }
    const VqVec4f& diffuseColor() const { return _vDiffuse; }
    const VqVec4f& specularColor() const { return _vSpecular; }
    float brightness() const { return _fBrightness; }
    VqCoordSystem coordSys() const { return _eCoordSys; }
    bool shadowCaster() const { return _bShadowCaster; }
    float shadowOpacity() const { return _fShadowOpacity; }
    float nonShadowAlphaFactor() const { return _fNonShadowAlpha; }
    float shadowAlphaFactor() const { return _fShadowAlpha; }
    int shadowMapResolution() const { return _iShadowMapRes; }
    // Position in the model's list of shadow-casting lights; -1 until given one.
    int shadowCasterIndex() const { return _iShadowCasterIndex; }

    bool setAmbientColor(const VqVec4f& c);
    bool setDiffuseColor(const VqVec4f& c);
    bool setSpecularColor(const VqVec4f& c);
    bool setBrightness(float b);
    bool setCoordSys(VqCoordSystem eCoordSys);
    bool setShadowCaster(bool on);
    bool setShadowOpacity(float fOpacity);
    bool setNonShadowAlphaFactor(float fFactor);
    bool setShadowAlphaFactor(float fFactor);
    bool setShadowMapResolution(int resolution);
    void setShadowCasterIndex(int index) const { _iShadowCasterIndex = index; }

    // The depth texture the light's shadow map is rendered into, made on
    // first use.
    bool shadowTexture(const VqTexImage*& out) const;

    bool isEqual(const VqLight& o) const;

protected:
    bool _changed(Vq::BaseChange change);

private:
    VqVec4f _vAmbient{0.0f, 0.0f, 0.0f, 1.0f};
    VqVec4f _vDiffuse{1.0f, 1.0f, 1.0f, 1.0f};
    VqVec4f _vSpecular{1.0f, 1.0f, 1.0f, 1.0f};
    float _fBrightness = 1.0f;
    VqCoordSystem _eCoordSys = VQ_COORDSYS_MODEL;
    bool _bShadowCaster = false;
    float _fShadowOpacity = 1.0f;
    float _fNonShadowAlpha = 1.0f;
    float _fShadowAlpha = 1.0f;
    int _iShadowMapRes = 1024;
    mutable int _iShadowCasterIndex = -1;
    mutable Vq::SharedPtr<VqTexImage> _pShadowTex;
};

// A light at infinity shining along a direction.
class VQ_API VqInfiniteLight : public Vq::Record<VqInfiniteLight, VqLight> {
    VQ_DECLARE_TYPE(VqInfiniteLight)
public:
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

    VqInfiniteLight() = default;
    const VqVec3f& direction() const { return _vDirection; }
    bool setDirection(const VqVec3f& d);

private:
    VqVec3f _vDirection{0.0f, 0.0f, -1.0f};
};

// A positional light, optionally a spot, with distance attenuation.
class VQ_API VqPointLight : public Vq::Record<VqPointLight, VqLight> {
    VQ_DECLARE_TYPE(VqPointLight)
public:
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

    VqPointLight() = default;
    const VqVec4f& position() const { return _vPosition; }
    bool setPosition(const VqVec4f& p);
    const VqVec3f& spotDirection() const { return _vSpotDirection; }
    float spotAngle() const { return _fSpotAngle; }
    int spotIntensity() const { return _iSpotIntensity; }
    bool setSpot(const VqVec3f& direction, float angle, int intensity);
    const VqVec3f& attenuation() const { return _vAttenuation; }
    bool setAttenuation(const VqVec3f& a);

private:
    VqVec4f _vPosition{0.0f, 0.0f, 1.0f, 1.0f};
    VqVec3f _vSpotDirection{0.0f, 0.0f, -1.0f};
    float _fSpotAngle = 180.0f;
    int _iSpotIntensity = 0;
    VqVec3f _vAttenuation{1.0f, 0.0f, 0.0f};
};
