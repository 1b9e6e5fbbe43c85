#include "VqBase.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqMutex.h"

#include <iostream>
#include <unordered_set>
#include <vector>

VqType VqBase::s_vqType = {VqGUID(), "VqBase", nullptr, 0, nullptr};

namespace {
// Instance tracking. The set is only touched while tracking is on.
std::atomic<bool> s_bInstrumentEnabled{false};
VqMutex* s_pBaseMutex = nullptr;
std::unordered_set<const VqBase*>* s_pRefInstrTable = nullptr;
std::vector<const VqBase*>* s_vpIgnoreList = nullptr;

enum class Hook { Base, V64, V70, V80, V81, V82, V83, V90, V91, V92, V93, V94, V95, V96, V97, V100, V101 };

Hook hookFor(int major, int minor) {
    switch (major) {
    case 10:
        return minor == 0 ? Hook::V100 : Hook::V101;
    case 9:
        if (minor >= 0 && minor <= 6) return static_cast<Hook>(static_cast<int>(Hook::V90) + minor);
        return minor >= 7 ? Hook::V97 : Hook::Base;
    case 8:
        if (minor >= 0 && minor <= 2) return static_cast<Hook>(static_cast<int>(Hook::V80) + minor);
        return Hook::V83;
    case 7:
        return Hook::V70;
    default:
        return minor == 4 ? Hook::V64 : Hook::Base;
    }
}
} // namespace

VqBase::VqBase() {
    if (s_bInstrumentEnabled.load(std::memory_order_relaxed)) _addToInstrumentTable();
}

VqBase::VqBase(const VqBase& other) : VqRefCounted(other), _uIdSlot(0) {
    if (s_bInstrumentEnabled.load(std::memory_order_relaxed)) _addToInstrumentTable();
}

VqBase::~VqBase() {
    if (s_bInstrumentEnabled.load(std::memory_order_relaxed)) _removeFromInstrumentTable();
}

size_t VqBase::_memSize(bool) const {
    return static_cast<size_t>(type()->size);
}

bool VqBase::serializeVersion(VqObjectStream& os, int major, int minor) const {
    bool ok = false;
    try {
        ok = _serializeHook(os, major, minor);
    } catch (...) {
        return VqErrorState::recordCurrentException(type()->name, "serialize");
    }
    if (!ok) VqErrorState::rethrowError();
    return ok;
}

bool VqBase::_serializeHook(VqObjectStream& os, int major, int minor) const {
    bool ok = false;
    switch (hookFor(major, minor)) {
    case Hook::Base:
        ok = _serializeVQvirtual(os);
        break;
    case Hook::V64:
        ok = _serializeVQ64virtual(os);
        break;
    case Hook::V70:
        ok = _serializeVQ70virtual(os);
        break;
    case Hook::V80:
        ok = _serializeVQ80virtual(os);
        break;
    case Hook::V81:
        ok = _serializeVQ81virtual(os);
        break;
    case Hook::V82:
        ok = _serializeVQ82virtual(os);
        break;
    case Hook::V83:
        ok = _serializeVQ83virtual(os);
        break;
    case Hook::V90:
        ok = _serializeVQ90virtual(os);
        break;
    case Hook::V91:
        ok = _serializeVQ91virtual(os);
        break;
    case Hook::V92:
        ok = _serializeVQ92virtual(os);
        break;
    case Hook::V93:
        ok = _serializeVQ93virtual(os);
        break;
    case Hook::V94:
        ok = _serializeVQ94virtual(os);
        break;
    case Hook::V95:
        ok = _serializeVQ95virtual(os);
        break;
    case Hook::V96:
        ok = _serializeVQ96virtual(os);
        break;
    case Hook::V97:
        ok = _serializeVQ97virtual(os);
        break;
    case Hook::V100:
        ok = _serializeVQ100virtual(os);
        break;
    case Hook::V101:
        ok = _serializeVQ101virtual(os);
        break;
    }
    return ok;
}

