// The small value atoms: integers, floats, four-float vectors, object
// references, untyped and counted pointers, and old-format data positions.
#include "VqBasePtrPropAtom.h"
#include "VqDataPropAtom.h"
#include "VqFactory.h"
#include "VqFloat32PropAtom.h"
#include "VqInt32PropAtom.h"
#include "VqLocalVersion.h"
#include "VqFormatSettings.h"
#include "VqRefCountedPtrPropAtom.h"
#include "VqVec4fPropAtom.h"
#include "VqVoidPtrPropAtom.h"

#include <cstring>
#include <ostream>

VQ_IMPLEMENT_TYPE(VqInt32PropAtom, VqPropAtom, CLSID_ZQInt32PropAtom)
VQ_IMPLEMENT_TYPE(VqFloat32PropAtom, VqPropAtom, CLSID_ZQFloat32PropAtom)
VQ_IMPLEMENT_TYPE(VqVec4fPropAtom, VqPropAtom, CLSID_ZQVec4fPropAtom)
VQ_IMPLEMENT_TYPE(VqBasePtrPropAtom, VqPropAtom, CLSID_ZQBasePtrPropAtom)
VQ_IMPLEMENT_TYPE(VqVoidPtrPropAtom, VqPropAtom, CLSID_ZQVoidPtrPropAtom)
VQ_IMPLEMENT_TYPE(VqRefCountedPtrPropAtom, VqPropAtom, CLSID_ZQRefCountedPtrPropAtom)
VQ_IMPLEMENT_TYPE(VqDataPropAtom, VqPropAtom, CLSID_ZQDataPropAtom)

namespace {
uint32_t floatBits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof(u));
    return u;
}
// The write version of the partition settings, as (major, minor).
bool writeVersionAtLeast(int major, int minor) {
    int ma = -1, mi = -1;
    if (!VqFormatSettings::getVersion(ma, mi)) return false;
    return ma > major || (ma == major && mi >= minor);
}
} // namespace

// ---- VqInt32PropAtom

void VqInt32PropAtom::write(std::ostream& os) const {
    os << _iValue;
}

bool VqInt32PropAtom::_serializeVQvirtual(VqObjectStream& os) const {
    VQ_PROPAGATE(VqPropAtom::_serializeVQvirtual(os));
    return os.write(static_cast<int>(_iValue));
}
bool VqInt32PropAtom::_serializeVQ90virtual(VqObjectStream& os) const {
    VQ_PROPAGATE(VqPropAtom::_serializeVQ90virtual(os));
    VQ_PROPAGATE(Vq::writeLocalVersion9(os, 1));
    return os.write(static_cast<int>(_iValue));
}
bool VqInt32PropAtom::_serializeVQ100virtual(VqObjectStream& os) const {
    VQ_PROPAGATE(VqPropAtom::_serializeVQ100virtual(os));
    VQ_PROPAGATE(Vq::writeLocalVersion10(os, 1));
    return os.write(static_cast<int>(_iValue));
}
bool VqInt32PropAtom::_deserializeVQvirtual(VqObjectStream& os) {
    VQ_PROPAGATE(VqPropAtom::_deserializeVQvirtual(os));
    return os.read(&_iValue);
}
bool VqInt32PropAtom::_deserializeVQ90virtual(VqObjectStream& os) {
    VQ_PROPAGATE(VqPropAtom::_deserializeVQ90virtual(os));
    int lv = 0;
    VQ_PROPAGATE(Vq::readLocalVersion9(os, lv, "VqInt32PropAtom", "_deserializeVQ90virtual"));
    return os.read(&_iValue);
}
bool VqInt32PropAtom::_deserializeVQ100virtual(VqObjectStream& os) {
    VQ_PROPAGATE(VqPropAtom::_deserializeVQ100virtual(os));
    int lv = 0;
    VQ_PROPAGATE(Vq::readLocalVersion10(os, lv, "VqInt32PropAtom", "_deserializeVQ100virtual"));
    return os.read(&_iValue);
}

// ---- VqFloat32PropAtom

