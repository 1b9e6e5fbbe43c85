#pragma once

#include "VqSharedPtr.h"
#include "VqTypes.h"

class VqStdError;
class VqRefCounted;

// The process-wide current error. Operations return false after recording a
// failure here; each caller that sees false calls rethrowError() and returns
// false too, so that the error callback sees every level.
class VqErrorState {
public:
    typedef void (*ErrorCallback)(bool newError);

    static bool init();
    static void fini();

    // Records a new error with location "<none>". Despite the name it does not throw.
    static void throwStdError(const VqChar* cls, const VqChar* method, const VqChar* description,
                              VqErrorCode code);
    static void throwStdError(const VqChar* cls, const VqChar* method, const VqChar* location,
                              const VqChar* description, VqErrorCode code);
    static void setError(VqStdError* error);
    static void rethrowError();
    static void rethrowError(const char* location);
    static void clearError();
    static bool getError(Vq::SharedPtr<VqRefCounted>& out);
    static Vq::SharedPtr<VqStdError> currentError();

    static ErrorCallback setErrorCallback(ErrorCallback cb);
    static ErrorCallback errorCallback();
    static void suppressCallback(bool suppress);

    // Records the exception being handled, for use inside catch (...) at an
    // operation's boundary. Always returns false.
    static bool recordCurrentException(const VqChar* cls, const VqChar* method);
};

// Records a failure and returns false from the enclosing operation.
#define VQ_FAIL(cls, method, description, code)                                                              \
    do {                                                                                                     \
        VqErrorState::throwStdError(cls, method, description, code);                                         \
        return false;                                                                                        \
    } while (0)

// Fails with the condition's own text when it does not hold.
#define VQ_CHECK(cond, cls, method, code)                                                                    \
    do {                                                                                                     \
        if (!(cond)) VQ_FAIL(cls, method, #cond, code);                                                      \
    } while (0)

// Passes a failure one level up.
#define VQ_PROPAGATE(expr)                                                                                   \
    do {                                                                                                     \
        if (!(expr)) {                                                                                       \
            VqErrorState::rethrowError();                                                                    \
            return false;                                                                                    \
        }                                                                                                    \
    } while (0)
