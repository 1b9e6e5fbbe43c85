#include "VqFormatSettings.h"

#include "VqErrorState.h"
#include "VqString.h"

#include <atomic>
#include <cstdio>

namespace {
const char* const kCls = "VqPartition";

// Held as numbers rather than as the header text, so that readers on any
// thread see a consistent pair without a lock; the text is made from them.
std::atomic<int> s_nWriteMajor{9};
std::atomic<int> s_nWriteMinor{5};
std::atomic<int> s_nMaxReadMajor{10};
std::atomic<int> s_nMaxReadMinor{99};
std::atomic<int> s_nCompression{3};

thread_local const VqFormatSettings::WriteScope* t_pScope = nullptr;
} // namespace

VqFormatSettings::WriteScope::WriteScope(int major, int minor, int compression)
    : _pOuter(t_pScope), _nMajor(major), _nMinor(minor), _nCompression(compression) {
    t_pScope = this;
}

VqFormatSettings::WriteScope::~WriteScope() { t_pScope = _pOuter; }

void VqFormatSettings::reset() {
    s_nWriteMajor = 9;
    s_nWriteMinor = 5;
    s_nMaxReadMajor = 10;
    s_nMaxReadMinor = 99;
    s_nCompression = 3;
}

bool VqFormatSettings::checkWriteVersion(int major, int minor, const char* method) {
    const bool accepted = (major == 6 && minor == 4) || (major == 7 && minor == 0) ||
                          (major == 8 && minor >= 0 && minor <= 2) || (major == 9 && minor >= 0 && minor <= 7) ||
                          (major == 10 && minor >= 0 && minor <= 1) || (major == 99 && minor == 0);
    if (accepted) return true;
    if ((major > 10 && major != 99) || (major == 10 && minor >= 2))
        VQ_FAIL(kCls, method, "VQ version too high", VQ_ERR_TOO_NEW);
    VQ_FAIL(kCls, method,
            "Version must be one of 6.4, 7.0, 8.0, 8.1, 8.2, 9.0, 9.1, 9.2, 9.3, 9.4, 9.5, 9.6, 9.7, 10.0, "
            "10.1 or 99.0",
            VQ_ERR_ARGUMENT);
}

bool VqFormatSettings::setVersion(int major, int minor) {
    VQ_PROPAGATE(checkWriteVersion(major, minor, "setVersion"));
    s_nWriteMajor = major;
    s_nWriteMinor = minor;
    s_nCompression = defaultCompressionFor(major);
    return true;
}

bool VqFormatSettings::getVersion(int& major, int& minor) {
    if (t_pScope) {
        major = t_pScope->_nMajor;
        minor = t_pScope->_nMinor;
    } else {
        major = s_nWriteMajor;
        minor = s_nWriteMinor;
    }
    return true;
}

bool VqFormatSettings::getVersion(int& major, int& minor, VqString& text) {
    getVersion(major, minor);
    char buf[64];
    std::snprintf(buf, sizeof(buf), "Version %d.%d", major, minor);
    return text.setString(buf);
}

bool VqFormatSettings::setMaxReadVersion(int major, int minor) {
    VQ_CHECK(major >= 6 && major <= 10, kCls, "setMaxReadVersion", VQ_ERR_ARGUMENT);
    VQ_CHECK(minor >= 0 && minor <= 99, kCls, "setMaxReadVersion", VQ_ERR_ARGUMENT);
    s_nMaxReadMajor = major;
    s_nMaxReadMinor = minor;
    return true;
}

void VqFormatSettings::getMaxReadVersion(int& major, int& minor) {
    major = s_nMaxReadMajor;
    minor = s_nMaxReadMinor;
}

void VqFormatSettings::getSupportedVersion(int& major, int& minor) {
    major = 10;
    minor = 1;
}

bool VqFormatSettings::setCompressionAlgorithm(int algorithm) {
    VQ_CHECK(algorithm == 2 || algorithm == 3, kCls, "setCompressionAlgortihm", VQ_ERR_ARGUMENT);
    s_nCompression = algorithm;
    return true;
}

int VqFormatSettings::compressionAlgorithm() {
    return t_pScope ? t_pScope->_nCompression : s_nCompression.load();
}