bool VqBase::deserializeVersion(VqObjectStream& os, int major, int minor) {
    bool ok = false;
    switch (hookFor(major, minor)) {
    case Hook::Base:
        ok = _deserializeVQvirtual(os);
        break;
    case Hook::V64:
        ok = _deserializeVQ64virtual(os);
        break;
    case Hook::V70:
        ok = _deserializeVQ70virtual(os);
        break;
    case Hook::V80:
        ok = _deserializeVQ80virtual(os);
        break;
    case Hook::V81:
        ok = _deserializeVQ81virtual(os);
        break;
    case Hook::V82:
        ok = _deserializeVQ82virtual(os);
        break;
    case Hook::V83:
        ok = _deserializeVQ83virtual(os);
        break;
    case Hook::V90:
        ok = _deserializeVQ90virtual(os);
        break;
    case Hook::V91:
        ok = _deserializeVQ91virtual(os);
        break;
    case Hook::V92:
        ok = _deserializeVQ92virtual(os);
        break;
    case Hook::V93:
        ok = _deserializeVQ93virtual(os);
        break;
    case Hook::V94:
        ok = _deserializeVQ94virtual(os);
        break;
    case Hook::V95:
        ok = _deserializeVQ95virtual(os);
        break;
    case Hook::V96:
        ok = _deserializeVQ96virtual(os);
        break;
    case Hook::V97:
        ok = _deserializeVQ97virtual(os);
        break;
    case Hook::V100:
        ok = _deserializeVQ100virtual(os);
        break;
    case Hook::V101:
        ok = _deserializeVQ101virtual(os);
        break;
    }
    if (!ok) VqErrorState::rethrowError();
    return ok;
}

void VqBase::_getMinimumVQVersion(int& major, int& minor) const {
    // Each isPostV*Content() falls back to the next newer one, and overrides
    // only add reasons to say yes: the oldest question is true whenever any
    // is. Content that needs nothing newer (almost every object of a graph)
    // is answered by that one chain instead of one chain per version.
    int reqMajor = 7, reqMinor = 0;
    if (!isPostV70Content()) {
        // Nothing newer than the floor.
    } else if (isPostV100Content())
        reqMajor = 10, reqMinor = 1;
    else if (isPostV97Content())
        reqMajor = 10, reqMinor = 0;
    else if (isPostV96Content())
        reqMajor = 9, reqMinor = 7;
    else if (isPostV95Content())
        reqMajor = 9, reqMinor = 6;
    else if (isPostV94Content())
        reqMajor = 9, reqMinor = 5;
    else if (isPostV93Content())
        reqMajor = 9, reqMinor = 4;
    else if (isPostV92Content())
        reqMajor = 9, reqMinor = 3;
    else if (isPostV91Content())
        reqMajor = 9, reqMinor = 2;
    else if (isPostV90Content())
        reqMajor = 9, reqMinor = 1;
    else if (isPostV82Content())
        reqMajor = 9, reqMinor = 0;
    else if (isPostV81Content())
        reqMajor = 8, reqMinor = 2;
    else if (isPostV80Content())
        reqMajor = 8, reqMinor = 1;
    else
        reqMajor = 8, reqMinor = 0;
    if (reqMajor > major || (reqMajor == major && reqMinor > minor)) {
        major = reqMajor;
        minor = reqMinor;
    }
}

bool VqBase::constructType() {
    s_vqType.guid = VqGUID(CLSID_ZQBase);
    s_vqType.parent = nullptr;
    s_vqType.size = static_cast<int32_t>(sizeof(VqBase));
    s_vqType.create = nullptr;
    return VqFactory::addType(s_vqType);
}

bool VqBase::destructType() {
    return VqFactory::removeType(s_vqType);
}

bool VqBase::init() {
    if (!s_pBaseMutex) s_pBaseMutex = new VqMutex();
    return true;
}

void VqBase::fini() {
    enableVqBaseTracking(false);
    delete s_pBaseMutex;
    s_pBaseMutex = nullptr;
}

bool VqBase::enableVqBaseTracking(bool enable) {
    if (!s_pBaseMutex) return true;
    VqAutoLock lock(*s_pBaseMutex);
    if (enable) {
        if (!s_pRefInstrTable) s_pRefInstrTable = new std::unordered_set<const VqBase*>();
        if (!s_vpIgnoreList) s_vpIgnoreList = new std::vector<const VqBase*>();
    } else {
        delete s_pRefInstrTable;
        s_pRefInstrTable = nullptr;
        delete s_vpIgnoreList;
        s_vpIgnoreList = nullptr;
    }
    s_bInstrumentEnabled = enable;
    return true;
}

