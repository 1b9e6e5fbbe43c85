#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

// An open-addressing hash table of plain entries in one flat array, for the
// tables that a save or an open fills with one entry per object: linear
// probing, a power-of-two capacity at most three quarters full, no per-entry
// allocation and no erase (only clear). Traits say how an entry is keyed:
//     static bool empty(const Entry&);            // a free slot
//     static Entry emptyEntry();                  // what a free slot holds
//     static uint64_t hash(const Key&);           // well mixed in every bit
//     static bool matches(const Entry&, const Key&);
//     static Key keyOf(const Entry&);             // for moving entries when growing
// Entries must be trivially copyable.
template <class Entry, class Key, class Traits>
class VqFlatTable {
public:
    VqFlatTable() = default;
    ~VqFlatTable() { std::free(_pSlots); }
    VqFlatTable(const VqFlatTable&) = delete;
    VqFlatTable& operator=(const VqFlatTable&) = delete;

    size_t size() const { return _nCount; }

    // The entry of key, or null.
    Entry* find(const Key& key) const {
        if (!_pSlots) return nullptr;
        for (size_t i = Traits::hash(key) & _nMask;; i = (i + 1) & _nMask) {
            Entry& e = _pSlots[i];
            if (Traits::empty(e)) return nullptr;
            if (Traits::matches(e, key)) return &e;
        }
    }

    // The entry of key and false, or the slot made for fresh (which must
    // match key) and true. Throws std::bad_alloc when the table cannot grow.
    std::pair<Entry*, bool> insert(const Key& key, const Entry& fresh) {
        if ((_nCount + 1) * 4 > _nCapacity * 3) _grow();
        for (size_t i = Traits::hash(key) & _nMask;; i = (i + 1) & _nMask) {
            Entry& e = _pSlots[i];
            if (Traits::empty(e)) {
                e = fresh;
                ++_nCount;
                return {&e, true};
            }
            if (Traits::matches(e, key)) return {&e, false};
        }
    }

    // Room for n entries without growing. The table is sized once: growing
    // step by step would fill every smaller table on the way, which for the
    // ID table of a large save doubles the fresh memory it touches.
    void reserve(size_t n) {
        size_t capacity = _nCapacity;
        while (n * 4 > capacity * 3)
            capacity = capacity ? capacity * 2 : 16;
        if (capacity != _nCapacity) _rehash(capacity);
    }

    template <class F>
    void forEach(F&& f) {
        for (size_t i = 0; i < _nCapacity; ++i)
            if (!Traits::empty(_pSlots[i])) f(_pSlots[i]);
    }

    // Empties the table and keeps its memory for the next use.
    void clear() {
        if (_nCount == 0) return;
        for (size_t i = 0; i < _nCapacity; ++i)
            _pSlots[i] = Traits::emptyEntry();
        _nCount = 0;
    }
    // Empties the table and frees its memory.
    void release() {
        std::free(_pSlots);
        _pSlots = nullptr;
        _nCapacity = _nMask = _nCount = 0;
    }

private:
    void _grow() { _rehash(_nCapacity ? _nCapacity * 2 : 16); }

    void _rehash(size_t capacity) {
        auto* slots = static_cast<Entry*>(std::malloc(capacity * sizeof(Entry)));
        if (!slots) throw std::bad_alloc();
        for (size_t i = 0; i < capacity; ++i)
            slots[i] = Traits::emptyEntry();
        const size_t mask = capacity - 1;
        for (size_t i = 0; i < _nCapacity; ++i) {
            const Entry& e = _pSlots[i];
            if (Traits::empty(e)) continue;
            size_t j = Traits::hash(Traits::keyOf(e)) & mask;
            while (!Traits::empty(slots[j]))
                j = (j + 1) & mask;
            slots[j] = e;
        }
        std::free(_pSlots);
        _pSlots = slots;
        _nCapacity = capacity;
        _nMask = mask;
    }

    Entry* _pSlots = nullptr;
    size_t _nCapacity = 0;
    size_t _nMask = 0;
    size_t _nCount = 0;
};

namespace Vq {
// A 64-bit mix whose every output bit depends on every input bit, so that
// aligned addresses and small consecutive numbers spread over the table.
inline uint64_t mix64(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    return x;
}
} // namespace Vq

// A set of non-null pointers, for the "met already" sets of graph walks.
struct VqFlatPtrSetTraits {
    static bool empty(const void* e) { return e == nullptr; }
    static const void* emptyEntry() { return nullptr; }
    static uint64_t hash(const void* p) { return Vq::mix64(reinterpret_cast<uintptr_t>(p)); }
    static bool matches(const void* e, const void* p) { return e == p; }
    static const void* keyOf(const void* e) { return e; }
};
class VqFlatPtrSet : public VqFlatTable<const void*, const void*, VqFlatPtrSetTraits> {
public:
    // True when p was not in the set (and now is).
    bool insert(const void* p) { return VqFlatTable::insert(p, p).second; }
    bool contains(const void* p) const { return find(p) != nullptr; }
};

// A map from non-null pointers to small plain values.
template <class V>
struct VqFlatPtrMapEntry {
    const void* key;
    V value;
};
template <class V>
struct VqFlatPtrMapTraits {
    static bool empty(const VqFlatPtrMapEntry<V>& e) { return e.key == nullptr; }
    static VqFlatPtrMapEntry<V> emptyEntry() { return {nullptr, V()}; }
    static uint64_t hash(const void* p) { return Vq::mix64(reinterpret_cast<uintptr_t>(p)); }
    static bool matches(const VqFlatPtrMapEntry<V>& e, const void* p) { return e.key == p; }
    static const void* keyOf(const VqFlatPtrMapEntry<V>& e) { return e.key; }
};
template <class V>
class VqFlatPtrMap : public VqFlatTable<VqFlatPtrMapEntry<V>, const void*, VqFlatPtrMapTraits<V>> {
public:
    // The value of p, or null.
    V* lookup(const void* p) const {
        auto* e = this->find(p);
        return e ? &e->value : nullptr;
    }
    // The value of p, made from v when p was absent.
    V& at(const void* p, const V& v = V()) {
        return this->insert(p, VqFlatPtrMapEntry<V>{p, v}).first->value;
    }
};
