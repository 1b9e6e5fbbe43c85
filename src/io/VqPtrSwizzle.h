#pragma once

#include "VqBase.h"
#include "VqExport.h"
#include "VqFlatTable.h"
#include "VqRWSpinLock.h"
#include "VqRefCounted.h"

#include <atomic>
#include <cstdint>
#include <thread>
#include <utility>
#include <vector>

// One object known to a swizzler.
struct VQ_API VqPtrRecord {
    // The object's address; all bits set while it is not yet known.
    const void* pPtr;
    int32_t nId;
    // First pointer slot waiting for the object. Each waiting slot holds the
    // address of the next waiting slot; the last one holds null.
    const void** fixupList;
    uintptr_t reserved;
};

// The map between objects and the 32-bit object IDs of one segment stream.
//
// Writing: ptr2num gives each object an ID in the order in which it is
// first met (as an element or as a reference), starting at 0.
// Reading: an object's reader meets a reference, reads the ID and calls
// ptrFromNum with the address of the pointer field (the slot) that is to hold
// it. A known object fills the slot at once; otherwise the slot is threaded
// into the record's fix-up list, which lives in the waiting slots themselves,
// and registerPtr fills every waiting slot when the object's element has been
// read. Slots hold plain addresses without a reference count, and must stay
// where they are until the swizzler is cleared: clear() sets every slot that
// still waits to null (a reference to an object that the segment does not
// hold ends as null). A Vq::SharedPtr field serves as a slot through slot().
//
// One swizzler serves one direction only: records are keyed by the ID when
// reading and by the address when writing, without an allocation per object
// (a save or an open enters every object of a segment). A file numbers its
// objects from 0 up, so records of IDs read are kept in place in a vector,
// as far as the IDs stay dense; the IDs of a damaged or hostile file that
// lie far beyond those seen so far go to a hash table instead, so that no ID
// can make the vector grow beyond a small multiple of the records held.
//
// Writing library objects: a save asks for the ID of every object of a
// segment once or more, and a table keyed by address costs a cache miss per
// object when the segment is large. Instead, one writing swizzler at a time
// holds the process's slot lease and keeps each object's ID in the object
// itself (VqBase::_idSlot, ID + 1), beside the object by ID in a vector. A
// slot value is trusted only when that vector names the same object under
// it, so a value left by an earlier holder, or by this one before clear(),
// is never taken for an ID. A swizzler that finds the lease taken (a second
// save running at the same time) uses the address table. Library objects
// must therefore be passed as VqBase pointers: the overloads taking one are
// the ones that see the slot (a VqBase-derived pointer picks them by itself).
class VQ_API VqPtrSwizzle : public VqRefCounted {
public:
    VqPtrSwizzle() = default;
    ~VqPtrSwizzle() override;
    VqPtrSwizzle(const VqPtrSwizzle&) = delete;
    VqPtrSwizzle& operator=(const VqPtrSwizzle&) = delete;

    // The object's ID; -1 for null. An unknown object gets the next ID.
    virtual bool ptr2num(const void* ptr, int* id);
    // Enters the object read for an ID and fills every slot waiting for it.
    // Fails with "pPtrRec->fixupList" when the ID was known and nothing waited
    // (the address is replaced all the same).
    virtual bool registerPtr(const void* ptr, int id);
    // The same; when the ID already has another object, that one is kept and
    // ok is set false.
    virtual bool registerPtr(const void* ptr, int id, bool* ok);
    // Fills the slot (null for -1) and returns true, or queues it for the
    // object and returns false.
    virtual bool ptrFromNum(int id, const void** slot);
    // The object registered for the ID; null when none is known yet.
    virtual const void* possiblePtr(int id);
    // Whether the object has an ID.
    virtual bool pointerRegistered(const void* ptr);
    // The same for library objects, through their ID slots where this
    // swizzler holds the lease.
    virtual bool ptr2num(const VqBase* obj, int* id);
    virtual bool pointerRegistered(const VqBase* obj);

    // Nulls every slot still waiting, empties the map and restarts IDs at 0.
    void clear();
    // Room for n objects of a writer without growing.
    void reserve(size_t n);
    // Nulls every slot still waiting and frees the map's memory; IDs go on.
    void shrink();
    int numRecords() const { return static_cast<int>(_tByAddress.size() + _tById.size() + _nDense); }

    // The address of a record whose object is not yet known.
    static const void* unknownPtr() { return reinterpret_cast<const void*>(~uintptr_t(0)); }

