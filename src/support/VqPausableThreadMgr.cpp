#include "VqPausableThreadMgr.h"

#include "VqErrorState.h"

VqPausableThreadMgr::~VqPausableThreadMgr() {
    destroy();
}

bool VqPausableThreadMgr::registerWorkerCB(WorkerCB cb, VqPTMCallback kind) {
    VQ_CHECK(kind >= 0 && kind < VQ_PTM_CB_NUMCALLBACKS, "VqPausableThreadMgr", "registerWorkerCB",
             VQ_ERR_ARGUMENT);
    VQ_CHECK(!_thread.isActive(), "VqPausableThreadMgr", "registerWorkerCB", VQ_ERR_INTERNAL);
    _pfCallbacks[kind] = cb;
    return true;
}

bool VqPausableThreadMgr::create(void* data) {
    if (!_pfCallbacks[VQ_PTM_CB_RUN])
        VQ_FAIL("VqPausableThreadMgr", "create", "_pfCallbacks[VQ_PTM_CB_RUN] != __null", VQ_ERR_ARGUMENT);
    VQ_CHECK(!_thread.isActive(), "VqPausableThreadMgr", "create", VQ_ERR_INTERNAL);
    _pData = data;
    _eCurrState = VQ_PTM_STATE_STARTING;
    _eTargState = VQ_PTM_STATE_PAUSED;
    _nRunCommands = _nRunsTaken = 0;
    _thread.setKickoff(&VqPausableThreadMgr::_threadMain, this);
    VQ_PROPAGATE(_thread.create());
    _thread.setThreadName("PTM::Strategy");
    // Callers may pause or resume as soon as this returns, so the worker
    // must have settled into its first state.
    VQ_PROPAGATE(_cvCommand.lock());
    while (_eCurrState == VQ_PTM_STATE_STARTING) {
        bool signalled;
        _cvCommand.wait(signalled);
    }
    _cvCommand.unlock();
    return true;
}

void* VqPausableThreadMgr::_threadMain(void* self) {
    static_cast<VqPausableThreadMgr*>(self)->_run();
    return nullptr;
}

void VqPausableThreadMgr::_setCurrState(VqPTMState s) {
    _eCurrState = s;
    _cvCommand.signalAll();
}

void VqPausableThreadMgr::_waitForCommand() {
    bool signalled;
    _cvCommand.wait(signalled);
}

void VqPausableThreadMgr::_run() {
    _cvCommand.lock();
    _idSlave = VqThread::currentID();
    _setCurrState(VQ_PTM_STATE_PAUSED);
    for (;;) {
        if (_eTargState == VQ_PTM_STATE_ABORTED) {
            _setCurrState(VQ_PTM_STATE_ABORTING);
            _cvCommand.unlock();
            if (WorkerCB abortCB = _pfCallbacks[VQ_PTM_CB_ABORT]) abortCB(this);
            _cvCommand.lock();
            _setCurrState(VQ_PTM_STATE_ABORTED);
            break;
        }
        if (_eTargState == VQ_PTM_STATE_FINISHED && _nRunsTaken != _nRunCommands) {
            _nRunsTaken = _nRunCommands;
            _setCurrState(VQ_PTM_STATE_RUNNING);
            _cvCommand.unlock();
            bool completed = _pfCallbacks[VQ_PTM_CB_RUN](this);
            _cvCommand.lock();
            if (_eTargState == VQ_PTM_STATE_ABORTED) continue;
            if (completed || _eTargState != VQ_PTM_STATE_PAUSED) {
                // A pause that came too late finds the run complete; the target
                // follows so that a waiting pauseThread sees the states agree.
                _eTargState = VQ_PTM_STATE_FINISHED;
                _setCurrState(VQ_PTM_STATE_FINISHED);
            } else {
                _setCurrState(VQ_PTM_STATE_PAUSED);
            }
            continue;
        }
        _waitForCommand();
    }
    _cvCommand.unlock();
}

bool VqPausableThreadMgr::pauseThread(bool wait) {
    VQ_PROPAGATE(_cvCommand.lock());
    if (!(VqThread::currentID() != _idSlave)) {
        _cvCommand.unlock();
        VQ_FAIL("VqPausableThreadMgr", "pauseThread", "VqThread::currentID() != _idSlave", VQ_ERR_INTERNAL);
    }
    if (_eTargState == VQ_PTM_STATE_ABORTED || !_thread.isActive()) {
        _cvCommand.unlock();
        VQ_FAIL("VqPausableThreadMgr", "pauseThread", "targState() != VQ_PTM_STATE_ABORTED", VQ_ERR_INTERNAL);
    }
    // A completed run has nothing left to pause.
    if (_eCurrState != VQ_PTM_STATE_FINISHED) {
        _eTargState = VQ_PTM_STATE_PAUSED;
        _cvCommand.signalAll();
        while (wait && _eCurrState != _eTargState) {
            bool signalled;
            _cvCommand.wait(signalled);
        }
    }
    _cvCommand.unlock();
    return true;
}

