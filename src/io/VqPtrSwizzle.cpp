#include "VqPtrSwizzle.h"

#include "VqErrorState.h"

#include <algorithm>
#include <cstdlib>
#include <new>

namespace {
const char* const kCls = "VqPtrSwizzle";
} // namespace

VqPtrRecord* VqPtrSwizzle::_findId(int id) {
    if (id >= 0)
        if (VqPtrRecord* rec = _denseAt(static_cast<size_t>(id)); rec && rec->pPtr) return rec;
    return _tById.size() ? _tById.find(id) : nullptr;
}

std::pair<VqPtrRecord*, bool> VqPtrSwizzle::_insertId(int id, const VqPtrRecord& fresh) {
    if (VqPtrRecord* known = _findId(id)) return {known, false};
    if (id >= 0 && static_cast<size_t>(id) < _denseWindow()) {
        const auto i = static_cast<size_t>(id);
        const size_t c = i >> kDenseShift;
        if (c >= _vDenseChunks.size()) _vDenseChunks.resize(c + 1, nullptr);
        if (!_vDenseChunks[c]) {
            _vDenseChunks[c] =
                static_cast<VqPtrRecord*>(std::calloc(size_t(1) << kDenseShift, sizeof(VqPtrRecord)));
            if (!_vDenseChunks[c]) throw std::bad_alloc();
        }
        VqPtrRecord* rec = _denseAt(i);
        *rec = fresh;
        ++_nDense;
        return {rec, true};
    }
    return _tById.insert(id, fresh);
}

void VqPtrSwizzle::_freeDense() {
    for (VqPtrRecord* chunk : _vDenseChunks)
        std::free(chunk);
    _vDenseChunks.clear();
    _nDense = 0;
}

template <class F>
void VqPtrSwizzle::_forEachId(F&& f) {
    if (_nDense)
        for (VqPtrRecord* chunk : _vDenseChunks)
            if (chunk)
                for (size_t k = 0; k < (size_t(1) << kDenseShift); ++k)
                    if (chunk[k].pPtr) f(chunk[k]);
    if (_tById.size()) _tById.forEach(f);
}

VqPtrSwizzle::~VqPtrSwizzle() {
    clear();
}

std::atomic<const VqPtrSwizzle*> VqPtrSwizzle::s_pSlotHolder{nullptr};

bool VqPtrSwizzle::_useSlots() {
    if (_bSlots) return true;
    // Only a writer that has given no ID yet can start keeping them in slots:
    // the objects numbered before would not be found there.
    if (_nNextId != 0 || _nDense != 0 || _tById.size() != 0) return false;
    const VqPtrSwizzle* none = nullptr;
    _bSlots = s_pSlotHolder.compare_exchange_strong(none, this, std::memory_order_acquire);
    return _bSlots;
}

void VqPtrSwizzle::_releaseSlots() {
    if (!_bSlots) return;
    _vSlotObjects.clear();
    _bSlots = false;
    // The next holder sees every slot this one wrote.
    s_pSlotHolder.store(nullptr, std::memory_order_release);
}

int32_t VqPtrSwizzle::_newId(const VqBase* obj) {
    if (_bSlots) _vSlotObjects.push_back(obj);
    return _nNextId++;
}

void VqPtrSwizzle::reserve(size_t n) {
    if (_useSlots())
        _vSlotObjects.reserve(n);
    else
        _tByAddress.reserve(n);
}

bool VqPtrSwizzle::ptr2num(const void* ptr, int* id) {
    VQ_CHECK(id != nullptr, kCls, "ptr2num", VQ_ERR_ARGUMENT);
    if (!ptr) {
        *id = -1;
        return true;
    }
    if (ptr == _pLastPtr) {
        *id = _nLastId;
        return true;
    }
    auto [rec, inserted] = _tByAddress.insert(ptr, AddressEntry{ptr, _nNextId});
    if (inserted) _newId(nullptr);
    *id = rec->nId;
    _pLastPtr = ptr;
    _nLastId = rec->nId;
    return true;
}

