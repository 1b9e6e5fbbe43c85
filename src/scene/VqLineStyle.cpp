#include "VqLineStyle.h"

#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(VqLineStyle, VqAttribute, CLSID_ZQLineStyle)
VQ_IMPLEMENT_LEVEL_IO(VqLineStyle, VqAttribute)

bool VqLineStyle::clone(VqAttribute*& out) const {
    out = new VqLineStyle(*this);
    if (!out)
        VQ_FAIL("VqLineStyle", "clone", "Allocation failed: out = new VqLineStyle(*this)", VQ_ERR_ALLOC);
    return true;
}

int VqLineStyle::compareHook(const VqAttribute& o) const {
    const VqLineStyle& l = static_cast<const VqLineStyle&>(o);
    if (int c = vqCompareValues(_iLineType, l._iLineType)) return c;
    if (int c = vqCompareValues(_bAntialiasing, l._bAntialiasing)) return c;
    if (int c = vqCompareValues(_fLineWidth, l._fLineWidth)) return c;
    return vqCompareValues(hashValue(), o.hashValue());
}

bool VqLineStyle::isEqualHook(const VqAttribute& o) const {
    const VqLineStyle& l = static_cast<const VqLineStyle&>(o);
    return _iLineType == l._iLineType && _bAntialiasing == l._bAntialiasing && _fLineWidth == l._fLineWidth;
}

void VqLineStyle::_updateHashVal() const {
    VqAttribute::_updateHashVal();
    _uHashVal = VqHashBuilder(_uHashVal).add(_iLineType).add(_bAntialiasing).add(_fLineWidth).value();
}

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
    VQ_PROPAGATE(sendNotification(this, 8));
    return true;
}

bool VqLineStyle::setAntialiasing(bool on) {
    if (on == _bAntialiasing) return true;
    _bAntialiasing = on;
    _resetHash();
    VQ_PROPAGATE(sendNotification(this, 4));
    return true;
}

bool VqLineStyle::setLineWidth(float width) {
    VQ_CHECK(width > 0.0f, "VqLineStyle", "setLineWidth", VQ_ERR_ARGUMENT);
    if (width == _fLineWidth) return true;
    _fLineWidth = width;
    _resetHash();
    VQ_PROPAGATE(sendNotification(this, 8));
    return true;
}

// Data flags: bits 0 to 3 the line type, bit 4 antialiasing; then the width.
bool VqLineStyle::_writeFields(VqObjectStream& os) const {
    const unsigned char flags = static_cast<unsigned char>((_iLineType & 0xF) | (_bAntialiasing ? 0x10 : 0));
    VQ_PROPAGATE(os.write(flags) && os.write(_fLineWidth));
    return true;
}

bool VqLineStyle::_readFields(VqObjectStream& os) {
    unsigned char flags = 0;
    VQ_PROPAGATE(os.read(&flags) && os.read(&_fLineWidth));
    _iLineType = flags & 0xF;
    _bAntialiasing = (flags & 0x10) != 0;
    _resetHash();
    return true;
}
