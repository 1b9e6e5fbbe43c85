#pragma once

#include "VqExport.h"
#include "VqRefCounted.h"

#include <cstddef>

namespace Vq {

struct OcnvConverter;

// Converts between UCS-2 code units and one 8-bit encoding. Every call
// converts a whole source range; a target that is too small is accepted: what
// fits is converted, cut at a character boundary, and nOut tells how much. A
// null dest only counts what the whole conversion would produce. Illegal input
// returns false. Implementations may be shared by several threads.
class VQ_API UCS2Converter : public VqRefCounted {
public:
    virtual bool MBStoUCS2(unsigned short* dest, unsigned short* destEnd, const char* src, const char* srcEnd,
                           size_t& nOut) = 0;
    virtual bool UCS2toMBS(char* dest, char* destEnd, const unsigned short* src, const unsigned short* srcEnd,
                           size_t& nOut) = 0;
    // Length in bytes of the multibyte character at s: 0 at the terminator,
    // -1 when the bytes there do not start a character.
    virtual int mbclen(const char* s) = 0;
};

// UTF-8, strict: lone surrogates and ill-formed bytes fail.
class VQ_API UCS2ConvUTF8 : public UCS2Converter {
public:
    bool MBStoUCS2(unsigned short* dest, unsigned short* destEnd, const char* src, const char* srcEnd,
                   size_t& nOut) override;
    bool UCS2toMBS(char* dest, char* destEnd, const unsigned short* src, const unsigned short* srcEnd,
                   size_t& nOut) override;
    int mbclen(const char* s) override;
};

// The local multibyte encoding through the platform's converter.
class VQ_API UCS2ConvOruUnicode : public UCS2Converter {
public:
    UCS2ConvOruUnicode();
    // A converter for a named encoding instead of the local one.
    explicit UCS2ConvOruUnicode(const char* encoding);
    ~UCS2ConvOruUnicode() override;
    UCS2ConvOruUnicode(const UCS2ConvOruUnicode&) = delete;
    UCS2ConvOruUnicode& operator=(const UCS2ConvOruUnicode&) = delete;

    // False when no converter handle could be obtained; every conversion then fails.
    bool isValid() const { return _pConverter != nullptr; }
    const char* encoding() const;

    bool MBStoUCS2(unsigned short* dest, unsigned short* destEnd, const char* src, const char* srcEnd,
                   size_t& nOut) override;
    bool UCS2toMBS(char* dest, char* destEnd, const unsigned short* src, const unsigned short* srcEnd,
                   size_t& nOut) override;
    int mbclen(const char* s) override;

private:
    OcnvConverter* _pConverter;
};

} // namespace Vq
