#pragma once

#include "VqExport.h"
#include "VqTypes.h"

#include <atomic>
#include <iosfwd>
#include <string>

namespace Vq {
class UCS2Converter;
}

// Shared buffer of a VqString: UCS-2 code units, 0-terminated, allocated
// through the platform allocator so that it counts in the memory total.
class VQ_API VqStringPrimitive {
public:
    // A new unique primitive with room for nUnits code units plus the
    // terminator; null (with the error recorded) when memory runs out.
    static VqStringPrimitive* create(int nUnits);
    // The process-wide empty primitive. It is never counted or freed.
    static VqStringPrimitive* empty() { return &s_empty; }

    // The empty primitive is shared by every thread and never freed, so it is
    // not counted at all.
    void ref() {
        if (this != &s_empty) _nRefCount.fetch_add(1, std::memory_order_relaxed);
    }
    void unref();
    bool isShared() const { return _nRefCount.load(std::memory_order_acquire) > 1; }
    bool isEmptyPrim() const { return this == empty(); }

    // Ensures room for n code units plus the terminator, growing to exactly
    // that size; the old contents are copied when keep is set.
    bool _verify(int n, bool keep);
    int length() const;
    void setLength(int n) {
        _pBuffer[n] = 0;
        _nLength.store(n, std::memory_order_relaxed);
    }

    std::atomic<int32_t> _nRefCount;
    int32_t _nCapacity;                    // in code units, terminator included
    mutable std::atomic<int32_t> _nLength; // cached length, -1 until computed
    unsigned short* _pBuffer;

    constexpr VqStringPrimitive(int32_t count, int32_t capacity, int32_t length, unsigned short* buffer)
        : _nRefCount(count), _nCapacity(capacity), _nLength(length), _pBuffer(buffer) {}
    VqStringPrimitive(const VqStringPrimitive&) = delete;
    VqStringPrimitive& operator=(const VqStringPrimitive&) = delete;

private:
    // Constant-initialised, so that strings work before the library starts
    // and after it shuts down.
    static VqStringPrimitive s_empty;
};

// Copy-on-write string of UCS-2 code units. 8-bit text is converted through
// the process-wide converter (the local encoding, or UTF-8 after SetUTF8(true)).
// Operations that can fail record the error and leave the string unchanged.
class VQ_API VqString {
public:
    VqString() noexcept;
    VqString(const unsigned short* ucs2);
    VqString(const char* text);
    VqString(const VqString& other) noexcept;
    VqString(VqString&& other) noexcept;
    ~VqString();

    VqString& operator=(const VqString& other) noexcept;
    VqString& operator=(VqString&& other) noexcept;
    VqString& operator=(const char* text);

    // Setters convert and report failure through the error state. A null
    // pointer changes nothing.
    bool setString(const char* text);
    bool setString(const unsigned short* ucs2);
    bool setString(const unsigned short* ucs2, int nChars);
    void clear();

    int numChars() const { return _pPrim->length(); }
    int numBytes() const { return numChars() * 2; }
    const unsigned short* getConstPtr() const { return _pPrim->_pBuffer; }
    bool isEmpty() const { return numChars() == 0; }
    unsigned short operator[](int i) const { return getConstPtr()[i]; }

    // lookup2 over the code units as bytes in host order, initial value 0.
    uint32_t hash() const;

    bool operator==(const VqString& o) const;
    bool operator!=(const VqString& o) const { return !(*this == o); }
    bool operator<(const VqString& o) const;

    // First index at or after start where needle occurs, or -1. An empty
    // needle is found at 0 whatever the start.
    int find(const VqString& needle, int start = 0) const;
    int findLast(const VqString& needle) const;
    bool contains(const VqString& needle) const { return find(needle, 0) >= 0; }
    // count -1 (or more than remains) takes the rest of the string.
    bool subString(int start, VqString& out, int count = -1) const;
    bool insert(int at, const VqString& text);
    bool remove(int start, int count);
    // Replaces every occurrence of what.
    bool replace(const VqString& what, const VqString& with);

    VqString& operator+=(const VqString& o);
    VqString& operator+=(const char* o);
    VqString operator+(const VqString& o) const;

    bool isSingleByte(short maxUnit) const;
    bool isISO8859_1() const { return isSingleByte(255); }
    bool isAscii() const { return isSingleByte(127); }

    // Converts the string into buf through the active converter, at most size
    // bytes including the terminator. Text that does not fit is cut at a
    // character boundary.
    bool stringToMbs(char* buf, int size) const;
    // The whole text in the active 8-bit encoding, or in UTF-8 whatever the
    // active converter; empty (with the error recorded) when it cannot be converted.
    std::string toMbs() const;
    std::string toUtf8() const;
    static VqString fromUtf8(const char* text, size_t length);
    static VqString fromUtf8(const std::string& text) { return fromUtf8(text.data(), text.size()); }

    static bool isNetworkByteOrder();
    static bool init();
    static void fini();
    // Selects UTF-8 (true) or the local multibyte encoding (false) for all
    // conversions. Meant for start-up, before other threads convert text.
    static bool SetUTF8(bool utf8);
    // The active converter, created on first use; null (with the error
    // recorded) when it cannot be created. Not counted for the caller.
    static Vq::UCS2Converter* converter();

private:
    // Makes the primitive unique with room for nUnits code units; the old
    // contents are kept when keep is set.
    bool _createUniquePrim(int nUnits, bool keep);
    bool _append(const unsigned short* units, int n);

    VqStringPrimitive* _pPrim;

    static std::atomic<Vq::UCS2Converter*> s_pUCS2Conv;
};

namespace Vq {
// Text of a string in the active 8-bit encoding.
VQ_API bool convertToMBCS(std::string& out, const VqString& in);
} // namespace Vq

// Writes the text in the active 8-bit encoding.
VQ_API std::ostream& operator<<(std::ostream& os, const VqString& s);
