#include "VqRwStorageLocation.h"

#include "VqErrorState.h"
#include "VqFSStorageLocation.h"
#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(VqRwStorageLocation, VqStorageLocation, CLSID_ZQRwStorageLocation)

VqRwStorageLocation::VqRwStorageLocation(const VqString& id1, const VqString& id2, const VqString& name,
                                         const VqString& relation)
    : _strId1(id1), _strId2(id2), _strName(name), _strRelation(relation) {}

uint32_t VqRwStorageLocation::hash() const {
    return _strId1.hash() ^ (_strId2.hash() * 31u) ^ (_strName.hash() * 17u) ^ _strRelation.hash();
}

bool VqRwStorageLocation::isEqual(const VqStorageLocation& other) const {
    if (&other == this) return true;
    if (!other.isOfType(classTypeID())) return false;
    const auto& o = static_cast<const VqRwStorageLocation&>(other);
    return _strId1 == o._strId1 && _strId2 == o._strId2 && _strName == o._strName &&
           _strRelation == o._strRelation;
}

bool VqRwStorageLocation::getName(VqString& out) const {
    out = _strName;
    return true;
}

bool VqRwStorageLocation::clone(Vq::SharedPtr<VqStorageLocation>& out) const {
    out = new VqRwStorageLocation(*this);
    if (!out)
        VQ_FAIL("VqRwStorageLocation", "clone", "Allocation failed: new VqRwStorageLocation(*this)",
                VQ_ERR_ALLOC);
    return true;
}

bool VqRwStorageLocation::isSpec(const VqString& spec) {
    int n = spec.numChars();
    if (n <= kNameSepPos + 1) return false;
    if (!VqFSStorageLocation::isSeparator(spec[0]) || spec[kCommaPos] != ',') return false;
    int lastSep = -1;
    for (int i = n - 1; i >= 0; --i) {
        if (VqFSStorageLocation::isSeparator(spec[i])) {
            lastSep = i;
            break;
        }
    }
    return lastSep == kNameSepPos;
}

bool VqRwStorageLocation::fromSpec(const VqString& spec, Vq::SharedPtr<VqStorageLocation>& out) {
    out.reset();
    VQ_CHECK(isSpec(spec), "VqRwStorageLocation", "fromSpec", VQ_ERR_ARGUMENT);
    VqString id1, id2, name;
    spec.subString(kId1Start, id1, kIdLength);
    spec.subString(kCommaPos + 1, id2, kIdLength);
    spec.subString(kNameSepPos + 1, name);
    out = new VqRwStorageLocation(id1, id2, name);
    if (!out)
        VQ_FAIL("VqRwStorageLocation", "fromSpec",
                "Allocation failed: new VqRwStorageLocation(id1, id2, name)", VQ_ERR_ALLOC);
    return true;
}

bool VqRwStorageLocation::toSpec(VqString& out) const {
    out.clear();
    VqString str("/");
    str += _strId1;
    VQ_CHECK(str.numChars() == 15, "VqRwStorageLocation", "toSpec", VQ_ERR_ARGUMENT);
    str += ",";
    str += _strId2;
    VQ_CHECK(str.numChars() == 30, "VqRwStorageLocation", "toSpec", VQ_ERR_ARGUMENT);
    str += "/";
    str += _strName;
    out = str;
    return true;
}
