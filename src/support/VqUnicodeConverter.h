#pragma once

#include "VqExport.h"

#include <cstdint>

// Converter between UTF-16 code units in host order and an 8-bit encoding,
// over the C library's iconv. Internal to the string converters.
namespace Vq {

struct OcnvConverter;

// Error codes of the ocnv_ calls: 0 is success, 15 "target too small"
// (what fits was converted), anything else above 0 a failure.
enum OcnvError : int32_t {
    OCNV_OK = 0,
    OCNV_ILLEGAL_ARGUMENT = 1,
    OCNV_ILLEGAL_SEQUENCE = 10,
    OCNV_TRUNCATED_CHAR = 11,
    OCNV_BUFFER_OVERFLOW = 15,
    OCNV_OPEN_FAILED = 16
};

// A converter for the local multibyte encoding: the codeset of the process's
// locale, or UTF-8 while the locale is C/POSIX (whose ASCII would refuse every
// other character) or when the codeset is unknown to iconv. Null when no
// converter at all can be opened.
VQ_API OcnvConverter* ocnv_getDefaultUConverter();
// A converter for a named iconv encoding, or null.
VQ_API OcnvConverter* ocnv_openConverter(const char* encoding);
VQ_API void ocnv_releaseConverter(OcnvConverter* cnv);
// The encoding's name as given to iconv.
VQ_API const char* ocnv_getName(const OcnvConverter* cnv);

// Converts as much of the source as fits, advancing both cursors. A source
// that ends inside a character or a lone surrogate is a failure.
VQ_API void ocnv_fromUnicode(OcnvConverter* cnv, char** target, const char* targetLimit,
                             const unsigned short** source, const unsigned short* sourceLimit, int32_t* err);
VQ_API void ocnv_toUnicode(OcnvConverter* cnv, unsigned short** target, const unsigned short* targetLimit,
                           const char** source, const char* sourceLimit, int32_t* err);
// Byte length of the character at s, looking at most max bytes; 0 at the
// terminator or on failure (err set).
VQ_API int32_t ocnv_mblen(OcnvConverter* cnv, const char* s, int32_t max, int32_t* err);

} // namespace Vq