void VqBase::_addToInstrumentTable() {
    if (!s_pBaseMutex) return;
    VqAutoLock lock(*s_pBaseMutex);
    if (!s_pRefInstrTable) return;
    if (refCount() != 0 || !s_pRefInstrTable->insert(this).second) {
        std::cout << "Bad internal state inVqBase::_addToInstrumentTable(), returning.\n";
    }
}

void VqBase::_removeFromInstrumentTable() {
    if (!s_pBaseMutex) return;
    VqAutoLock lock(*s_pBaseMutex);
    if (!s_pRefInstrTable) return;
    if (refCount() != 0) {
        std::cout << "Bad internal state inVqBase::_removeFromInstrumentTable(), returning.\n";
        return;
    }
    s_pRefInstrTable->erase(this);
    if (s_vpIgnoreList) std::erase(*s_vpIgnoreList, this);
}

bool VqBase::ignoreStaticObject(const VqBase* object) {
    if (!s_pBaseMutex) return false;
    VqAutoLock lock(*s_pBaseMutex);
    if (!(s_bInstrumentEnabled && s_pRefInstrTable && s_vpIgnoreList)) {
        VqErrorState::throwStdError("VqBase", "_createInstrumentTable",
                                    "s_bInstrumentEnabled && s_pRefInstrTable && s_vpIgnoreList",
                                    VQ_ERR_INTERNAL);
        return false;
    }
    s_vpIgnoreList->push_back(object);
    return true;
}

bool VqBase::getExtantObjects(Vq::SharedPtrVec<VqBase>& out) {
    out.clear();
    if (!s_pBaseMutex) return true;
    VqAutoLock lock(*s_pBaseMutex);
    if (!s_pRefInstrTable) return true;
    for (const VqBase* p : *s_pRefInstrTable)
        out.emplace_back(const_cast<VqBase*>(p));
    if (out.size() != s_pRefInstrTable->size()) {
        VqErrorState::throwStdError("VqBase", "getExtantObjects",
                                    "ovpExtantObjects.length() == s_pRefInstrTable->size()", VQ_ERR_INTERNAL);
        return false;
    }
    return true;
}

bool VqBase::reportMemoryLeaks() {
    return reportMemoryLeaks(std::cout);
}

bool VqBase::reportMemoryLeaks(std::ostream& os) {
    if (!s_pBaseMutex) return true;
    VqAutoLock lock(*s_pBaseMutex);
    if (!s_pRefInstrTable) return true;
    auto line = [&os](const VqBase* p) {
        const VqType* t = p->type();
        os << static_cast<const void*>(p) << " is a " << ((t && t->name) ? t->name : "<Unknown Type>")
           << " with refCount " << p->refCount();
        p->_leakReportDetail(os);
        os << "\n";
    };
    size_t nStatic = 0, nLeaked = 0;
    std::unordered_set<const VqBase*> ignored;
    if (s_vpIgnoreList) ignored.insert(s_vpIgnoreList->begin(), s_vpIgnoreList->end());
    for (const VqBase* p : ignored) {
        if (!s_pRefInstrTable->count(p)) continue;
        os << "**Potential memory leak** :";
        line(p);
        ++nStatic;
    }
    os << "\n----------- Memory leaks !!! -----------\n\n";
    for (const VqBase* p : *s_pRefInstrTable) {
        if (ignored.count(p)) continue;
        line(p);
        ++nLeaked;
    }
    os << "\nTotal (non-static) objects leaked: " << nLeaked << "\n";
    os << "Total (static) objects potentially leaked: " << nStatic << "\n";
    os << "Note: This leak report may contain a handful of internal objects\n"
          "      that have not yet had a chance to destruct.\n";
    return true;
}

// The ID slot lives in the reference count's padding.
static_assert(sizeof(VqBase) == sizeof(VqRefCounted), "the ID slot must not make every object larger");
