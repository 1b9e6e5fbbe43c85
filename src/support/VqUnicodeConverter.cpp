#include "VqUnicodeConverter.h"

#include "VqConvertUTF.h"
#include "VqMutex.h"

#include <cerrno>
#include <clocale>
#include <cstring>
#include <iconv.h>
#include <langinfo.h>
#include <new>
#include <string>
#include <strings.h>

namespace Vq {

struct OcnvConverter {
    std::string name;
    bool bUtf8 = false;
    iconv_t toUnicode = reinterpret_cast<iconv_t>(-1);
    iconv_t fromUnicode = reinterpret_cast<iconv_t>(-1);
    // An iconv descriptor carries shift state, so one converter shared by
    // several threads converts one call at a time.
    VqMutex mutex;

    ~OcnvConverter() {
        if (toUnicode != reinterpret_cast<iconv_t>(-1)) iconv_close(toUnicode);
        if (fromUnicode != reinterpret_cast<iconv_t>(-1)) iconv_close(fromUnicode);
    }
};

namespace {

const char* hostUtf16() {
    const uint16_t probe = 1;
    return *reinterpret_cast<const uint8_t*>(&probe) ? "UTF-16LE" : "UTF-16BE";
}

bool isUtf8Name(const char* name) {
    return strcasecmp(name, "UTF-8") == 0 || strcasecmp(name, "UTF8") == 0;
}

int32_t resultToError(ConversionResult r) {
    switch (r) {
    case conversionOK:
        return OCNV_OK;
    case targetExhausted:
        return OCNV_BUFFER_OVERFLOW;
    case sourceExhausted:
        return OCNV_TRUNCATED_CHAR;
    default:
        return OCNV_ILLEGAL_SEQUENCE;
    }
}

int32_t errnoToError(int e) {
    switch (e) {
    case E2BIG:
        return OCNV_BUFFER_OVERFLOW;
    case EINVAL:
        return OCNV_TRUNCATED_CHAR;
    default:
        return OCNV_ILLEGAL_SEQUENCE;
    }
}

// Runs one iconv call over whole buffers. Both descriptors are reset first so
// that a failed earlier call leaves no shift state behind, and flushed after a
// complete conversion so that stateful encodings return to their initial state.
int32_t runIconv(iconv_t cd, char** in, size_t* inLeft, char** out, size_t* outLeft) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, in, inLeft, out, outLeft) == static_cast<size_t>(-1)) return errnoToError(errno);
    if (iconv(cd, nullptr, nullptr, out, outLeft) == static_cast<size_t>(-1)) return errnoToError(errno);
    return OCNV_OK;
}

} // namespace

OcnvConverter* ocnv_openConverter(const char* encoding) {
    if (!encoding || !*encoding) return nullptr;
    OcnvConverter* cnv = new (std::nothrow) OcnvConverter;
    if (!cnv) return nullptr;
    cnv->name = encoding;
    cnv->bUtf8 = isUtf8Name(encoding);
    cnv->toUnicode = iconv_open(hostUtf16(), encoding);
    cnv->fromUnicode = iconv_open(encoding, hostUtf16());
    if (cnv->toUnicode == reinterpret_cast<iconv_t>(-1) ||
        cnv->fromUnicode == reinterpret_cast<iconv_t>(-1)) {
        delete cnv;
        return nullptr;
    }
    return cnv;
}

OcnvConverter* ocnv_getDefaultUConverter() {
    const char* ctype = std::setlocale(LC_CTYPE, nullptr);
    bool hostLocale = ctype && std::strcmp(ctype, "C") != 0 && std::strcmp(ctype, "POSIX") != 0;
    if (hostLocale) {
        const char* codeset = nl_langinfo(CODESET);
        if (codeset && *codeset)
            if (OcnvConverter* cnv = ocnv_openConverter(codeset)) return cnv;
    }
    return ocnv_openConverter("UTF-8");
}

void ocnv_releaseConverter(OcnvConverter* cnv) {
    delete cnv;
}

const char* ocnv_getName(const OcnvConverter* cnv) {
    return cnv ? cnv->name.c_str() : "";
}