    // ptr2num of a library object without a call, for the thread that holds
    // this swizzler through a VqRWPtrSwizzle::Hold while it keeps IDs in the
    // objects' slots: the path of every ID a save asks for once the lease is
    // taken. It does what ptr2num(const VqBase*) does, on the same members,
    // and only the holding thread, which owns them, gets past the first
    // test. False leaves the work to ptr2num (another thread, no lease, or
    // objects numbered through the address table).
    bool heldSlotId(const VqBase* obj, int& id) {
        return _tHolder.load(std::memory_order_relaxed) == std::this_thread::get_id() && _bSlots &&
               _slotId(obj, id);
    }

    // registerPtr(ptr, id, &ok), ptrFromNum and possiblePtr without a call,
    // for the thread that holds this swizzler through a VqRWPtrSwizzle::Hold:
    // what every element of an open asks, once or more. They do what those
    // do for an ID whose record lies among the dense ones, and return false,
    // having done nothing, for everything else (another thread, an ID the
    // dense records do not cover, a case that reports an error), which the
    // virtual functions then handle.
    bool heldRegister(const void* ptr, int id, bool& ok) {
        VqPtrRecord* rec = _heldDense(id);
        if (!rec) return false;
        if (!rec->pPtr) {
            if (!_mayAddDense(id)) return false;
            *rec = VqPtrRecord{ptr, id, nullptr, 0};
            ++_nDense;
        } else if (rec->pPtr == unknownPtr()) {
            rec->pPtr = ptr;
            _fillSlots(rec->fixupList, ptr);
            rec->fixupList = nullptr;
        } else {
            ok = rec->pPtr == ptr;
            return true;
        }
        ok = true;
        return true;
    }
    bool heldPtrFromNum(int id, const void** slot, bool& filled) {
        VqPtrRecord* rec = _heldDense(id);
        if (!rec || !slot) return false;
        if (!rec->pPtr) {
            if (!_mayAddDense(id)) return false;
            *rec = VqPtrRecord{unknownPtr(), id, nullptr, 0};
            ++_nDense;
        } else if (rec->pPtr != unknownPtr()) {
            if (rec->fixupList) return false;
            *slot = rec->pPtr;
            filled = true;
            return true;
        }
        *slot = rec->fixupList;
        rec->fixupList = slot;
        filled = false;
        return true;
    }
    bool heldPossiblePtr(int id, const void*& ptr) {
        const VqPtrRecord* rec = _heldDense(id);
        if (!rec || (!rec->pPtr && _tById.size())) return false;
        ptr = rec->pPtr == unknownPtr() ? nullptr : rec->pPtr;
        return true;
    }

protected:
    // The thread holding a VqRWPtrSwizzle's lock through a Hold; only that
    // thread ever finds its own ID here. Never set for other swizzlers.
    std::atomic<std::thread::id> _tHolder{};

private:
    // Writes ptr into every slot of a fix-up list.
    static void _fillSlots(const void** slot, const void* ptr) {
        while (slot) {
            const void** next = static_cast<const void**>(const_cast<void*>(*slot));
            *slot = ptr;
            slot = next;
        }
    }
    // The dense record of id for the holding thread, empty or not; null when
    // its chunk does not exist (or for another thread).
    VqPtrRecord* _heldDense(int id) {
        if (id < 0 || _tHolder.load(std::memory_order_relaxed) != std::this_thread::get_id()) return nullptr;
        return _denseAt(static_cast<size_t>(id));
    }
    // Whether _insertId would put a new record of id where its empty dense
    // record is: the hash table does not hold it and it lies in the window.
    bool _mayAddDense(int id) const {
        return _tById.size() == 0 && static_cast<size_t>(id) < _denseWindow();
    }
    // IDs below this are kept densely: within twice the records held (plus a
    // margin), as a file's own numbering always is.
    size_t _denseWindow() const { return 2 * (_nDense + _tById.size()) + 4096; }
    // The slot path of ptr2num(const VqBase*) while this swizzler keeps IDs
    // in slots. False only for an object whose slot is not this round's while
    // some objects were numbered by plain address: the caller looks there.
    bool _slotId(const VqBase* obj, int& id) {
        if (!obj) {
            id = -1;
            return true;
        }
        if (static_cast<const void*>(obj) != _pLastPtr) {
            std::atomic<uint32_t>& slot = obj->_idSlot();
            const uint32_t v = slot.load(std::memory_order_relaxed);
            if (v != 0 && v <= _vSlotObjects.size() && _vSlotObjects[v - 1] == obj) {
                _nLastId = static_cast<int32_t>(v - 1);
            } else if (_tByAddress.size() == 0) {
                // _newId's slot case, without the call: both callers keep slots.
                _vSlotObjects.push_back(obj);
                _nLastId = _nNextId++;
                slot.store(static_cast<uint32_t>(_nLastId) + 1, std::memory_order_relaxed);
            } else {
                return false;
            }
            _pLastPtr = obj;
        }
        id = _nLastId;
        return true;
    }
    void _nullWaitingSlots();
    // Takes the slot lease for a writer that has given no ID yet; true while
    // this swizzler holds it.
    bool _useSlots();
    void _releaseSlots();
    // The next ID, noting which object (null for a plain address) has it.
    int32_t _newId(const VqBase* obj);
    VqPtrRecord* _findId(int id);
    // The record of id and false, or a new record made from fresh and true.
    std::pair<VqPtrRecord*, bool> _insertId(int id, const VqPtrRecord& fresh);
    template <class F>
    void _forEachId(F&& f);

