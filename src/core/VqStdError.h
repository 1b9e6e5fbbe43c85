#pragma once

#include "VqBase.h"
#include "VqExport.h"
#include "VqString.h"

#include <iosfwd>
#include <string>

// One recorded failure: where it arose, what failed, and its code.
class VQ_API VqStdError : public VqBase {
    VQ_DECLARE_TYPE(VqStdError)
public:
    VqStdError() = default;
    VqStdError(const char* cls, const char* method, const char* location, const char* description,
               VqErrorCode code);

    const VqString& className() const { return _strClass; }
    const VqString& methodName() const { return _strMethod; }
    const VqString& location() const { return _strLocation; }
    const VqString& description() const { return _strDescription; }
    VqErrorCode code() const { return _eCode; }
    void setLocation(const char* location) { _strLocation.setString(location); }
    void setLocation(const VqString& location) { _strLocation = location; }
    // "description (code N, Class::method, location)" in UTF-8, for one-line
    // reports; the location is left out while it is "<none>".
    std::string message() const;

    bool isPersistable() const override { return false; }

private:
    VqString _strClass;
    VqString _strMethod;
    VqString _strLocation;
    VqString _strDescription;
    VqErrorCode _eCode = VQ_ERR_NONE;
};

// class X, method "m" (location), then an end of line; the description is not printed.
VQ_API std::ostream& operator<<(std::ostream& os, const VqStdError& e);
