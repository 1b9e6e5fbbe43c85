#pragma once

#include <cstdint>

// Strict conversion between UTF-16 and UTF-8. Cursors advance over what was
// converted; on failure the source cursor stays on the offending character.
namespace Vq {

typedef unsigned char UTF8;
typedef unsigned short UTF16;
typedef uint32_t UTF32;

enum ConversionResult {
    conversionOK,    // the whole source was converted
    sourceExhausted, // the source ends inside a character
    targetExhausted, // the target is full
    sourceIllegal    // an illegal sequence or a lone surrogate
};

enum ConversionFlags { strictConversion = 0, lenientConversion };

ConversionResult utf_ConvertUTF16toUTF8(const UTF16** sourceStart, const UTF16* sourceEnd, UTF8** targetStart,
                                        UTF8* targetEnd, ConversionFlags flags);
ConversionResult utf_ConvertUTF8toUTF16(const UTF8** sourceStart, const UTF8* sourceEnd, UTF16** targetStart,
                                        UTF16* targetEnd, ConversionFlags flags);
// True when the length bytes at source form one well-formed character.
bool utf_isLegalUTF8(const UTF8* source, int length);
// True when the character starting at source is well formed and ends before sourceEnd.
bool utf_isLegalUTF8Sequence(const UTF8* source, const UTF8* sourceEnd);
// Length in bytes of the character introduced by the lead byte c (1 to 6).
inline int utf_sequenceLength(UTF8 c) {
    if (c < 0xC0) return 1;
    if (c < 0xE0) return 2;
    if (c < 0xF0) return 3;
    if (c < 0xF8) return 4;
    if (c < 0xFC) return 5;
    return 6;
}

} // namespace Vq
