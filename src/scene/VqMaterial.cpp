#include "VqMaterial.h"

#include "VqFactory.h"
#include "VqMutex.h"

VQ_IMPLEMENT_TYPE(VqMaterial, VqAttribute, CLSID_ZQMaterial)

namespace {
constexpr unsigned short kBlendBits = 0xFFD0; // the switch and both factors
constexpr unsigned short kDefaultFlags = (VQ_SRC_ALPHA << 6) | (VQ_ONE_MINUS_SRC_ALPHA << 11);
} // namespace

uint64_t VqMaterial::MixedAccumData::changes() const {
    uint64_t sum = 0;
    for (const auto& m : _vpMerged)
        sum += m->changeCount();
    return sum;
}

bool VqMaterial::mixedAccumModified() const {
    return _pMixedAccumData && _pMixedAccumData->changes() != _pMixedAccumData->_nMergedChanges;
}

VqMaterial::VqMaterial() : _uDataFlags(kDefaultFlags) {
    _aColors[0] = VqVec4f(0.2f, 0.2f, 0.2f, 1.0f);
    _aColors[1] = VqVec4f(0.8f, 0.8f, 0.8f, 1.0f);
    _aColors[2] = VqVec4f(0.0f, 0.0f, 0.0f, 1.0f);
    _aColors[3] = VqVec4f(0.0f, 0.0f, 0.0f, 1.0f);
}

// A copy of an accumulator keeps replaying the same merges.
VqMaterial::VqMaterial(const VqMaterial& o)
    : VqAttributeT(o), _fShininess(o._fShininess), _fReflectivity(o._fReflectivity),
      _fBumpiness(o._fBumpiness), _uDataFlags(o._uDataFlags) {
    for (int i = 0; i < 4; ++i)
        _aColors[i] = o._aColors[i];
    if (o._pMixedAccumData) _pMixedAccumData = new MixedAccumData(*o._pMixedAccumData);
}

VqMaterial::~VqMaterial() {
    delete _pMixedAccumData;
}

// Before format 10 the override of vertex colours was the last field and
// reflectivity and bumpiness came right after blending:
//   pre-10 bit 6 <-> field 7, bit 7 <-> field 8, bit 8 <-> field 6.
VqBitField<1> VqMaterial::_convertFromPreV10FieldBits(unsigned int bits) const {
    unsigned int out = bits & ~0x1C0u;
    if (bits & 0x040u) out |= 1u << Reflectivity;
    if (bits & 0x080u) out |= 1u << Bumpiness;
    if (bits & 0x100u) out |= 1u << OverrideVertexColors;
    return VqBitField<1>(out);
}

unsigned int VqMaterial::_convertToPreV10FieldBits(VqBitField<1> fields, unsigned int, unsigned int) const {
    const unsigned int bits = fields.bits();
    unsigned int out = bits & ~0x1C0u;
    if (bits & (1u << Reflectivity)) out |= 0x040u;
    if (bits & (1u << Bumpiness)) out |= 0x080u;
    if (bits & (1u << OverrideVertexColors)) out |= 0x100u;
    return out;
}

bool VqMaterial::_apply(VqRenderContext&, const VqState*, bool, bool) const {
    return true;
}

void VqMaterial::_mergeValues(const VqMaterial& in) {
    for (int i = 0; i < 4; ++i)
        if (_mergeField(in, static_cast<unsigned int>(i))) _aColors[i] = in._aColors[i];
    if (_mergeField(in, Shininess)) _fShininess = in._fShininess;
    if (_mergeField(in, Blending))
        _uDataFlags =
            static_cast<unsigned short>((_uDataFlags & ~kBlendBits) | (in._uDataFlags & kBlendBits));
    if (_mergeField(in, OverrideVertexColors))
        _uDataFlags = static_cast<unsigned short>((_uDataFlags & ~s_uOverrideVtxColorsFlag) |
                                                  (in._uDataFlags & s_uOverrideVtxColorsFlag));
    if (_mergeField(in, Reflectivity)) _fReflectivity = in._fReflectivity;
    if (_mergeField(in, Bumpiness)) _fBumpiness = in._fBumpiness;
    _resetHash();
}

void VqMaterial::_copyValues(const VqMaterial& from) {
    for (int i = 0; i < 4; ++i)
        _aColors[i] = from._aColors[i];
    _fShininess = from._fShininess;
    _fReflectivity = from._fReflectivity;
    _fBumpiness = from._fBumpiness;
    _uDataFlags = from._uDataFlags;
    _uFinalMask = from._uFinalMask;
    _uInhibitMask = from._uInhibitMask;
    _resetHash();
}

bool VqMaterial::accumulateHook(const VqAttribute& a, const VqState*, const VqPath*) {
    const VqMaterial& in = static_cast<const VqMaterial&>(a);
    if (!_pMixedAccumData && (in.isDynamic() || isDynamic() || in._pMixedAccumData)) {
        _pMixedAccumData = new MixedAccumData();
        if (!_pMixedAccumData)
            VQ_FAIL("VqMaterial", "accumulateHook",
                    "Allocation failed: _pMixedAccumData = new MixedAccumData(this)", VQ_ERR_ALLOC);
        VqMaterial* base = new VqMaterial(*this);
        if (!base)
            VQ_FAIL("VqMaterial", "accumulateHook", "Allocation failed: base = new VqMaterial(*this)",
                    VQ_ERR_ALLOC);
        _pMixedAccumData->_pBase = base;
    }
    if (_pMixedAccumData) {
        _pMixedAccumData->_vpMerged.push_back(&in);
        _pMixedAccumData->_nMergedChanges += in.changeCount();
    }
    _mergeValues(in);
    return true;
}

