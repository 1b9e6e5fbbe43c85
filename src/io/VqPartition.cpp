#include "VqPartition.h"

#include "VqErrorState.h"

#include <cstdio>

VqString* VqPartition::s_pWriteVersionText = nullptr;
int VqPartition::s_nWriteMajor = -1;
int VqPartition::s_nWriteMinor = -1;
int VqPartition::s_nMaxReadMajor = 10;
int VqPartition::s_nMaxReadMinor = 99;
int VqPartition::s_nCompressionAlgorithm = 3;

namespace {
const char* const kDefaultVersionText = "Version 9.5";

bool parseDecimal(const VqString& text, int start, int end, int& value) {
    value = 0;
    if (end <= start) return false;
    for (int i = start; i < end; ++i) {
        unsigned short c = text[i];
        if (c < '0' || c > '9' || value > 100000) return false;
        value = value * 10 + (c - '0');
    }
    return true;
}
} // namespace

bool VqPartition::init() {
    if (!s_pWriteVersionText) s_pWriteVersionText = new VqString(kDefaultVersionText);
    s_nWriteMajor = s_nWriteMinor = -1;
    s_nMaxReadMajor = 10;
    s_nMaxReadMinor = 99;
    s_nCompressionAlgorithm = 3;
    return s_pWriteVersionText != nullptr;
}

void VqPartition::fini() {
    delete s_pWriteVersionText;
    s_pWriteVersionText = nullptr;
    s_nWriteMajor = s_nWriteMinor = -1;
}

bool VqPartition::_parseVersion(const VqString& text, int& major, int& minor) {
    int space = text.find(VqString(" "), 0);
    if (space < 0)
        VQ_FAIL("VqPartition", "getVersion", "version string doesn't contain version numbers", VQ_ERR_ARGUMENT);
    int point = text.find(VqString("."), space + 1);
    if (point < 0) VQ_FAIL("VqPartition", "getVersion", "No oiMinor version", VQ_ERR_ARGUMENT);
    int end = text.find(VqString(" "), point + 1);
    if (end < 0) end = text.numChars();
    VqString majorText, minorText;
    text.subString(space + 1, majorText, point - space - 1);
    text.subString(point + 1, minorText, end - point - 1);
    if (!majorText.isISO8859_1())
        VQ_FAIL("VqPartition", "getVersion", "Major version must be ISO8859-1 or ASCII string", VQ_ERR_ARGUMENT);
    if (!minorText.isISO8859_1())
        VQ_FAIL("VqPartition", "getVersion", "Minor version must be ISO8859-1 or ASCII string", VQ_ERR_ARGUMENT);
    if (!parseDecimal(text, space + 1, point, major) || !parseDecimal(text, point + 1, end, minor))
        VQ_FAIL("VqPartition", "getVersion", "version string doesn't contain version numbers", VQ_ERR_ARGUMENT);
    return true;
}

bool VqPartition::getVersion(int& major, int& minor) {
    VqString text;
    return getVersion(major, minor, text);
}

bool VqPartition::getVersion(int& major, int& minor, VqString& text) {
    text = s_pWriteVersionText ? *s_pWriteVersionText : VqString(kDefaultVersionText);
    if (s_nWriteMajor < 0 || s_nWriteMinor < 0) {
        int ma = -1, mi = -1;
        VQ_PROPAGATE(_parseVersion(text, ma, mi));
        s_nWriteMajor = ma;
        s_nWriteMinor = mi;
    }
    major = s_nWriteMajor;
    minor = s_nWriteMinor;
    return true;
}

bool VqPartition::setVersion(int major, int minor) {
    bool accepted = (major == 6 && minor == 4) || (major == 7 && minor == 0) ||
                    (major == 8 && minor >= 0 && minor <= 2) || (major == 9 && minor >= 0 && minor <= 7) ||
                    (major == 10 && minor >= 0 && minor <= 1) || (major == 99 && minor == 0);
    if (!accepted) {
        if (major > 10 && major != 99) VQ_FAIL("VqPartition", "setVersion", "VQ version too high", VQ_ERR_TOO_NEW);
        if (major == 10 && minor >= 2) VQ_FAIL("VqPartition", "setVersion", "VQ version too high", VQ_ERR_TOO_NEW);
        VQ_FAIL("VqPartition", "setVersion",
                "Version must be one of 6.4, 7.0, 8.0, 8.1, 8.2, 9.0, 9.1, 9.2, 9.3, 9.4, 9.5, 9.6, 9.7, 10.0, "
                "10.1 or 99.0",
                VQ_ERR_ARGUMENT);
    }
    char buf[64];
    std::snprintf(buf, sizeof(buf), "Version %d.%d", major, minor);
    if (!s_pWriteVersionText) s_pWriteVersionText = new VqString();
    if (!s_pWriteVersionText)
        VQ_FAIL("VqPartition", "setVersion", "Allocation failed: s_pWriteVersionText = new VqString",
                VQ_ERR_ALLOC);
    VQ_PROPAGATE(s_pWriteVersionText->setString(buf));
    s_nWriteMajor = s_nWriteMinor = -1;
    s_nCompressionAlgorithm = major > 9 ? 3 : 2;
    return true;
}

bool VqPartition::setMaxReadVersion(int major, int minor) {
    VQ_CHECK(major >= 6 && major <= 10, "VqPartition", "setMaxReadVersion", VQ_ERR_ARGUMENT);
    VQ_CHECK(minor >= 0 && minor <= 99, "VqPartition", "setMaxReadVersion", VQ_ERR_ARGUMENT);
    s_nMaxReadMajor = major;
    s_nMaxReadMinor = minor;
    return true;
}

void VqPartition::getMaxReadVersion(int& major, int& minor) {
    major = s_nMaxReadMajor;
    minor = s_nMaxReadMinor;
}

void VqPartition::getSupportedVQVersion(int& major, int& minor) {
    major = 10;
    minor = 1;
}

bool VqPartition::setCompressionAlgortihm(int algorithm) {
    VQ_CHECK(algorithm == 2 || algorithm == 3, "VqPartition", "setCompressionAlgortihm", VQ_ERR_ARGUMENT);
    s_nCompressionAlgorithm = algorithm;
    return true;
}