bool VqPtrSwizzle::ptr2num(const VqBase* obj, int* id) {
    // The table through this class's own function: a locking override would
    // take its lock a second time.
    if (!_useSlots()) return VqPtrSwizzle::ptr2num(static_cast<const void*>(obj), id);
    VQ_CHECK(id != nullptr, kCls, "ptr2num", VQ_ERR_ARGUMENT);
    if (_slotId(obj, *id)) return true;
    if (const AddressEntry* known = _tByAddress.find(obj)) {
        // Numbered before through its plain address.
        *id = known->nId;
    } else {
        *id = _newId(obj);
        obj->_idSlot().store(static_cast<uint32_t>(*id) + 1, std::memory_order_relaxed);
    }
    _pLastPtr = obj;
    _nLastId = *id;
    return true;
}

bool VqPtrSwizzle::registerPtr(const void* ptr, int id) {
    auto [pRec, inserted] = _insertId(id, VqPtrRecord{ptr, id, nullptr, 0});
    if (inserted) return true;
    VqPtrRecord& rec = *pRec;
    const void** waiting = rec.fixupList;
    rec.pPtr = ptr;
    rec.fixupList = nullptr;
    if (!waiting) VQ_FAIL(kCls, "registerPtr", "pPtrRec->fixupList", VQ_ERR_INTERNAL);
    _fillSlots(waiting, ptr);
    return true;
}

bool VqPtrSwizzle::registerPtr(const void* ptr, int id, bool* ok) {
    VQ_CHECK(ok != nullptr, kCls, "registerPtr", VQ_ERR_ARGUMENT);
    *ok = true;
    auto [pRec, inserted] = _insertId(id, VqPtrRecord{ptr, id, nullptr, 0});
    if (inserted) return true;
    VqPtrRecord& rec = *pRec;
    if (rec.pPtr == unknownPtr()) {
        rec.pPtr = ptr;
        _fillSlots(rec.fixupList, ptr);
        rec.fixupList = nullptr;
        return true;
    }
    *ok = rec.pPtr == ptr;
    return true;
}

bool VqPtrSwizzle::ptrFromNum(int id, const void** slot) {
    if (!slot) {
        VqErrorState::throwStdError(kCls, "ptrFromNum", "slot", VQ_ERR_ARGUMENT);
        return false;
    }
    *slot = nullptr;
    if (id == -1) return true;
    VqPtrRecord& rec = *_insertId(id, VqPtrRecord{unknownPtr(), id, nullptr, 0}).first;
    if (rec.pPtr != unknownPtr()) {
        if (rec.fixupList) {
            VqErrorState::throwStdError(kCls, "ptrFromNum", "!pPtrRec->fixupList", VQ_ERR_INTERNAL);
            return false;
        }
        *slot = rec.pPtr;
        return true;
    }
    // The slot joins the list threaded through the waiting slots.
    *slot = rec.fixupList;
    rec.fixupList = slot;
    return false;
}

const void* VqPtrSwizzle::possiblePtr(int id) {
    const VqPtrRecord* rec = _findId(id);
    if (!rec || rec->pPtr == unknownPtr()) return nullptr;
    return rec->pPtr;
}

bool VqPtrSwizzle::pointerRegistered(const void* ptr) {
    if (!ptr) return false;
    if (_tByAddress.find(ptr)) return true;
    // A reading swizzler is keyed by ID.
    bool found = false;
    _forEachId([&](const VqPtrRecord& rec) { found = found || rec.pPtr == ptr; });
    return found;
}

bool VqPtrSwizzle::pointerRegistered(const VqBase* obj) {
    if (!_bSlots) return VqPtrSwizzle::pointerRegistered(static_cast<const void*>(obj));
    if (!obj) return false;
    const uint32_t v = obj->_idSlot().load(std::memory_order_relaxed);
    if (v != 0 && v <= _vSlotObjects.size() && _vSlotObjects[v - 1] == obj) return true;
    return _tByAddress.size() && _tByAddress.find(obj);
}

