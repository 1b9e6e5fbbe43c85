#pragma once

#include "VqExport.h"

#include <pthread.h>

// A POSIX thread with a 1 MiB stack running a kickoff routine.
class VQ_API VqThread {
public:
    typedef void* (*KickoffRoutine)(void* arg);
    static constexpr unsigned s_cInfinite = 0xFFFFFFFFu;
    static constexpr size_t s_cStackSize = 0x100000;
    // Linux keeps at most this many characters of a thread name.
    static constexpr size_t s_cMaxNameLength = 15;

    VqThread() = default;
    VqThread(KickoffRoutine routine, void* arg) : _pfKickoff(routine), _pArg(arg) {}
    // A thread still running is detached: joining here could block forever.
    ~VqThread();
    VqThread(const VqThread&) = delete;
    VqThread& operator=(const VqThread&) = delete;

    void setKickoff(KickoffRoutine routine, void* arg) {
        _pfKickoff = routine;
        _pArg = arg;
    }
    bool create();
    // Created and not yet joined.
    bool isActive() const { return _bActive; }

    // Joins the thread. The time-out is accepted for callers that pass one,
    // but a join cannot be bounded. The routine's result goes to *result.
    bool waitForExit(unsigned timeoutMs = s_cInfinite, void** result = nullptr);
    // Ends the calling thread, which must be the one this object started.
    bool exit(long code);
    bool cancel();

    // Advisory: names the thread (cut to what the system accepts) and pins it.
    bool setThreadName(const char* name);
    bool setCPUAffinity(int cpu);

    static void sleep(unsigned ms);
    static pthread_t currentID() { return pthread_self(); }

private:
    static void* _trampoline(void* self);

    KickoffRoutine _pfKickoff = nullptr;
    void* _pArg = nullptr;
    pthread_t _hThread{};
    bool _bActive = false;
};
