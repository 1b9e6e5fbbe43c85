#include "VqRequestQueue.h"

#include "VqErrorState.h"
#include "VqPlatform.h"

#include <algorithm>
#include <cmath>

namespace {
const char* const kCls = "VqRequestQueue";
}

VqRequestQueue::~VqRequestQueue() {
    for (VqRequestEntry* e : _vpQueue)
        e->_bQueued = false;
}

float VqRequestQueue::adjustedPriority(const Priority& p, float scale, uint32_t now) {
    if (scale == 0.0f) return p.fPriority;
    const uint32_t age = now - p.uFrame;
    return p.fPriority * std::exp(-scale * static_cast<float>(age));
}

uint32_t VqRequestQueue::currentFrame() {
    return static_cast<uint32_t>(VqPlatform::EnsureInstance()->frameCount());
}

void VqRequestQueue::setTimeDecayScale(float scale) {
    VqAutoLock lock(_mutex);
    _fDecayScale = scale;
}

float VqRequestQueue::timeDecayScale() const {
    VqAutoLock lock(_mutex);
    return _fDecayScale;
}

void VqRequestQueue::setMaxLength(int n) {
    VqAutoLock lock(_mutex);
    _nMaxLength = n < 1 ? -1 : n;
}

int VqRequestQueue::maxLength() const {
    VqAutoLock lock(_mutex);
    return _nMaxLength;
}

Vq::SharedPtr<VqRequestEntry> VqRequestQueue::find(const VqBase* object) const {
    VqAutoLock lock(_mutex);
    auto it = _mEntries.find(object);
    return it == _mEntries.end() ? nullptr : it->second;
}

bool VqRequestQueue::_owns(const VqRequestEntry* entry) const {
    auto it = _mEntries.find(entry->object());
    return it != _mEntries.end() && it->second.get() == entry;
}

bool VqRequestQueue::_isWaiting(const VqRequestEntry* entry) {
    const VqRequestEntry::Stage s = entry->stage();
    return s == VqRequestEntry::REQ_STAGE_NEW || s == VqRequestEntry::REQ_STAGE_SLEEPING ||
           s == VqRequestEntry::REQ_STAGE_PREFLT;
}

void VqRequestQueue::_appendOp(Op op, VqRequestEntry* entry, float priority) {
    _vPreIn.push_back({op, entry, {priority, currentFrame()}});
    if (op != Op::Remove && priority >= VqRequestInfo::s_cUrgentPriority) _bUrgent = true;
}

bool VqRequestQueue::addEntry(VqRequestEntry* entry, float priority) {
    VQ_CHECK(entry != nullptr && entry->object() != nullptr, kCls, "addEntry", VQ_ERR_ARGUMENT);
    VqAutoLock lock(_mutex);
    auto [it, inserted] = _mEntries.emplace(entry->object(), entry);
    if (!inserted) VQ_FAIL(kCls, "addEntry", "Object already requested", VQ_ERR_ARGUMENT);
    entry->_eStage.store(entry->initialStage(), std::memory_order_release);
    entry->_fPriority = priority;
    entry->_uFrame = currentFrame();
    entry->_nSequence = ++_nSequence;
    if (entry->stage() != VqRequestEntry::REQ_STAGE_SLEEPING) {
        entry->_eStage.store(VqRequestEntry::REQ_STAGE_PREFLT, std::memory_order_release);
        _appendOp(Op::Add, entry, priority);
    }
    return true;
}

bool VqRequestQueue::updateEntry(VqRequestEntry* entry, float priority) {
    VQ_CHECK(entry != nullptr, kCls, "updateEntry", VQ_ERR_ARGUMENT);
    VqAutoLock lock(_mutex);
    // A loader has it already or it sleeps: the new priority has nothing to order.
    if (!_owns(entry) || entry->stage() != VqRequestEntry::REQ_STAGE_PREFLT) return true;
    _appendOp(Op::Update, entry, priority);
    return true;
}

bool VqRequestQueue::invalidateUnprocessedEntry(VqRequestEntry* entry) {
    VQ_CHECK(entry != nullptr, kCls, "invalidateUnprocessedEntry", VQ_ERR_ARGUMENT);
    VqAutoLock lock(_mutex);
    if (_owns(entry) && _isWaiting(entry)) _appendOp(Op::Remove, entry, 0.0f);
    return true;
}

bool VqRequestQueue::wakeupEntry(VqRequestEntry* entry, float priority) {
    VQ_CHECK(entry != nullptr, kCls, "wakeupEntry", VQ_ERR_ARGUMENT);
    VqAutoLock lock(_mutex);
    if (!_owns(entry) || entry->stage() != VqRequestEntry::REQ_STAGE_SLEEPING) return true;
    entry->_eStage.store(VqRequestEntry::REQ_STAGE_PREFLT, std::memory_order_release);
    _appendOp(Op::Add, entry, priority);
    return true;
}

