#include "VqShaderEffects.h"

#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(VqShaderEffects, VqAttribute, CLSID_ZQShaderEffects)

bool VqShaderEffects::clone(VqAttribute*& out) const {
    out = new VqShaderEffects(*this);
    if (!out)
        VQ_FAIL("VqShaderEffects", "clone", "Allocation failed: out = new VqShaderEffects(*this)",
                VQ_ERR_ALLOC);
    return true;
}

int VqShaderEffects::compareHook(const VqAttribute& o) const {
    const VqShaderEffects& s = static_cast<const VqShaderEffects&>(o);
    if (int c = vqCompareValues(_bEnable, s._bEnable)) return c;
    if (int c = vqCompareValues(_iEnvTexChan, s._iEnvTexChan)) return c;
    if (int c = vqCompareValues(_fEnvMapReflectivity, s._fEnvMapReflectivity)) return c;
    if (int c = vqCompareValues(_iBumpMapTexChan, s._iBumpMapTexChan)) return c;
    if (int c = vqCompareValues(_fBumpiness, s._fBumpiness)) return c;
    if (int c = vqCompareValues(_bTangentSpace, s._bTangentSpace)) return c;
    if (int c = vqCompareValues(_bPhong, s._bPhong)) return c;
    if (int c = vqCompareValues(_bPaint, s._bPaint)) return c;
    return vqCompareValues(hashValue(), o.hashValue());
}

bool VqShaderEffects::isEqualHook(const VqAttribute& o) const {
    const VqShaderEffects& s = static_cast<const VqShaderEffects&>(o);
    return _bEnable == s._bEnable && _iEnvTexChan == s._iEnvTexChan &&
           _fEnvMapReflectivity == s._fEnvMapReflectivity && _iBumpMapTexChan == s._iBumpMapTexChan &&
           _fBumpiness == s._fBumpiness && _bTangentSpace == s._bTangentSpace && _bPhong == s._bPhong &&
           _bPaint == s._bPaint;
}

void VqShaderEffects::_updateHashVal() const {
    VqAttribute::_updateHashVal();
    _uHashVal = VqHashBuilder(_uHashVal)
                    .add(_bEnable)
                    .add(_iEnvTexChan)
                    .add(_fEnvMapReflectivity)
                    .add(_iBumpMapTexChan)
                    .add(_fBumpiness)
                    .add(_bTangentSpace)
                    .add(_bPhong)
                    .add(_bPaint)
                    .value();
}

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
    VQ_PROPAGATE(sendNotification(this, 4));
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

bool VqShaderEffects::_writeFields(VqObjectStream& os) const {
    VQ_PROPAGATE(os.write(_bEnable) && os.write(_iEnvTexChan) && os.write(_fEnvMapReflectivity) &&
                 os.write(_iBumpMapTexChan) && os.write(_fBumpiness) && os.write(_bTangentSpace) &&
                 os.write(_bPhong) && os.write(_bPaint));
    return true;
}

// Values out of range are refused with the setters' conditions.
bool VqShaderEffects::_readFields(VqObjectStream& os) {
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
    _resetHash();
    return true;
}

// Before format 9 the fields follow the base part directly.
bool VqShaderEffects::_serializeVQ64virtual(VqObjectStream& os) const {
    VQ_PROPAGATE(VqAttribute::_serializeVQ64virtual(os) && _writeFields(os));
    return true;
}

bool VqShaderEffects::_serializeVQ80virtual(VqObjectStream& os) const {
    VQ_PROPAGATE(VqAttribute::_serializeVQ80virtual(os) && _writeFields(os));
    return true;
}

// Format 9: local version 1; from 9.6 on, local version 2 with the field
// final mask after the fields, which the base part of 9.x cannot carry.
bool VqShaderEffects::_serializeVQ90virtual(VqObjectStream& os) const {
    int major = 0, minor = 0;
    os.getVersion(major, minor);
    const bool withFinal = minor >= 6;
    VQ_PROPAGATE(VqAttribute::_serializeVQ90virtual(os) && os.write(static_cast<short>(withFinal ? 2 : 1)) &&
                 _writeFields(os));
    if (withFinal) VQ_PROPAGATE(os.write(_uFinalMask.bits()));
    return true;
}

// Format 10 keeps the final mask in the base part; this level is version 1.
bool VqShaderEffects::_serializeVQ100virtual(VqObjectStream& os) const {
    VQ_PROPAGATE(VqAttribute::_serializeVQ100virtual(os) && os.write(static_cast<unsigned char>(1)) &&
                 _writeFields(os));
    return true;
}

bool VqShaderEffects::_deserializeVQvirtual(VqObjectStream& os) {
    VQ_PROPAGATE(VqAttribute::_deserializeVQvirtual(os) && _readFields(os));
    return true;
}

bool VqShaderEffects::_deserializeVQ64virtual(VqObjectStream& os) {
    VQ_PROPAGATE(VqAttribute::_deserializeVQ64virtual(os) && _readFields(os));
    return true;
}

bool VqShaderEffects::_deserializeVQ80virtual(VqObjectStream& os) {
    VQ_PROPAGATE(VqAttribute::_deserializeVQ80virtual(os) && _readFields(os));
    return true;
}

bool VqShaderEffects::_deserializeVQ90virtual(VqObjectStream& os) {
    short lv = 0;
    VQ_PROPAGATE(VqAttribute::_deserializeVQ90virtual(os) &&
                 vqReadLocalVersion9(os, "VqShaderEffects", "_deserializeVQ90virtual", lv) &&
                 _readFields(os));
    if (lv >= 2) {
        unsigned int finalMask = 0;
        VQ_PROPAGATE(os.read(&finalMask));
        _uFinalMask = VqBitField<1>(finalMask & knownFieldsMask());
    }
    return true;
}

bool VqShaderEffects::_deserializeVQ100virtual(VqObjectStream& os) {
    unsigned char lv = 0;
    VQ_PROPAGATE(VqAttribute::_deserializeVQ100virtual(os) &&
                 vqReadLocalVersion10(os, "VqShaderEffects", "_deserializeVQ100virtual", lv) &&
                 _readFields(os));
    return true;
}