uint32_t VqFloat32PropAtom::hash() const {
    return Vq::vqhash32(floatBits(_fValue));
}
void VqFloat32PropAtom::write(std::ostream& os) const {
    os << _fValue;
}

bool VqFloat32PropAtom::_serializeVQvirtual(VqObjectStream& os) const {
    VQ_PROPAGATE(VqPropAtom::_serializeVQvirtual(os));
    return os.write(_fValue);
}
bool VqFloat32PropAtom::_serializeVQ90virtual(VqObjectStream& os) const {
    VQ_PROPAGATE(VqPropAtom::_serializeVQ90virtual(os));
    VQ_PROPAGATE(Vq::writeLocalVersion9(os, 1));
    return os.write(_fValue);
}
bool VqFloat32PropAtom::_serializeVQ100virtual(VqObjectStream& os) const {
    VQ_PROPAGATE(VqPropAtom::_serializeVQ100virtual(os));
    VQ_PROPAGATE(Vq::writeLocalVersion10(os, 1));
    return os.write(_fValue);
}
bool VqFloat32PropAtom::_deserializeVQvirtual(VqObjectStream& os) {
    VQ_PROPAGATE(VqPropAtom::_deserializeVQvirtual(os));
    return os.read(&_fValue);
}
bool VqFloat32PropAtom::_deserializeVQ90virtual(VqObjectStream& os) {
    VQ_PROPAGATE(VqPropAtom::_deserializeVQ90virtual(os));
    int lv = 0;
    VQ_PROPAGATE(Vq::readLocalVersion9(os, lv, "VqFloat32PropAtom", "_deserializeVQ90virtual"));
    return os.read(&_fValue);
}
bool VqFloat32PropAtom::_deserializeVQ100virtual(VqObjectStream& os) {
    VQ_PROPAGATE(VqPropAtom::_deserializeVQ100virtual(os));
    int lv = 0;
    VQ_PROPAGATE(Vq::readLocalVersion10(os, lv, "VqFloat32PropAtom", "_deserializeVQ100virtual"));
    return os.read(&_fValue);
}

// ---- VqVec4fPropAtom

bool VqVec4fPropAtom::isPersistable() const {
    return VqPropAtom::isPersistable() && writeVersionAtLeast(9, 4);
}

uint32_t VqVec4fPropAtom::hash() const {
    uint32_t h = 0;
    for (int i = 0; i < 4; ++i)
        h = Vq::vqhash32(h ^ floatBits(_vValue[i]));
    return h;
}

void VqVec4fPropAtom::write(std::ostream& os) const {
    os << _vValue[0] << ' ' << _vValue[1] << ' ' << _vValue[2] << ' ' << _vValue[3];
}

// Format 9 stores this class level alone, without the atom level before it.
bool VqVec4fPropAtom::_serializeVQ90virtual(VqObjectStream& os) const {
    VQ_PROPAGATE(Vq::writeLocalVersion9(os, 1));
    return os.writeVec4f(_vValue);
}
bool VqVec4fPropAtom::_serializeVQ100virtual(VqObjectStream& os) const {
    VQ_PROPAGATE(VqPropAtom::_serializeVQ100virtual(os));
    VQ_PROPAGATE(Vq::writeLocalVersion10(os, 1));
    return os.writeVec4f(_vValue);
}
bool VqVec4fPropAtom::_deserializeVQ90virtual(VqObjectStream& os) {
    int lv = 0;
    VQ_PROPAGATE(Vq::readLocalVersion9(os, lv, "VqVec4fPropAtom", "_deserializeVQ90virtual"));
    VQ_PROPAGATE(os.readVec4f(_vValue));
    _setStateFromFile(_uState & VQ_PROPATOM_FILE_BITS);
    return true;
}
bool VqVec4fPropAtom::_deserializeVQ100virtual(VqObjectStream& os) {
    VQ_PROPAGATE(VqPropAtom::_deserializeVQ100virtual(os));
    int lv = 0;
    VQ_PROPAGATE(Vq::readLocalVersion10(os, lv, "VqVec4fPropAtom", "_deserializeVQ100virtual"));
    return os.readVec4f(_vValue);
}

// ---- VqBasePtrPropAtom

