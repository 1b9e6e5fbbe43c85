#pragma once

#include "VqTypes.h"

#include <atomic>
#include <iosfwd>
#include <string>

// Shared buffer of a VqString: UCS-2 code units, 0-terminated, allocated
// through the platform allocator.
class VqStringPrimitive {
public:
    std::atomic<int32_t> _nRefCount;
    int32_t _nCapacity; // in code units, terminator included
    int32_t _nLength;   // cached length, -1 until computed
    unsigned short* _pBuffer;
};

// Copy-on-write string of UCS-2 code units. 8-bit text is converted through
// the process-wide converter (the local encoding, or UTF-8 after SetUTF8(true)).
class VqString {
public:
    VqString();
    VqString(const unsigned short* ucs2);
    VqString(const char* text);
    VqString(const VqString& other);
    VqString(VqString&& other) noexcept;
    ~VqString();

    VqString& operator=(const VqString& other);
    VqString& operator=(VqString&& other) noexcept;
    VqString& operator=(const char* text);

    // Setters convert and report failure through the error state.
    bool setString(const char* text);
    bool setString(const unsigned short* ucs2);
    bool setString(const unsigned short* ucs2, int nChars);
    void clear();

    int numChars() const;
    int numBytes() const; // numChars() * 2
    const unsigned short* getConstPtr() const;
    bool isEmpty() const { return numChars() == 0; }
    unsigned short operator[](int i) const { return getConstPtr()[i]; }

    // lookup2 over the code units as bytes in host order, initial value 0.
    uint32_t hash() const;

    bool operator==(const VqString& o) const;
    bool operator!=(const VqString& o) const { return !(*this == o); }
    bool operator<(const VqString& o) const;

    int find(const VqString& needle, int start = 0) const;
    int findLast(const VqString& needle) const;
    bool contains(const VqString& needle) const { return find(needle, 0) >= 0; }
    bool subString(int start, VqString& out, int count = -1) const;
    bool insert(int at, const VqString& text);
    bool remove(int start, int count);
    bool replace(const VqString& what, const VqString& with);

    VqString& operator+=(const VqString& o);
    VqString& operator+=(const char* o);
    VqString operator+(const VqString& o) const;

    bool isSingleByte(short maxUnit) const;
    bool isISO8859_1() const { return isSingleByte(255); }
    bool isAscii() const { return isSingleByte(127); }

    // Converts the whole string into buf (at most size bytes, 0-terminated).
    bool stringToMbs(char* buf, int size) const;
    // Convenience: the text in the active 8-bit encoding, or UTF-8.
    std::string toMbs() const;
    std::string toUtf8() const;
    static VqString fromUtf8(const char* text, size_t length);
    static VqString fromUtf8(const std::string& text) { return fromUtf8(text.data(), text.size()); }

    static bool isNetworkByteOrder();
    static bool init();
    static void fini();
    // Selects UTF-8 (true) or the local multibyte encoding (false) for all conversions.
    static bool SetUTF8(bool utf8);

private:
    bool _verifyUnique(int nUnits, bool keep);
    VqStringPrimitive* _pPrim;
};

namespace Vq {
// Text of a string in the active 8-bit encoding.
bool convertToMBCS(std::string& out, const VqString& in);
} // namespace Vq

std::ostream& operator<<(std::ostream& os, const VqString& s);
