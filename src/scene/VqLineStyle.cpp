#include "VqLineStyle.h"

#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(VqLineStyle, VqAttribute, CLSID_ZQLineStyle)

bool VqLineStyle::_apply(VqRenderContext&, const VqState*, bool, bool) const {
    return true;
}

bool VqLineStyle::accumulateHook(const VqAttribute& a, const VqState*, const VqPath*) {
    const VqLineStyle& in = static_cast<const VqLineStyle&>(a);
    if (_mergeField(in, LineType)) _iLineType = in._iLineType;
    if (_mergeField(in, Antialiasing)) _bAntialiasing = in._bAntialiasing;
    if (_mergeField(in, LineWidth)) _fLineWidth = in._fLineWidth;
    _resetHash();
    return true;
}

bool VqLineStyle::setLineType(int type) {
    VQ_CHECK(type >= 0 && type < 16, "VqLineStyle", "setLineType", VQ_ERR_ARGUMENT);
    if (type == _iLineType) return true;
    _iLineType = type;
    _resetHash();
    VQ_PROPAGATE(sendNotification(this, Vq::BaseChangeCulling));
    return true;
}

bool VqLineStyle::setAntialiasing(bool on) {
    if (on == _bAntialiasing) return true;
    _bAntialiasing = on;
    _resetHash();
    VQ_PROPAGATE(sendNotification(this, Vq::BaseChangeRendering));
    return true;
}

bool VqLineStyle::setLineWidth(float width) {
    VQ_CHECK(width > 0.0f, "VqLineStyle", "setLineWidth", VQ_ERR_ARGUMENT);
    if (width == _fLineWidth) return true;
    _fLineWidth = width;
    _resetHash();
    VQ_PROPAGATE(sendNotification(this, Vq::BaseChangeCulling));
    return true;
}

// Data flags: bits 0 to 3 the line type, bit 4 antialiasing; then the width.
bool VqLineStyle::_writeFields(VqObjectStream& os, const Vq::RecordFormat&) const {
    const unsigned char flags = static_cast<unsigned char>((_iLineType & 0xF) | (_bAntialiasing ? 0x10 : 0));
    VQ_PROPAGATE(os.write(flags) && os.write(_fLineWidth));
    return true;
}

bool VqLineStyle::_readFields(VqObjectStream& os, const Vq::RecordFormat&, int) {
    unsigned char flags = 0;
    VQ_PROPAGATE(os.read(&flags) && os.read(&_fLineWidth));
    _iLineType = flags & 0xF;
    _bAntialiasing = (flags & 0x10) != 0;
    _resetHash();
    return true;
}
