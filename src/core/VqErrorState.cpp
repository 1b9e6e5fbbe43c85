#include "VqErrorState.h"

#include "VqMutex.h"
#include "VqPlatform.h"
#include "VqStdError.h"
#include "VqStdException.h"

#include <atomic>
#include <new>

namespace {
VqMutex* s_pErrorMutex = nullptr;
Vq::SharedPtr<VqStdError> s_pCurrentError;
std::atomic<VqErrorState::ErrorCallback> s_pfErrorCallback{nullptr};
std::atomic<bool> s_bSuppress{false};
std::atomic<Vq::StdException::ExceptionCallback> s_pfExceptionCallback{nullptr};

// Before init (or after fini) errors are still recorded, just without the
// lock: the record is allocated through the platform, made on demand as the
// strings do.
struct ErrorLock {
    ErrorLock() {
        if (s_pErrorMutex) s_pErrorMutex->lock();
    }
    ~ErrorLock() {
        if (s_pErrorMutex) s_pErrorMutex->unlock();
    }
};
} // namespace

bool VqErrorState::init() {
    if (!s_pErrorMutex) s_pErrorMutex = new VqMutex();
    return true;
}

void VqErrorState::fini() {
    clearError();
    delete s_pErrorMutex;
    s_pErrorMutex = nullptr;
}

void VqErrorState::throwStdError(const VqChar* cls, const VqChar* method, const VqChar* description,
                                 VqErrorCode code) {
    throwStdError(cls, method, "<none>", description, code);
}

void VqErrorState::throwStdError(const VqChar* cls, const VqChar* method, const VqChar* location,
                                 const VqChar* description, VqErrorCode code) {
    VqPlatform::EnsureInstance();
    VqStdError* e = new VqStdError(cls ? cls : "", method ? method : "", location ? location : "<none>",
                                   description ? description : "", code);
    if (!e) {
        throw Vq::StdException("static void VqErrorState::throwStdError(const VqChar*, const VqChar*, "
                               "const VqChar*, VqErrorCode)",
                               "allocation failed", VQ_ERR_ALLOC);
    }
    setError(e);
}

void VqErrorState::setError(VqStdError* error) {
    ErrorLock lock;
    bool changed = s_pCurrentError.get() != error;
    s_pCurrentError = error;
    ErrorCallback cb = s_pfErrorCallback.load();
    if (cb && !s_bSuppress.load()) cb(changed);
}

void VqErrorState::rethrowError() {
    ErrorLock lock;
    Vq::SharedPtr<VqStdError> cur = s_pCurrentError;
    setError(cur.get());
}

void VqErrorState::rethrowError(const char* location) {
    ErrorLock lock;
    Vq::SharedPtr<VqStdError> cur = s_pCurrentError;
    if (cur && location) cur->setLocation(location);
    setError(cur.get());
}

void VqErrorState::rethrowError(const VqString& location) {
    ErrorLock lock;
    Vq::SharedPtr<VqStdError> cur = s_pCurrentError;
    if (cur) cur->setLocation(location);
    setError(cur.get());
}

void VqErrorState::clearError() {
    ErrorLock lock;
    s_pCurrentError.reset();
}

bool VqErrorState::getError(Vq::SharedPtr<VqRefCounted>& out) {
    ErrorLock lock;
    out = s_pCurrentError.get();
    return true;
}

Vq::SharedPtr<VqStdError> VqErrorState::currentError() {
    ErrorLock lock;
    return s_pCurrentError;
}

VqErrorState::ErrorCallback VqErrorState::setErrorCallback(ErrorCallback cb) { return s_pfErrorCallback.exchange(cb); }

VqErrorState::ErrorCallback VqErrorState::errorCallback() { return s_pfErrorCallback.load(); }

void VqErrorState::suppressCallback(bool suppress) { s_bSuppress = suppress; }

bool VqErrorState::recordCurrentException(const VqChar* cls, const VqChar* method) {
    try {
        throw;
    } catch (const Vq::StdException& e) {
        throwStdError(cls, e.function(), e.description(), e.code());
    } catch (const std::bad_alloc&) {
        throwStdError(cls, method, "Caught std::bad_alloc", VQ_ERR_ALLOC);
    } catch (const std::exception&) {
        throwStdError(cls, method, "Caught unknown std::exception", VQ_ERR_INTERNAL);
    } catch (...) {
        throwStdError(cls, method, "Caught unknown exception", VQ_ERR_INTERNAL);
    }
    return false;
}

namespace Vq {

std::string lastErrorMessage() {
    Vq::SharedPtr<VqStdError> e = VqErrorState::currentError();
    return e ? e->message() : std::string();
}

StdException::StdException(const char* function, const char* description, VqErrorCode code)
    : _strFunction(function ? function : ""), _strDescription(description ? description : ""), _eCode(code) {
    if (ExceptionCallback cb = s_pfExceptionCallback.load()) cb(*this);
}

StdException::ExceptionCallback StdException::setExceptionCallback(ExceptionCallback cb) {
    return s_pfExceptionCallback.exchange(cb);
}

StdException makeStdExceptionFromErrorState(const char* function, const char* description) {
    Vq::SharedPtr<VqStdError> e = VqErrorState::currentError();
    return StdException(function, description, e ? e->code() : VQ_ERR_NONE);
}

} // namespace Vq
