#include "VqResidencyRequestManager.h"

#include "VqErrorState.h"
#include "VqNoArgFtor.h"
#include "VqPlatform.h"
#include "VqThread.h"
#include "VqType.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <mutex>
#include <sched.h>

VqResidencyRequestManager* g_pInstanceVqResidencyRequestManager = nullptr;

namespace {
const char* const kCls = "VqResidencyRequestManager";
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}
} // namespace

bool Vq::RequestHandler::updateEntry(VqRequestQueue& queue, VqRequestEntry* entry, float priority) {
    return queue.updateEntry(entry, priority);
}

struct VqResidencyRequestManager::Loader {
    VqResidencyRequestManager* pMgr = nullptr;
    VqThread thread;
    // Set under the queue's lock as the loop ends.
    bool bExited = false;
};

VqResidencyRequestManager::VqResidencyRequestManager() = default;

VqResidencyRequestManager::~VqResidencyRequestManager() {
    {
        VqAutoLock lock(_mxLoaders);
        _stopLoaders();
    }
    _queue.clear(true);
    _releaseRetired();
}

// ---- requests ----------------------------------------------------------------

bool VqResidencyRequestManager::_request(const VqRequestInfo& info, bool* alreadyLoaded,
                                         Vq::SharedPtr<VqRequestEntry>* out, bool admitAlways) {
    if (alreadyLoaded) *alreadyLoaded = false;
    VqBase* obj = info.object();
    VQ_CHECK(obj != nullptr, kCls, "willNeed", VQ_ERR_ARGUMENT);
    const Vq::SharedPtr<Vq::RequestHandler> h = handler(*obj->type());
    if (!h) VQ_FAIL(kCls, "willNeed", "No request handler for the object's type", VQ_ERR_ARGUMENT);
    const float p = info.priority();
    {
        VqAutoLock lock(_queue.mutex());
        if (_bPaused && !info.isUrgent()) {
            ++_tPerf.nIgnoredPaused;
            return true;
        }
        if (Vq::SharedPtr<VqRequestEntry> e = _queue.find(obj)) {
            if (!e->isHandled()) VQ_PROPAGATE(h->updateEntry(_queue, e.get(), p));
            if (out) *out = e;
            _cvWork.notify_one();
            return true;
        }
    }
    if (h->isLoaded(obj)) {
        if (alreadyLoaded) *alreadyLoaded = true;
        return true;
    }
    {
        VqAutoLock lock(_queue.mutex());
        if (!admitAlways && !_queue.cmpMinEntryPriority(p)) {
            ++_tPerf.nRefused;
            return true;
        }
    }
    // Made outside the lock: a handler may read the graph or the file system.
    Vq::SharedPtr<VqRequestEntry> fresh;
    VQ_PROPAGATE(h->createEntry(info, fresh));
    VQ_CHECK(fresh && fresh->object() == obj, kCls, "willNeed", VQ_ERR_INTERNAL);
    VqAutoLock lock(_queue.mutex());
    Vq::SharedPtr<VqRequestEntry> e = _queue.find(obj);
    if (e) {
        // Another thread asked for the object meanwhile: its entry stands.
        if (!e->isHandled()) VQ_PROPAGATE(h->updateEntry(_queue, e.get(), p));
    } else {
        VQ_PROPAGATE(_queue.addEntry(fresh.get(), p));
        ++_tPerf.nRequests;
        e = fresh;
    }
    if (out) *out = e;
    _cvWork.notify_one();
    return true;
}

bool VqResidencyRequestManager::willNeed(const VqRequestInfo& info, bool* alreadyLoaded) {
    return _request(info, alreadyLoaded, nullptr, false);
}

void VqResidencyRequestManager::_process(VqRequestEntry* entry, bool local) {
    // Only the entry holds the object: whoever asked for it let it go, and
    // loading it would be wasted. No new holder can appear, since a request
    // needs a reference to name the object.
    if (entry->object()->refCount() <= 1) {
        entry->_bDropped = true;
        VqAutoLock lock(_queue.mutex());
        ++_tPerf.nDropped;
        return;
    }
    const Clock::time_point t0 = Clock::now();
    entry->_handle();
    const double dt = secondsSince(t0);
    VqAutoLock lock(_queue.mutex());
    ++(entry->failed() ? _tPerf.nFailed : _tPerf.nLoaded);
    if (local) ++_tPerf.nLoadedLocally;
    _tPerf.dLoadSeconds += dt;
}

