#include "VqThread.h"

#include "VqErrorState.h"

#include <cstdint>
#include <cstring>
#include <ctime>

namespace {
// The VqThread whose routine runs on the calling thread, for exit().
thread_local VqThread* t_pCurrentThread = nullptr;
} // namespace

void* VqThread::_trampoline(void* self) {
    VqThread* t = static_cast<VqThread*>(self);
    t_pCurrentThread = t;
    return t->_pfKickoff(t->_pArg);
}

VqThread::~VqThread() {
    if (_bActive) pthread_detach(_hThread);
}

bool VqThread::create() {
    if (!_pfKickoff) VQ_FAIL("VqThread", "create", "No kickoff routine specified", VQ_ERR_ARGUMENT);
    VQ_CHECK(!isActive(), "VqThread", "create", VQ_ERR_INTERNAL);
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0)
        VQ_FAIL("VqThread", "create", "Unable to create thread", VQ_ERR_INTERNAL);
    pthread_attr_setstacksize(&attr, s_cStackSize);
    int rc = pthread_create(&_hThread, &attr, &VqThread::_trampoline, this);
    pthread_attr_destroy(&attr);
    if (rc != 0) VQ_FAIL("VqThread", "create", "Unable to create thread", VQ_ERR_INTERNAL);
    _bActive = true;
    return true;
}

bool VqThread::waitForExit(unsigned, void** result) {
    if (!_bActive) return true;
    VQ_CHECK(!pthread_equal(_hThread, pthread_self()), "VqThread", "waitForExit", VQ_ERR_INTERNAL);
    void* ret = nullptr;
    if (pthread_join(_hThread, &ret) != 0) VQ_FAIL("VqThread", "waitForExit", "Wait failed", VQ_ERR_INTERNAL);
    _bActive = false;
    if (result) *result = ret;
    return true;
}

bool VqThread::exit(long code) {
    VQ_CHECK(t_pCurrentThread == this, "VqThread", "exit", VQ_ERR_INTERNAL);
    pthread_exit(reinterpret_cast<void*>(static_cast<intptr_t>(code)));
}

bool VqThread::cancel() {
    VQ_CHECK(isActive(), "VqThread", "cancel", VQ_ERR_INTERNAL);
    return pthread_cancel(_hThread) == 0;
}

bool VqThread::setThreadName(const char* name) {
    VQ_CHECK(isActive(), "VqThread", "setThreadName", VQ_ERR_INTERNAL);
    if (!name) return true;
    char cut[s_cMaxNameLength + 1];
    strncpy(cut, name, s_cMaxNameLength);
    cut[s_cMaxNameLength] = '\0';
    pthread_setname_np(_hThread, cut);
    return true;
}

bool VqThread::setCPUAffinity(int) {
    VQ_CHECK(isActive(), "VqThread", "setCPUAffinity", VQ_ERR_INTERNAL);
    return true;
}

void VqThread::sleep(unsigned ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}