bool VqMaterial::recomputeDynamicState() {
    if (!_pMixedAccumData)
        VQ_FAIL("VqMaterial", "recomputeDynamicState", "_pMixedAccumData", VQ_ERR_INTERNAL);
    // States share their accumulators: several threads may finalize states
    // holding this one after the same change.
    VqAutoLock lock(_lazyFillLock(this));
    const uint64_t changes = _pMixedAccumData->changes();
    if (changes == _pMixedAccumData->_nMergedChanges) return true;
    _pMixedAccumData->_nMergedChanges = changes;
    _copyValues(*_pMixedAccumData->_pBase);
    for (const auto& m : _pMixedAccumData->_vpMerged)
        _mergeValues(*m);
    _resetHash();
    return true;
}

bool VqMaterial::_notify(Vq::BaseChange change) {
    _resetHash();
    VQ_PROPAGATE(sendNotification(this, change));
    return true;
}

bool VqMaterial::_setColor(int index, const VqVec4f& c) {
    if (_aColors[index] == c) return true;
    _aColors[index] = c;
    return _notify(4);
}

bool VqMaterial::setShininess(float s) {
    VQ_CHECK(s >= 0.0f && s <= 128.0f, "VqMaterial", "setShininess", VQ_ERR_ARGUMENT);
    if (s == _fShininess) return true;
    _fShininess = s;
    return _notify(4);
}

bool VqMaterial::setReflectivity(float fReflec) {
    VQ_CHECK(fReflec >= 0.0f && fReflec <= 1.0f, "VqMaterial", "setReflectivity", VQ_ERR_ARGUMENT);
    if (fReflec == _fReflectivity) return true;
    _fReflectivity = fReflec;
    return _notify(4);
}

bool VqMaterial::setBumpiness(float fBumpiness) {
    VQ_CHECK(fBumpiness >= -100.0f && fBumpiness <= 100.0f, "VqMaterial", "setBumpiness", VQ_ERR_ARGUMENT);
    if (fBumpiness == _fBumpiness) return true;
    _fBumpiness = fBumpiness;
    return _notify(4);
}

bool VqMaterial::setBlending(bool on) {
    if (on == blending()) return true;
    _uDataFlags =
        static_cast<unsigned short>(on ? (_uDataFlags | s_uBlendFlag) : (_uDataFlags & ~s_uBlendFlag));
    return _notify(4);
}

bool VqMaterial::setBlendFactors(VqBlendFactor srcFactor, VqBlendFactor dstFactor) {
    VQ_CHECK((srcFactor >= VQ_ZERO) && (srcFactor <= VQ_SRC_ALPHA_SATURATE), "VqMaterial", "setBlendFactors",
             VQ_ERR_ARGUMENT);
    VQ_CHECK((dstFactor >= VQ_ZERO) && (dstFactor <= VQ_SRC_ALPHA_SATURATE), "VqMaterial", "setBlendFactors",
             VQ_ERR_ARGUMENT);
    const unsigned short flags =
        static_cast<unsigned short>((_uDataFlags & 0x3F) | (srcFactor << 6) | (dstFactor << 11));
    if (flags == _uDataFlags) return true;
    _uDataFlags = flags;
    return _notify(4);
}

bool VqMaterial::setOverrideVertexColors(bool on) {
    if (on == overrideVertexColors()) return true;
    _uDataFlags = static_cast<unsigned short>(on ? (_uDataFlags | s_uOverrideVtxColorsFlag)
                                                 : (_uDataFlags & ~s_uOverrideVtxColorsFlag));
    return _notify(4);
}

bool VqMaterial::_writeFields(VqObjectStream& os, const Vq::RecordFormat&) const {
    VQ_PROPAGATE(os.write(_uDataFlags));
    for (int i = 0; i < 4; ++i)
        VQ_PROPAGATE(os.writeVec4f(_aColors[i]));
    VQ_PROPAGATE(os.write(_fShininess) && os.write(_fReflectivity) && os.write(_fBumpiness));
    return true;
}

bool VqMaterial::_readFields(VqObjectStream& os, const Vq::RecordFormat&, int) {
    unsigned short flags = 0;
    VQ_PROPAGATE(os.read(&flags));
    for (int i = 0; i < 4; ++i)
        VQ_PROPAGATE(os.readVec4f(_aColors[i]));
    float shininess = 0, reflec = 0, bump = 0;
    VQ_PROPAGATE(os.read(&shininess) && os.read(&reflec) && os.read(&bump));
    if (!(reflec >= 0.0f && reflec <= 1.0f))
        VQ_FAIL("VqMaterial", "_readFields", "fReflec >= 0.0f && fReflec <= 1.0f", VQ_ERR_CORRUPT);
    if (!(bump >= -100.0f && bump <= 100.0f))
        VQ_FAIL("VqMaterial", "_readFields", "fBumpiness >= -100.0f && fBumpiness <= 100.0f", VQ_ERR_CORRUPT);
    _uDataFlags = flags;
    _fShininess = shininess;
    _fReflectivity = reflec;
    _fBumpiness = bump;
    _resetHash();
    return true;
}
