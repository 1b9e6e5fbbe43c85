#include "VqLight.h"

#include "VqFactory.h"
#include "VqMutex.h"
#include "VqTexImage.h"

VQ_IMPLEMENT_TYPE(VqLight, VqNotifyBase, CLSID_ZQLight)
VQ_IMPLEMENT_TYPE(VqInfiniteLight, VqLight, CLSID_ZQInfiniteLight)
VQ_IMPLEMENT_TYPE(VqPointLight, VqLight, CLSID_ZQPointLight)

VqLight::VqLight() = default;

// A copy has no shadow map and no place in a model's shadow list yet.
VqLight::VqLight(const VqLight& o)
    : Record(o), _vAmbient(o._vAmbient), _vDiffuse(o._vDiffuse), _vSpecular(o._vSpecular),
      _fBrightness(o._fBrightness), _eCoordSys(o._eCoordSys), _bShadowCaster(o._bShadowCaster),
      _fShadowOpacity(o._fShadowOpacity), _fNonShadowAlpha(o._fNonShadowAlpha),
      _fShadowAlpha(o._fShadowAlpha), _iShadowMapRes(o._iShadowMapRes) {}

VqLight::~VqLight() = default;

bool VqLight::isEqual(const VqLight& o) const {
    return type() == o.type() && _vAmbient == o._vAmbient && _vDiffuse == o._vDiffuse &&
           _vSpecular == o._vSpecular && _fBrightness == o._fBrightness && _eCoordSys == o._eCoordSys &&
           _bShadowCaster == o._bShadowCaster && _fShadowOpacity == o._fShadowOpacity &&
           _fNonShadowAlpha == o._fNonShadowAlpha && _fShadowAlpha == o._fShadowAlpha;
}

bool VqLight::_changed(Vq::BaseChange change) {
    VQ_PROPAGATE(sendNotification(this, change));
    return true;
}

bool VqLight::setAmbientColor(const VqVec4f& c) {
    if (c == _vAmbient) return true;
    _vAmbient = c;
    return _changed(Vq::BaseChangeRendering);
}

bool VqLight::setDiffuseColor(const VqVec4f& c) {
    if (c == _vDiffuse) return true;
    _vDiffuse = c;
    return _changed(Vq::BaseChangeRendering);
}

bool VqLight::setSpecularColor(const VqVec4f& c) {
    if (c == _vSpecular) return true;
    _vSpecular = c;
    return _changed(Vq::BaseChangeRendering);
}

bool VqLight::setBrightness(float b) {
    if (b == _fBrightness) return true;
    _fBrightness = b;
    return _changed(Vq::BaseChangeRendering);
}

bool VqLight::setCoordSys(VqCoordSystem eCoordSys) {
    VQ_CHECK(eCoordSys != VQ_COORDSYS_NONE, "VqLight", "setCoordSys", VQ_ERR_ARGUMENT);
    if (eCoordSys == _eCoordSys) return true;
    _eCoordSys = eCoordSys;
    return _changed(_bShadowCaster ? Vq::BaseChangeCulling : Vq::BaseChangeRendering);
}

bool VqLight::setShadowCaster(bool on) {
    if (on == _bShadowCaster) return true;
    _bShadowCaster = on;
    return _changed(Vq::BaseChangeCulling);
}

bool VqLight::setShadowOpacity(float fOpacity) {
    VQ_CHECK(fOpacity >= 0.0f && fOpacity <= 1.0f, "VqLight", "setShadowOpacity", VQ_ERR_ARGUMENT);
    if (fOpacity == _fShadowOpacity) return true;
    _fShadowOpacity = fOpacity;
    return _changed(Vq::BaseChangeRendering);
}

bool VqLight::setNonShadowAlphaFactor(float fFactor) {
    VQ_CHECK(fFactor >= 0.0f && fFactor <= 1.0f, "VqLight", "setNonShadowAlphaFactor", VQ_ERR_ARGUMENT);
    if (fFactor == _fNonShadowAlpha) return true;
    _fNonShadowAlpha = fFactor;
    return _changed(Vq::BaseChangeRendering);
}

bool VqLight::setShadowAlphaFactor(float fFactor) {
    VQ_CHECK(fFactor >= 0.0f && fFactor <= 1.0f, "VqLight", "setShadowAlphaFactor", VQ_ERR_ARGUMENT);
    if (fFactor == _fShadowAlpha) return true;
    _fShadowAlpha = fFactor;
    return _changed(Vq::BaseChangeRendering);
}

bool VqLight::setShadowMapResolution(int resolution) {
    VQ_CHECK(resolution > 0, "VqLight", "setShadowMapResolution", VQ_ERR_ARGUMENT);
    if (resolution == _iShadowMapRes) return true;
    _iShadowMapRes = resolution;
    _pShadowTex = nullptr;
    return _changed(Vq::BaseChangeRendering);
}

