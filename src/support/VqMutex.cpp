#include "VqMutex.h"

#include "VqErrorState.h"

VqMutex::VqMutex() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&_mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

VqMutex::~VqMutex() { pthread_mutex_destroy(&_mutex); }

bool VqMutex::lock() {
    if (pthread_mutex_lock(&_mutex) != 0) {
        VqErrorState::throwStdError("VqMutex", "lock", "Mutex lock failed.", VQ_ERR_MUTEX);
        return false;
    }
    return true;
}

bool VqMutex::unlock() { return pthread_mutex_unlock(&_mutex) == 0; }

bool VqMutex::tryLock() { return pthread_mutex_trylock(&_mutex) == 0; }
