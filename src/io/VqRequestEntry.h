#pragma once

#include "VqExport.h"
#include "VqRefCounted.h"
#include "VqRequestInfo.h"
#include "VqSharedPtr.h"
#include "VqStdError.h"
#include "VqTypes.h"

#include <atomic>
#include <cstdint>

class VqRequestQueue;
class VqResidencyRequestManager;

// The residency request manager's record of one requested object: the work a
// loader thread does for it (handleEntry), the work the application thread
// does to hook the result into the scene graph (hookupEntry), and the outcome
// in between. Each kind of late-loaded object brings its own entry class,
// made by the request handler its layer registers with the manager.
//
// An entry holds the only counted reference the manager keeps to its object,
// so that the loader can tell when nobody else wants the object any more.
class VQ_API VqRequestEntry : public VqRefCounted {
public:
    enum Stage : int {
        REQ_STAGE_NEW = 1,
        REQ_STAGE_SLEEPING = 2, // known, but not queued until woken
        REQ_STAGE_PREFLT = 3,   // queued, waiting for a loader
        REQ_STAGE_INFLT = 4,    // a loader works on it
        REQ_STAGE_POSTFLT = 5,  // loaded, waiting to be hooked up
        REQ_STAGE_HOOKUP = 6,   // a thread hooks it up
        REQ_STAGE_RETIRED = 7   // left the manager: hooked up, removed or evicted
    };
    // What the manager's per-kind counters count the entry as.
    enum Kind : int { REQ_KIND_OTHER = 0, REQ_KIND_SHAPE = 1, REQ_KIND_PARTITION = 2 };

    explicit VqRequestEntry(VqBase* object) : _pObject(object) {}
    VqRequestEntry(const VqRequestEntry&) = delete;
    VqRequestEntry& operator=(const VqRequestEntry&) = delete;

    // The loader's work: read the file and build objects nobody else sees
    // yet. Runs on a loader thread, or on the calling thread when no loader
    // runs. Must not touch the scene graph. A failure is recorded as usual
    // (or thrown) and kept in the entry.
    virtual bool handleEntry() = 0;
    // The application thread's work: put the result into the graph. Called
    // once, also after handleEntry failed (see failed()), so that the object
    // can take note of the failure.
    virtual bool hookupEntry() = 0;
    // The object with the priority it was last given.
    virtual VqRequestInfo info() const;
    virtual Stage initialStage() const { return REQ_STAGE_PREFLT; }
    // The loader's work is done (or was skipped).
    virtual bool isHandled() const;
    // Whether execute() for document hooks this entry up; by default only an
    // execute naming the object itself does.
    virtual bool belongsTo(const VqBase* document) const { return document == _pObject.get(); }
    virtual Kind kind() const { return REQ_KIND_OTHER; }

    VqBase* object() const { return _pObject.get(); }
    Stage stage() const { return _eStage.load(std::memory_order_acquire); }
    // The loader found nobody but this entry holding the object and did not load it.
    bool isDropped() const { return _bDropped; }
    // handleEntry failed; error() says why.
    bool failed() const { return _pError != nullptr; }
    VqErrorCode errorCode() const { return _pError ? _eErrorCode : VQ_ERR_NONE; }
    VqStdError* error() const { return _pError.get(); }

protected:
    // Keeps err (the current error when null) as the reason handleEntry failed.
    void _storeError(VqErrorCode code, VqStdError* err = nullptr);

private:
    friend class VqRequestQueue;
    friend class VqResidencyRequestManager;

    // The loader's step with exceptions kept in the entry: code 20 for
    // exhausted memory, 5 for anything else.
    void _handle();

    Vq::SharedPtr<VqBase> _pObject;
    std::atomic<Stage> _eStage{REQ_STAGE_NEW};
    // The rest is written by the one thread that owns the entry's current
    // stage and read by others only after the stage changed under the
    // queue's lock.
    bool _bDropped = false;
    bool _bHookedUp = false;
    Vq::SharedPtr<VqStdError> _pError;
    VqErrorCode _eErrorCode = VQ_ERR_NONE;
    // Written under the queue's lock; info() reads it from any thread.
    std::atomic<float> _fPriority{0.0f};
    // Guarded by the queue's lock.
    uint32_t _uFrame = 0;
    uint64_t _nSequence = 0;
    bool _bQueued = false;
};
