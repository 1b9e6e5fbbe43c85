#include "VqAttribute.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqLocalVersion.h"
#include "VqMutex.h"
#include "VqNode.h"

VQ_IMPLEMENT_ABSTRACT_TYPE(VqAttribute, VqPropBase, CLSID_ZQAttribute)

namespace {
// Bits of the state flags that a file holds.
uint8_t flagsForFile(uint8_t flags, bool final) {
    return static_cast<uint8_t>((flags & ~(VqAttribute::VQ_ATTR_DYNAMIC | VqAttribute::VQ_ATTR_FINAL)) |
                                (final ? VqAttribute::VQ_ATTR_FINAL : 0));
}
} // namespace

VqAttribute::VqAttribute(const VqAttribute& o)
    : VqPropBase(o), _uAccumulated(o._uAccumulated), _uFlags(o._uFlags), _uInhibitMask(o._uInhibitMask),
      _uFinalMask(o._uFinalMask) {}

VqAttribute& VqAttribute::operator=(const VqAttribute& o) {
    if (this == &o) return *this;
    VqPropBase::operator=(o);
    _uAccumulated = o._uAccumulated;
    _uFlags = o._uFlags;
    _uInhibitMask = o._uInhibitMask;
    _uFinalMask = o._uFinalMask;
    _resetHash();
    sendNotification(this, Vq::BaseChangeAll);
    return *this;
}

uint32_t VqAttribute::knownFieldsMask() const {
    unsigned int n = _numFields();
    return n >= 32 ? 0xFFFFFFFFu : ((1u << n) - 1u);
}

void VqAttribute::_updateHashVal() const {
    uint32_t h = type()->guid.hash();
    h = (h ^ flagsForFile(_uFlags, isFinal())) * 0x9E3779B1u;
    h = (h ^ _uInhibitMask.bits()) * 0x85EBCA77u;
    h = (h ^ _uFinalMask.bits()) * 0xC2B2AE3Du;
    _uHashVal = h ? h : 1u;
}

VqMutex& VqAttribute::_lazyFillLock(const void* p) {
    static VqMutex s_aLocks[16];
    return s_aLocks[(reinterpret_cast<uintptr_t>(p) >> 4) & 15];
}

uint32_t VqAttribute::hashValue() const {
    uint32_t h = _uHashPublished.load(std::memory_order_acquire);
    if (h) return h;
    VqAutoLock lock(_lazyFillLock(this));
    h = _uHashPublished.load(std::memory_order_relaxed);
    if (h) return h;
    _updateHashVal();
    h = _uHashVal ? _uHashVal : 1u;
    _uHashPublished.store(h, std::memory_order_release);
    return h;
}

bool VqAttribute::sendNotification(const VqBase* who, Vq::BaseChange change) const {
    if (change != Vq::BaseChangeNone) _resetHash();
    return VqPropBase::sendNotification(who, change);
}

bool VqAttribute::_setFlag(uint8_t bit, bool on) {
    uint8_t next = on ? static_cast<uint8_t>(_uFlags | bit) : static_cast<uint8_t>(_uFlags & ~bit);
    if (next == _uFlags) return true;
    _uFlags = next;
    return sendNotification(this, Vq::BaseChangeAll);
}

bool VqAttribute::setFinal(bool on) {
    if (isFinal() == on) return true;
    _uFinalMask.setBits(on ? knownFieldsMask() : 0u);
    _uFlags =
        on ? static_cast<uint8_t>(_uFlags | VQ_ATTR_FINAL) : static_cast<uint8_t>(_uFlags & ~VQ_ATTR_FINAL);
    return sendNotification(this, Vq::BaseChangeAll);
}

bool VqAttribute::setForceAccum(bool on) {
    return _setFlag(VQ_ATTR_FORCE, on);
}
bool VqAttribute::setIgnoreFlag(bool on) {
    return _setFlag(VQ_ATTR_IGNORE, on);
}
bool VqAttribute::setDynamicFlag(bool on) {
    return _setFlag(VQ_ATTR_DYNAMIC, on);
}

