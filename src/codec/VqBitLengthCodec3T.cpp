#include "VqBitLengthCodec3T.h"

#include "VqCpuIsa.h"
#include "VqDecodeRoom.h"
#include "VqErrorState.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>

namespace {
const char* const kCls = "VqBitLengthCodec3T";

// Numbers of up to 64 bits in the code text, most significant bit first.
template <class U>
void writeWide(VqCodeTextWriter& out, U v, int n) {
    if (n <= 32) {
        out.writeBits(static_cast<uint32_t>(v), n);
    } else {
        out.writeBits(static_cast<uint32_t>(static_cast<uint64_t>(v) >> 32), n - 32);
        out.writeBits(static_cast<uint32_t>(v), 32);
    }
}

template <class U>
U readWide(VqCodeTextReader& in, int n) {
    if (n <= 32) return static_cast<U>(in.readBits(n));
    const uint64_t hi = in.readBits(n - 32);
    return static_cast<U>((hi << 32) | in.readBits(32));
}

template <class T, class U>
T signExtend(U u, int w, int valueBits) {
    if (w == 0) return 0;
    if (w >= valueBits) return static_cast<T>(u);
    return static_cast<T>(static_cast<T>(u << (valueBits - w)) >> (valueBits - w));
}

template <class T, class U>
T minus(T a, T b) {
    return static_cast<T>(static_cast<U>(static_cast<U>(a) - static_cast<U>(b)));
}

// n copies of v, sixteen bytes a store: the compiler's fill writes one value
// at a time.
template <class T>
void fillWide(T* out, size_t n, T v) {
    constexpr size_t kPer = sizeof(__m128i) / sizeof(T);
    T pattern[kPer];
    std::fill_n(pattern, kPer, v);
    __m128i wide;
    std::memcpy(&wide, pattern, sizeof wide);
    size_t i = 0;
    for (; n - i >= kPer; i += kPer)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), wide);
    for (; i < n; ++i)
        out[i] = v;
}

// The 33 or more bits of a text of nWords words from bit pos on, left
// aligned in 64: the word holding pos and the next one (0 past the text).
inline uint64_t bitsFrom(const uint32_t* text, int64_t nWords, int64_t pos) {
    const int64_t iWord = pos >> 5;
    const uint64_t next = iWord + 1 < nWords ? text[iWord + 1] : 0u;
    return ((uint64_t(text[iWord]) << 32) | next) << (pos & 31);
}

// Offsets i = from to n - 1 of w bits (1 to 32), the first at bit start of a
// text of nWords words, added to base into out; lo and hi take their bounds.
// Offset i lies w * i bits on, so each is read from the two words around it,
// apart from the others: through a reader, every read waited for the one
// before to shift its buffer. The caller keeps every offset inside the text.
template <class T, class U>
void unpackFixed(const uint32_t* text, int64_t nWords, int64_t start, int w, int from, int n, U base, T* out,
                 U& lo, U& hi) {
    for (int i = from; i < n; ++i) {
        const U off = static_cast<U>(bitsFrom(text, nWords, start + int64_t(i) * w) >> (64 - w));
        lo = std::min(lo, off);
        hi = std::max(hi, off);
        out[i] = static_cast<T>(static_cast<U>(base + off));
    }
}

