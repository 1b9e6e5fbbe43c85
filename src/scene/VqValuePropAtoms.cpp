// The small value atoms: integers, floats, four-float vectors, object
// references, untyped and counted pointers, and old-format data positions.
#include "VqBasePtrPropAtom.h"
#include "VqDataPropAtom.h"
#include "VqFactory.h"
#include "VqFloat32PropAtom.h"
#include "VqInt32PropAtom.h"
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
// The write version of the partition settings, as (major, minor).
bool writeVersionAtLeast(int major, int minor) {
    int ma = -1, mi = -1;
    if (!VqFormatSettings::getVersion(ma, mi)) return false;
    return ma > major || (ma == major && mi >= minor);
}
} // namespace

// ---- VqVec4fPropAtom

bool VqVec4fPropAtom::isPersistable() const {
    return VqPropAtom::isPersistable() && writeVersionAtLeast(9, 4);
}

// Format 9 stores this class level alone: the state the atom level would
// have carried is that of an atom read from a file.
bool VqVec4fPropAtom::_readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion) {
    VQ_PROPAGATE(VqValuePropAtom::_readFields(os, fmt, localVersion));
    if (fmt.generation() == 9) _setStateFromFile(_uState & VQ_PROPATOM_FILE_BITS);
    return true;
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

bool VqBasePtrPropAtom::_writeFields(VqObjectStream& os, const Vq::RecordFormat&) const {
    return writeRef(os, _pValue);
}
bool VqBasePtrPropAtom::_readFields(VqObjectStream& os, const Vq::RecordFormat&, int) {
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

bool VqDataPropAtom::_writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
    if (fmt.generation() != 0) return true;
    return os.write(static_cast<int>(_sid.offset));
}
bool VqDataPropAtom::_readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int) {
    if (fmt.generation() != 0) return true;
    int offset = 0;
    VQ_PROPAGATE(os.read(&offset));
    _sid.offset = offset;
    _setStateBit(VQ_PROPATOM_PERSISTABLE, false);
    return true;
}
