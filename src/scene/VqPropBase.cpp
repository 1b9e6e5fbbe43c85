#include "VqPropBase.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqFormatSettings.h"
#include "VqLateLoadedPropAtom.h"
#include "VqStreamMgrSegmentIO.h"
#include "VqStringPropAtom.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <tuple>

VQ_IMPLEMENT_ABSTRACT_TYPE(VqPropBase, VqNotifyBase, CLSID_ZQPropBase)

namespace {
bool isUser(const VqPropAtom* v) {
    return v && v->isUserProp();
}

bool hashBefore(const VqPropBase::PropTable::Pair& p, uint32_t h) {
    return p.hash < h;
}
} // namespace

void VqPropBase::PropTable::Lock::_wait(uint32_t seen) {
    if (!(seen & s_uWaiting)) {
        if (!_uState.compare_exchange_weak(seen, seen | s_uWaiting, std::memory_order_relaxed)) return;
        seen |= s_uWaiting;
    }
    _uState.wait(seen, std::memory_order_relaxed);
}

void VqPropBase::PropTable::Lock::lock_shared() {
    uint32_t s = _uState.load(std::memory_order_relaxed);
    for (;;) {
        if (s & s_uWriter) {
            _wait(s);
            s = _uState.load(std::memory_order_relaxed);
        } else if (_uState.compare_exchange_weak(s, s + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
            return;
        }
    }
}

void VqPropBase::PropTable::Lock::unlock_shared() {
    const uint32_t was = _uState.fetch_sub(1, std::memory_order_release);
    // The last reader out wakes a waiting writer. Whoever still has to wait
    // after the wake marks the word again.
    if ((was & s_uReaders) == 1 && (was & s_uWaiting)) {
        _uState.fetch_and(~s_uWaiting, std::memory_order_relaxed);
        _uState.notify_all();
    }
}

void VqPropBase::PropTable::Lock::lock() {
    uint32_t s = _uState.load(std::memory_order_relaxed);
    for (;;) {
        if (s & (s_uWriter | s_uReaders)) {
            _wait(s);
            s = _uState.load(std::memory_order_relaxed);
        } else if (_uState.compare_exchange_weak(s, s | s_uWriter, std::memory_order_acquire,
                                                 std::memory_order_relaxed)) {
            return;
        }
    }
}

void VqPropBase::PropTable::Lock::unlock() {
    if (_uState.exchange(0, std::memory_order_release) & s_uWaiting) _uState.notify_all();
}

VqPropBase::PropTable::Pair* VqPropBase::PropTable::find(const VqPropAtom* key) {
    uint32_t h = key->hash();
    for (auto it = std::lower_bound(_vPairs.begin(), _vPairs.end(), h, hashBefore);
         it != _vPairs.end() && it->hash == h; ++it)
        if (*it->key == *key) return &*it;
    return nullptr;
}

VqPropBase::PropTable::Pair& VqPropBase::PropTable::insert(const VqPropAtom* key, const VqPropAtom* value,
                                                           uint32_t hash) {
    return insert(Pair{const_cast<VqPropAtom*>(key), const_cast<VqPropAtom*>(value), hash});
}

VqPropBase::PropTable::Pair& VqPropBase::PropTable::insert(Pair&& pair) {
    // Pairs mostly go to an empty table, or after the last.
    if (_vPairs.empty() || _vPairs.end()[-1].hash <= pair.hash) {
        _vPairs.push_back(std::move(pair));
        return _vPairs.end()[-1];
    }
    auto it = std::upper_bound(_vPairs.begin(), _vPairs.end(), pair.hash,
                               [](uint32_t h, const Pair& p) { return h < p.hash; });
    return *_vPairs.insert(it, std::move(pair));
}

VqPropBase::PropTable::Pairs::~Pairs() {
    std::destroy(begin(), end());
    if (_p != _inline()) ::operator delete(_p);
}

void VqPropBase::PropTable::Pairs::_reserve(size_t n) {
    if (n <= _nCap) return;
    auto* fresh = static_cast<Pair*>(::operator new(n * sizeof(Pair)));
    std::uninitialized_move(begin(), end(), fresh);
    std::destroy(begin(), end());
    if (_p != _inline()) ::operator delete(_p);
    _p = fresh;
    _nCap = static_cast<uint32_t>(n);
}

VqPropBase::PropTable::Pair* VqPropBase::PropTable::Pairs::insert(Pair* at, Pair&& pair) {
    const size_t i = static_cast<size_t>(at - _p);
    _reserve(_n == _nCap ? 2 * size_t(_nCap) : _nCap);
    ::new (static_cast<void*>(_p + _n)) Pair(std::move(pair));
    std::rotate(_p + i, _p + _n, _p + _n + 1);
    ++_n;
    return _p + i;
}

void VqPropBase::PropTable::Pairs::push_back(Pair&& pair) {
    if (_n == _nCap) _reserve(2 * size_t(_nCap));
    ::new (static_cast<void*>(_p + _n)) Pair(std::move(pair));
    ++_n;
}

VqPropBase::PropTable::Pair* VqPropBase::PropTable::Pairs::erase(Pair* first, Pair* last) {
    Pair* kept = std::move(last, end(), first);
    std::destroy(kept, end());
    _n = static_cast<uint32_t>(kept - _p);
    return first;
}

void VqPropBase::PropTable::Pairs::swap(std::vector<Pair>& out) {
    std::vector<Pair> mine(std::make_move_iterator(begin()), std::make_move_iterator(end()));
    erase(begin(), end());
    _reserve(out.size());
    std::uninitialized_move(out.begin(), out.end(), _p);
    _n = static_cast<uint32_t>(out.size());
    out.swap(mine);
}

void VqPropBase::_noteValue(const VqPropAtom* value) {
    if (Vq::typeCast<VqLateLoadedPropAtom>(value)) _bMayHoldLateLoaded.store(true, std::memory_order_release);
}

VqPropBase::VqPropBase(const VqPropBase& o) : VqNotifyBase(o) {
    *this = o;
}

VqPropBase& VqPropBase::operator=(const VqPropBase& o) {
    if (this == &o) return *this;
    // The pairs are copied out under o's lock and moved in under ours, one
    // lock at a time: two threads assigning two holders to each other cannot
    // deadlock. The old pairs are released after our lock is dropped.
    std::vector<PropTable::Pair> pairs;
    {
        std::shared_lock lock(o._propTable._lock);
        pairs.assign(o._propTable._vPairs.begin(), o._propTable._vPairs.end());
    }
    if (o._mayHoldLateLoaded()) _bMayHoldLateLoaded.store(true, std::memory_order_release);
    {
        std::unique_lock lock(_propTable._lock);
        _propTable._vPairs.swap(pairs);
    }
    return *this;
}

VqPropBase::~VqPropBase() = default;

bool VqPropBase::addProp(const VqPropAtom* key, const VqPropAtom* value, bool user) {
    if (!key) VQ_FAIL("VqPropBase", "addProp", "pKey != __null", VQ_ERR_ARGUMENT);
    if (!value) VQ_FAIL("VqPropBase", "addProp", "pVal != __null", VQ_ERR_ARGUMENT);
    if (user && !value->isUserProp()) VQ_FAIL("VqPropBase", "addProp", "NonUser PropValue", VQ_ERR_ARGUMENT);
    if (!key->isOfType(VqPropKey::classTypeID()))
        VQ_FAIL("VqPropBase", "addProp", "pKey->isOfType(VqPropKey::classTypeID())", VQ_ERR_ARGUMENT);
    Vq::SharedPtr<VqPropAtom> replaced;
    bool changed = false;
    VQ_PROPAGATE(_addPropInternal(key, value, &changed, &replaced));
    if (changed) {
        if (replaced) _propRemoved(replaced.get());
        _propAdded(value);
    }
    VQ_PROPAGATE(sendNotification(key, VQ_PROP_CHANGED));
    return true;
}

bool VqPropBase::_addPropInternal(const VqPropAtom* key, const VqPropAtom* value, bool* pChanged,
                                  Vq::SharedPtr<VqPropAtom>* pReplaced) {
    PropTable* t = &_propTable;
    // The replaced value is released after the lock is dropped.
    Vq::SharedPtr<VqPropAtom> replaced;
    bool changed = false;
    {
        std::unique_lock lock(t->_lock);
        // An open adds most holders' only property to an empty table.
        PropTable::Pair* p = t->_vPairs.empty() ? nullptr : t->find(key);
        if (!p) {
            t->insert(key, value, key->hash());
            _noteValue(value);
            changed = true;
        } else if (p->value.get() != value) {
            replaced = std::move(p->value);
            _noteValue(value);
            p->value = const_cast<VqPropAtom*>(value);
            changed = true;
        }
    }
    if (pChanged) *pChanged = changed;
    if (pReplaced) *pReplaced = std::move(replaced);
    return true;
}

void VqPropBase::_addReadPairs(PropTable::Pair* pairs, size_t count, bool mayHoldLateLoaded) {
    PropTable* t = &_propTable;
    std::unique_lock lock(t->_lock);
    if (mayHoldLateLoaded) _bMayHoldLateLoaded.store(true, std::memory_order_release);
    for (size_t i = 0; i < count; ++i) {
        PropTable::Pair& in = pairs[i];
        PropTable::Pair* p = t->_vPairs.empty() ? nullptr : t->find(in.key.get());
        if (!p)
            t->insert(std::move(in));
        else if (p->value.get() != in.value.get())
            // The replaced value goes back to the caller, which releases it
            // once the lock is dropped.
            std::swap(p->value, in.value);
    }
}

bool VqPropBase::removeProp(const VqPropAtom* key, bool user) {
    if (!key) VQ_FAIL("VqPropBase", "removeProp", "pKey != __null", VQ_ERR_ARGUMENT);
    PropTable* t = &_propTable;
    Vq::SharedPtr<VqPropAtom> removedKey, removedValue;
    {
        std::unique_lock lock(t->_lock);
        PropTable::Pair* p = t->find(key);
        if (!p || (user && !isUser(p->value.get()))) return true;
        removedKey = std::move(p->key);
        removedValue = std::move(p->value);
        t->_vPairs.erase(t->_vPairs.begin() + (p - t->_vPairs.data()));
    }
    _propRemoved(removedValue.get());
    return true;
}

bool VqPropBase::removeAllProps(bool user) {
    PropTable* t = &_propTable;
    std::vector<Vq::SharedPtr<VqPropAtom>> removed;
    {
        std::unique_lock lock(t->_lock);
        auto keep = t->_vPairs.begin();
        for (auto it = t->_vPairs.begin(); it != t->_vPairs.end(); ++it) {
            if (user && !isUser(it->value.get())) {
                if (keep != it) *keep = std::move(*it);
                ++keep;
                continue;
            }
            removed.push_back(std::move(it->key));
            removed.push_back(std::move(it->value));
        }
        t->_vPairs.erase(keep, t->_vPairs.end());
    }
    for (size_t i = 1; i < removed.size(); i += 2)
        _propRemoved(removed[i].get());
    return true;
}

bool VqPropBase::propValue(const VqPropAtom* key, VqPropAtom*& value, bool user) const {
    value = nullptr;
    if (!key) return true;
    PropTable* t = &_propTable;
    std::shared_lock lock(t->_lock);
    PropTable::Pair* p = t->find(key);
    if (p && (!user || isUser(p->value.get()))) value = p->value.get();
    return true;
}

Vq::SharedPtr<VqPropAtom> VqPropBase::propValue(const VqPropAtom* key) const {
    if (!key) return nullptr;
    PropTable* t = &_propTable;
    // Counted while the table is locked, so that a replacement cannot free it in between.
    std::shared_lock lock(t->_lock);
    const PropTable::Pair* p = t->find(key);
    return p ? p->value : nullptr;
}

bool VqPropBase::prop(int index, VqPropAtom*& key, VqPropAtom*& value, bool user) const {
    key = value = nullptr;
    const PropTable* t = &_propTable;
    if (index < 0) return true;
    std::shared_lock lock(t->_lock);
    for (const auto& p : t->_vPairs) {
        if (user && !isUser(p.value.get())) continue;
        if (index-- == 0) {
            key = p.key.get();
            value = p.value.get();
            break;
        }
    }
    return true;
}

int VqPropBase::numProps(bool user) const {
    const PropTable* t = &_propTable;
    std::shared_lock lock(t->_lock);
    if (!user) return static_cast<int>(t->_vPairs.size());
    int n = 0;
    for (const auto& p : t->_vPairs)
        if (isUser(p.value.get())) ++n;
    return n;
}

namespace {
// The late-loaded values of a table, with references, so that their loads
// and saves run without the table's lock.
std::vector<Vq::SharedPtr<VqLateLoadedPropAtom>> lateLoadedValues(const VqPropBase::PropTable& t,
                                                                  bool persistableOnly) {
    std::vector<Vq::SharedPtr<VqLateLoadedPropAtom>> out;
    std::shared_lock lock(t._lock);
    for (const auto& p : t._vPairs) {
        auto* ll = Vq::typeCast<VqLateLoadedPropAtom>(p.value.get());
        if (!ll) continue;
        if (persistableOnly && !(p.key->isPersistable() && ll->isPersistable())) continue;
        out.emplace_back(ll);
    }
    return out;
}
} // namespace

bool VqPropBase::ensureLLData(VqLLSegmentIO& io) const {
    if (!_mayHoldLateLoaded()) return true;
    const PropTable* t = &_propTable;
    for (auto& ll : lateLoadedValues(*t, false))
        if (!ll->copiesStored()) VQ_PROPAGATE(ll->ensureData(io));
    return true;
}

bool VqPropBase::writeLLData(VqLLSegmentIO& io) const {
    if (!_mayHoldLateLoaded()) return true;
    const PropTable* t = &_propTable;
    for (auto& ll : lateLoadedValues(*t, true))
        VQ_PROPAGATE(ll->writeData(io));
    return true;
}

bool VqPropBase::ensureLLData(VqStreamMgr& mgr) const {
    VqStreamMgrSegmentIO io(mgr);
    return ensureLLData(io);
}

bool VqPropBase::writeLLData(VqStreamMgr& mgr) const {
    VqStreamMgrSegmentIO io(mgr);
    return writeLLData(io);
}

void VqPropBase::_getMinimumVQVersion(int& major, int& minor) const {
    VqNotifyBase::_getMinimumVQVersion(major, minor);
    const PropTable* t = &_propTable;
    std::shared_lock lock(t->_lock);
    for (const auto& p : t->_vPairs)
        p.value->_getMinimumVQVersion(major, minor);
}

void VqPropBase::appendLateLoadedValues(std::vector<VqLateLoadedPropAtom*>& out) const {
    if (!_mayHoldLateLoaded()) return;
    const PropTable* t = &_propTable;
    std::shared_lock lock(t->_lock);
    for (const auto& p : t->_vPairs)
        if (auto* ll = Vq::typeCast<VqLateLoadedPropAtom>(p.value.get())) out.push_back(ll);
}

void VqPropBase::persistablePairs(std::vector<std::pair<const VqPropAtom*, const VqPropAtom*>>& out) const {
    out.clear();
    _appendPersistablePairs(out);
}

void VqPropBase::_appendPersistablePairs(
    std::vector<std::pair<const VqPropAtom*, const VqPropAtom*>>& out) const {
    const PropTable* t = &_propTable;
    std::shared_lock lock(t->_lock);
    for (const auto& p : t->_vPairs)
        if (p.key->isPersistable() && p.value->isPersistable()) out.emplace_back(p.key.get(), p.value.get());
}

void VqPropBase::Listing::collect(const std::vector<const VqPropBase*>& holders,
                                  const std::vector<int>* ids) {
    listed.clear();
    pairs.clear();
    holderIds.clear();
    pairIds.clear();
    if (ids && ids->size() != holders.size()) ids = nullptr;
    for (size_t i = 0; i < holders.size(); ++i)
        add(holders[i], ids ? &(*ids)[i] : nullptr);
}

bool VqPropBase::Listing::add(const VqPropBase* holder, const int* id) {
    if (!holder) return false;
    const size_t begin = pairs.size();
    holder->_appendPersistablePairs(pairs);
    if (pairs.size() == begin) return false;
    listed.push_back({holder, begin, pairs.size()});
    if (id) holderIds.push_back(*id);
    return true;
}

bool VqPropBase::writePropertyTable(VqObjectStream& os, const std::vector<const VqPropBase*>& holders) {
    Listing listing;
    listing.collect(holders);
    return writeListedPropertyTable(os, listing);
}

bool VqPropBase::writeListedPropertyTable(VqObjectStream& os, const Listing& listing) {
    VQ_PROPAGATE(os.write(static_cast<short>(VqFormatSettings::propertyTableVersion())));
    VQ_PROPAGATE(os.write(static_cast<int>(listing.listed.size())));
    // Noted IDs spare a lookup per holder, key and value: in a large graph
    // each one is a cache miss in the stream's ID table.
    const bool noted =
        listing.holderIds.size() == listing.listed.size() && listing.pairIds.size() == listing.pairs.size();
    for (size_t h = 0; h < listing.listed.size(); ++h) {
        const Listing::Listed& l = listing.listed[h];
        int id = -1;
        if (noted)
            id = listing.holderIds[h];
        else
            VQ_PROPAGATE(os.ptr2num(l.holder, &id));
        VQ_PROPAGATE(os.write(id));
        for (size_t i = l.begin; i < l.end; ++i) {
            int kid = -1, vid = -1;
            if (noted) {
                std::tie(kid, vid) = listing.pairIds[i];
            } else {
                VQ_PROPAGATE(os.ptr2num(listing.pairs[i].first, &kid));
                VQ_PROPAGATE(os.ptr2num(listing.pairs[i].second, &vid));
            }
            VQ_PROPAGATE(os.write(kid));
            VQ_PROPAGATE(os.write(vid));
        }
        VQ_PROPAGATE(os.write(0));
    }
    return true;
}

bool VqPropBase::readPropertyTable(VqObjectStream& os, bool readBBoxHier) {
    short version = 0;
    VQ_PROPAGATE(os.read(&version));
    if (version > VqFormatSettings::propertyTableVersion())
        VQ_FAIL("VqPropBase", "readPropertyTable", "Unable to read", VQ_ERR_TOO_NEW);
    if (version < VqFormatSettings::propertyTableVersion())
        VQ_FAIL("VqPropBase", "readPropertyTable", "Unable to read", VQ_ERR_TOO_OLD);
    // Each holder takes at least its ID and its terminator.
    int nHolders = 0;
    VQ_PROPAGATE(os.readLength(nHolders, 8));
    // Most graphs share a few keys among all holders: the key of the pair
    // before is recognised by its ID without a lookup, and its hash and
    // whether it is dropped are known.
    int lastKeyId = 0;
    const VqPropAtom* lastKey = nullptr;
    uint32_t lastKeyHash = 0;
    bool lastKeyDropped = false;
    // Values mostly share a type too: whether it is late-loaded is asked
    // once for each run of values of one type.
    const VqType* lastValueType = nullptr;
    bool lastValueLate = false;
    // A holder's pairs are gathered and added under one hold of its lock.
    std::vector<PropTable::Pair> gathered;
    for (int h = 0; h < nHolders; ++h) {
        int holderId = -1;
        VQ_PROPAGATE(os.read(&holderId));
        auto* holder = Vq::typeCast<VqPropBase>(static_cast<const VqBase*>(os.possiblePtr(holderId)));
        bool late = false;
        for (;;) {
            int keyId = 0, valueId = -1;
            VQ_PROPAGATE(os.read(&keyId));
            if (keyId == 0) break;
            VQ_PROPAGATE(os.read(&valueId));
            if (!holder) continue;
            if (keyId != lastKeyId || !lastKey) {
                lastKeyId = keyId;
                lastKey = Vq::typeCast<VqPropAtom>(static_cast<const VqBase*>(os.possiblePtr(keyId)));
                if (lastKey) {
                    lastKeyHash = lastKey->hash();
                    lastKeyDropped = !readBBoxHier && vqLLPropBBHier && *lastKey == *vqLLPropBBHier;
                }
            }
            auto* value = Vq::typeCast<VqPropAtom>(static_cast<const VqBase*>(os.possiblePtr(valueId)));
            if (!lastKey || !value || lastKeyDropped) continue;
            if (value->type() != lastValueType) {
                lastValueType = value->type();
                lastValueLate = lastValueType->isA(VqLateLoadedPropAtom::classTypeID());
            }
            late = late || lastValueLate;
            gathered.push_back(PropTable::Pair{const_cast<VqPropAtom*>(lastKey), const_cast<VqPropAtom*>(value),
                                               lastKeyHash});
        }
        if (gathered.empty()) continue;
        const_cast<VqPropBase*>(holder)->_addReadPairs(gathered.data(), gathered.size(), late);
        gathered.clear();
    }
    return true;
}
