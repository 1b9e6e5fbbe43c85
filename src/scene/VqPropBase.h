#pragma once

#include "VqExport.h"
#include "VqNotifyBase.h"
#include "VqPropAtom.h"
#include "VqSharedPtr.h"

#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

class VqLLSegmentIO;
class VqLateLoadedPropAtom;
class VqStreamMgr;
class VqObjectStream;
class VqStringPropAtom;

// Holder of a property table: pairs of a key atom and a value atom, keys
// compared by value. The table lives inside the holder under its own lock, so
// readers and writers on several threads are safe, and a holder with one
// property allocates nothing for it.
class VQ_API VqPropBase : public VqNotifyBase {
    VQ_DECLARE_TYPE(VqPropBase)
public:
    // Change sent to the clients when a property is added or replaced.
    static constexpr Vq::BaseChange VQ_PROP_CHANGED = 16;

    // The table itself: the pairs ordered by the hash of their key, under
    // the table's own reader/writer lock. Iteration follows the hash order,
    // so a table read back from a file enumerates as the one written.
    class PropTable {
    public:
        struct Pair {
            Vq::SharedPtr<VqPropAtom> key;
            Vq::SharedPtr<VqPropAtom> value;
            uint32_t hash;
        };
        // The pairs in order, the first one inside the table: most holders
        // have one property, and a save visits every holder's pairs, where
        // storage of their own would cost a cache miss more per visit (and
        // an open an allocation more per holder).
        class Pairs {
        public:
            Pairs() = default;
            ~Pairs();
            Pairs(const Pairs&) = delete;
            Pairs& operator=(const Pairs&) = delete;

            Pair* begin() { return _p; }
            Pair* end() { return _p + _n; }
            const Pair* begin() const { return _p; }
            const Pair* end() const { return _p + _n; }
            Pair* data() { return _p; }
            size_t size() const { return _n; }
            bool empty() const { return _n == 0; }
            Pair* insert(Pair* at, Pair&& pair);
            void push_back(Pair&& pair);
            Pair* erase(Pair* at) { return erase(at, at + 1); }
            Pair* erase(Pair* first, Pair* last);
            // Exchanges the contents with those of out.
            void swap(std::vector<Pair>& out);

        private:
            Pair* _inline() { return reinterpret_cast<Pair*>(_aInline); }
            void _reserve(size_t n);

            Pair* _p = _inline();
            uint32_t _n = 0;
            uint32_t _nCap = 1;
            alignas(Pair) unsigned char _aInline[sizeof(Pair)];
        };
        // The pair whose key equals key by value, or null.
        Pair* find(const VqPropAtom* key);
        // Inserts at the end of the key's hash run.
        Pair& insert(const VqPropAtom* key, const VqPropAtom* value, uint32_t hash);
        Pair& insert(Pair&& pair);

        // The table's reader/writer lock in one word, in the same cache line
        // as the pairs' count and the first pair: a save takes it on every
        // holder, and a system lock of its own size would cost a miss more
        // per visit. Readers share it and never block each other, and a
        // reader may enter while a writer waits (a thread may read the same
        // table again while it reads it); a writer excludes everyone. Waiting
        // sleeps on the word, not spins.
        class Lock {
        public:
            Lock() = default;
            Lock(const Lock&) = delete;
            Lock& operator=(const Lock&) = delete;

            // Named as the standard lockables are, so that std::unique_lock
            // and std::shared_lock guard it.
            void lock();
            void unlock();
            void lock_shared();
            void unlock_shared();

        private:
            static constexpr uint32_t s_uWriter = 1u << 31;
            static constexpr uint32_t s_uWaiting = 1u << 30;
            static constexpr uint32_t s_uReaders = s_uWaiting - 1;
            // Marks the word as waited on and sleeps while it still reads seen.
            void _wait(uint32_t seen);
            std::atomic<uint32_t> _uState{0};
        };

        mutable Lock _lock;
        Pairs _vPairs;
    };

    VqPropBase() = default;
    // A copy holds the same pairs in a table of its own.
    VqPropBase(const VqPropBase& o);
    VqPropBase& operator=(const VqPropBase& o);
    ~VqPropBase() override;

