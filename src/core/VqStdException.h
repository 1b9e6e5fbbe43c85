#pragma once

#include "VqExport.h"
#include "VqTypes.h"

#include <exception>
#include <string>

namespace Vq {

// The second error channel: thrown by internal steps without a result flag
// and turned into an error record at the public operation's boundary.
class VQ_API StdException : public std::exception {
public:
    StdException(const char* function, const char* description, VqErrorCode code);
    StdException(const StdException&) = default;
    StdException& operator=(const StdException&) = default;

    const char* function() const noexcept { return _strFunction.c_str(); }
    const char* description() const noexcept { return _strDescription.c_str(); }
    VqErrorCode code() const noexcept { return _eCode; }
    const char* what() const noexcept override { return _strDescription.c_str(); }

    typedef void (*ExceptionCallback)(const StdException&);
    // Called by every constructor with the new exception; returns the previous one.
    static ExceptionCallback setExceptionCallback(ExceptionCallback cb);

private:
    // Owned copies: descriptions may be built at run time.
    std::string _strFunction;
    std::string _strDescription;
    VqErrorCode _eCode;
};

// An exception carrying the code of the current error (300 when there is none).
VQ_API StdException makeStdExceptionFromErrorState(const char* function, const char* description);

} // namespace Vq

#define VQ_THROW(description, code) throw Vq::StdException(__PRETTY_FUNCTION__, description, code)
