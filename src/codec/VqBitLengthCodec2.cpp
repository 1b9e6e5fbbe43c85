#include "VqBitLengthCodec2.h"

#include "VqCodeTextReader.h"
#include "VqCodeTextWriter.h"
#include "VqDecodeRoom.h"
#include "VqErrorState.h"

#include <algorithm>
#include <bit>
#include <climits>

namespace {
const char* const kCls = "VqBitLengthCodec2";

uint32_t magnitude(int32_t d) {
    return d < 0 ? 0u - static_cast<uint32_t>(d) : static_cast<uint32_t>(d);
}

// One sign bit plus the significant bits of |d|. 32 bits hold every
// difference modulo 2^32, which is all the reader needs, so that is the cap
// (it matters for INT_MIN alone).
int signedWidth(int32_t d) {
    return std::min(32, 1 + static_cast<int>(std::bit_width(magnitude(d))));
}

// Whether the values' least and greatest are the given bounds.
bool boundsReached(const int* v, int n, int32_t lo, int32_t hi) {
    if (n == 0) return true;
    const auto [pMin, pMax] = std::minmax_element(v, v + n);
    return *pMin == lo && *pMax == hi;
}

int32_t signExtend(uint32_t u, int w) {
    if (w == 0) return 0;
    if (w >= 32) return static_cast<int32_t>(u);
    return static_cast<int32_t>(u << (32 - w)) >> (32 - w);
}

bool codeTextTooShort() {
    VqErrorState::throwStdError(kCls, "decode", "Code text too short", VQ_ERR_CORRUPT);
    return false;
}
} // namespace

bool VqBitLengthCodec2::encode(const int* values, int nValues, VqVeci&, VqVecu& codeText, int64_t& nBits,
                               VqProbContext2* pProbCntx) {
    VQ_CHECK(pProbCntx == __null, kCls, "encode", VQ_ERR_ARGUMENT);
    int32_t minValue = nValues > 0 ? values[0] : 0, maxValue = minValue;
    int64_t sum = 0;
    for (int i = 0; i < nValues; ++i) {
        minValue = std::min(minValue, values[i]);
        maxValue = std::max(maxValue, values[i]);
        sum += values[i];
    }
    const int w =
        static_cast<int>(std::bit_width(static_cast<uint32_t>(maxValue) - static_cast<uint32_t>(minValue)));
    const int wMin = signedWidth(minValue), wMax = signedWidth(maxValue);
    const int64_t fixedBits = 1 + 6 + 6 + wMin + wMax + int64_t(w) * nValues;

    // The mean in single precision, truncated toward zero; it lies between
    // the minimum and the maximum, so clamping only absorbs float rounding.
    const float mean = nValues > 0 ? static_cast<float>(static_cast<double>(sum) / nValues) : 0.0f;
    const int32_t mu = mean >= 2147483647.0f ? INT32_MAX : static_cast<int32_t>(mean);
    _runs.clear();
    for (int i = 0; i < nValues; ++i)
        _runs.append(
            signedWidth(static_cast<int32_t>(static_cast<uint32_t>(values[i]) - static_cast<uint32_t>(mu))));
    _runs.smooth();
    const int64_t variableBits = 1 + 32 + 3 + 3 + _runs.codedBits();

    VqCodeTextWriter out(codeText);
    // The exact sizes of both modes decide; on a tie the fixed mode wins, as
    // it decodes faster.
    if (variableBits < fixedBits) {
        out.writeBits(1, 1);
        out.writeBits(static_cast<uint32_t>(mu), 32);
        out.writeBits(cDeltaBits, 3);
        out.writeBits(cRunBits, 3);
        _runs.write(out, [&](int i, int width) {
            out.writeBits(static_cast<uint32_t>(values[i]) - static_cast<uint32_t>(mu), width);
        });
    } else {
        out.writeBits(0, 1);
        out.writeBits(static_cast<uint32_t>(wMin), 6);
        out.writeBits(static_cast<uint32_t>(wMax), 6);
        out.writeBits(static_cast<uint32_t>(minValue), wMin);
        out.writeBits(static_cast<uint32_t>(maxValue), wMax);
        if (w > 0)
            for (int i = 0; i < nValues; ++i)
                out.writeBits(static_cast<uint32_t>(values[i]) - static_cast<uint32_t>(minValue), w);
    }
    out.finish();
    nBits = out.numBits();
    return true;
}

