#include "VqFog.h"

#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(VqFog, VqAttribute, CLSID_ZQFog)

bool VqFog::_apply(VqRenderContext&, const VqState*, bool, bool) const {
    return true;
}

bool VqFog::accumulateHook(const VqAttribute& a, const VqState*, const VqPath*) {
    const VqFog& in = static_cast<const VqFog&>(a);
    if (_mergeField(in, Mode)) _eMode = in._eMode;
    if (_mergeField(in, Density)) _fInvDensity = in._fInvDensity;
    if (_mergeField(in, Range)) {
        _fStart = in._fStart;
        _fEnd = in._fEnd;
    }
    if (_mergeField(in, Color)) _vColor = in._vColor;
    _resetHash();
    return true;
}

bool VqFog::_changed() {
    _resetHash();
    VQ_PROPAGATE(sendNotification(this, Vq::BaseChangeRendering));
    return true;
}

bool VqFog::setMode(VqFogMode mode) {
    VQ_CHECK(mode >= VQ_FOG_OFF && mode <= VQ_FOG_EXP2, "VqFog", "setMode", VQ_ERR_ARGUMENT);
    if (mode == _eMode) return true;
    _eMode = mode;
    return _changed();
}

bool VqFog::setDensity(float density) {
    VQ_CHECK(density > 0.0f, "VqFog", "setDensity", VQ_ERR_ARGUMENT);
    const float inv = 1.0f / density;
    if (inv == _fInvDensity) return true;
    _fInvDensity = inv;
    return _changed();
}

bool VqFog::setRange(float start, float end) {
    VQ_CHECK(start <= end, "VqFog", "setRange", VQ_ERR_ARGUMENT);
    if (start == _fStart && end == _fEnd) return true;
    _fStart = start;
    _fEnd = end;
    return _changed();
}

bool VqFog::setColor(const VqVec4f& c) {
    if (c == _vColor) return true;
    _vColor = c;
    return _changed();
}

// The mode; start and end for linear fog, otherwise the reciprocal of the
// density twice; the colour.
bool VqFog::_writeFields(VqObjectStream& os, const Vq::RecordFormat&) const {
    VQ_PROPAGATE(os.write(static_cast<unsigned char>(_eMode)));
    if (_eMode == VQ_FOG_LINEAR) {
        VQ_PROPAGATE(os.write(_fStart) && os.write(_fEnd));
    } else {
        VQ_PROPAGATE(os.write(_fInvDensity) && os.write(_fInvDensity));
    }
    VQ_PROPAGATE(os.writeVec4f(_vColor));
    return true;
}

bool VqFog::_readFields(VqObjectStream& os, const Vq::RecordFormat&, int) {
    unsigned char mode = 0;
    float a = 0, b = 0;
    VQ_PROPAGATE(os.read(&mode) && os.read(&a) && os.read(&b) && os.readVec4f(_vColor));
    if (mode > VQ_FOG_EXP2) VQ_FAIL("VqFog", "_readFields", "eMode <= VQ_FOG_EXP2", VQ_ERR_CORRUPT);
    _eMode = static_cast<VqFogMode>(mode);
    if (_eMode == VQ_FOG_LINEAR) {
        _fStart = a;
        _fEnd = b;
    } else {
        _fInvDensity = a;
    }
    _resetHash();
    return true;
}
