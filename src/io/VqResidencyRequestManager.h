#pragma once

#include "VqExport.h"
#include "VqMutex.h"
#include "VqRequestHandler.h"
#include "VqRequestInfo.h"
#include "VqRequestQueue.h"
#include "VqSharedPtr.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <vector>

class VqBase;
class VqNoArgFtor;
class VqThread;
struct VqType;
namespace Vq {
class ModelContext;
}

// Loads late-loaded data (placeholder partitions, shape data) asynchronously.
// Callers declare what they will need with a priority (willNeed); loader
// threads named "RRM::Loader" do the reading in order of priority; the
// application thread hooks the results into the scene graph when it calls
// execute, within a time budget per frame. A caller that cannot wait blocks
// on one object (blockOnLoad). Without loader threads, execute loads on the
// calling thread for at most the execution time.
//
// Threads: willNeed, removeItem and the status queries may be called from any
// thread. Loader threads only run handleEntry, which builds objects outside
// the graph. Hook-ups, and the release of objects whose last holder was an
// entry, happen on the threads that call execute, blockOnLoad or clear.
class VQ_API VqResidencyRequestManager {
public:
    struct PerfCounters {
        uint64_t nRequests = 0;      // entries made by willNeed and blockOnLoad
        uint64_t nRefused = 0;       // new requests the full queue did not admit
        uint64_t nIgnoredPaused = 0; // requests ignored while paused
        uint64_t nLoaded = 0;        // handleEntry runs that succeeded
        uint64_t nFailed = 0;        // handleEntry runs that failed
        uint64_t nDropped = 0;       // entries skipped: their object had no other holder
        uint64_t nLoadedLocally = 0; // of the runs, those on a calling thread
        uint64_t nHookedUp = 0;      // hookupEntry calls
        double dLoadSeconds = 0.0;   // time in handleEntry, all threads
        double dHookupSeconds = 0.0; // time in hookupEntry
    };

    static constexpr unsigned s_cLoaderWakeMs = 1000;
    static constexpr unsigned s_cLoaderStopTimeoutMs = 60000;

    VqResidencyRequestManager();
    // Stops the loaders; entries still known are dropped.
    ~VqResidencyRequestManager();
    VqResidencyRequestManager(const VqResidencyRequestManager&) = delete;
    VqResidencyRequestManager& operator=(const VqResidencyRequestManager&) = delete;

    // ---- requests ----
    // Declares a need. While paused only urgent requests (1e30) are taken. A
    // known object that is not loaded yet gets the new priority; otherwise the
    // object's handler makes an entry unless the object is resident already,
    // which *alreadyLoaded then reports.
    bool willNeed(const VqRequestInfo& info, bool* alreadyLoaded = nullptr);
    // Hooks up what has been loaded for the document info names (by default
    // the entries of that object; a handler's entries may belong to more),
    // and entries dropped for want of a holder. Without loader threads it then
    // loads on this thread for at most the execution time, or until interrupt
    // returns true, and hooks up what it loaded.
    bool execute(const VqRequestInfo& info, VqNoArgFtor* interrupt = nullptr);
    // The same for every logical scene graph and spatial tree of the model
    // context, with one time slice for all.
    bool execute(Vq::ModelContext* pMC, VqNoArgFtor* interrupt = nullptr);
    // Returns once the object is loaded and hooked up: raises it to 1e30,
    // loads it on this thread when no loader has taken it, waits for the
    // loader otherwise, and hooks it up here. Fails with the load's error.
    // Several threads may block on one object: one hooks it up, the others
    // wait for that and see its outcome.
    bool blockOnLoad(const VqRequestInfo& info);
    bool blockOnLoad(VqBase* object);

    // ---- status ----
    // pending: known and not yet hooked up; loaded: resident or waiting for
    // hook-up; priority: the entry's (-1 without an entry).
    bool getStatus(const VqRequestInfo& info, bool& pending, bool& loaded, float& priority) const;
    // Forgets a request no loader has taken yet.
    bool removeItem(const VqRequestInfo& info);
    // Forgets every waiting request.
    void clearAllRequests();
    // Forgets every waiting request and every loaded one not yet hooked up,
    // after the loaders finish what they hold.
    void clear();
    bool areItemsPending() const;
    int numShapesPending() const;
    int numPartnsPending() const;
    int numLoadedShapesPending() const;
    int numLoadedPartnsPending() const;
    int numRequestedItemsPending() const;
    PerfCounters perfCounters() const;
    void clearPerfCounters();

    // ---- pause ----
    // Loaders stop taking entries other than urgent ones and only urgent
    // requests are accepted. The platform calls these as memory use crosses
    // its threshold.
    void lockLoadQueue();
    void unlockLoadQueue();
    bool isPaused() const;