bool VqResidencyRequestManager::_hookUp(std::vector<Vq::SharedPtr<VqRequestEntry>>& entries) {
    bool ok = true;
    for (Vq::SharedPtr<VqRequestEntry>& e : entries) {
        if (!e->isDropped()) {
            const Clock::time_point t0 = Clock::now();
            // One hook-up that fails or throws does not keep the others from theirs.
            try {
                if (!e->hookupEntry()) ok = false;
            } catch (...) {
                ok = VqErrorState::recordCurrentException(kCls, "_hookUpLoadedShapes");
            }
            // The load's failure is the one to report.
            if (e->failed()) {
                VqErrorState::setError(e->error());
                ok = false;
            }
            VqAutoLock lock(_queue.mutex());
            ++_tPerf.nHookedUp;
            _tPerf.dHookupSeconds += secondsSince(t0);
        }
        VqAutoLock lock(_queue.mutex());
        _queue.finishHookup(e.get());
        _cvStage.notify_all();
    }
    return ok;
}

bool VqResidencyRequestManager::_hookUpLoadedShapes(const VqBase* document) {
    std::vector<Vq::SharedPtr<VqRequestEntry>> loaded;
    _queue.takeProcessed([document](VqRequestEntry* e) { return e->isDropped() || e->belongsTo(document); },
                         loaded);
    return _hookUp(loaded);
}

bool VqResidencyRequestManager::_localTimeSliceShapes(VqNoArgFtor* interrupt) {
    // Entries are loaded whole, one after the other, until the time is used
    // up: the time is checked after each entry, so one long entry can exceed
    // it, but a slice with any time at all makes progress.
    const double budgetMs = executionTime();
    if (budgetMs <= 0.0) return true;
    const Clock::time_point deadline =
        Clock::now() +
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(budgetMs));
    bool ok = true;
    do {
        if (interrupt && (*interrupt)()) break;
        Vq::SharedPtr<VqRequestEntry> e;
        {
            VqAutoLock lock(_queue.mutex());
            e = _queue.popNextUnprocessedEntry(_bPaused);
        }
        if (!e) break;
        _process(e.get(), true);
        VqAutoLock lock(_queue.mutex());
        ok = _queue.markProcessed(e.get()) && ok;
        _cvStage.notify_all();
    } while (Clock::now() < deadline);
    return ok;
}

bool VqResidencyRequestManager::execute(const VqRequestInfo& info, VqNoArgFtor* interrupt) {
    VQ_CHECK(info.object() != nullptr, kCls, "execute", VQ_ERR_ARGUMENT);
    VqAutoLock lock(_mxExecute);
    bool ok = _hookUpLoadedShapes(info.object());
    if (numLoaderThreads() == 0) {
        // What the slice loads is hooked up at once: without loaders, one
        // execute serves a request.
        ok = _localTimeSliceShapes(interrupt) && ok;
        ok = _hookUpLoadedShapes(info.object()) && ok;
    }
    _releaseRetired();
    if (!ok) VqErrorState::rethrowError();
    return ok;
}

bool VqResidencyRequestManager::blockOnLoad(VqBase* object) {
    return blockOnLoad(VqRequestInfo(object, VqRequestInfo::s_cUrgentPriority));
}