bool VqAttribute::setPersistable(bool on) {
    uint8_t next = on ? static_cast<uint8_t>(_uFlags | VQ_ATTR_PERSISTABLE)
                      : static_cast<uint8_t>(_uFlags & ~VQ_ATTR_PERSISTABLE);
    if (next == _uFlags) return true;
    _uFlags = next;
    // Whether the nodes write this attribute changed: they need saving.
    const VqNotifyBase* const* clients = nullptr;
    unsigned int n = 0;
    notificationList(clients, n);
    std::vector<const VqNotifyBase*> nodes(clients, clients + n);
    for (const VqNotifyBase* c : nodes)
        if (auto* node = Vq::typeCast<VqNode>(c))
            VQ_PROPAGATE(const_cast<VqNode*>(node)->setModifiedFlag(true));
    return true;
}

bool VqAttribute::setFieldFinal(unsigned int iFieldNum, bool on) {
    if (!(iFieldNum < _numFields()))
        VQ_FAIL("VqAttribute", "setFieldFinal", "iFieldNum < _numFields()", VQ_ERR_ARGUMENT);
    if (isFieldFinal(iFieldNum) == on) return true;
    on ? _uFinalMask.set(static_cast<int>(iFieldNum)) : _uFinalMask.clear(static_cast<int>(iFieldNum));
    _uFlags = isFinal() ? static_cast<uint8_t>(_uFlags | VQ_ATTR_FINAL)
                        : static_cast<uint8_t>(_uFlags & ~VQ_ATTR_FINAL);
    return sendNotification(this, 8);
}

bool VqAttribute::setInhibit(unsigned int iFieldNum, bool on) {
    if (!(iFieldNum < 32)) VQ_FAIL("VqAttribute", "setInhibit", "iFieldNum < 32", VQ_ERR_ARGUMENT);
    if (isInhibited(iFieldNum) == on) return true;
    on ? _uInhibitMask.set(static_cast<int>(iFieldNum)) : _uInhibitMask.clear(static_cast<int>(iFieldNum));
    return sendNotification(this, 8);
}

VqBitField<1> VqAttribute::_convertFromPreV10FieldBits(unsigned int bits) const {
    return VqBitField<1>(bits);
}

unsigned int VqAttribute::_convertToPreV10FieldBits(VqBitField<1> bits, unsigned int, unsigned int) const {
    return bits.bits();
}

bool VqAttribute::accumulate(const VqAttribute& incoming, const VqState* state, const VqPath* path) {
    bool admit;
    if (isFinal() && !incoming.isForceAccum())
        admit = incoming.isDynamic();
    else
        admit = !incoming.isIgnored() || incoming.isDynamic();
    if (admit) {
        VQ_PROPAGATE(accumulateHook(incoming, state, path));
        _uFlags = static_cast<uint8_t>(_uFlags & ~VQ_ATTR_FORCE);
    }
    _uAccumulated = 1;
    return true;
}

bool VqAttribute::_invalidateNodeData(VqNode* node) const {
    return node ? node->invalidateState(VqNode::VQ_INVAL_STATE, true) : true;
}

bool VqAttribute::isPostV95Content() const {
    uint32_t f = _uFinalMask.bits();
    if (f != 0 && f != knownFieldsMask()) return true;
    return VqPropBase::isPostV95Content();
}

// ---- base part of the element

bool VqAttribute::_serializeV0(VqObjectStream& os, bool withInhibit) const {
    VQ_PROPAGATE(Vq::writeOwnId(os, this));
    VQ_PROPAGATE(os.write(static_cast<unsigned char>(flagsForFile(_uFlags, isFinal()))));
    if (!withInhibit) return true;
    int major = -1, minor = -1;
    os.getVersion(major, minor);
    return os.write(_convertToPreV10FieldBits(_uInhibitMask, static_cast<unsigned int>(major),
                                              static_cast<unsigned int>(minor)));
}

bool VqAttribute::_deserializeV0(VqObjectStream& os, bool withInhibit) {
    VQ_PROPAGATE(Vq::readOwnId(os, this));
    unsigned char flags = 0;
    VQ_PROPAGATE(os.read(&flags));
    _uFlags =
        static_cast<uint8_t>((flags & ~(VQ_ATTR_DYNAMIC | VQ_ATTR_FINAL)) | (_uFlags & VQ_ATTR_DYNAMIC));
    if (flags & VQ_ATTR_FINAL) {
        _uFinalMask.setBits(knownFieldsMask());
        _uFlags |= VQ_ATTR_FINAL;
    }
    if (!withInhibit) return true;
    unsigned int inhibit = 0;
    VQ_PROPAGATE(os.read(&inhibit));
    _uInhibitMask = _convertFromPreV10FieldBits(inhibit);
    return true;
}

