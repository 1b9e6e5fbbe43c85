#pragma once

#include "VqBase.h"

// Typed stream through which every persistent object writes and reads itself.
class VqObjectStream : public VqBase {
public:
    // Format version of the data; -1 until known.
    void getVersion(int& major, int& minor) const {
        major = _nMajorVersion;
        minor = _nMinorVersion;
    }
    void setVersion(int major, int minor) {
        _nMajorVersion = major;
        _nMinorVersion = minor;
    }

protected:
    int _nMajorVersion = -1;
    int _nMinorVersion = -1;
};
