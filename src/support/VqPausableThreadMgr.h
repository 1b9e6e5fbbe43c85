#pragma once

#include "VqAllocHooked.h"
#include "VqCondVar.h"
#include "VqExport.h"
#include "VqThread.h"

#include <cstdint>

// States of the managed worker, current and target.
enum VqPTMState : int32_t {
    VQ_PTM_STATE_STARTING = 1,
    VQ_PTM_STATE_PAUSED = 2,
    VQ_PTM_STATE_FINISHED = 3,
    VQ_PTM_STATE_RUNNING = 4,
    VQ_PTM_STATE_ABORTING = 5,
    VQ_PTM_STATE_ABORTED = 6
};

// Callbacks the worker calls. The run callback does the work and returns true
// when it completed it, false when it stopped early because a pause or an
// abort was requested (see getContinueExecution). The abort callback, if any,
// cleans up before the worker ends.
enum VqPTMCallback : int32_t { VQ_PTM_CB_RUN = 0, VQ_PTM_CB_ABORT = 1, VQ_PTM_CB_NUMCALLBACKS = 2 };

// One worker thread ("PTM::Strategy") that a controlling thread starts,
// pauses, resumes and aborts. The worker parks between runs; each resume or
// restart command lets it call the run callback once more.
class VQ_API VqPausableThreadMgr : public VqAllocHooked {
public:
    typedef bool (*WorkerCB)(VqPausableThreadMgr* mgr);

    VqPausableThreadMgr() = default;
    ~VqPausableThreadMgr();
    VqPausableThreadMgr(const VqPausableThreadMgr&) = delete;
    VqPausableThreadMgr& operator=(const VqPausableThreadMgr&) = delete;

    bool registerWorkerCB(WorkerCB cb, VqPTMCallback kind);
    // Starts the worker, which parks paused until the first resume.
    bool create(void* data);
    void* data() const { return _pData; }

    // From the controlling thread: asks the worker to pause and, when `wait`
    // is set, waits until it has paused (or completed its run meanwhile).
    bool pauseThread(bool wait = true);
    // Lets a paused worker run to completion; `wait` waits until it picked up
    // the command.
    bool resumeThread(bool wait = false);
    // Runs the run callback again on a worker that completed or paused.
    bool restartThread(bool wait = false);
    bool abortThread();
    // Aborts the worker if it is still there and joins it.
    bool destroy();

    // For the worker's own loop: false when it should return from the run
    // callback, with the reason in `paused` or `aborted` (never both).
    bool getContinueExecution(bool& paused, bool& aborted);

    bool isStarting() const { return currState() == VQ_PTM_STATE_STARTING; }
    bool isRunning() const { return currState() == VQ_PTM_STATE_RUNNING; }
    bool isPaused() const { return currState() == VQ_PTM_STATE_PAUSED; }
    bool pauseRequested() const;
    bool isFinished() const { return currState() == VQ_PTM_STATE_FINISHED; }
    bool isAborting() const { return currState() == VQ_PTM_STATE_ABORTING; }
    bool isAborted() const { return currState() == VQ_PTM_STATE_ABORTED; }
    VqPTMState currState() const;
    VqPTMState targState() const;

private:
    static void* _threadMain(void* self);
    void _run();
    // Parks the worker until a command changes what it should do.
    void _waitForCommand();
    // Called with the lock held; releases it.
    bool _sendRunCommand(bool wait);
    void _setCurrState(VqPTMState s);

    mutable VqCondVar _cvCommand;
    VqThread _thread;
    WorkerCB _pfCallbacks[VQ_PTM_CB_NUMCALLBACKS] = {};
    void* _pData = nullptr;
    VqPTMState _eCurrState = VQ_PTM_STATE_STARTING;
    VqPTMState _eTargState = VQ_PTM_STATE_PAUSED;
    // Run commands given and taken: the worker runs once for each new command.
    uint64_t _nRunCommands = 0;
    uint64_t _nRunsTaken = 0;
    pthread_t _idSlave{};
};
