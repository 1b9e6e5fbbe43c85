#include "VqGUID.h"

#include "VqErrorState.h"
#include "VqMD5.h"
#include "VqMutex.h"
#include "VqString.h"

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>
#include <sys/time.h>
#include <sys/utsname.h>
#include <unistd.h>

const char* VqGUID::s_defaultFormat = "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}";
const char* VqGUID::s_defaultScanFormat = "{%08X-%04hX-%04hX-%02hhX%02hhX-%02hhX%02hhX%02hhX%02hhX%02hhX%02hhX}";

bool VqGUID::toString(VqString& out) const { return guidToString(*this, out, s_defaultFormat); }

bool VqGUID::fromString(const VqString& text) {
    if (text.numChars() != 38) {
        VqErrorState::throwStdError("VqGUID", "fromString", "strGUID.numChars() == 38", VQ_ERR_ARGUMENT);
        return false;
    }
    return stringToGUID(text, *this, s_defaultScanFormat);
}

bool VqGUID::guidToString(const VqGUID& g, VqString& out, const char* format) {
    if (!format) VQ_FAIL("VqGUID", "guidToString", "formatString != __null", VQ_ERR_ARGUMENT);
    if (!*format) VQ_FAIL("VqGUID", "guidToString", "strlen(formatString) > 0", VQ_ERR_ARGUMENT);
    char buf[256];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int n = std::snprintf(buf, sizeof(buf), format, g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                          g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
#pragma GCC diagnostic pop
    if (n < 0 || static_cast<size_t>(n) >= sizeof(buf))
        VQ_FAIL("VqGUID", "guidToString", "Improperly formatted string", VQ_ERR_ARGUMENT);
    VQ_PROPAGATE(out.setString(buf));
    return true;
}

bool VqGUID::stringToGUID(const VqString& text, VqGUID& g, const char* format) {
    if (!format) VQ_FAIL("VqGUID", "stringToGUID", "formatString != __null", VQ_ERR_ARGUMENT);
    if (!*format) VQ_FAIL("VqGUID", "stringToGUID", "strlen(formatString) > 0", VQ_ERR_ARGUMENT);
    // GUID texts are ASCII; anything else cannot match the format.
    if (!text.isAscii() || text.numChars() > 255)
        VQ_FAIL("VqGUID", "stringToGUID", "Improperly formatted string", VQ_ERR_ARGUMENT);
    char buf[256];
    int n = text.numChars();
    const unsigned short* u = text.getConstPtr();
    for (int i = 0; i < n; ++i) buf[i] = static_cast<char>(u[i]);
    buf[n] = 0;
    unsigned int d1 = 0;
    unsigned short d2 = 0, d3 = 0;
    unsigned char b[8] = {};
    // The whole text must be consumed: scanf alone would stop early and still
    // report all eleven fields for text such as "...095Z}".
    std::string fmt(format);
    fmt += "%n";
    int consumed = -1;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int fields = std::sscanf(buf, fmt.c_str(), &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6],
                             &b[7], &consumed);
#pragma GCC diagnostic pop
    if (fields != 11 || consumed != n)
        VQ_FAIL("VqGUID", "stringToGUID", "Improperly formatted string", VQ_ERR_ARGUMENT);
    g = VqGUID(d1, d2, d3, b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7]);
    return true;
}

namespace {
VqMutex s_guidMutex;
bool s_bHaveNode = false;
uint8_t s_node[6];
uint64_t s_lastTimestamp = 0;

void makeNode() {
    uint8_t buffer[416];
    std::memset(buffer, 0, sizeof(buffer));
    size_t at = 0;
    struct utsname u;
    if (uname(&u) == 0) {
        size_t n = std::min(sizeof(u), sizeof(buffer) - at);
        std::memcpy(buffer + at, &u, n);
        at += n;
    }
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    if (at + sizeof(tv) <= sizeof(buffer)) {
        std::memcpy(buffer + at, &tv, sizeof(tv));
        at += sizeof(tv);
    }
    pid_t pid = getpid();
    if (at + sizeof(pid) <= sizeof(buffer)) std::memcpy(buffer + at, &pid, sizeof(pid));
    uint8_t digest[16];
    Vq::MD5::digest(buffer, sizeof(buffer), digest);
    std::memcpy(s_node, digest, 6);
    s_node[0] |= 0x80;
    s_bHaveNode = true;
}
} // namespace

bool VqGUID::createGUID(VqGUID& out) {
    VqAutoLock lock(s_guidMutex);
    if (!s_bHaveNode) makeNode();
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    uint64_t ts = static_cast<uint64_t>(tv.tv_sec) * 10000000ull + static_cast<uint64_t>(tv.tv_usec) * 10ull +
                  0x01B21DD213814000ull;
    if (ts <= s_lastTimestamp) ts = s_lastTimestamp + 1;
    s_lastTimestamp = ts;
    out.Data1 = static_cast<uint32_t>(ts);
    out.Data2 = static_cast<uint16_t>(ts >> 32);
    out.Data3 = static_cast<uint16_t>((ts >> 48) | 0x1000);
    out.Data4[0] = 0x80;
    out.Data4[1] = 0;
    std::memcpy(out.Data4 + 2, s_node, 6);
    return true;
}