void VqBasePtrPropAtom::write(std::ostream& os) const {
    os << static_cast<const void*>(_pValue);
}

namespace {
bool writeRef(VqObjectStream& os, const VqBase* p) {
    int id = -1;
    VQ_PROPAGATE(os.ptr2num(p, &id));
    return os.write(id);
}
// The slot is filled now or when the referenced element is read; an object
// the segment does not hold leaves it null.
bool readRef(VqObjectStream& os, const VqBase*& slot) {
    int id = -1;
    VQ_PROPAGATE(os.read(&id));
    os.ptrFromNum(id, reinterpret_cast<const void**>(&slot));
    return true;
}
} // namespace

bool VqBasePtrPropAtom::_serializeVQvirtual(VqObjectStream& os) const {
    VQ_PROPAGATE(VqPropAtom::_serializeVQvirtual(os));
    return writeRef(os, _pValue);
}
bool VqBasePtrPropAtom::_serializeVQ90virtual(VqObjectStream& os) const {
    VQ_PROPAGATE(VqPropAtom::_serializeVQ90virtual(os));
    VQ_PROPAGATE(Vq::writeLocalVersion9(os, 1));
    return writeRef(os, _pValue);
}
bool VqBasePtrPropAtom::_serializeVQ100virtual(VqObjectStream& os) const {
    VQ_PROPAGATE(VqPropAtom::_serializeVQ100virtual(os));
    VQ_PROPAGATE(Vq::writeLocalVersion10(os, 1));
    return writeRef(os, _pValue);
}
bool VqBasePtrPropAtom::_deserializeVQvirtual(VqObjectStream& os) {
    VQ_PROPAGATE(VqPropAtom::_deserializeVQvirtual(os));
    return readRef(os, _pValue);
}
bool VqBasePtrPropAtom::_deserializeVQ90virtual(VqObjectStream& os) {
    VQ_PROPAGATE(VqPropAtom::_deserializeVQ90virtual(os));
    int lv = 0;
    VQ_PROPAGATE(Vq::readLocalVersion9(os, lv, "VqBasePtrPropAtom", "_deserializeVQ90virtual"));
    return readRef(os, _pValue);
}
bool VqBasePtrPropAtom::_deserializeVQ100virtual(VqObjectStream& os) {
    VQ_PROPAGATE(VqPropAtom::_deserializeVQ100virtual(os));
    int lv = 0;
    VQ_PROPAGATE(Vq::readLocalVersion10(os, lv, "VqBasePtrPropAtom", "_deserializeVQ100virtual"));
    return readRef(os, _pValue);
}

// ---- VqVoidPtrPropAtom, VqRefCountedPtrPropAtom

void VqVoidPtrPropAtom::write(std::ostream& os) const {
    os << _pValue;
}
void VqRefCountedPtrPropAtom::write(std::ostream& os) const {
    os << static_cast<const void*>(_pValue.get());
}

// ---- VqDataPropAtom

bool VqDataPropAtom::isPersistable() const {
    int ma = -1, mi = -1;
    return VqPropAtom::isPersistable() && VqFormatSettings::getVersion(ma, mi) && ma < 8;
}

uint32_t VqDataPropAtom::hash() const {
    uint64_t v = static_cast<uint64_t>(_sid.offset);
    return Vq::vqhash32(static_cast<uint32_t>(v) ^ Vq::vqhash32(static_cast<uint32_t>(v >> 32)));
}

void VqDataPropAtom::write(std::ostream& os) const {
    os << _sid.offset;
}

bool VqDataPropAtom::_serializeVQvirtual(VqObjectStream& os) const {
    VQ_PROPAGATE(VqPropAtom::_serializeVQvirtual(os));
    return os.write(static_cast<int>(_sid.offset));
}
bool VqDataPropAtom::_deserializeVQvirtual(VqObjectStream& os) {
    VQ_PROPAGATE(VqPropAtom::_deserializeVQvirtual(os));
    int offset = 0;
    VQ_PROPAGATE(os.read(&offset));
    _sid.offset = offset;
    _setStateBit(VQ_PROPATOM_PERSISTABLE, false);
    return true;
}
