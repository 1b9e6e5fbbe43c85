#include "VqUCS2Converter.h"

#include "VqAsciiRun.h"
#include "VqConvertUTF.h"
#include "VqUnicodeConverter.h"

#include <algorithm>

namespace Vq {

// ---- UTF-8 ----------------------------------------------------------------
// Text is mostly ASCII: runs of ASCII are copied by a tight loop, and only the
// runs in between go through the reference conversion.

bool UCS2ConvUTF8::MBStoUCS2(unsigned short* dest, unsigned short* destEnd, const char* src,
                             const char* srcEnd, size_t& nOut) {
    const UTF8* s = reinterpret_cast<const UTF8*>(src);
    const UTF8* e = reinterpret_cast<const UTF8*>(srcEnd);
    if (!dest) {
        size_t n = 0;
        while (s < e) {
            size_t i = asciiPrefix(s, e - s);
            n += i;
            s += i;
            if (s == e) break;
            if (!utf_isLegalUTF8Sequence(s, e)) return false;
            int len = utf_sequenceLength(*s);
            n += len == 4 ? 2 : 1;
            s += len;
        }
        nOut = n;
        return true;
    }
    UTF16* t = dest;
    while (s < e) {
        size_t i = asciiPrefix(s, std::min<size_t>(e - s, destEnd - t));
        widenBytes(t, s, i);
        s += i;
        t += i;
        if (s == e || t == destEnd) break;
        const UTF8* runEnd = s;
        while (runEnd < e && *runEnd >= 0x80)
            ++runEnd;
        ConversionResult r = utf_ConvertUTF8toUTF16(&s, runEnd, &t, destEnd, strictConversion);
        if (r == targetExhausted) break;
        if (r != conversionOK) return false;
    }
    nOut = static_cast<size_t>(t - dest);
    return true;
}

bool UCS2ConvUTF8::UCS2toMBS(char* dest, char* destEnd, const unsigned short* src,
                             const unsigned short* srcEnd, size_t& nOut) {
    const UTF16* s = src;
    if (!dest) {
        size_t n = 0;
        while (s < srcEnd) {
            UTF16 c = *s++;
            if (c < 0x80) {
                n += 1;
            } else if (c < 0x800) {
                n += 2;
            } else if (c < 0xD800 || c > 0xDFFF) {
                n += 3;
            } else {
                if (c > 0xDBFF || s == srcEnd || *s < 0xDC00 || *s > 0xDFFF) return false;
                ++s;
                n += 4;
            }
        }
        nOut = n;
        return true;
    }
    UTF8* t = reinterpret_cast<UTF8*>(dest);
    UTF8* te = reinterpret_cast<UTF8*>(destEnd);
    while (s < srcEnd) {
        size_t i = asciiPrefix(s, std::min<size_t>(srcEnd - s, te - t));
        narrowUnits(t, s, i);
        s += i;
        t += i;
        if (s == srcEnd || t == te) break;
        const UTF16* runEnd = s;
        while (runEnd < srcEnd && *runEnd >= 0x80)
            ++runEnd;
        ConversionResult r = utf_ConvertUTF16toUTF8(&s, runEnd, &t, te, strictConversion);
        if (r == targetExhausted) break;
        if (r != conversionOK) return false;
    }
    nOut = static_cast<size_t>(t - reinterpret_cast<UTF8*>(dest));
    return true;
}

int UCS2ConvUTF8::mbclen(const char* s) {
    return *s ? utf_sequenceLength(static_cast<UTF8>(*s)) : 0;
}

// ---- Local encoding ---------------------------------------------------------

UCS2ConvOruUnicode::UCS2ConvOruUnicode() : _pConverter(ocnv_getDefaultUConverter()) {}

UCS2ConvOruUnicode::UCS2ConvOruUnicode(const char* encoding) : _pConverter(ocnv_openConverter(encoding)) {}

UCS2ConvOruUnicode::~UCS2ConvOruUnicode() {
    ocnv_releaseConverter(_pConverter);
}

const char* UCS2ConvOruUnicode::encoding() const {
    return ocnv_getName(_pConverter);
}

bool UCS2ConvOruUnicode::MBStoUCS2(unsigned short* dest, unsigned short* destEnd, const char* src,
                                   const char* srcEnd, size_t& nOut) {
    if (!_pConverter) return false;
    int32_t err = OCNV_OK;
    if (dest) {
        unsigned short* t = dest;
        ocnv_toUnicode(_pConverter, &t, destEnd, &src, srcEnd, &err);
        if (err != OCNV_OK && err != OCNV_BUFFER_OVERFLOW) return false;
        nOut = static_cast<size_t>(t - dest);
        return true;
    }
    unsigned short scratch[512];
    size_t n = 0;
    do {
        unsigned short* t = scratch;
        ocnv_toUnicode(_pConverter, &t, scratch + 512, &src, srcEnd, &err);
        if (err != OCNV_OK && (err != OCNV_BUFFER_OVERFLOW || t == scratch)) return false;
        n += static_cast<size_t>(t - scratch);
    } while (err == OCNV_BUFFER_OVERFLOW);
    nOut = n;
    return true;
}

bool UCS2ConvOruUnicode::UCS2toMBS(char* dest, char* destEnd, const unsigned short* src,
                                   const unsigned short* srcEnd, size_t& nOut) {
    if (!_pConverter) return false;
    int32_t err = OCNV_OK;
    if (dest) {
        char* t = dest;
        ocnv_fromUnicode(_pConverter, &t, destEnd, &src, srcEnd, &err);
        if (err != OCNV_OK && err != OCNV_BUFFER_OVERFLOW) return false;
        nOut = static_cast<size_t>(t - dest);
        return true;
    }
    char scratch[1024];
    size_t n = 0;
    do {
        char* t = scratch;
        ocnv_fromUnicode(_pConverter, &t, scratch + sizeof(scratch), &src, srcEnd, &err);
        if (err != OCNV_OK && (err != OCNV_BUFFER_OVERFLOW || t == scratch)) return false;
        n += static_cast<size_t>(t - scratch);
    } while (err == OCNV_BUFFER_OVERFLOW);
    nOut = n;
    return true;
}

int UCS2ConvOruUnicode::mbclen(const char* s) {
    int32_t err = OCNV_OK;
    int32_t n = ocnv_mblen(_pConverter, s, 6, &err);
    return err == OCNV_OK ? n : -1;
}

} // namespace Vq