bool VqRequestQueue::cmpMinEntryPriority(float priority) const {
    VqAutoLock lock(_mutex);
    if (_nMaxLength < 1) return true;
    const size_t n = _vpQueue.size();
    if (n < static_cast<size_t>(_nMaxLength) / 2) return true;
    if (static_cast<long>(n) < static_cast<long>(_nMaxLength) - static_cast<long>(_vPreIn.size()))
        return true;
    if (_vpQueue.empty()) return true;
    const VqRequestEntry* lowest = _vpQueue.front();
    return priority >= adjustedPriority({lowest->_fPriority, lowest->_uFrame}, _fDecayScale, currentFrame());
}

bool VqRequestQueue::isUrgent() const {
    VqAutoLock lock(_mutex);
    return _bUrgent;
}

void VqRequestQueue::_unqueue(VqRequestEntry* entry) {
    if (!entry->_bQueued) return;
    _vpQueue.erase(std::find(_vpQueue.begin(), _vpQueue.end(), entry));
    entry->_bQueued = false;
}

void VqRequestQueue::_eraseFromMap(VqRequestEntry* entry) {
    auto it = _mEntries.find(entry->object());
    if (it != _mEntries.end() && it->second.get() == entry) _mEntries.erase(it);
}

void VqRequestQueue::_retire(VqRequestEntry* entry) {
    // The entry may hold the last reference to its object: it is released by
    // whoever collects the retired list, never on a loader thread.
    _vpRetired.emplace_back(entry);
    _eraseFromMap(entry);
    entry->_eStage.store(VqRequestEntry::REQ_STAGE_RETIRED, std::memory_order_release);
}

bool VqRequestQueue::mergePreIn() {
    VqAutoLock lock(_mutex);
    if (_vPreIn.empty()) return true;
    std::vector<PreOp> ops;
    ops.swap(_vPreIn);
    for (PreOp& op : ops) {
        VqRequestEntry* e = op.pEntry.get();
        if (op.eOp == Op::Remove && _owns(e) && _isWaiting(e)) {
            _unqueue(e);
            _retire(e);
        }
    }
    for (PreOp& op : ops) {
        VqRequestEntry* e = op.pEntry.get();
        if (op.eOp == Op::Remove || !_owns(e) || e->stage() != VqRequestEntry::REQ_STAGE_PREFLT) continue;
        e->_fPriority = op.tPriority.fPriority;
        e->_uFrame = op.tPriority.uFrame;
        if (!e->_bQueued) {
            _vpQueue.push_back(e);
            e->_bQueued = true;
        }
    }
    // Decay multiplies every priority by a factor that depends on its age
    // alone, so the order of two entries never changes as frames pass: the
    // queue needs sorting only when entries join or change.
    const uint32_t now = currentFrame();
    std::vector<std::pair<float, VqRequestEntry*>> keyed;
    keyed.reserve(_vpQueue.size());
    for (VqRequestEntry* e : _vpQueue)
        keyed.emplace_back(adjustedPriority({e->_fPriority, e->_uFrame}, _fDecayScale, now), e);
    std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
        if (a.first != b.first) return a.first < b.first;
        return a.second->_nSequence > b.second->_nSequence;
    });
    _bUrgent = false;
    for (size_t i = 0; i < keyed.size(); ++i) {
        _vpQueue[i] = keyed[i].second;
        if (keyed[i].first >= VqRequestInfo::s_cUrgentPriority) _bUrgent = true;
    }
    if (_nMaxLength > 0 && _vpQueue.size() > static_cast<size_t>(_nMaxLength)) {
        const size_t excess = _vpQueue.size() - static_cast<size_t>(_nMaxLength);
        size_t nErased = 0;
        for (size_t i = 0; i < excess; ++i) {
            VqRequestEntry* e = _vpQueue[i];
            e->_bQueued = false;
            if (_owns(e) && e->stage() == VqRequestEntry::REQ_STAGE_PREFLT) {
                _retire(e);
                ++nErased;
            }
        }
        _vpQueue.erase(_vpQueue.begin(), _vpQueue.begin() + static_cast<long>(excess));
        VQ_CHECK(nErased == excess, kCls, "_mergePreIn", VQ_ERR_INTERNAL);
    }
    return true;
}

Vq::SharedPtr<VqRequestEntry> VqRequestQueue::popNextUnprocessedEntry(bool urgentOnly) {
    VqAutoLock lock(_mutex);
    if (!mergePreIn()) return nullptr;
    if (_vpQueue.empty()) return nullptr;
    VqRequestEntry* e = _vpQueue.back();
    if (urgentOnly && e->_fPriority < VqRequestInfo::s_cUrgentPriority) return nullptr;
    _vpQueue.pop_back();
    e->_bQueued = false;
    e->_eStage.store(VqRequestEntry::REQ_STAGE_INFLT, std::memory_order_release);
    ++_nInFlight;
    return e;
}