    // ---- settings ----
    // Time per execute for loading on the calling thread, in milliseconds
    // (10 by default; "milliseconds >= 0").
    bool setExecutionTime(double milliseconds);
    double executionTime() const;
    // Kept for hosts that set it; requests do not expire.
    void setMaxRequestAge(int frames);
    int maxRequestAge() const;
    // Below 1: unlimited.
    void setMaxQueueLength(int n);
    int maxQueueLength() const;
    // s of priority x exp(-s x age in frames); 0 (the default) keeps
    // priorities as given; must be finite and not negative.
    bool setTimeDecayScale(float scale);
    float timeDecayScale() const;
    // The queue is sorted as requests are merged; accepted for hosts that set it.
    void setSortQueuePerFrame(bool on);
    bool sortQueuePerFrame() const;
    // n loader threads (0 stops them), at most the platform's task-thread
    // limit. A stop waits up to the stop time-out for the loaders in all,
    // then reports code 26 and waits for the rest.
    bool setUseThreadedLoading(int nThreads);
    int numLoaderThreads() const;
    // The stop time-out (60 s); lowered by tests of a stuck loader.
    void setLoaderStopTimeout(unsigned milliseconds);

    // ---- handlers ----
    // The handler of the nearest registered type on type's parent chain,
    // held for the caller: another thread may replace or unregister it.
    Vq::SharedPtr<Vq::RequestHandler> handler(const VqType& type) const;
    // Registers handler for type, replacing the one there unless replace is
    // false: then a handler already there stands (and handler is released),
    // so that threads registering lazily at once keep the first one.
    bool registerHandler(const VqType& type, Vq::RequestHandler* handler, bool replace = true);
    bool unregisterHandler(const VqType& type);

    // ---- shared vertex record pools ----
    // Pools that loaded shapes merge their vertex records into. They are
    // kept as VqBase: the pool class belongs to the geometry layer above this
    // one, whose shape entries cast them back when they hook up.
    bool registerPool(VqBase* pool);
    bool unregisterPool(VqBase* pool);
    bool isPoolRegistered(const VqBase* pool) const;
    void registeredPools(std::vector<Vq::SharedPtr<VqBase>>& out) const;

    VqRequestQueue& queue() { return _queue; }

private:
    friend class VqResidencyRequestManagerSingleton;
    struct Loader;
    static void* _loaderMain(void* arg);
    void _loaderLoop(Loader& self);
    bool _stopLoaders();
    bool _startLoaders(int n);
    // Runs an entry's load unless nobody but the entry holds its object.
    void _process(VqRequestEntry* entry, bool local);
    bool _hookUpLoadedShapes(const VqBase* document);
    bool _hookUp(std::vector<Vq::SharedPtr<VqRequestEntry>>& entries);
    bool _localTimeSliceShapes(VqNoArgFtor* interrupt);
    // The entry for the request, made when needed; null when the object is
    // resident or the request was not taken. A caller that blocks on the
    // object is let in however full the queue is.
    bool _request(const VqRequestInfo& info, bool* alreadyLoaded, Vq::SharedPtr<VqRequestEntry>* out,
                  bool admitAlways);
    void _releaseRetired();
    int _countEntries(VqRequestEntry::Kind kind, bool loaded) const;
    void _wakeLoaders();
    static void _memoryUseChanged(int status, void* self);

    VqRequestQueue _queue;
    // Waits on the queue's lock: loaders for work, blocked callers for stages.
    std::condition_variable_any _cvWork;
    std::condition_variable_any _cvStage;
    // Serialises execute: hook-ups of one document run one at a time.
    VqMutex _mxExecute;
    mutable VqMutex _mxSettings;
    double _dExecutionMs = 10.0;
    int _nMaxRequestAge = -1;
    bool _bSortPerFrame = false;
    unsigned _nStopTimeoutMs = s_cLoaderStopTimeoutMs;
    // Guarded by the queue's lock.
    bool _bRunning = false;
    bool _bPaused = false;
    int _nLoaders = 0;
    PerfCounters _tPerf;
    std::vector<std::unique_ptr<Loader>> _vpLoaders;
    // Changes of the loader set are one at a time.
    VqMutex _mxLoaders;
    mutable VqMutex _mxHandlers;
    std::vector<std::pair<const VqType*, Vq::SharedPtr<Vq::RequestHandler>>> _vHandlers;
    mutable VqMutex _mxPools;
    std::vector<Vq::SharedPtr<VqBase>> _vpPools;
};

// Holder of the process-wide manager, made on first use (and by VqLib::init).
class VQ_API VqResidencyRequestManagerSingleton {
public:
    static VqResidencyRequestManager* EnsureInstance();
    // The manager, with a handler made by make registered for type unless
    // one serves it already. Registered on first use, so that a manager made
    // again after a shutdown knows the type too. Null with the error recorded.
    static VqResidencyRequestManager* EnsureInstanceHandling(const VqType& type,
                                                             Vq::RequestHandler* (*make)());
    // Stops the loaders and releases the manager (VqLib::fini).
    static void Release();
};

extern VQ_API VqResidencyRequestManager* g_pInstanceVqResidencyRequestManager;