    // A record's key: the object's address when writing, the ID when reading.
    // Objects allocated one after the other sit close together: the address
    // hash keeps their records close too (the low bits stay in order within
    // 16 MB), which saves a cache miss per object, and mixes the high bits so
    // that far-apart regions do not pile up on the same slots.
    // Writing needs only the address and the ID: half a record, so twice as
    // many entries share a cache line.
    struct AddressEntry {
        const void* pPtr;
        int32_t nId;
    };
    struct ByAddress {
        static bool empty(const AddressEntry& e) { return e.pPtr == nullptr; }
        static AddressEntry emptyEntry() { return AddressEntry{nullptr, -1}; }
        static uint64_t hash(const void* p) {
            const uintptr_t a = reinterpret_cast<uintptr_t>(p);
            return (a >> 4) ^ Vq::mix64(a >> 24);
        }
        static bool matches(const AddressEntry& e, const void* p) { return e.pPtr == p; }
        static const void* keyOf(const AddressEntry& e) { return e.pPtr; }
    };
    struct ById {
        static bool empty(const VqPtrRecord& r) { return r.pPtr == nullptr; }
        static VqPtrRecord emptyEntry() { return VqPtrRecord{nullptr, -1, nullptr, 0}; }
        static uint64_t hash(int id) { return Vq::mix64(static_cast<uint32_t>(id)); }
        static bool matches(const VqPtrRecord& r, int id) { return r.nId == id; }
        static int keyOf(const VqPtrRecord& r) { return r.nId; }
    };
    VqFlatTable<AddressEntry, const void*, ByAddress> _tByAddress;
    VqFlatTable<VqPtrRecord, int, ById> _tById;
    // Records of the IDs a file numbers densely, in chunks of 2^kDenseShift
    // by ID. Growing adds a chunk and moves none, and a chunk comes zeroed
    // from the allocator (an empty record is all zero): reading a million
    // objects writes each record once, where a doubling array would copy and
    // fill them again at every growth, each time in fresh pages.
    static constexpr unsigned kDenseShift = 12;
    VqPtrRecord* _denseAt(size_t id) const {
        const size_t c = id >> kDenseShift;
        return c < _vDenseChunks.size() && _vDenseChunks[c]
                   ? &_vDenseChunks[c][id & ((size_t(1) << kDenseShift) - 1)]
                   : nullptr;
    }
    void _freeDense();
    std::vector<VqPtrRecord*> _vDenseChunks;
    size_t _nDense = 0;
    int32_t _nNextId = 0;
    // While the lease is held: the object of every ID given since.
    std::vector<const VqBase*> _vSlotObjects;
    bool _bSlots = false;
    static std::atomic<const VqPtrSwizzle*> s_pSlotHolder;
    // The last object asked for when writing: an element's framing and its
    // record ask for the same object one after the other.
    const void* _pLastPtr = nullptr;
    int32_t _nLastId = -1;
};

// The swizzler of segment streams: every operation, also the ones that only
// look, runs under an exclusive lock.
//
// A thread that works through a whole segment (a save writing it, an open
// reading it) takes the lock once for all of it with a Hold: its operations
// then find the lock held by their own thread and go straight to the table.
// A segment holds an ID operation or more per object, and two uncontended
// lock operations each cost more than the lookup itself.
class VQ_API VqRWPtrSwizzle : public VqPtrSwizzle {
public:
    // Holds the swizzler's lock for the scope; nothing for other swizzlers.
    class VQ_API Hold {
    public:
        explicit Hold(VqPtrSwizzle* swizzler);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        VqRWPtrSwizzle* _pHeld = nullptr;
    };

    bool ptr2num(const void* ptr, int* id) override;
    bool ptr2num(const VqBase* obj, int* id) override;
    bool pointerRegistered(const VqBase* obj) override;
    bool registerPtr(const void* ptr, int id) override;
    bool registerPtr(const void* ptr, int id, bool* ok) override;
    bool ptrFromNum(int id, const void** slot) override;
    const void* possiblePtr(int id) override;
    bool pointerRegistered(const void* ptr) override;

private:
    bool _heldHere() const { return _tHolder.load(std::memory_order_relaxed) == std::this_thread::get_id(); }

    VqRWSpinLock _lock;
};