// The same for 32-bit values, eight at a time in the wider set, as far as
// the nine words that eight offsets can touch lie in the text; returns how
// many it did. Eight offsets start at most 7 * 32 + 31 bits after the first
// one's word, so each one's word and the next are picked out of the eight
// words from that one and the eight after it.
[[VQ_FAST_ISA_TARGET]] int unpackFixedWide(const uint32_t* text, int64_t nWords, int64_t start, int w, int n,
                                           uint32_t base, int* out, uint32_t& lo, uint32_t& hi) {
    const __m256i lanes = _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_epi32(w));
    const __m256i thirtyTwo = _mm256_set1_epi32(32), low5 = _mm256_set1_epi32(31),
                  b = _mm256_set1_epi32(int(base));
    const __m128i drop = _mm_cvtsi32_si128(32 - w);
    __m256i vLo = _mm256_set1_epi32(-1), vHi = _mm256_setzero_si256();
    int i = 0;
    for (int64_t pos = start; n - i >= 8 && (pos >> 5) + 9 <= nWords; i += 8, pos += 8 * int64_t(w)) {
        const __m256i r = _mm256_add_epi32(_mm256_set1_epi32(int(pos & 31)), lanes);
        const __m256i idx = _mm256_srli_epi32(r, 5), sh = _mm256_and_si256(r, low5);
        const uint32_t* p = text + (pos >> 5);
        const __m256i first =
            _mm256_permutevar8x32_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), idx);
        const __m256i second =
            _mm256_permutevar8x32_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 1)), idx);
        // A shift by 32 gives 0, as the second word's part of an offset
        // that starts on a word's first bit is.
        const __m256i bits = _mm256_or_si256(_mm256_sllv_epi32(first, sh),
                                             _mm256_srlv_epi32(second, _mm256_sub_epi32(thirtyTwo, sh)));
        const __m256i off = _mm256_srl_epi32(bits, drop);
        vLo = _mm256_min_epu32(vLo, off);
        vHi = _mm256_max_epu32(vHi, off);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_add_epi32(off, b));
    }
    alignas(32) uint32_t aLo[8], aHi[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(aLo), vLo);
    _mm256_store_si256(reinterpret_cast<__m256i*>(aHi), vHi);
    for (int k = 0; k < 8; ++k) {
        lo = std::min(lo, aLo[k]);
        hi = std::max(hi, aHi[k]);
    }
    return i;
}

// Values of w bits (1 to 32) from bit start on, sign-extended, added to base
// into out, n of them, as unpackFixed() reads them: the arithmetic shift of
// the bits extends the sign.
template <class T, class U>
void unpackSigned(const uint32_t* text, int64_t nWords, int64_t start, int w, int n, U base, T* out) {
    for (int i = 0; i < n; ++i) {
        const int64_t v = static_cast<int64_t>(bitsFrom(text, nWords, start + int64_t(i) * w)) >> (64 - w);
        out[i] = static_cast<T>(static_cast<U>(base + static_cast<U>(v)));
    }
}

bool codeTextTooShort() {
    VqErrorState::throwStdError(kCls, "decode", "Code text too short", VQ_ERR_CORRUPT);
    return false;
}
} // namespace

template <class T>
void VqBitLengthCodec3T<T>::writeNibbleNumber(VqCodeTextWriter& out, T v) {
    const int groups = nibbleGroups(v);
    for (int k = 0; k < groups; ++k) {
        out.writeBits(static_cast<uint32_t>(static_cast<U>(v) >> (4 * k)) & 0xFu, 4);
        out.writeBits(k + 1 < groups ? 1u : 0u, 1);
    }
}

template <class T>
bool VqBitLengthCodec3T<T>::readNibbleNumber(VqCodeTextReader& in, T& v) {
    U u = 0;
    int groups = 0;
    bool more = true;
    while (more) {
        if (groups == cValueBits / 4) return false;
        u |= static_cast<U>(in.readBits(4)) << (4 * groups);
        ++groups;
        more = in.readBit() != 0;
    }
    v = signExtend<T, U>(u, 4 * groups, cValueBits);
    return true;
}

template <class T>
int64_t VqBitLengthCodec3T<T>::_variableEstimate(const T* values, int nValues, T centre) {
    _runs.clear();
    for (int i = 0; i < nValues; ++i)
        _runs.append(signedBits(minus<T, U>(values[i], centre)));
    _runs.smooth();
    return (_runs.codedBits() + 8 + 31) / 32 * 32;
}

template <class T>
typename VqBitLengthCodec3T<T>::Plan VqBitLengthCodec3T<T>::_plan(const T* values, int nValues, T minValue,
                                                                  T maxValue, T mean) {
    const int64_t w = significantBits(static_cast<U>(static_cast<U>(maxValue) - static_cast<U>(minValue)));
    const int64_t fixedBits = w * (nValues + 2) + 15;
    // Centred on the mean, differences are small for values that cluster;
    // on the minimum (when it is not negative) they are for values that
    // pile up at the bottom of their range.
    const T low = std::max<T>(minValue, 0);
    const int64_t atMean = _variableEstimate(values, nValues, mean);
    const int64_t atLow = low == mean ? atMean : _variableEstimate(values, nValues, low);
    const T centre = atLow < atMean ? low : mean;
    const int64_t estimate = std::min(fixedBits, std::min(atMean, atLow));
    return {estimate <= w * nValues, centre, estimate};
}

