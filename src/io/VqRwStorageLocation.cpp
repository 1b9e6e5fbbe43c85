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

bool VqRwStorageLocation::isLocationText(const VqString& text) {
    int n = text.numChars();
    if (n <= kNameSepPos + 1) return false;
    if (!VqFSStorageLocation::isSeparator(text[0]) || text[kCommaPos] != ',') return false;
    int lastSep = -1;
    for (int i = n - 1; i >= 0; --i) {
        if (VqFSStorageLocation::isSeparator(text[i])) {
            lastSep = i;
            break;
        }
    }
    return lastSep == kNameSepPos;
}

bool VqRwStorageLocation::fromLocationText(const VqString& text, Vq::SharedPtr<VqStorageLocation>& out) {
    out.reset();
    VQ_CHECK(isLocationText(text), "VqRwStorageLocation", "fromLocationText", VQ_ERR_ARGUMENT);
    VqString id1, id2, name;
    text.subString(kId1Start, id1, kIdLength);
    text.subString(kCommaPos + 1, id2, kIdLength);
    text.subString(kNameSepPos + 1, name);
    out = new VqRwStorageLocation(id1, id2, name);
    if (!out)
        VQ_FAIL("VqRwStorageLocation", "fromLocationText",
                "Allocation failed: new VqRwStorageLocation(id1, id2, name)", VQ_ERR_ALLOC);
    return true;
}

bool VqRwStorageLocation::toLocationText(VqString& out) const {
    out.clear();
    VqString str("/");
    str += _strId1;
    VQ_CHECK(str.numChars() == 15, "VqRwStorageLocation", "toLocationText", VQ_ERR_ARGUMENT);
    str += ",";
    str += _strId2;
    VQ_CHECK(str.numChars() == 30, "VqRwStorageLocation", "toLocationText", VQ_ERR_ARGUMENT);
    str += "/";
    str += _strName;
    out = str;
    return true;
}
