#include "VqPtrSwizzle.h"

#include "VqErrorState.h"

#include <algorithm>

namespace {
const char* const kCls = "VqPtrSwizzle";

// Writes ptr into every slot of a fix-up list.
void fillSlots(const void** slot, const void* ptr) {
    while (slot) {
        const void** next = static_cast<const void**>(const_cast<void*>(*slot));
        *slot = ptr;
        slot = next;
    }
}
} // namespace

VqPtrRecord* VqPtrSwizzle::_findId(int id) {
    if (id >= 0 && static_cast<size_t>(id) < _vDense.size() && _vDense[static_cast<size_t>(id)].pPtr)
        return &_vDense[static_cast<size_t>(id)];
    return _tById.size() ? _tById.find(id) : nullptr;
}

std::pair<VqPtrRecord*, bool> VqPtrSwizzle::_insertId(int id, const VqPtrRecord& fresh) {
    if (VqPtrRecord* known = _findId(id)) return {known, false};
    // Dense while the ID lies within twice the records held (plus a margin):
    // a file's own numbering always does.
    const size_t window = 2 * (_nDense + _tById.size()) + 4096;
    if (id >= 0 && static_cast<size_t>(id) < window) {
        const auto i = static_cast<size_t>(id);
        if (i >= _vDense.size())
            _vDense.resize(std::min(window, std::max(i + 1, 2 * _vDense.size())),
                           VqPtrRecord{nullptr, -1, nullptr, 0});
        _vDense[i] = fresh;
        ++_nDense;
        return {&_vDense[i], true};
    }
    return _tById.insert(id, fresh);
}

template <class F>
void VqPtrSwizzle::_forEachId(F&& f) {
    if (_nDense)
        for (VqPtrRecord& rec : _vDense)
            if (rec.pPtr) f(rec);
    if (_tById.size()) _tById.forEach(f);
}

VqPtrSwizzle::~VqPtrSwizzle() {
    clear();
}

bool VqPtrSwizzle::ptr2num(const void* ptr, int* id) {
    VQ_CHECK(id != nullptr, kCls, "ptr2num", VQ_ERR_ARGUMENT);
    if (!ptr) {
        *id = -1;
        return true;
    }
    auto [rec, inserted] = _tByAddress.insert(ptr, AddressEntry{ptr, _nNextId});
    if (inserted) ++_nNextId;
    *id = rec->nId;
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
    fillSlots(waiting, ptr);
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
        fillSlots(rec.fixupList, ptr);
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

void VqPtrSwizzle::_nullWaitingSlots() {
    // Only a reading swizzler has slots waiting.
    _forEachId([](VqPtrRecord& rec) {
        if (rec.pPtr != unknownPtr()) return;
        fillSlots(rec.fixupList, nullptr);
        rec.fixupList = nullptr;
    });
}

void VqPtrSwizzle::clear() {
    _nullWaitingSlots();
    _tByAddress.clear();
    _tById.clear();
    _vDense.clear();
    _nDense = 0;
    _nNextId = 0;
}

void VqPtrSwizzle::shrink() {
    _nullWaitingSlots();
    _tByAddress.release();
    _tById.release();
    std::vector<VqPtrRecord>().swap(_vDense);
    _nDense = 0;
}

bool VqRWPtrSwizzle::ptr2num(const void* ptr, int* id) {
    VqAutoLockWrite guard(_lock);
    return VqPtrSwizzle::ptr2num(ptr, id);
}

bool VqRWPtrSwizzle::registerPtr(const void* ptr, int id) {
    VqAutoLockWrite guard(_lock);
    return VqPtrSwizzle::registerPtr(ptr, id);
}

bool VqRWPtrSwizzle::registerPtr(const void* ptr, int id, bool* ok) {
    VqAutoLockWrite guard(_lock);
    return VqPtrSwizzle::registerPtr(ptr, id, ok);
}

bool VqRWPtrSwizzle::ptrFromNum(int id, const void** slot) {
    VqAutoLockWrite guard(_lock);
    return VqPtrSwizzle::ptrFromNum(id, slot);
}

const void* VqRWPtrSwizzle::possiblePtr(int id) {
    VqAutoLockWrite guard(_lock);
    return VqPtrSwizzle::possiblePtr(id);
}

bool VqRWPtrSwizzle::pointerRegistered(const void* ptr) {
    VqAutoLockWrite guard(_lock);
    return VqPtrSwizzle::pointerRegistered(ptr);
}
