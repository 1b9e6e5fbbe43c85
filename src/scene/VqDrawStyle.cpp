#include "VqDrawStyle.h"

#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(VqDrawStyle, VqAttribute, CLSID_ZQDrawStyle)

VqDrawStyle::VqDrawStyle() : _uFieldBits(1u << Lighting) {}

bool VqDrawStyle::_apply(VqRenderContext&, const VqState*, bool, bool) const {
    return true;
}

bool VqDrawStyle::accumulateHook(const VqAttribute& a, const VqState*, const VqPath*) {
    const VqDrawStyle& in = static_cast<const VqDrawStyle&>(a);
    for (unsigned int i = 0; i < NumFields; ++i)
        if (_mergeField(in, i))
            _uFieldBits = static_cast<uint8_t>((_uFieldBits & ~(1u << i)) | (in._uFieldBits & (1u << i)));
    _resetHash();
    return true;
}

bool VqDrawStyle::setField(Field f, bool on) {
    if (f >= NumFields) VQ_FAIL("VqDrawStyle", "setField", "iFieldNum < _numFields()", VQ_ERR_ARGUMENT);
    if (field(f) == on) return true;
    _uFieldBits = static_cast<uint8_t>(on ? (_uFieldBits | (1u << f)) : (_uFieldBits & ~(1u << f)));
    _resetHash();
    const Vq::BaseChange change = (f == BackFaceCulling || f == OutlinedPolygons) ? Vq::BaseChangeCulling : Vq::BaseChangeRendering;
    VQ_PROPAGATE(sendNotification(this, change));
    return true;
}

unsigned char VqDrawStyle::dataFlags() const {
    unsigned int b = _uFieldBits & 0x3Cu;
    if (_uFieldBits & 1u) b |= 2u;
    if (_uFieldBits & 2u) b |= 1u;
    return static_cast<unsigned char>(b);
}

void VqDrawStyle::setDataFlags(unsigned char flags) {
    unsigned int b = flags & 0x3Cu;
    if (flags & 2u) b |= 1u;
    if (flags & 1u) b |= 2u;
    _uFieldBits = static_cast<uint8_t>(b);
    _resetHash();
}

bool VqDrawStyle::_writeFields(VqObjectStream& os, const Vq::RecordFormat&) const {
    VQ_PROPAGATE(os.write(dataFlags()));
    return true;
}

bool VqDrawStyle::_readFields(VqObjectStream& os, const Vq::RecordFormat&, int) {
    unsigned char flags = 0;
    VQ_PROPAGATE(os.read(&flags));
    setDataFlags(flags);
    return true;
}