bool VqPausableThreadMgr::_sendRunCommand(bool wait) {
    const uint64_t command = ++_nRunCommands;
    _eTargState = VQ_PTM_STATE_FINISHED;
    _cvCommand.signalAll();
    while (wait && _nRunsTaken < command && _eTargState != VQ_PTM_STATE_ABORTED) {
        bool signalled;
        _cvCommand.wait(signalled);
    }
    _cvCommand.unlock();
    return true;
}

bool VqPausableThreadMgr::resumeThread(bool wait) {
    VQ_PROPAGATE(_cvCommand.lock());
    if (!(_eCurrState == VQ_PTM_STATE_PAUSED &&
          (_eTargState == VQ_PTM_STATE_PAUSED || _eTargState == VQ_PTM_STATE_FINISHED))) {
        _cvCommand.unlock();
        VQ_FAIL("VqPausableThreadMgr", "resumeThread",
                "currState() == VQ_PTM_STATE_PAUSED && (targState() == VQ_PTM_STATE_PAUSED || targState() == "
                "VQ_PTM_STATE_FINISHED)",
                VQ_ERR_INTERNAL);
    }
    return _sendRunCommand(wait);
}

bool VqPausableThreadMgr::restartThread(bool wait) {
    VQ_PROPAGATE(_cvCommand.lock());
    if (!(_eCurrState == VQ_PTM_STATE_FINISHED || _eCurrState == VQ_PTM_STATE_PAUSED) ||
        _eTargState == VQ_PTM_STATE_ABORTED) {
        _cvCommand.unlock();
        VQ_FAIL("VqPausableThreadMgr", "restartThread",
                "currState() == VQ_PTM_STATE_FINISHED || currState() == VQ_PTM_STATE_PAUSED",
                VQ_ERR_INTERNAL);
    }
    return _sendRunCommand(wait);
}

bool VqPausableThreadMgr::abortThread() {
    VQ_PROPAGATE(_cvCommand.lock());
    if (_thread.isActive() && _eCurrState != VQ_PTM_STATE_ABORTED) {
        _eTargState = VQ_PTM_STATE_ABORTED;
        _cvCommand.signalAll();
    }
    _cvCommand.unlock();
    return true;
}

bool VqPausableThreadMgr::destroy() {
    if (!_thread.isActive()) return true;
    // The worker cannot wait for its own end.
    VQ_PROPAGATE(_cvCommand.lock());
    const bool fromWorker = VqThread::currentID() == _idSlave;
    _cvCommand.unlock();
    if (fromWorker)
        VQ_FAIL("VqPausableThreadMgr", "destroy", "VqThread::currentID() != _idSlave", VQ_ERR_INTERNAL);
    VQ_PROPAGATE(abortThread());
    VQ_PROPAGATE(_cvCommand.lock());
    while (_eCurrState != VQ_PTM_STATE_ABORTED) {
        bool signalled;
        _cvCommand.wait(signalled);
    }
    _cvCommand.unlock();
    VQ_PROPAGATE(_thread.waitForExit());
    return true;
}

bool VqPausableThreadMgr::getContinueExecution(bool& paused, bool& aborted) {
    _cvCommand.lock();
    paused = _eTargState == VQ_PTM_STATE_PAUSED;
    aborted = _eTargState == VQ_PTM_STATE_ABORTED;
    _cvCommand.unlock();
    return !paused && !aborted;
}

bool VqPausableThreadMgr::pauseRequested() const {
    _cvCommand.lock();
    bool requested = _eTargState == VQ_PTM_STATE_PAUSED && _eCurrState != VQ_PTM_STATE_PAUSED;
    _cvCommand.unlock();
    return requested;
}

VqPTMState VqPausableThreadMgr::currState() const {
    _cvCommand.lock();
    VqPTMState s = _eCurrState;
    _cvCommand.unlock();
    return s;
}

VqPTMState VqPausableThreadMgr::targState() const {
    _cvCommand.lock();
    VqPTMState s = _eTargState;
    _cvCommand.unlock();
    return s;
}