bool VqResidencyRequestManager::blockOnLoad(const VqRequestInfo& info) {
    VQ_CHECK(info.object() != nullptr, kCls, "blockOnLoad", VQ_ERR_ARGUMENT);
    const VqRequestInfo urgent(info.object(), VqRequestInfo::s_cUrgentPriority);
    for (;;) {
        Vq::SharedPtr<VqRequestEntry> e;
        VQ_PROPAGATE(_request(urgent, nullptr, &e, true));
        if (!e) {
            _releaseRetired();
            return true;
        }
        bool mine = false;
        {
            std::unique_lock<VqMutex> lock(_queue.mutex());
            for (;;) {
                const VqRequestEntry::Stage s = e->stage();
                if (s == VqRequestEntry::REQ_STAGE_RETIRED) break;
                if (s == VqRequestEntry::REQ_STAGE_POSTFLT) {
                    mine = _queue.takeProcessedEntry(e.get());
                    break;
                }
                if (s != VqRequestEntry::REQ_STAGE_INFLT && s != VqRequestEntry::REQ_STAGE_HOOKUP &&
                    _queue.takeEntry(e.get())) {
                    // No loader has it: this thread loads it.
                    lock.unlock();
                    _process(e.get(), true);
                    lock.lock();
                    mine = _queue.markTakenForHookup(e.get());
                    _cvStage.notify_all();
                    break;
                }
                _cvStage.wait(lock);
            }
        }
        if (mine) {
            std::vector<Vq::SharedPtr<VqRequestEntry>> one{e};
            const bool ok = _hookUp(one);
            _releaseRetired();
            if (!ok) VqErrorState::rethrowError();
            return ok;
        }
        if (e->_bHookedUp) {
            // Another thread hooked it up; its outcome is this caller's.
            _releaseRetired();
            if (!e->failed()) return true;
            VqErrorState::setError(e->error());
            return false;
        }
        // Removed or evicted before anyone loaded it: ask again.
    }
}

// ---- status ----------------------------------------------------------------------

bool VqResidencyRequestManager::getStatus(const VqRequestInfo& info, bool& pending, bool& loaded,
                                          float& priority) const {
    pending = loaded = false;
    priority = -1.0f;
    VqBase* obj = info.object();
    VQ_CHECK(obj != nullptr, kCls, "getStatus", VQ_ERR_ARGUMENT);
    {
        VqAutoLock lock(_queue.mutex());
        if (Vq::SharedPtr<VqRequestEntry> e = _queue.find(obj)) {
            pending = true;
            loaded = e->isHandled() && !e->isDropped() && !e->failed();
            priority = e->_fPriority;
            return true;
        }
    }
    if (const Vq::SharedPtr<Vq::RequestHandler> h = handler(*obj->type())) loaded = h->isLoaded(obj);
    return true;
}

bool VqResidencyRequestManager::removeItem(const VqRequestInfo& info) {
    VQ_CHECK(info.object() != nullptr, kCls, "removeItem", VQ_ERR_ARGUMENT);
    if (Vq::SharedPtr<VqRequestEntry> e = _queue.find(info.object()))
        VQ_PROPAGATE(_queue.invalidateUnprocessedEntry(e.get()));
    return true;
}

void VqResidencyRequestManager::clearAllRequests() {
    {
        VqAutoLock lock(_queue.mutex());
        _queue.clear(false);
        _cvStage.notify_all();
    }
    _releaseRetired();
}

void VqResidencyRequestManager::clear() {
    {
        std::unique_lock<VqMutex> lock(_queue.mutex());
        _queue.clear(false);
        // What the loaders hold now is dropped as soon as they are done.
        while (_queue.numInFlight() > 0)
            _cvStage.wait(lock);
        _queue.clear(true);
        _cvStage.notify_all();
    }
    _releaseRetired();
}

void VqResidencyRequestManager::_releaseRetired() {
    std::vector<Vq::SharedPtr<VqRequestEntry>> retired;
    _queue.takeRetired(retired);
    // Wake callers blocked on an entry that left.
    if (!retired.empty()) {
        VqAutoLock lock(_queue.mutex());
        _cvStage.notify_all();
    }
}

int VqResidencyRequestManager::_countEntries(VqRequestEntry::Kind kind, bool loaded) const {
    int n = 0;
    _queue.forEachEntry([&](const VqRequestEntry& e) {
        if (e.kind() != kind && kind != VqRequestEntry::REQ_KIND_OTHER) return;
        const bool isLoaded = e.stage() >= VqRequestEntry::REQ_STAGE_POSTFLT;
        if (isLoaded == loaded) ++n;
    });
    return n;
}

