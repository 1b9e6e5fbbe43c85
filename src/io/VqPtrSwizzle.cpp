#include "VqPtrSwizzle.h"

#include "VqErrorState.h"

namespace {
const char* const kCls = "VqPtrSwizzle";

// Records are keyed by the address when writing; objects are at least
// 8-byte aligned, so the low bits carry nothing.
uint64_t addressKey(const void* ptr) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(ptr)) >> 3;
}
uint64_t idKey(int id) {
    return static_cast<uint64_t>(static_cast<uint32_t>(id));
}

// Writes ptr into every slot of a fix-up list.
void fillSlots(const void** slot, const void* ptr) {
    while (slot) {
        const void** next = static_cast<const void**>(const_cast<void*>(*slot));
        *slot = ptr;
        slot = next;
    }
}
} // namespace

VqPtrSwizzle::~VqPtrSwizzle() {
    clear();
}

bool VqPtrSwizzle::ptr2num(const void* ptr, int* id) {
    VQ_CHECK(id != nullptr, kCls, "ptr2num", VQ_ERR_ARGUMENT);
    if (!ptr) {
        *id = -1;
        return true;
    }
    auto [it, inserted] = _mRecords.try_emplace(addressKey(ptr), VqPtrRecord{ptr, _nNextId, nullptr, 0});
    if (inserted) ++_nNextId;
    *id = it->second.nId;
    return true;
}

bool VqPtrSwizzle::registerPtr(const void* ptr, int id) {
    auto [it, inserted] = _mRecords.try_emplace(idKey(id), VqPtrRecord{ptr, id, nullptr, 0});
    if (inserted) return true;
    VqPtrRecord& rec = it->second;
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
    auto [it, inserted] = _mRecords.try_emplace(idKey(id), VqPtrRecord{ptr, id, nullptr, 0});
    if (inserted) return true;
    VqPtrRecord& rec = it->second;
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
    auto [it, inserted] = _mRecords.try_emplace(idKey(id), VqPtrRecord{unknownPtr(), id, nullptr, 0});
    VqPtrRecord& rec = it->second;
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
    auto it = _mRecords.find(idKey(id));
    if (it == _mRecords.end() || it->second.pPtr == unknownPtr()) return nullptr;
    return it->second.pPtr;
}

bool VqPtrSwizzle::pointerRegistered(const void* ptr) {
    if (!ptr) return false;
    auto it = _mRecords.find(addressKey(ptr));
    if (it != _mRecords.end() && it->second.pPtr == ptr) return true;
    // A reading swizzler is keyed by ID.
    for (const auto& [key, rec] : _mRecords)
        if (rec.pPtr == ptr) return true;
    return false;
}

void VqPtrSwizzle::_nullWaitingSlots() {
    for (auto& [key, rec] : _mRecords) {
        if (rec.pPtr != unknownPtr()) continue;
        fillSlots(rec.fixupList, nullptr);
        rec.fixupList = nullptr;
    }
}

void VqPtrSwizzle::clear() {
    _nullWaitingSlots();
    _mRecords.clear();
    _nNextId = 0;
}

void VqPtrSwizzle::shrink() {
    _nullWaitingSlots();
    std::unordered_map<uint64_t, VqPtrRecord>().swap(_mRecords);
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