bool VqAttribute::_serialize9x(VqObjectStream& os) const {
    int major = -1, minor = -1;
    os.getVersion(major, minor);
    if (major != 9) VQ_FAIL("VqAttribute", "_serializeVQ90virtual", "iMaj == 9", VQ_ERR_INTERNAL);
    bool withFinal = _writesV9FinalMask() && minor >= 6;
    VQ_PROPAGATE(Vq::writeLocalVersion9(os, withFinal ? 2 : 1));
    VQ_PROPAGATE(os.write(static_cast<unsigned char>(flagsForFile(_uFlags, isFinal()))));
    VQ_PROPAGATE(os.write(_convertToPreV10FieldBits(_uInhibitMask, 9, static_cast<unsigned int>(minor))));
    if (withFinal) VQ_PROPAGATE(os.write(_uFinalMask.bits()));
    return true;
}

bool VqAttribute::_deserialize9x(VqObjectStream& os) {
    int lv = 0;
    VQ_PROPAGATE(Vq::readLocalVersion9(os, lv, "VqAttribute", "_deserializeVQ90virtual"));
    unsigned char flags = 0;
    unsigned int inhibit = 0;
    VQ_PROPAGATE(os.read(&flags));
    VQ_PROPAGATE(os.read(&inhibit));
    _uFlags =
        static_cast<uint8_t>((flags & ~(VQ_ATTR_DYNAMIC | VQ_ATTR_FINAL)) | (_uFlags & VQ_ATTR_DYNAMIC));
    if (flags & VQ_ATTR_FINAL) _uFinalMask.setBits(knownFieldsMask());
    _uInhibitMask = _convertFromPreV10FieldBits(inhibit);
    if (lv >= 2) {
        unsigned int final = 0;
        VQ_PROPAGATE(os.read(&final));
        _uFinalMask.setBits(final);
    }
    if (isFinal()) _uFlags |= VQ_ATTR_FINAL;
    return true;
}

bool VqAttribute::_serialize10xV1(VqObjectStream& os) const {
    VQ_PROPAGATE(Vq::writeLocalVersion10(os, 1));
    VQ_PROPAGATE(os.write(static_cast<unsigned char>(flagsForFile(_uFlags, isFinal()))));
    VQ_PROPAGATE(os.write(_uInhibitMask.bits()));
    return os.write(_uFinalMask.bits());
}

bool VqAttribute::_deserialize10x(VqObjectStream& os) {
    int lv = 0;
    VQ_PROPAGATE(Vq::readLocalVersion10(os, lv, "VqAttribute", "_deserializeVQ100virtual"));
    unsigned char flags = 0;
    unsigned int inhibit = 0, final = 0;
    VQ_PROPAGATE(os.read(&flags));
    VQ_PROPAGATE(os.read(&inhibit));
    VQ_PROPAGATE(os.read(&final));
    _uInhibitMask.setBits(inhibit);
    _uFinalMask.setBits(final);
    _uFlags = static_cast<uint8_t>((flags & ~(VQ_ATTR_DYNAMIC | VQ_ATTR_FINAL)) |
                                   (_uFlags & VQ_ATTR_DYNAMIC) | (isFinal() ? VQ_ATTR_FINAL : 0));
    return true;
}

bool VqAttribute::_serializeVQ64virtual(VqObjectStream& os) const {
    return _serializeV0(os, false);
}
bool VqAttribute::_serializeVQ80virtual(VqObjectStream& os) const {
    return _serializeV0(os, true);
}
bool VqAttribute::_serializeVQ90virtual(VqObjectStream& os) const {
    return _serialize9x(os);
}
bool VqAttribute::_serializeVQ100virtual(VqObjectStream& os) const {
    return _serialize10xV1(os);
}
bool VqAttribute::_deserializeVQvirtual(VqObjectStream& os) {
    return _deserializeV0(os, false);
}
bool VqAttribute::_deserializeVQ64virtual(VqObjectStream& os) {
    return _deserializeV0(os, false);
}
bool VqAttribute::_deserializeVQ80virtual(VqObjectStream& os) {
    return _deserializeV0(os, true);
}
bool VqAttribute::_deserializeVQ90virtual(VqObjectStream& os) {
    return _deserialize9x(os);
}
bool VqAttribute::_deserializeVQ100virtual(VqObjectStream& os) {
    return _deserialize10x(os);
}
