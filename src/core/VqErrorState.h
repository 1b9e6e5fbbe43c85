#pragma once

#include "VqExport.h"
#include "VqSharedPtr.h"
#include "VqTypes.h"

#include <string>

class VqStdError;
class VqRefCounted;
class VqString;

// The process-wide current error. Operations return false after recording a
// failure here; each caller that sees false calls rethrowError() and returns
// false too, so that the error callback sees every level.
class VQ_API VqErrorState {
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
    // The same with a location that is not plain 8-bit text, such as a file path.
    static void rethrowError(const VqString& location);
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

namespace Vq {
// The current error as one line (see VqStdError::message), or "" when none is
// recorded. The error state is shared by all threads: after a failure on one
// thread, another thread's later failure may be the one reported.
VQ_API std::string lastErrorMessage();
} // namespace Vq

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
