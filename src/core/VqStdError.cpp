#include "VqStdError.h"

#include "VqFactory.h"

#include <ostream>

VQ_IMPLEMENT_TYPE(VqStdError, VqBase, CLSID_ZQStdError)

VqStdError::VqStdError(const char* cls, const char* method, const char* location, const char* description,
                       VqErrorCode code)
    : _strClass(cls), _strMethod(method), _strLocation(location), _strDescription(description), _eCode(code) {}

std::ostream& operator<<(std::ostream& os, const VqStdError& e) {
    return os << "class " << e.className() << ", method \"" << e.methodName() << "\" (" << e.location() << ")"
              << std::endl;
}