void ocnv_fromUnicode(OcnvConverter* cnv, char** target, const char* targetLimit,
                      const unsigned short** source, const unsigned short* sourceLimit, int32_t* err) {
    if (!cnv || !target || !source || !err || *target > targetLimit || *source > sourceLimit) {
        if (err) *err = OCNV_ILLEGAL_ARGUMENT;
        return;
    }
    if (cnv->bUtf8) {
        // UTF-8 needs no shift state and no lock: the strict conversion is
        // what iconv would do, several times faster.
        UTF8* out = reinterpret_cast<UTF8*>(*target);
        *err = resultToError(utf_ConvertUTF16toUTF8(source, sourceLimit, &out,
                                                    reinterpret_cast<UTF8*>(const_cast<char*>(targetLimit)),
                                                    strictConversion));
        *target = reinterpret_cast<char*>(out);
        return;
    }
    char* in = const_cast<char*>(reinterpret_cast<const char*>(*source));
    size_t inLeft = static_cast<size_t>(sourceLimit - *source) * 2;
    size_t outLeft = static_cast<size_t>(targetLimit - *target);
    {
        VqAutoLock lock(cnv->mutex);
        *err = runIconv(cnv->fromUnicode, &in, &inLeft, target, &outLeft);
    }
    *source = reinterpret_cast<const unsigned short*>(in);
}

void ocnv_toUnicode(OcnvConverter* cnv, unsigned short** target, const unsigned short* targetLimit,
                    const char** source, const char* sourceLimit, int32_t* err) {
    if (!cnv || !target || !source || !err || *target > targetLimit || *source > sourceLimit) {
        if (err) *err = OCNV_ILLEGAL_ARGUMENT;
        return;
    }
    if (cnv->bUtf8) {
        const UTF8* in = reinterpret_cast<const UTF8*>(*source);
        *err =
            resultToError(utf_ConvertUTF8toUTF16(&in, reinterpret_cast<const UTF8*>(sourceLimit), target,
                                                 const_cast<unsigned short*>(targetLimit), strictConversion));
        *source = reinterpret_cast<const char*>(in);
        return;
    }
    char* in = const_cast<char*>(*source);
    size_t inLeft = static_cast<size_t>(sourceLimit - *source);
    char* out = reinterpret_cast<char*>(*target);
    size_t outLeft = static_cast<size_t>(targetLimit - *target) * 2;
    {
        VqAutoLock lock(cnv->mutex);
        *err = runIconv(cnv->toUnicode, &in, &inLeft, &out, &outLeft);
    }
    *source = in;
    *target = reinterpret_cast<unsigned short*>(out);
}

int32_t ocnv_mblen(OcnvConverter* cnv, const char* s, int32_t max, int32_t* err) {
    if (!cnv || !s || !err || max < 1) {
        if (err) *err = OCNV_ILLEGAL_ARGUMENT;
        return 0;
    }
    *err = OCNV_OK;
    if (!*s) return 0;
    if (cnv->bUtf8) {
        int n = utf_sequenceLength(static_cast<UTF8>(*s));
        if (n > max || !utf_isLegalUTF8Sequence(reinterpret_cast<const UTF8*>(s),
                                                reinterpret_cast<const UTF8*>(s) + strnlen(s, n))) {
            *err = OCNV_ILLEGAL_SEQUENCE;
            return 0;
        }
        return n;
    }
    // Any other encoding: the shortest prefix that converts is the character.
    VqAutoLock lock(cnv->mutex);
    for (int32_t n = 1; n <= max && s[n - 1]; ++n) {
        unsigned short units[8];
        char* in = const_cast<char*>(s);
        size_t inLeft = static_cast<size_t>(n);
        char* out = reinterpret_cast<char*>(units);
        size_t outLeft = sizeof(units);
        int32_t e = runIconv(cnv->toUnicode, &in, &inLeft, &out, &outLeft);
        if (e == OCNV_OK) return n;
        if (e != OCNV_TRUNCATED_CHAR) {
            *err = e;
            return 0;
        }
    }
    *err = OCNV_TRUNCATED_CHAR;
    return 0;
}

} // namespace Vq
