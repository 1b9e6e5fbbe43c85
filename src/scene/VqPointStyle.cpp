#include "VqPointStyle.h"

#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(VqPointStyle, VqAttribute, CLSID_ZQPointStyle)

bool VqPointStyle::_apply(VqRenderContext&, const VqState*, bool, bool) const {
    return true;
}

bool VqPointStyle::accumulateHook(const VqAttribute& a, const VqState*, const VqPath*) {
    const VqPointStyle& in = static_cast<const VqPointStyle&>(a);
    if (_mergeField(in, PointType)) _iPointType = in._iPointType;
    if (_mergeField(in, Antialiasing)) _bAntialiasing = in._bAntialiasing;
    if (_mergeField(in, PointSize)) _fPointSize = in._fPointSize;
    _resetHash();
    return true;
}

bool VqPointStyle::setPointType(int type) {
    VQ_CHECK(type >= 0 && type < 16, "VqPointStyle", "setPointType", VQ_ERR_ARGUMENT);
    if (type == _iPointType) return true;
    _iPointType = type;
    _resetHash();
    VQ_PROPAGATE(sendNotification(this, Vq::BaseChangeCulling));
    return true;
}

bool VqPointStyle::setAntialiasing(bool on) {
    if (on == _bAntialiasing) return true;
    _bAntialiasing = on;
    _resetHash();
    VQ_PROPAGATE(sendNotification(this, Vq::BaseChangeRendering));
    return true;
}

bool VqPointStyle::setPointSize(float size) {
    VQ_CHECK(size > 0.0f, "VqPointStyle", "setPointSize", VQ_ERR_ARGUMENT);
    if (size == _fPointSize) return true;
    _fPointSize = size;
    _resetHash();
    VQ_PROPAGATE(sendNotification(this, Vq::BaseChangeCulling));
    return true;
}

// Data flags (32-bit): bits 0 to 3 the point type, bit 4 antialiasing; then the size.
bool VqPointStyle::_writeFields(VqObjectStream& os, const Vq::RecordFormat&) const {
    const unsigned int flags = static_cast<unsigned int>(_iPointType & 0xF) | (_bAntialiasing ? 0x10u : 0u);
    VQ_PROPAGATE(os.write(flags) && os.write(_fPointSize));
    return true;
}

bool VqPointStyle::_readFields(VqObjectStream& os, const Vq::RecordFormat&, int) {
    unsigned int flags = 0;
    VQ_PROPAGATE(os.read(&flags) && os.read(&_fPointSize));
    _iPointType = flags & 0xF;
    _bAntialiasing = (flags & 0x10) != 0;
    _resetHash();
    return true;
}