bool VqBitLengthCodec2::decode(int nValues, const int*, int, const uint32_t* codeText, int64_t nBits,
                               VqVeci& values, VqProbContext2* pProbCntx) {
    VQ_CHECK(pProbCntx == __null, kCls, "decode", VQ_ERR_ARGUMENT);
    VqCodeTextReader in(codeText, nBits);
    values.clear();
    if (in.readBit() == 0) {
        const int wMin = static_cast<int>(in.readBits(6));
        const int wMax = static_cast<int>(in.readBits(6));
        VQ_CHECK(wMin <= 32 && wMax <= 32, kCls, "decode", VQ_ERR_CORRUPT);
        const int32_t minValue = signExtend(in.readBits(wMin), wMin);
        const int32_t maxValue = signExtend(in.readBits(wMax), wMax);
        const int w = static_cast<int>(
            std::bit_width(static_cast<uint32_t>(maxValue) - static_cast<uint32_t>(minValue)));
        // The size is known: check it before making room for the values.
        if (1 + 6 + 6 + wMin + wMax + int64_t(w) * nValues > nBits) return codeTextTooShort();
        values.resize(static_cast<size_t>(nValues));
        int* out = values.data();
        const uint32_t base = static_cast<uint32_t>(minValue);
        if (w == 0) {
            std::fill(out, out + nValues, minValue);
        } else {
            for (int i = 0; i < nValues; ++i)
                out[i] = static_cast<int32_t>(base + in.readBits(w));
        }
        // The writer gives the bounds of the values in their narrowest
        // widths. Held to that, no bit of a packet is left that could change
        // without changing the values: a damaged bound is refused here
        // rather than read as the same values.
        if (wMin != signedWidth(minValue) || wMax != signedWidth(maxValue) ||
            !boundsReached(out, nValues, minValue, maxValue))
            VQ_FAIL(kCls, "decode", "vMin == minValue && vMax == maxValue", VQ_ERR_CORRUPT);
    } else {
        const uint32_t mean = in.readBits(32);
        const int nDeltaBits = static_cast<int>(in.readBits(3));
        const int nRunBits = static_cast<int>(in.readBits(3));
        VQ_CHECK(nDeltaBits > 0 && nRunBits > 0, kCls, "decode", VQ_ERR_CORRUPT);
        const int lo = -(1 << (nDeltaBits - 1)), hi = (1 << (nDeltaBits - 1)) - 1;
        int room = VqDecodeRoom::initial(nValues, nBits);
        values.resize(static_cast<size_t>(room));
        int iWidth = 0;
        for (int i = 0; i < nValues;) {
            int d = 0;
            do {
                d = signExtend(in.readBits(nDeltaBits), nDeltaBits);
                iWidth += d;
                VQ_CHECK(iWidth >= 0 && iWidth <= 32, kCls, "decode", VQ_ERR_CORRUPT);
            } while ((d == lo || d == hi) && !in.overrun());
            const int run = static_cast<int>(in.readBits(nRunBits));
            if (in.overrun()) return codeTextTooShort();
            if (run > nValues - i)
                VQ_FAIL(kCls, "decode", "_pvValues->length() == nExpectedValues", VQ_ERR_CORRUPT);
            while (i + run > room)
                room = VqDecodeRoom::grow(values, room, nValues);
            int* out = values.data();
            for (int k = 0; k < run; ++k)
                out[i++] = static_cast<int32_t>(
                    mean + static_cast<uint32_t>(signExtend(in.readBits(iWidth), iWidth)));
        }
        values.resize(static_cast<size_t>(nValues));
    }
    if (in.overrun()) return codeTextTooShort();
    if (!in.exhausted()) VQ_FAIL(kCls, "decode", "nValBits == 0", VQ_ERR_CORRUPT);
    if (!in.padIsZero()) VQ_FAIL(kCls, "decode", "uVal == 0", VQ_ERR_CORRUPT);
    return true;
}

size_t VqBitLengthCodec2::memSize() const {
    return sizeof(*this) + _runs.memSize();
}