template <class T>
int64_t VqBitLengthCodec3T<T>::estimateBits(const T* values, int nValues, T minValue, T maxValue, T mean) {
    return _plan(values, nValues, minValue, maxValue, mean).estimate;
}

template <class T>
bool VqBitLengthCodec3T<T>::encode(const T* values, int nValues, VqVec<T>&, VqVecu& codeText, int64_t& nBits,
                                   VqProbContext3T<T>* pProbCntx) {
    VQ_CHECK(pProbCntx == __null, kCls, "encode", VQ_ERR_ARGUMENT);
    T minValue = nValues > 0 ? values[0] : 0, maxValue = minValue;
    __int128 sum = 0;
    for (int i = 0; i < nValues; ++i) {
        minValue = std::min(minValue, values[i]);
        maxValue = std::max(maxValue, values[i]);
        sum += values[i];
    }
    // Truncated toward zero, the mean lies between the minimum and the maximum.
    const T mean = nValues > 0 ? static_cast<T>(sum / nValues) : 0;
    const Plan plan = _plan(values, nValues, minValue, maxValue, mean);

    VqCodeTextWriter out(codeText);
    if (plan.bVariable) {
        // _plan estimated the mean first: its runs are gone when the other
        // centre was estimated after it.
        if (plan.centre == mean && std::max<T>(minValue, 0) != mean) _variableEstimate(values, nValues, mean);
        out.writeBits(1, 1);
        writeNibbleNumber(out, plan.centre);
        _runs.write(out, [&](int i, int width) {
            writeWide(out, static_cast<U>(static_cast<U>(values[i]) - static_cast<U>(plan.centre)), width);
        });
    } else {
        out.writeBits(0, 1);
        writeNibbleNumber(out, minValue);
        writeNibbleNumber(out, maxValue);
        const int w = significantBits(static_cast<U>(static_cast<U>(maxValue) - static_cast<U>(minValue)));
        if (w > 0)
            for (int i = 0; i < nValues; ++i)
                writeWide(out, static_cast<U>(static_cast<U>(values[i]) - static_cast<U>(minValue)), w);
    }
    out.finish();
    nBits = out.numBits();
    return true;
}

