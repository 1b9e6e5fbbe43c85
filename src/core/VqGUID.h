#pragma once

#include "VqExport.h"
#include "VqTypes.h"

#include <cstring>
#include <functional>

class VqString;

// Plain 16-byte structure in which the GUID constants are stored.
struct VQ_API _VqIID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

// Globally unique identifier: type IDs of classes and segment names in files.
class VQ_API VqGUID {
public:
    uint32_t Data1 = 0;
    uint16_t Data2 = 0;
    uint16_t Data3 = 0;
    uint8_t Data4[8] = {0, 0, 0, 0, 0, 0, 0, 0};

    constexpr VqGUID() = default;
    constexpr VqGUID(uint32_t d1, uint16_t d2, uint16_t d3, uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3,
                     uint8_t b4, uint8_t b5, uint8_t b6, uint8_t b7)
        : Data1(d1), Data2(d2), Data3(d3), Data4{b0, b1, b2, b3, b4, b5, b6, b7} {}
    constexpr VqGUID(const _VqIID& iid)
        : Data1(iid.Data1), Data2(iid.Data2),
          Data3(iid.Data3), Data4{iid.Data4[0], iid.Data4[1], iid.Data4[2], iid.Data4[3],
                                  iid.Data4[4], iid.Data4[5], iid.Data4[6], iid.Data4[7]} {}
    constexpr VqGUID(const VqGUID&) = default;
    constexpr VqGUID& operator=(const VqGUID&) = default;

    bool operator==(const VqGUID& o) const { return std::memcmp(this, &o, sizeof(VqGUID)) == 0; }
    bool operator!=(const VqGUID& o) const { return !(*this == o); }
    bool operator<(const VqGUID& o) const { return std::memcmp(this, &o, sizeof(VqGUID)) < 0; }

    // XOR of the four 32-bit words of the in-memory structure.
    uint32_t hash() const {
        uint32_t w[4];
        std::memcpy(w, this, sizeof(w));
        return w[0] ^ w[1] ^ w[2] ^ w[3];
    }

    bool isNull() const { return *this == VqGUID(); }

    // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", 38 characters.
    bool toString(VqString& out) const;
    bool fromString(const VqString& text);

    static bool guidToString(const VqGUID& guid, VqString& out, const char* format);
    static bool stringToGUID(const VqString& text, VqGUID& guid, const char* format);

    // A new time-based (version 1) GUID; distinct even within one clock tick.
    static bool createGUID(VqGUID& out);

    static const char* s_defaultFormat;
    static const char* s_defaultScanFormat;
};

static_assert(sizeof(VqGUID) == 16, "VqGUID must be 16 bytes");
static_assert(sizeof(_VqIID) == 16, "_VqIID must be 16 bytes");

struct VQ_API VqGUIDHash {
    size_t operator()(const VqGUID& g) const { return g.hash(); }
};

template <>
struct std::hash<VqGUID> {
    size_t operator()(const VqGUID& g) const { return g.hash(); }
};