bool VqRequestQueue::takeEntry(VqRequestEntry* entry) {
    VqAutoLock lock(_mutex);
    if (!_owns(entry) || !_isWaiting(entry)) return false;
    _unqueue(entry);
    entry->_eStage.store(VqRequestEntry::REQ_STAGE_INFLT, std::memory_order_release);
    ++_nInFlight;
    return true;
}

bool VqRequestQueue::markProcessed(VqRequestEntry* entry) {
    VqAutoLock lock(_mutex);
    VQ_CHECK(entry->stage() == VqRequestEntry::REQ_STAGE_INFLT, kCls, "markProcessed", VQ_ERR_INTERNAL);
    --_nInFlight;
    entry->_eStage.store(VqRequestEntry::REQ_STAGE_POSTFLT, std::memory_order_release);
    _vpProcessed.emplace_back(entry);
    return true;
}

bool VqRequestQueue::markTakenForHookup(VqRequestEntry* entry) {
    VqAutoLock lock(_mutex);
    VQ_CHECK(entry->stage() == VqRequestEntry::REQ_STAGE_INFLT, kCls, "markTakenForHookup", VQ_ERR_INTERNAL);
    --_nInFlight;
    entry->_eStage.store(VqRequestEntry::REQ_STAGE_HOOKUP, std::memory_order_release);
    return true;
}

bool VqRequestQueue::takeProcessedEntry(VqRequestEntry* entry) {
    VqAutoLock lock(_mutex);
    if (entry->stage() != VqRequestEntry::REQ_STAGE_POSTFLT) return false;
    auto it = std::find(_vpProcessed.begin(), _vpProcessed.end(), entry);
    if (it != _vpProcessed.end()) _vpProcessed.erase(it);
    entry->_eStage.store(VqRequestEntry::REQ_STAGE_HOOKUP, std::memory_order_release);
    return true;
}

void VqRequestQueue::takeProcessed(const std::function<bool(VqRequestEntry*)>& pick,
                                   std::vector<Vq::SharedPtr<VqRequestEntry>>& out) {
    VqAutoLock lock(_mutex);
    auto keep = _vpProcessed.begin();
    for (auto it = _vpProcessed.begin(); it != _vpProcessed.end(); ++it) {
        if (pick((*it).get())) {
            (*it)->_eStage.store(VqRequestEntry::REQ_STAGE_HOOKUP, std::memory_order_release);
            out.push_back(std::move(*it));
        } else {
            *keep++ = std::move(*it);
        }
    }
    _vpProcessed.erase(keep, _vpProcessed.end());
}

void VqRequestQueue::finishHookup(VqRequestEntry* entry) {
    VqAutoLock lock(_mutex);
    _eraseFromMap(entry);
    entry->_bHookedUp = true;
    entry->_eStage.store(VqRequestEntry::REQ_STAGE_RETIRED, std::memory_order_release);
}

void VqRequestQueue::clear(bool loaded) {
    VqAutoLock lock(_mutex);
    _vPreIn.clear();
    std::vector<VqRequestEntry*> gone;
    for (auto& [obj, e] : _mEntries)
        if (_isWaiting(e.get()) || (loaded && e->stage() == VqRequestEntry::REQ_STAGE_POSTFLT))
            gone.push_back(e.get());
    for (VqRequestEntry* e : gone) {
        _unqueue(e);
        _retire(e);
    }
    if (loaded) _vpProcessed.clear();
    _bUrgent = false;
}

void VqRequestQueue::takeRetired(std::vector<Vq::SharedPtr<VqRequestEntry>>& out) {
    VqAutoLock lock(_mutex);
    for (auto& e : _vpRetired)
        out.push_back(std::move(e));
    _vpRetired.clear();
}

bool VqRequestQueue::hasWork() const {
    VqAutoLock lock(_mutex);
    return !_vpQueue.empty() || !_vPreIn.empty();
}

size_t VqRequestQueue::queueLength() const {
    VqAutoLock lock(_mutex);
    return _vpQueue.size();
}

size_t VqRequestQueue::numEntries() const {
    VqAutoLock lock(_mutex);
    return _mEntries.size();
}

int VqRequestQueue::numInFlight() const {
    VqAutoLock lock(_mutex);
    return _nInFlight;
}

void VqRequestQueue::forEachEntry(const std::function<void(const VqRequestEntry&)>& fn) const {
    VqAutoLock lock(_mutex);
    for (const auto& [obj, e] : _mEntries)
        fn(*e);
}
