#include "VqGlobalObjectAliasTable.h"

#include "VqBase.h"
#include "VqErrorState.h"

Vq::GlobalObjectAliasTable* g_pInstanceGlobalObjectAliasTable = nullptr;

namespace Vq {

GlobalObjectAliasTable* GlobalObjectAliasTable::EnsureInstance() {
    if (!g_pInstanceGlobalObjectAliasTable) g_pInstanceGlobalObjectAliasTable = new GlobalObjectAliasTable();
    return g_pInstanceGlobalObjectAliasTable;
}

void GlobalObjectAliasTable::DestroyInstance() {
    GlobalObjectAliasTable* t = g_pInstanceGlobalObjectAliasTable;
    g_pInstanceGlobalObjectAliasTable = nullptr;
    delete t;
}

bool GlobalObjectAliasTable::_checkHandle(uint32_t hGoatObj, const char* method) const {
    if (hGoatObj < _vdpObject.size() && _vdpObject[hGoatObj].nRefs > 0) return true;
    VqErrorState::throwStdError("Vq::GlobalObjectAliasTable", method, "hGoatObj < _vdpObject.size()",
                                VQ_ERR_ARGUMENT);
    return false;
}

uint32_t GlobalObjectAliasTable::_newEntry(VqBase* obj) {
    uint32_t h;
    if (!_vFree.empty()) {
        h = _vFree.back();
        _vFree.pop_back();
    } else {
        h = static_cast<uint32_t>(_vdpObject.size());
        _vdpObject.emplace_back();
    }
    Entry& e = _vdpObject[h];
    e.pObject = obj;
    e.nRefs = 1;
    e.uHash = 0;
    e.uTimeStamp = ++_uClock;
    return h;
}

void GlobalObjectAliasTable::_addRef(uint32_t hGoatObj) {
    ++_vdpObject[hGoatObj].nRefs;
}

void GlobalObjectAliasTable::_releaseLocked(uint32_t hGoatObj, Vq::SharedPtr<VqBase>& dropped) {
    if (hGoatObj >= _vdpObject.size()) return;
    Entry& e = _vdpObject[hGoatObj];
    if (e.nRefs == 0 || --e.nRefs > 0) return;
    if (e.uHash) {
        auto it = _hashToHandle.find(e.uHash);
        if (it != _hashToHandle.end() && it->second == hGoatObj) _hashToHandle.erase(it);
    }
    dropped = std::move(e.pObject);
    e.uHash = 0;
    _vFree.push_back(hGoatObj);
}

bool GlobalObjectAliasTable::bindObject(CowGoatPtr& cgp, VqBase* obj) {
    // The released object dies outside the lock: its destructor may use the table.
    Vq::SharedPtr<VqBase> dropped;
    {
        VqAutoLock lock(_mutex);
        if (cgp._hGoatObj != CowGoatPtr::kNoHandle) _releaseLocked(cgp._hGoatObj, dropped);
        cgp._hGoatObj = obj ? _newEntry(obj) : CowGoatPtr::kNoHandle;
        cgp._uGoatHash = 0;
    }
    return true;
}

bool GlobalObjectAliasTable::makeShared(CowGoatPtr& cgp, uint32_t hash) {
    VqAutoLock lock(_mutex);
    if (!_checkHandle(cgp._hGoatObj, "makeShared")) return false;
    Entry& e = _vdpObject[cgp._hGoatObj];
    if (e.uHash != 0) VQ_FAIL("Vq::GlobalObjectAliasTable", "makeShared", "uGoatHash == 0", VQ_ERR_INTERNAL);
    if (hash == 0) return true;
    if (_hashToHandle.count(hash))
        VQ_FAIL("Vq::GlobalObjectAliasTable", "makeShared", "!I.valid()", VQ_ERR_INTERNAL);
    _hashToHandle.emplace(hash, cgp._hGoatObj);
    e.uHash = hash;
    cgp._uGoatHash = hash;
    return true;
}

bool GlobalObjectAliasTable::findShared(uint32_t hash, CowGoatPtr& cgp) {
    Vq::SharedPtr<VqBase> dropped;
    VqAutoLock lock(_mutex);
    auto it = _hashToHandle.find(hash);
    if (hash == 0 || it == _hashToHandle.end()) return false;
    if (cgp._hGoatObj == it->second) return true;
    _addRef(it->second);
    if (cgp._hGoatObj != CowGoatPtr::kNoHandle) _releaseLocked(cgp._hGoatObj, dropped);
    cgp._hGoatObj = it->second;
    cgp._uGoatHash = hash;
    _vdpObject[it->second].uTimeStamp = ++_uClock;
    return true;
}

bool GlobalObjectAliasTable::shareObject(CowGoatPtr& cgp, VqBase* obj, uint32_t hash) {
    if (findShared(hash, cgp)) return true;
    Vq::SharedPtr<VqBase> dropped;
    VqAutoLock lock(_mutex);
    if (cgp._hGoatObj != CowGoatPtr::kNoHandle) _releaseLocked(cgp._hGoatObj, dropped);
    auto it = hash ? _hashToHandle.find(hash) : _hashToHandle.end();
    if (it != _hashToHandle.end()) {
        // Another holder published the same data meanwhile.
        _addRef(it->second);
        cgp._hGoatObj = it->second;
    } else {
        cgp._hGoatObj = _newEntry(obj);
        if (hash) {
            _vdpObject[cgp._hGoatObj].uHash = hash;
            _hashToHandle.emplace(hash, cgp._hGoatObj);
        }
    }
    cgp._uGoatHash = hash;
    return true;
}

bool GlobalObjectAliasTable::uniqueObject(CowGoatPtr& cgp, Vq::SharedPtr<VqBase>& out) {
    out = nullptr;
    Vq::SharedPtr<VqBase> shared;
    {
        VqAutoLock lock(_mutex);
        if (!_checkHandle(cgp._hGoatObj, "uniqueObject")) return false;
        Entry& e = _vdpObject[cgp._hGoatObj];
        if (e.nRefs == 1) {
            // A private object leaves the hash map and is handed out directly.
            if (e.uHash) _hashToHandle.erase(e.uHash);
            e.uHash = 0;
            cgp._uGoatHash = 0;
            e.uTimeStamp = ++_uClock;
            out = e.pObject;
            return true;
        }
        shared = e.pObject;
    }
    // Copy outside the lock, then give cgp an entry of its own.
    VqBase* copy = nullptr;
    if (shared) VQ_PROPAGATE(shared->_clone(copy));
    Vq::SharedPtr<VqBase> owned = copy;
    Vq::SharedPtr<VqBase> dropped;
    VqAutoLock lock(_mutex);
    _releaseLocked(cgp._hGoatObj, dropped);
    cgp._hGoatObj = _newEntry(owned.get());
    cgp._uGoatHash = 0;
    out = owned;
    return true;
}

Vq::SharedPtr<VqBase> GlobalObjectAliasTable::object(uint32_t hGoatObj, bool touch) {
    VqAutoLock lock(_mutex);
    if (hGoatObj >= _vdpObject.size() || _vdpObject[hGoatObj].nRefs == 0) return nullptr;
    if (touch) _vdpObject[hGoatObj].uTimeStamp = ++_uClock;
    return _vdpObject[hGoatObj].pObject;
}

uint32_t GlobalObjectAliasTable::objectHash(uint32_t hGoatObj) const {
    VqAutoLock lock(_mutex);
    return hGoatObj < _vdpObject.size() ? _vdpObject[hGoatObj].uHash : 0;
}

uint32_t GlobalObjectAliasTable::objectRefCount(uint32_t hGoatObj) const {
    VqAutoLock lock(_mutex);
    return hGoatObj < _vdpObject.size() ? _vdpObject[hGoatObj].nRefs : 0;
}

uint64_t GlobalObjectAliasTable::objectTimeStamp(uint32_t hGoatObj) const {
    VqAutoLock lock(_mutex);
    return hGoatObj < _vdpObject.size() ? _vdpObject[hGoatObj].uTimeStamp : 0;
}

bool GlobalObjectAliasTable::isObjectDisposable(uint32_t) const {
    return false;
}

void GlobalObjectAliasTable::touchObject(uint32_t hGoatObj) {
    VqAutoLock lock(_mutex);
    if (hGoatObj < _vdpObject.size()) _vdpObject[hGoatObj].uTimeStamp = ++_uClock;
}

bool GlobalObjectAliasTable::releaseObject(uint32_t hGoatObj) {
    Vq::SharedPtr<VqBase> dropped;
    VqAutoLock lock(_mutex);
    if (!_checkHandle(hGoatObj, "releaseObject")) return false;
    _releaseLocked(hGoatObj, dropped);
    return true;
}

void GlobalObjectAliasTable::releaseCGP(CowGoatPtr& cgp) {
    Vq::SharedPtr<VqBase> dropped;
    VqAutoLock lock(_mutex);
    if (cgp._hGoatObj != CowGoatPtr::kNoHandle) _releaseLocked(cgp._hGoatObj, dropped);
    cgp._hGoatObj = CowGoatPtr::kNoHandle;
    cgp._uGoatHash = 0;
}

void GlobalObjectAliasTable::enumerateObjects(
    const std::function<void(uint32_t, const VqBase*)>& visit) const {
    VqAutoLock lock(_mutex);
    for (uint32_t h = 0; h < _vdpObject.size(); ++h)
        if (_vdpObject[h].nRefs > 0) visit(h, _vdpObject[h].pObject.get());
}

void GlobalObjectAliasTable::shrink() {
    VqAutoLock lock(_mutex);
    while (!_vdpObject.empty() && _vdpObject.back().nRefs == 0) {
        uint32_t last = static_cast<uint32_t>(_vdpObject.size() - 1);
        std::erase(_vFree, last);
        _vdpObject.pop_back();
    }
    _vdpObject.shrink_to_fit();
    _vFree.shrink_to_fit();
}

size_t GlobalObjectAliasTable::numObjects() const {
    VqAutoLock lock(_mutex);
    return _vdpObject.size() - _vFree.size();
}

// ---- CowGoatPtr

CowGoatPtr::CowGoatPtr(const CowGoatPtr& o) {
    *this = o;
}

CowGoatPtr& CowGoatPtr::operator=(const CowGoatPtr& o) {
    if (this == &o || _hGoatObj == o._hGoatObj) return *this;
    GlobalObjectAliasTable* t = g_pInstanceGlobalObjectAliasTable;
    if (!t) {
        _hGoatObj = kNoHandle;
        _uGoatHash = 0;
        return *this;
    }
    Vq::SharedPtr<VqBase> dropped;
    VqAutoLock lock(t->_mutex);
    if (o._hGoatObj != kNoHandle) t->_addRef(o._hGoatObj);
    if (_hGoatObj != kNoHandle) t->_releaseLocked(_hGoatObj, dropped);
    _hGoatObj = o._hGoatObj;
    _uGoatHash = o._uGoatHash;
    return *this;
}

CowGoatPtr::~CowGoatPtr() {
    unloadData();
}

Vq::SharedPtr<VqBase> CowGoatPtr::constData() const {
    GlobalObjectAliasTable* t = g_pInstanceGlobalObjectAliasTable;
    return (t && _hGoatObj != kNoHandle) ? t->object(_hGoatObj, true) : nullptr;
}

Vq::SharedPtr<VqBase> CowGoatPtr::nonConstData() {
    Vq::SharedPtr<VqBase> out;
    GlobalObjectAliasTable* t = g_pInstanceGlobalObjectAliasTable;
    if (t && _hGoatObj != kNoHandle && !t->uniqueObject(*this, out)) VqErrorState::rethrowError();
    return out;
}

void CowGoatPtr::touch() const {
    if (GlobalObjectAliasTable* t = g_pInstanceGlobalObjectAliasTable; t && _hGoatObj != kNoHandle)
        t->touchObject(_hGoatObj);
}

void CowGoatPtr::unloadData() {
    if (GlobalObjectAliasTable* t = g_pInstanceGlobalObjectAliasTable; t && _hGoatObj != kNoHandle)
        t->releaseCGP(*this);
    _hGoatObj = kNoHandle;
    _uGoatHash = 0;
}

} // namespace Vq
