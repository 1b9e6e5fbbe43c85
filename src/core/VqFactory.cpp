#include "VqFactory.h"

#include "VqErrorState.h"
#include "VqString.h"

#include <atomic>
#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

std::atomic<VqType*> VqFactory::s_guidCache[VqFactory::kGuidCacheSlots] = {};

namespace {
struct _VqFactoryIntDB {
    _VqFactoryIntDB() { types.reserve(256); }
    std::vector<VqType*> types;                           // registration order
    std::unordered_map<VqGUID, VqType*, VqGUIDHash> byGuid;
    VqType* nameCache[16] = {};                           // last type found by name, per slot
};

_VqFactoryIntDB* _dataBase = nullptr;

bool noDataBase(const char* method) {
    VqErrorState::throwStdError("VqFactory", method, "_dataBase", VQ_ERR_INTERNAL);
    return false;
}
} // namespace

bool VqFactory::addType(const VqType& type) {
    if (!_dataBase) {
        _dataBase = new (std::nothrow) _VqFactoryIntDB();
        if (!_dataBase) {
            VqErrorState::throwStdError("VqFactory", "addType",
                                        "Allocation failed: _dataBase = new _VqFactoryIntDB", VQ_ERR_ALLOC);
            return false;
        }
    }
    VqType* t = const_cast<VqType*>(&type);
    _dataBase->types.push_back(t);
    _dataBase->byGuid[type.guid] = t;
    // A type registered again under a GUID replaces the one a slot may hold.
    s_guidCache[type.guid.Data1 & (kGuidCacheSlots - 1)].store(nullptr, std::memory_order_release);
    return true;
}

bool VqFactory::removeType(const VqType& type) {
    if (!_dataBase) return noDataBase("removeType");
    s_guidCache[type.guid.Data1 & (kGuidCacheSlots - 1)].store(nullptr, std::memory_order_release);
    if (_dataBase->byGuid.erase(type.guid) != 1) {
        VqErrorState::throwStdError("VqFactory", "removeType", "count==1", VQ_ERR_INTERNAL);
        return false;
    }
    auto& v = _dataBase->types;
    size_t i = 0;
    while (i < v.size() && v[i] != &type) ++i;
    if (i == v.size()) {
        VqErrorState::throwStdError("VqFactory", "removeType", "0", VQ_ERR_INTERNAL);
        return false;
    }
    v[i] = v.back();
    v.pop_back();
    for (VqType*& slot : _dataBase->nameCache)
        if (slot == &type) slot = nullptr;
    if (v.empty()) {
        delete _dataBase;
        _dataBase = nullptr;
    }
    return true;
}

bool VqFactory::_getTypeSlow(const VqGUID& guid, VqType*& out) {
    out = nullptr;
    if (!_dataBase) return noDataBase("getType");
    auto it = _dataBase->byGuid.find(guid);
    if (it == _dataBase->byGuid.end()) return true;
    out = it->second;
    s_guidCache[guid.Data1 & (kGuidCacheSlots - 1)].store(out, std::memory_order_release);
    return true;
}

bool VqFactory::getType(const VqString& name, VqType*& out) {
    out = nullptr;
    if (!_dataBase) return noDataBase("getType");
    char text[1025];
    if (!name.stringToMbs(text, 1024)) {
        VqErrorState::rethrowError();
        return false;
    }
    text[1024] = 0;
    VqType*& slot = _dataBase->nameCache[name.hash() % 16];
    if (slot && std::strcmp(slot->name, text) == 0) {
        out = slot;
        return true;
    }
    for (VqType* t : _dataBase->types) {
        if (std::strcmp(t->name, text) == 0) {
            slot = t;
            out = t;
            break;
        }
    }
    return true;
}

bool VqFactory::getType(const char* name, VqType*& out) {
    out = nullptr;
    if (!name) {
        VqErrorState::throwStdError("VqFactory", "getType", "name != __null", VQ_ERR_ARGUMENT);
        return false;
    }
    return getType(VqString(name), out);
}

bool VqFactory::getType(int index, VqType*& out) {
    out = nullptr;
    if (!_dataBase) return noDataBase("getType");
    if (index < 0) {
        VqErrorState::throwStdError("VqFactory", "getType", "index >= 0", VQ_ERR_ARGUMENT);
        return false;
    }
    if (static_cast<size_t>(index) < _dataBase->types.size()) out = _dataBase->types[index];
    return true;
}

int VqFactory::numTypes() { return _dataBase ? static_cast<int>(_dataBase->types.size()) : 0; }
