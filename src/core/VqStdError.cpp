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

std::string VqStdError::message() const {
    std::string text = _strDescription.toUtf8() + " (code " + std::to_string(static_cast<int>(_eCode)) + ", ";
    // Errors caught as exceptions carry a full signature, which names the class already.
    const std::string method = _strMethod.toUtf8();
    if (method.find("::") == std::string::npos) text += _strClass.toUtf8() + "::";
    text += method;
    const std::string location = _strLocation.toUtf8();
    if (!location.empty() && location != "<none>") text += ", " + location;
    return text + ")";
}