bool VqResidencyRequestManager::areItemsPending() const {
    return _queue.numEntries() > 0;
}
int VqResidencyRequestManager::numShapesPending() const {
    return _countEntries(VqRequestEntry::REQ_KIND_SHAPE, false);
}
int VqResidencyRequestManager::numPartnsPending() const {
    return _countEntries(VqRequestEntry::REQ_KIND_PARTITION, false);
}
int VqResidencyRequestManager::numLoadedShapesPending() const {
    return _countEntries(VqRequestEntry::REQ_KIND_SHAPE, true);
}
int VqResidencyRequestManager::numLoadedPartnsPending() const {
    return _countEntries(VqRequestEntry::REQ_KIND_PARTITION, true);
}
int VqResidencyRequestManager::numRequestedItemsPending() const {
    // Every kind counts here.
    return _countEntries(VqRequestEntry::REQ_KIND_OTHER, false);
}

VqResidencyRequestManager::PerfCounters VqResidencyRequestManager::perfCounters() const {
    VqAutoLock lock(_queue.mutex());
    return _tPerf;
}

void VqResidencyRequestManager::clearPerfCounters() {
    VqAutoLock lock(_queue.mutex());
    _tPerf = PerfCounters();
}

// ---- pause ------------------------------------------------------------------------

void VqResidencyRequestManager::lockLoadQueue() {
    VqAutoLock lock(_queue.mutex());
    _bPaused = true;
}

void VqResidencyRequestManager::unlockLoadQueue() {
    VqAutoLock lock(_queue.mutex());
    _bPaused = false;
    _cvWork.notify_all();
}

bool VqResidencyRequestManager::isPaused() const {
    VqAutoLock lock(_queue.mutex());
    return _bPaused;
}

void VqResidencyRequestManager::_memoryUseChanged(int status, void* self) {
    auto* mgr = static_cast<VqResidencyRequestManager*>(self);
    if (status != 0)
        mgr->lockLoadQueue();
    else
        mgr->unlockLoadQueue();
}

// ---- settings ---------------------------------------------------------------------

bool VqResidencyRequestManager::setExecutionTime(double milliseconds) {
    VQ_CHECK(milliseconds >= 0, kCls, "setExecutionTime", VQ_ERR_ARGUMENT);
    VqAutoLock lock(_mxSettings);
    _dExecutionMs = milliseconds;
    return true;
}

double VqResidencyRequestManager::executionTime() const {
    VqAutoLock lock(_mxSettings);
    return _dExecutionMs;
}

void VqResidencyRequestManager::setMaxRequestAge(int frames) {
    VqAutoLock lock(_mxSettings);
    _nMaxRequestAge = frames;
}

int VqResidencyRequestManager::maxRequestAge() const {
    VqAutoLock lock(_mxSettings);
    return _nMaxRequestAge;
}

void VqResidencyRequestManager::setMaxQueueLength(int n) {
    _queue.setMaxLength(n);
}

int VqResidencyRequestManager::maxQueueLength() const {
    return _queue.maxLength();
}

bool VqResidencyRequestManager::setTimeDecayScale(float scale) {
    // A negative scale would make old requests outrank new ones without bound.
    VQ_CHECK(std::isfinite(scale) && scale >= 0.0f, kCls, "setTimeDecayScale", VQ_ERR_ARGUMENT);
    _queue.setTimeDecayScale(scale);
    return true;
}

float VqResidencyRequestManager::timeDecayScale() const {
    return _queue.timeDecayScale();
}

void VqResidencyRequestManager::setSortQueuePerFrame(bool on) {
    VqAutoLock lock(_mxSettings);
    _bSortPerFrame = on;
}

bool VqResidencyRequestManager::sortQueuePerFrame() const {
    VqAutoLock lock(_mxSettings);
    return _bSortPerFrame;
}

void VqResidencyRequestManager::setLoaderStopTimeout(unsigned milliseconds) {
    VqAutoLock lock(_mxSettings);
    _nStopTimeoutMs = milliseconds;
}

// ---- loader threads ----------------------------------------------------------------

int VqResidencyRequestManager::numLoaderThreads() const {
    VqAutoLock lock(_queue.mutex());
    return _nLoaders;
}

bool VqResidencyRequestManager::setUseThreadedLoading(int nThreads) {
    VQ_CHECK(nThreads >= 0, kCls, "setUseThreadedLoading", VQ_ERR_ARGUMENT);
    VqAutoLock lock(_mxLoaders);
    const int n = std::min(nThreads, VqPlatform::EnsureInstance()->maxTaskThreads());
    bool ok = _stopLoaders();
    if (n > 0) ok = _startLoaders(n) && ok;
    if (!ok) VqErrorState::rethrowError();
    return ok;
}