void VqPtrSwizzle::_nullWaitingSlots() {
    // Only a reading swizzler has slots waiting.
    _forEachId([](VqPtrRecord& rec) {
        if (rec.pPtr != unknownPtr()) return;
        _fillSlots(rec.fixupList, nullptr);
        rec.fixupList = nullptr;
    });
}

void VqPtrSwizzle::clear() {
    _nullWaitingSlots();
    _tByAddress.clear();
    _tById.clear();
    _pLastPtr = nullptr;
    _freeDense();
    _nNextId = 0;
    _releaseSlots();
}

void VqPtrSwizzle::shrink() {
    _nullWaitingSlots();
    _tByAddress.release();
    _tById.release();
    _pLastPtr = nullptr;
    _freeDense();
    std::vector<VqPtrRecord*>().swap(_vDenseChunks);
    // IDs go on, but none given so far is found again (as with the table).
    _releaseSlots();
    std::vector<const VqBase*>().swap(_vSlotObjects);
}

bool VqRWPtrSwizzle::ptr2num(const void* ptr, int* id) {
    if (_heldHere()) return VqPtrSwizzle::ptr2num(ptr, id);
    VqAutoLockWrite guard(_lock);
    return VqPtrSwizzle::ptr2num(ptr, id);
}

bool VqRWPtrSwizzle::ptr2num(const VqBase* obj, int* id) {
    if (_heldHere()) return VqPtrSwizzle::ptr2num(obj, id);
    VqAutoLockWrite guard(_lock);
    return VqPtrSwizzle::ptr2num(obj, id);
}

bool VqRWPtrSwizzle::pointerRegistered(const VqBase* obj) {
    if (_heldHere()) return VqPtrSwizzle::pointerRegistered(obj);
    VqAutoLockWrite guard(_lock);
    return VqPtrSwizzle::pointerRegistered(obj);
}

bool VqRWPtrSwizzle::registerPtr(const void* ptr, int id) {
    if (_heldHere()) return VqPtrSwizzle::registerPtr(ptr, id);
    VqAutoLockWrite guard(_lock);
    return VqPtrSwizzle::registerPtr(ptr, id);
}

bool VqRWPtrSwizzle::registerPtr(const void* ptr, int id, bool* ok) {
    if (_heldHere()) return VqPtrSwizzle::registerPtr(ptr, id, ok);
    VqAutoLockWrite guard(_lock);
    return VqPtrSwizzle::registerPtr(ptr, id, ok);
}

bool VqRWPtrSwizzle::ptrFromNum(int id, const void** slot) {
    if (_heldHere()) return VqPtrSwizzle::ptrFromNum(id, slot);
    VqAutoLockWrite guard(_lock);
    return VqPtrSwizzle::ptrFromNum(id, slot);
}

const void* VqRWPtrSwizzle::possiblePtr(int id) {
    if (_heldHere()) return VqPtrSwizzle::possiblePtr(id);
    VqAutoLockWrite guard(_lock);
    return VqPtrSwizzle::possiblePtr(id);
}

bool VqRWPtrSwizzle::pointerRegistered(const void* ptr) {
    if (_heldHere()) return VqPtrSwizzle::pointerRegistered(ptr);
    VqAutoLockWrite guard(_lock);
    return VqPtrSwizzle::pointerRegistered(ptr);
}

VqRWPtrSwizzle::Hold::Hold(VqPtrSwizzle* swizzler) : _pHeld(dynamic_cast<VqRWPtrSwizzle*>(swizzler)) {
    if (!_pHeld) return;
    _pHeld->_lock.lockWrite();
    _pHeld->_tHolder.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

VqRWPtrSwizzle::Hold::~Hold() {
    if (!_pHeld) return;
    _pHeld->_tHolder.store(std::thread::id{}, std::memory_order_relaxed);
    _pHeld->_lock.unlock();
}
