#include "VqShaderEffects.h"

#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(VqShaderEffects, VqAttribute, CLSID_ZQShaderEffects)

bool VqShaderEffects::_apply(VqRenderContext&, const VqState*, bool, bool) const {
    return true;
}

bool VqShaderEffects::accumulateHook(const VqAttribute& a, const VqState*, const VqPath*) {
    const VqShaderEffects& in = static_cast<const VqShaderEffects&>(a);
    if (_mergeField(in, Enable)) _bEnable = in._bEnable;
    if (_mergeField(in, EnvTexChan)) _iEnvTexChan = in._iEnvTexChan;
    if (_mergeField(in, EnvMapReflectivity)) _fEnvMapReflectivity = in._fEnvMapReflectivity;
    if (_mergeField(in, BumpMapTexChan)) _iBumpMapTexChan = in._iBumpMapTexChan;
    if (_mergeField(in, Bumpiness)) _fBumpiness = in._fBumpiness;
    if (_mergeField(in, TangentSpaceBumpMap)) _bTangentSpace = in._bTangentSpace;
    if (_mergeField(in, PhongShading)) _bPhong = in._bPhong;
    if (_mergeField(in, PaintEffect)) _bPaint = in._bPaint;
    _resetHash();
    return true;
}

bool VqShaderEffects::_changed() {
    _resetHash();
    VQ_PROPAGATE(sendNotification(this, Vq::BaseChangeRendering));
    return true;
}

bool VqShaderEffects::setEnable(bool on) {
    if (on == _bEnable) return true;
    _bEnable = on;
    return _changed();
}

bool VqShaderEffects::setEnvTexChan(int iEnvTexChan) {
    VQ_CHECK(iEnvTexChan >= -1 && iEnvTexChan < 32, "VqShaderEffects", "setEnvTexChan", VQ_ERR_ARGUMENT);
    if (iEnvTexChan == _iEnvTexChan) return true;
    _iEnvTexChan = iEnvTexChan;
    return _changed();
}

bool VqShaderEffects::setEnvMapReflectivity(float fEnvMapReflectivity) {
    VQ_CHECK(fEnvMapReflectivity >= 0.0f && fEnvMapReflectivity <= 1.0f, "VqShaderEffects",
             "setEnvMapReflectivity", VQ_ERR_ARGUMENT);
    if (fEnvMapReflectivity == _fEnvMapReflectivity) return true;
    _fEnvMapReflectivity = fEnvMapReflectivity;
    return _changed();
}

bool VqShaderEffects::setBumpMapTexChan(int iBumpMapTexChan) {
    VQ_CHECK(iBumpMapTexChan >= -1 && iBumpMapTexChan < 32, "VqShaderEffects", "setBumpMapTexChan",
             VQ_ERR_ARGUMENT);
    if (iBumpMapTexChan == _iBumpMapTexChan) return true;
    _iBumpMapTexChan = iBumpMapTexChan;
    return _changed();
}

bool VqShaderEffects::setBumpiness(float fBumpiness) {
    VQ_CHECK(fBumpiness != 0.0f, "VqShaderEffects", "setBumpiness", VQ_ERR_ARGUMENT);
    if (fBumpiness == _fBumpiness) return true;
    _fBumpiness = fBumpiness;
    return _changed();
}

bool VqShaderEffects::setTangentSpaceBumpMap(bool on) {
    if (on == _bTangentSpace) return true;
    _bTangentSpace = on;
    return _changed();
}

bool VqShaderEffects::setPhongShading(bool on) {
    if (on == _bPhong) return true;
    _bPhong = on;
    return _changed();
}

bool VqShaderEffects::setPaintEffect(bool on) {
    if (on == _bPaint) return true;
    _bPaint = on;
    return _changed();
}

bool VqShaderEffects::_writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
    VQ_PROPAGATE(os.write(_bEnable) && os.write(_iEnvTexChan) && os.write(_fEnvMapReflectivity) &&
                 os.write(_iBumpMapTexChan) && os.write(_fBumpiness) && os.write(_bTangentSpace) &&
                 os.write(_bPhong) && os.write(_bPaint));
    if (_localVersion(fmt) >= 2) VQ_PROPAGATE(os.write(_uFinalMask.bits()));
    return true;
}

// Values out of range are refused with the setters' conditions.
bool VqShaderEffects::_readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion) {
    bool enable = false, tangent = false, phong = false, paint = false;
    int env = -1, bump = -1;
    float reflec = 0, bumpiness = 1;
    VQ_PROPAGATE(os.read(&enable) && os.read(&env) && os.read(&reflec) && os.read(&bump) &&
                 os.read(&bumpiness) && os.read(&tangent) && os.read(&phong) && os.read(&paint));
    if (!(env >= -1 && env < 32))
        VQ_FAIL("VqShaderEffects", "_readFields", "iEnvTexChan >= -1 && iEnvTexChan < 32", VQ_ERR_CORRUPT);
    if (!(reflec >= 0.0f && reflec <= 1.0f))
        VQ_FAIL("VqShaderEffects", "_readFields",
                "fEnvMapReflectivity >= 0.0f && fEnvMapReflectivity <= 1.0f", VQ_ERR_CORRUPT);
    if (!(bump >= -1 && bump < 32))
        VQ_FAIL("VqShaderEffects", "_readFields", "iBumpMapTexChan >= -1 && iBumpMapTexChan < 32",
                VQ_ERR_CORRUPT);
    if (!(bumpiness != 0.0f)) VQ_FAIL("VqShaderEffects", "_readFields", "fBumpiness != 0.0f", VQ_ERR_CORRUPT);
    _bEnable = enable;
    _iEnvTexChan = env;
    _fEnvMapReflectivity = reflec;
    _iBumpMapTexChan = bump;
    _fBumpiness = bumpiness;
    _bTangentSpace = tangent;
    _bPhong = phong;
    _bPaint = paint;
    if (fmt.generation() == 9 && localVersion >= 2) {
        unsigned int finalMask = 0;
        VQ_PROPAGATE(os.read(&finalMask));
        _uFinalMask = VqBitField<1>(finalMask & knownFieldsMask());
    }
    _resetHash();
    return true;
}