template <class T>
bool VqBitLengthCodec3T<T>::decode(int nValues, const T*, int, const uint32_t* codeText, int64_t nBits,
                                   VqVec<T>& values, VqProbContext3T<T>* pProbCntx) {
    VQ_CHECK(pProbCntx == __null, kCls, "decode", VQ_ERR_ARGUMENT);
    VqCodeTextReader in(codeText, nBits);
    // Every value is written below before any is read: values grows unset.
    if (in.readBit() == 0) {
        T minValue = 0, maxValue = 0;
        if (!readNibbleNumber(in, minValue) || !readNibbleNumber(in, maxValue))
            VQ_FAIL(kCls, "decode", "Nibble number too long", VQ_ERR_CORRUPT);
        const U span = static_cast<U>(static_cast<U>(maxValue) - static_cast<U>(minValue));
        const int w = significantBits(span);
        // The size is known: check it before making room for the values.
        if (in.numBitsRead() + int64_t(w) * nValues > nBits) return codeTextTooShort();
        // Equal values (as a chopper's low parts often are) go out in wide
        // stores of their own.
        values.resizeUnset(static_cast<size_t>(nValues));
        T* out = values.data();
        if (w == 0) fillWide(out, values.size(), minValue);
        const U base = static_cast<U>(minValue);
        // The writer gives the values' own bounds: held to them, a damaged
        // bound is refused rather than read as the same values. Offsets in
        // [0, span] keep the order of the values they give, so the bounds
        // hold when the offsets read reach 0 and span, and no further.
        U offMin = 0, offMax = 0;
        if (w > 0 && w <= 32) {
            const int64_t start = in.numBitsRead(), nWords = (nBits + 31) / 32;
            offMin = ~U(0);
            int i = 0;
            if constexpr (sizeof(T) == 4) {
                if (Vq::CpuIsa::fast())
                    i = unpackFixedWide(codeText, nWords, start, w, nValues, base, out, offMin, offMax);
            }
            unpackFixed(codeText, nWords, start, w, i, nValues, base, out, offMin, offMax);
            in.seek(start + int64_t(w) * nValues);
        } else if (w > 32) {
            // Wider offsets (of 64-bit values only) through a copy of the
            // reader in locals: its members, which the stores of the values
            // may alias, would otherwise go through memory at every value.
            VqCodeTextReader r = in;
            offMin = ~U(0);
            for (int i = 0; i < nValues; ++i) {
                const U off = readWide<U>(r, w);
                offMin = std::min(offMin, off);
                offMax = std::max(offMax, off);
                out[i] = static_cast<T>(static_cast<U>(base + off));
            }
            in = r;
        }
        if (nValues > 0 && (maxValue < minValue || offMin != 0 || offMax != span))
            VQ_FAIL(kCls, "decode", "vMin == minValue && vMax == maxValue", VQ_ERR_CORRUPT);
    } else {
        T centre = 0;
        if (!readNibbleNumber(in, centre)) VQ_FAIL(kCls, "decode", "Nibble number too long", VQ_ERR_CORRUPT);
        const U base = static_cast<U>(centre);
        int room = VqDecodeRoom::initial(nValues, nBits);
        values.resizeUnset(static_cast<size_t>(room)); // the runs write every value
        int iWidth = 0;
        // The runs through one copy of the reader in locals, whose members
        // the stores of the values may alias: a copy made afresh for each
        // run, and stored back after it, went through memory for every
        // run, most of which are short.
        VqCodeTextReader r = in;
        for (int i = 0; i < nValues;) {
            int d = 0;
            do {
                d = signExtend<int, uint32_t>(r.readBits(VqWidthRuns::cDeltaBits), VqWidthRuns::cDeltaBits,
                                              32);
                iWidth += d;
                VQ_CHECK(iWidth >= 0 && iWidth <= cValueBits, kCls, "decode", VQ_ERR_CORRUPT);
            } while ((d == VqWidthRuns::cDeltaLo || d == VqWidthRuns::cDeltaHi) && !r.overrun());
            const int run = static_cast<int>(r.readBits(VqWidthRuns::cRunBits));
            if (r.overrun()) return codeTextTooShort();
            if (run > nValues - i)
                VQ_FAIL(kCls, "decode", "C->_pvValues->length() == nExpectedValues", VQ_ERR_CORRUPT);
            while (i + run > room)
                room = VqDecodeRoom::grow(values, room, nValues);
            T* out = values.data() + i;
            if (iWidth > 32) {
                for (int k = 0; k < run; ++k)
                    out[k] = static_cast<T>(static_cast<U>(
                        base + static_cast<U>(signExtend<T, U>(readWide<U>(r, iWidth), iWidth, cValueBits))));
            } else if (iWidth > 0) {
                // From their places in the text, as for one width: a run
                // past the text's end would read zeros and then fail so.
                const int64_t start = r.numBitsRead();
                if (start + int64_t(run) * iWidth > nBits) return codeTextTooShort();
                unpackSigned(codeText, (nBits + 31) / 32, start, iWidth, run, base, out);
                r.seek(start + int64_t(run) * iWidth);
            } else {
                std::fill_n(out, run, static_cast<T>(base));
            }
            i += run;
        }
        in = r;
        values.resize(static_cast<size_t>(nValues));
    }
    if (in.overrun()) return codeTextTooShort();
    if (!in.exhausted()) VQ_FAIL(kCls, "decode", "_nValBits == 0", VQ_ERR_CORRUPT);
    if (!in.padIsZero()) VQ_FAIL(kCls, "decode", "_uVal == 0", VQ_ERR_CORRUPT);
    return true;
}

template class VqBitLengthCodec3T<int>;
template class VqBitLengthCodec3T<long>;