bool VqResidencyRequestManager::_startLoaders(int n) {
    {
        VqAutoLock lock(_queue.mutex());
        _bRunning = true;
    }
    for (int i = 0; i < n; ++i) {
        auto loader = std::make_unique<Loader>();
        loader->pMgr = this;
        loader->thread.setKickoff(&_loaderMain, loader.get());
        if (!loader->thread.create()) {
            VqErrorState::rethrowError();
            _stopLoaders();
            return false;
        }
        loader->thread.setThreadName("RRM::Loader");
        VqAutoLock lock(_queue.mutex());
        _vpLoaders.push_back(std::move(loader));
        _nLoaders = static_cast<int>(_vpLoaders.size());
    }
    return true;
}

bool VqResidencyRequestManager::_stopLoaders() {
    if (_vpLoaders.empty()) {
        VqAutoLock lock(_queue.mutex());
        _bRunning = false;
        return true;
    }
    unsigned timeoutMs;
    {
        VqAutoLock lock(_mxSettings);
        timeoutMs = _nStopTimeoutMs;
    }
    bool timedOut = false;
    {
        std::unique_lock<VqMutex> lock(_queue.mutex());
        _bRunning = false;
        _cvWork.notify_all();
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        auto allExited = [this] {
            return std::all_of(_vpLoaders.begin(), _vpLoaders.end(),
                               [](const std::unique_ptr<Loader>& l) { return l->bExited; });
        };
        timedOut = !_cvStage.wait_until(lock, deadline, allExited);
    }
    if (timedOut)
        VqErrorState::throwStdError(
            kCls, "setUseThreadedLoading",
            "Normal loader thread exit timed-out.  Waiting indefinitely for remaining active threads...",
            VQ_ERR_THREAD_EXIT);
    for (auto& l : _vpLoaders)
        l->thread.waitForExit();
    VqAutoLock lock(_queue.mutex());
    _vpLoaders.clear();
    _nLoaders = 0;
    return !timedOut;
}

void* VqResidencyRequestManager::_loaderMain(void* arg) {
    auto* self = static_cast<Loader*>(arg);
    self->pMgr->_loaderLoop(*self);
    return nullptr;
}

void VqResidencyRequestManager::_loaderLoop(Loader& self) {
    std::unique_lock<VqMutex> lock(_queue.mutex());
    while (_bRunning) {
        // While paused only urgent entries are taken; the rest wait.
        const bool urgentOnly = _bPaused;
        Vq::SharedPtr<VqRequestEntry> e;
        if (_queue.hasWork() && (!urgentOnly || _queue.isUrgent()))
            e = _queue.popNextUnprocessedEntry(urgentOnly);
        if (!e) {
            // Woken by new work and by a stop; the time-out guards against a missed signal.
            _cvWork.wait_for(lock, std::chrono::milliseconds(s_cLoaderWakeMs));
            continue;
        }
        lock.unlock();
        _process(e.get(), false);
        lock.lock();
        // The loader lets go of the entry before the hook-up can see it, so
        // that the last reference to the entry and its object is dropped on
        // the thread that hooks it up. Until then the map holds it.
        VqRequestEntry* processed = e.get();
        e.reset();
        _queue.markProcessed(processed);
        _cvStage.notify_all();
        lock.unlock();
        sched_yield();
        lock.lock();
    }
    self.bExited = true;
    _cvStage.notify_all();
}

// ---- handlers and pools -----------------------------------------------------------

Vq::SharedPtr<Vq::RequestHandler> VqResidencyRequestManager::handler(const VqType& type) const {
    VqAutoLock lock(_mxHandlers);
    for (const VqType* t = &type; t; t = t->parent)
        for (const auto& [ht, h] : _vHandlers)
            if (ht == t) return h;
    return nullptr;
}