    // With user true, a value that is not a user property is refused.
    virtual bool addProp(const VqPropAtom* key, const VqPropAtom* value, bool user = true);
    // With user true, only a user property is removed.
    virtual bool removeProp(const VqPropAtom* key, bool user = true);
    virtual bool propValue(const VqPropAtom* key, VqPropAtom*& value, bool user = true) const;
    // The value under key, user property or not, with a reference of its own:
    // it stays valid when another thread replaces or removes the property
    // meanwhile (the pointer form lends the table's reference). Null when the
    // holder has no such property.
    Vq::SharedPtr<VqPropAtom> propValue(const VqPropAtom* key) const;
    virtual bool prop(int index, VqPropAtom*& key, VqPropAtom*& value, bool user = true) const;
    virtual int numProps(bool user = true) const;
    virtual bool removeAllProps(bool user = true);
    virtual bool writeLLData(VqLLSegmentIO& io) const;
    // Loads every late-loaded value's data, except those a save copies as stored.
    virtual bool ensureLLData(VqLLSegmentIO& io) const;
    // Whether a save may copy the stored segment of ll, one of this holder's
    // values, unread: only a holder that knows its data unchanged says so.
    virtual bool mayCopyStoredLLData(const VqLateLoadedPropAtom& ll) const {
        (void)ll;
        return false;
    }
    // The same through the stream manager of the holder's partition.
    bool writeLLData(VqStreamMgr& mgr) const;
    bool ensureLLData(VqStreamMgr& mgr) const;

    void _getMinimumVQVersion(int& major, int& minor) const override;

    // Adds without notification, hooks or user check (used while reading);
    // reports whether the table changed and hands back a replaced value.
    bool _addPropInternal(const VqPropAtom* key, const VqPropAtom* value, bool* changed = nullptr,
                          Vq::SharedPtr<VqPropAtom>* replaced = nullptr);
    // The late-loaded values of all pairs (user properties or not), appended
    // to out in the table's order, in one pass under the table's lock. They
    // carry no reference of their own: valid while the holder keeps them.
    void appendLateLoadedValues(std::vector<VqLateLoadedPropAtom*>& out) const;
    // The pairs that a file holds: key and value both persistable.
    void persistablePairs(std::vector<std::pair<const VqPropAtom*, const VqPropAtom*>>& out) const;
    // The same, appended to what out holds.
    void _appendPersistablePairs(std::vector<std::pair<const VqPropAtom*, const VqPropAtom*>>& out) const;

    // The persistable pairs of many holders in one vector, each holder with
    // its range of them (holders without any are left out): a save lists them
    // once for the property elements and the table, without an allocation
    // or a lock per holder beyond the listing itself.
    struct VQ_API Listing {
        struct Listed {
            const VqPropBase* holder;
            size_t begin, end;
        };
        std::vector<Listed> listed;
        std::vector<std::pair<const VqPropAtom*, const VqPropAtom*>> pairs;
        // The object IDs of the listed holders and of the pairs' keys and
        // values, when the writer noted them as it wrote their elements; the
        // table then needs no lookup per holder and pair. Left empty (or
        // incomplete), the table asks the stream for them.
        std::vector<int> holderIds;
        std::vector<std::pair<int, int>> pairIds;

        // With ids (one per holder, in the same order), the listed holders'
        // IDs are noted too.
        void collect(const std::vector<const VqPropBase*>& holders, const std::vector<int>* ids = nullptr);
        // Lists one more holder (with its ID when id is given, which it must
        // be for all or none); false when it has no persistable pair and is
        // left out.
        bool add(const VqPropBase* holder, const int* id = nullptr);
    };

    // The property table of a segment, written after its elements. Holders
    // whose pairs are all left out are not listed. Every holder, key and
    // value must already have its object ID in the stream.
    static bool writePropertyTable(VqObjectStream& os, const std::vector<const VqPropBase*>& holders);
    static bool writeListedPropertyTable(VqObjectStream& os, const Listing& listing);
    // Reads a table and adds its pairs to the holders read before it. Pairs
    // whose holder, key or value the segment does not hold are dropped, and so
    // are bounding-box-hierarchy pairs when readBBoxHier is false.
    static bool readPropertyTable(VqObjectStream& os, bool readBBoxHier = true);

protected:
    // Hooks for derived holders, run after a pair changed.
    virtual void _propAdded(const VqPropAtom* value) { (void)value; }
    virtual void _propRemoved(const VqPropAtom* value) { (void)value; }

    // The table, part of the holder: an open makes a million holders with a
    // property each, and a table of its own would cost each one an
    // allocation and a page-fault share more.
    PropTable& _table() const { return _propTable; }

private:
    // Called for every value that enters the table.
    void _noteValue(const VqPropAtom* value);
    // Adds, as _addPropInternal would one after the other, the pairs a file's
    // table lists for this holder (hashes filled in), under one hold of the
    // lock; mayHoldLateLoaded tells whether any value is late-loaded. The
    // pairs are moved out.
    void _addReadPairs(PropTable::Pair* pairs, size_t count, bool mayHoldLateLoaded);
    // Whether the table may hold a late-loaded value: set once one has
    // entered, never cleared. A save asks every holder for its late-loaded
    // values several times and almost all have none; kept outside the
    // table, the answer costs no lock.
    bool _mayHoldLateLoaded() const { return _bMayHoldLateLoaded.load(std::memory_order_acquire); }

    std::atomic<bool> _bMayHoldLateLoaded{false};
    mutable PropTable _propTable;
};
