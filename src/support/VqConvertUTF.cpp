#include "VqConvertUTF.h"

namespace Vq {

namespace {
constexpr UTF32 kReplacementChar = 0xFFFD;
constexpr UTF32 kMaxBmp = 0xFFFF;
constexpr UTF32 kMaxUtf16 = 0x10FFFF;
constexpr UTF32 kSurHighStart = 0xD800;
constexpr UTF32 kSurHighEnd = 0xDBFF;
constexpr UTF32 kSurLowStart = 0xDC00;
constexpr UTF32 kSurLowEnd = 0xDFFF;
constexpr int kHalfShift = 10;
constexpr UTF32 kHalfBase = 0x10000;
constexpr UTF32 kHalfMask = 0x3FF;

// What the continuation bytes add on top of the payload when they are summed
// with their marker bits, per sequence length minus one.
constexpr UTF32 kOffsetsFromUTF8[6] = {0x00000000UL, 0x00003080UL, 0x000E2080UL,
                                       0x03C82080UL, 0xFA082080UL, 0x82082080UL};
// Marker bits of the lead byte, per sequence length.
constexpr UTF8 kFirstByteMark[7] = {0x00, 0x00, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};
} // namespace

ConversionResult utf_ConvertUTF16toUTF8(const UTF16** sourceStart, const UTF16* sourceEnd, UTF8** targetStart,
                                        UTF8* targetEnd, ConversionFlags flags) {
    ConversionResult result = conversionOK;
    const UTF16* source = *sourceStart;
    UTF8* target = *targetStart;
    while (source < sourceEnd) {
        const UTF16* oldSource = source;
        UTF32 ch = *source++;
        if (ch >= kSurHighStart && ch <= kSurHighEnd) {
            if (source >= sourceEnd) {
                source = oldSource;
                result = sourceExhausted;
                break;
            }
            UTF32 ch2 = *source;
            if (ch2 >= kSurLowStart && ch2 <= kSurLowEnd) {
                ch = ((ch - kSurHighStart) << kHalfShift) + (ch2 - kSurLowStart) + kHalfBase;
                ++source;
            } else if (flags == strictConversion) {
                source = oldSource;
                result = sourceIllegal;
                break;
            }
        } else if (flags == strictConversion && ch >= kSurLowStart && ch <= kSurLowEnd) {
            source = oldSource;
            result = sourceIllegal;
            break;
        }
        int bytesToWrite;
        if (ch < 0x80) {
            bytesToWrite = 1;
        } else if (ch < 0x800) {
            bytesToWrite = 2;
        } else if (ch < 0x10000) {
            bytesToWrite = 3;
        } else if (ch <= kMaxUtf16) {
            bytesToWrite = 4;
        } else {
            bytesToWrite = 3;
            ch = kReplacementChar;
        }
        if (targetEnd - target < bytesToWrite) {
            source = oldSource;
            result = targetExhausted;
            break;
        }
        target += bytesToWrite;
        switch (bytesToWrite) {
        case 4:
            *--target = static_cast<UTF8>((ch | 0x80) & 0xBF);
            ch >>= 6;
            [[fallthrough]];
        case 3:
            *--target = static_cast<UTF8>((ch | 0x80) & 0xBF);
            ch >>= 6;
            [[fallthrough]];
        case 2:
            *--target = static_cast<UTF8>((ch | 0x80) & 0xBF);
            ch >>= 6;
            [[fallthrough]];
        case 1:
            *--target = static_cast<UTF8>(ch | kFirstByteMark[bytesToWrite]);
        }
        target += bytesToWrite;
    }
    *sourceStart = source;
    *targetStart = target;
    return result;
}

bool utf_isLegalUTF8(const UTF8* source, int length) {
    UTF8 a;
    const UTF8* p = source + length;
    switch (length) {
    default:
        return false;
    case 4:
        if ((a = *--p) < 0x80 || a > 0xBF) return false;
        [[fallthrough]];
    case 3:
        if ((a = *--p) < 0x80 || a > 0xBF) return false;
        [[fallthrough]];
    case 2:
        if ((a = *--p) < 0x80 || a > 0xBF) return false;
        // The second byte also rules out overlong forms, encoded surrogates
        // and values above U+10FFFF.
        switch (*source) {
        case 0xE0:
            if (a < 0xA0) return false;
            break;
        case 0xED:
            if (a > 0x9F) return false;
            break;
        case 0xF0:
            if (a < 0x90) return false;
            break;
        case 0xF4:
            if (a > 0x8F) return false;
            break;
        default:
            break;
        }
        [[fallthrough]];
    case 1:
        if (*source >= 0x80 && *source < 0xC2) return false;
    }
    return *source <= 0xF4;
}

bool utf_isLegalUTF8Sequence(const UTF8* source, const UTF8* sourceEnd) {
    int length = utf_sequenceLength(*source);
    if (length > sourceEnd - source) return false;
    return utf_isLegalUTF8(source, length);
}

ConversionResult utf_ConvertUTF8toUTF16(const UTF8** sourceStart, const UTF8* sourceEnd, UTF16** targetStart,
                                        UTF16* targetEnd, ConversionFlags flags) {
    ConversionResult result = conversionOK;
    const UTF8* source = *sourceStart;
    UTF16* target = *targetStart;
    while (source < sourceEnd) {
        int length = utf_sequenceLength(*source);
        if (length > sourceEnd - source) {
            result = sourceExhausted;
            break;
        }
        if (!utf_isLegalUTF8(source, length)) {
            result = sourceIllegal;
            break;
        }
        UTF32 ch = 0;
        for (int i = 0; i < length; ++i) {
            if (i) ch <<= 6;
            ch += source[i];
        }
        ch -= kOffsetsFromUTF8[length - 1];
        if (target >= targetEnd) {
            result = targetExhausted;
            break;
        }
        if (ch <= kMaxBmp) {
            if (ch >= kSurHighStart && ch <= kSurLowEnd) {
                if (flags == strictConversion) {
                    result = sourceIllegal;
                    break;
                }
                *target++ = static_cast<UTF16>(kReplacementChar);
            } else {
                *target++ = static_cast<UTF16>(ch);
            }
        } else if (ch > kMaxUtf16) {
            if (flags == strictConversion) {
                result = sourceIllegal;
                break;
            }
            *target++ = static_cast<UTF16>(kReplacementChar);
        } else {
            if (targetEnd - target < 2) {
                result = targetExhausted;
                break;
            }
            ch -= kHalfBase;
            *target++ = static_cast<UTF16>((ch >> kHalfShift) + kSurHighStart);
            *target++ = static_cast<UTF16>((ch & kHalfMask) + kSurLowStart);
        }
        source += length;
    }
    *sourceStart = source;
    *targetStart = target;
    return result;
}

} // namespace Vq