bool VqLight::shadowTexture(const VqTexImage*& out) const {
    out = nullptr;
    // Several traversal threads may ask for the first time at once.
    static VqMutex s_fillMutex;
    VqAutoLock lock(s_fillMutex);
    if (!_pShadowTex || _pShadowTex->width() != _iShadowMapRes) {
        Vq::SharedPtr<VqTexImage> pShadTex = new VqTexImage(VQ_TEXTYPE_SHADOWMAP_2D);
        if (!pShadTex)
            VQ_FAIL("VqLight", "shadowTexture",
                    "Allocation failed: pShadTex = new VqTexImage(VQ_TEXTYPE_SHADOWMAP_2D)", VQ_ERR_ALLOC);
        VQ_PROPAGATE(pShadTex->setBorder(1, VqVec4f(1.0f, 1.0f, 1.0f, 1.0f)) && pShadTex->setBlendType(2) &&
                     pShadTex->setWrapModes(5, 5, 5) && pShadTex->setFilterTypes(2, 1) &&
                     pShadTex->setDepthCompare(true) &&
                     pShadTex->setImage(_iShadowMapRes, _iShadowMapRes, 1, std::vector<unsigned char>()));
        pShadTex->setPersistable(false);
        _pShadowTex = pShadTex;
    }
    out = _pShadowTex.get();
    return true;
}

bool VqLight::_writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
    if (fmt.generation() == 0) VQ_PROPAGATE(_writeOwnId(os));
    VQ_PROPAGATE(os.writeVec4f(_vAmbient) && os.writeVec4f(_vDiffuse) && os.writeVec4f(_vSpecular) &&
                 os.write(_fBrightness) && os.write(static_cast<int>(_eCoordSys)) &&
                 os.write(_bShadowCaster) && os.write(_fShadowOpacity) && os.write(_fNonShadowAlpha) &&
                 os.write(_fShadowAlpha));
    return true;
}

bool VqLight::_readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int) {
    if (fmt.generation() == 0) VQ_PROPAGATE(_readOwnId(os));
    int cs = 0;
    VQ_PROPAGATE(os.readVec4f(_vAmbient) && os.readVec4f(_vDiffuse) && os.readVec4f(_vSpecular) &&
                 os.read(&_fBrightness) && os.read(&cs) && os.read(&_bShadowCaster) &&
                 os.read(&_fShadowOpacity) && os.read(&_fNonShadowAlpha) && os.read(&_fShadowAlpha));
    if (cs < VQ_COORDSYS_VIEW || cs > VQ_COORDSYS_WORLD)
        VQ_FAIL("VqLight", "_readFields", "eCoordSys != VQ_COORDSYS_NONE", VQ_ERR_CORRUPT);
    _eCoordSys = static_cast<VqCoordSystem>(cs);
    return true;
}

bool VqInfiniteLight::setDirection(const VqVec3f& d) {
    if (d == _vDirection) return true;
    _vDirection = d;
    return _changed(Vq::BaseChangeRendering);
}

bool VqInfiniteLight::_writeFields(VqObjectStream& os, const Vq::RecordFormat&) const {
    VQ_PROPAGATE(os.writeVec3f(_vDirection));
    return true;
}

bool VqInfiniteLight::_readFields(VqObjectStream& os, const Vq::RecordFormat&, int) {
    VQ_PROPAGATE(os.readVec3f(_vDirection));
    return true;
}

bool VqPointLight::setPosition(const VqVec4f& p) {
    if (p == _vPosition) return true;
    _vPosition = p;
    return _changed(Vq::BaseChangeRendering);
}

bool VqPointLight::setSpot(const VqVec3f& direction, float angle, int intensity) {
    VQ_CHECK((angle >= 0.0f && angle <= 90.0f) || angle == 180.0f, "VqPointLight", "setSpot",
             VQ_ERR_ARGUMENT);
    _vSpotDirection = direction;
    _fSpotAngle = angle;
    _iSpotIntensity = intensity;
    return _changed(Vq::BaseChangeRendering);
}

bool VqPointLight::setAttenuation(const VqVec3f& a) {
    if (a == _vAttenuation) return true;
    _vAttenuation = a;
    return _changed(Vq::BaseChangeRendering);
}

bool VqPointLight::_writeFields(VqObjectStream& os, const Vq::RecordFormat&) const {
    VQ_PROPAGATE(os.writeVec4f(_vPosition) && os.writeVec3f(_vSpotDirection) && os.write(_fSpotAngle) &&
                 os.write(_iSpotIntensity) && os.writeVec3f(_vAttenuation));
    return true;
}

bool VqPointLight::_readFields(VqObjectStream& os, const Vq::RecordFormat&, int) {
    VQ_PROPAGATE(os.readVec4f(_vPosition) && os.readVec3f(_vSpotDirection) && os.read(&_fSpotAngle) &&
                 os.read(&_iSpotIntensity) && os.readVec3f(_vAttenuation));
    return true;
}
