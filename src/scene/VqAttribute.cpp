#include "VqAttribute.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqMutex.h"
#include "VqNode.h"
#include "VqPartition.h"

VQ_IMPLEMENT_ABSTRACT_TYPE(VqAttribute, VqPropBase, CLSID_ZQAttribute)

namespace {
// Bits of the state flags that a file holds.
uint8_t flagsForFile(uint8_t flags, bool final) {
    return static_cast<uint8_t>((flags & ~(VqAttribute::VQ_ATTR_DYNAMIC | VqAttribute::VQ_ATTR_FINAL)) |
                                (final ? VqAttribute::VQ_ATTR_FINAL : 0));
}
} // namespace

VqAttribute::VqAttribute(const VqAttribute& o)
    : Record(o), _uAccumulated(o._uAccumulated), _uFlags(o._uFlags), _uInhibitMask(o._uInhibitMask),
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
    for (const VqNotifyBase* c : notificationClients())
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
    return sendNotification(this, Vq::BaseChangeCulling);
}

bool VqAttribute::setInhibit(unsigned int iFieldNum, bool on) {
    if (!(iFieldNum < 32)) VQ_FAIL("VqAttribute", "setInhibit", "iFieldNum < 32", VQ_ERR_ARGUMENT);
    if (isInhibited(iFieldNum) == on) return true;
    on ? _uInhibitMask.set(static_cast<int>(iFieldNum)) : _uInhibitMask.clear(static_cast<int>(iFieldNum));
    return sendNotification(this, Vq::BaseChangeCulling);
}

VqBitField<1> VqAttribute::_convertFromPreV10FieldBits(unsigned int bits) const {
    return VqBitField<1>(bits);
}

unsigned int VqAttribute::_convertToPreV10FieldBits(VqBitField<1> bits, unsigned int, unsigned int) const {
    return bits.bits();
}

bool VqAttribute::accumulate(const VqAttribute& incoming, const VqState* state, const VqPath* path) {
    if (s_admits(isFinal(), incoming)) {
        VQ_PROPAGATE(accumulateHook(incoming, state, path));
        _uFlags = static_cast<uint8_t>(_uFlags & ~VQ_ATTR_FORCE);
    }
    _uAccumulated = 1;
    return true;
}

// A placing attribute also moves the node's subgraph, and decides whether
// what lies below it is under a final transform: the boxes go too.
bool VqAttribute::_invalidateNodeData(VqNode* node) const {
    if (!node) return true;
    VQ_PROPAGATE(node->invalidateState(VqNode::VQ_INVAL_STATE, true));
    VqSquareMatrix<double, 4> m;
    return _placement(m) ? node->_invalidatePlacedBoxes() : true;
}

VqPartition* VqAttribute::partition() const {
    for (const VqNotifyBase* client : notificationClients())
        if (const auto* node = Vq::typeCast<VqNode>(client)) return node->partition();
    return nullptr;
}

void VqAttribute::Placement::offer(const VqAttribute& a) {
    VqSquareMatrix<double, 4> n;
    if (!a._placement(n) || !s_admits(bFinal, a)) return;
    if (a.isDynamic()) {
        const bool skipped = a.isIgnored() || (bSkipDynamic && !a.isForceAccum());
        if (!skipped) {
            if (!n.isIdentity()) matrix = n * matrix;
            if (a.isFinal()) bSkipDynamic = true;
        }
    } else {
        if (!n.isIdentity()) matrix = n * matrix;
        bSkipDynamic = false;
    }
    if (a.isFinal()) bFinal = true;
}

bool VqAttribute::isPostV95Content() const {
    uint32_t f = _uFinalMask.bits();
    if (f != 0 && f != knownFieldsMask()) return true;
    return VqPropBase::isPostV95Content();
}

// ---- base part of the element

int VqAttribute::_localVersion(const Vq::RecordFormat& fmt) const {
    return fmt.generation() == 9 && _writesV9FinalMask() && fmt.minor >= 6 ? 2 : 1;
}

bool VqAttribute::_writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
    if (fmt.generation() == 0) VQ_PROPAGATE(_writeOwnId(os));
    VQ_PROPAGATE(os.write(static_cast<unsigned char>(flagsForFile(_uFlags, isFinal()))));
    switch (fmt.generation()) {
    case 0:
        if (fmt.major < 8) return true;
        return os.write(_convertToPreV10FieldBits(_uInhibitMask, static_cast<unsigned int>(fmt.major),
                                                  static_cast<unsigned int>(fmt.minor)));
    case 9:
        VQ_PROPAGATE(
            os.write(_convertToPreV10FieldBits(_uInhibitMask, 9, static_cast<unsigned int>(fmt.minor))));
        if (_localVersion(fmt) >= 2) VQ_PROPAGATE(os.write(_uFinalMask.bits()));
        return true;
    default:
        VQ_PROPAGATE(os.write(_uInhibitMask.bits()));
        return os.write(_uFinalMask.bits());
    }
}

bool VqAttribute::_readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion) {
    if (fmt.generation() == 0) VQ_PROPAGATE(_readOwnId(os));
    unsigned char flags = 0;
    VQ_PROPAGATE(os.read(&flags));
    _uFlags =
        static_cast<uint8_t>((flags & ~(VQ_ATTR_DYNAMIC | VQ_ATTR_FINAL)) | (_uFlags & VQ_ATTR_DYNAMIC));
    unsigned int inhibit = 0;
    switch (fmt.generation()) {
    case 0:
        // Before format 10 the final flag stands for every field.
        if (flags & VQ_ATTR_FINAL) _uFinalMask.setBits(knownFieldsMask());
        if (fmt.major >= 8) {
            VQ_PROPAGATE(os.read(&inhibit));
            _uInhibitMask = _convertFromPreV10FieldBits(inhibit);
        }
        break;
    case 9:
        VQ_PROPAGATE(os.read(&inhibit));
        if (flags & VQ_ATTR_FINAL) _uFinalMask.setBits(knownFieldsMask());
        _uInhibitMask = _convertFromPreV10FieldBits(inhibit);
        if (localVersion >= 2) {
            unsigned int final = 0;
            VQ_PROPAGATE(os.read(&final));
            _uFinalMask.setBits(final);
        }
        break;
    default: {
        unsigned int final = 0;
        VQ_PROPAGATE(os.read(&inhibit));
        VQ_PROPAGATE(os.read(&final));
        _uInhibitMask.setBits(inhibit);
        _uFinalMask.setBits(final);
        break;
    }
    }
    if (isFinal()) _uFlags |= VQ_ATTR_FINAL;
    return true;
}