bool VqResidencyRequestManager::registerHandler(const VqType& type, Vq::RequestHandler* h, bool replace) {
    VQ_CHECK(h != nullptr, kCls, "registerHandler", VQ_ERR_ARGUMENT);
    Vq::SharedPtr<Vq::RequestHandler> keep(h);
    VqAutoLock lock(_mxHandlers);
    for (auto& [ht, old] : _vHandlers)
        if (ht == &type) {
            if (replace) old = h;
            return true;
        }
    _vHandlers.emplace_back(&type, h);
    return true;
}

bool VqResidencyRequestManager::unregisterHandler(const VqType& type) {
    VqAutoLock lock(_mxHandlers);
    auto it =
        std::find_if(_vHandlers.begin(), _vHandlers.end(), [&](const auto& p) { return p.first == &type; });
    if (it == _vHandlers.end()) VQ_FAIL(kCls, "unregisterHandler", "Handler not registered", VQ_ERR_ARGUMENT);
    _vHandlers.erase(it);
    return true;
}

bool VqResidencyRequestManager::registerPool(VqBase* pool) {
    VQ_CHECK(pool != nullptr, kCls, "registerPool", VQ_ERR_ARGUMENT);
    VqAutoLock lock(_mxPools);
    if (std::find(_vpPools.begin(), _vpPools.end(), pool) == _vpPools.end()) _vpPools.emplace_back(pool);
    return true;
}

bool VqResidencyRequestManager::unregisterPool(VqBase* pool) {
    VqAutoLock lock(_mxPools);
    auto it = std::find(_vpPools.begin(), _vpPools.end(), pool);
    if (it == _vpPools.end()) VQ_FAIL(kCls, "unregisterPool", "Pool not registered", VQ_ERR_ARGUMENT);
    _vpPools.erase(it);
    return true;
}

bool VqResidencyRequestManager::isPoolRegistered(const VqBase* pool) const {
    VqAutoLock lock(_mxPools);
    return std::find(_vpPools.begin(), _vpPools.end(), pool) != _vpPools.end();
}

void VqResidencyRequestManager::registeredPools(std::vector<Vq::SharedPtr<VqBase>>& out) const {
    VqAutoLock lock(_mxPools);
    out = _vpPools;
}

// ---- singleton ---------------------------------------------------------------------

namespace {
std::mutex s_mxInstance;
std::atomic<VqResidencyRequestManager*> s_pInstance{nullptr};
} // namespace

VqResidencyRequestManager* VqResidencyRequestManagerSingleton::EnsureInstance() {
    if (VqResidencyRequestManager* p = s_pInstance.load(std::memory_order_acquire)) return p;
    std::lock_guard<std::mutex> lock(s_mxInstance);
    if (!s_pInstance.load()) {
        auto* mgr = new (std::nothrow) VqResidencyRequestManager();
        if (!mgr) {
            VqErrorState::throwStdError(kCls, "EnsureInstance",
                                        "Allocation failed: new VqResidencyRequestManager", VQ_ERR_ALLOC);
            return nullptr;
        }
        // Memory use over the platform's threshold pauses the loaders.
        VqPlatform::EnsureInstance()->addMemoryUseCallback(&VqResidencyRequestManager::_memoryUseChanged,
                                                           mgr);
        g_pInstanceVqResidencyRequestManager = mgr;
        s_pInstance.store(mgr, std::memory_order_release);
    }
    return s_pInstance.load();
}

VqResidencyRequestManager* VqResidencyRequestManagerSingleton::EnsureInstanceHandling(
    const VqType& type, Vq::RequestHandler* (*make)()) {
    VqResidencyRequestManager* mgr = EnsureInstance();
    // Two threads may both find no handler: the second registration keeps the first's.
    if (mgr && !mgr->handler(type) && !mgr->registerHandler(type, make(), false)) mgr = nullptr;
    if (!mgr) VqErrorState::rethrowError();
    return mgr;
}

void VqResidencyRequestManagerSingleton::Release() {
    std::lock_guard<std::mutex> lock(s_mxInstance);
    VqResidencyRequestManager* mgr = s_pInstance.exchange(nullptr);
    g_pInstanceVqResidencyRequestManager = nullptr;
    if (!mgr) return;
    VqPlatform::EnsureInstance()->removeMemoryUseCallback(&VqResidencyRequestManager::_memoryUseChanged, mgr);
    delete mgr;
}
