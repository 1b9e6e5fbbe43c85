#include "VqBitLengthCodec2.h"

#include "VqCodeTextReader.h"
#include "VqCodeTextWriter.h"
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

int32_t signExtend(uint32_t u, int w) {
    if (w == 0) return 0;
    if (w >= 32) return static_cast<int32_t>(u);
    return static_cast<int32_t>(u << (32 - w)) >> (32 - w);
}

// Codes needed for a width change: extreme codes (+7 up, -8 down) repeat
// until the rest fits a code that is not extreme, which ends the change.
int deltaCodes(int d) {
    if (d >= 7) return 1 + d / 7;
    if (d <= -8) return 1 + (-d) / 8;
    return 1;
}

void writeDelta(VqCodeTextWriter& out, int d) {
    constexpr int lo = -(1 << (VqBitLengthCodec2::cDeltaBits - 1));
    constexpr int hi = (1 << (VqBitLengthCodec2::cDeltaBits - 1)) - 1;
    for (; d >= hi; d -= hi)
        out.writeBits(static_cast<uint32_t>(hi), VqBitLengthCodec2::cDeltaBits);
    for (; d <= lo; d -= lo)
        out.writeBits(static_cast<uint32_t>(lo), VqBitLengthCodec2::cDeltaBits);
    out.writeBits(static_cast<uint32_t>(d), VqBitLengthCodec2::cDeltaBits);
}

bool codeTextTooShort() {
    VqErrorState::throwStdError(kCls, "decode", "Code text too short", VQ_ERR_CORRUPT);
    return false;
}
} // namespace

void VqBitLengthCodec2::_buildRuns(const int* values, int nValues, int32_t mean) {
    _vRuns.clear();
    for (int i = 0; i < nValues; ++i) {
        const int w = signedWidth(static_cast<int32_t>(static_cast<uint32_t>(values[i]) - static_cast<uint32_t>(mean)));
        if (!_vRuns.empty() && _vRuns.back().width == w)
            ++_vRuns.back().length;
        else
            _vRuns.push_back({w, 1});
    }
    // Smoothing: a run narrower than a neighbour is widened to it when the
    // bits added are no more than the width changes saved, taken at 8 bits
    // each (one change code and one run length): a valley between two equal
    // neighbours saves two changes, any other widening one. Widths only grow,
    // so every value still fits. The runs kept are compacted in place.
    size_t kept = 0;
    for (size_t j = 0; j < _vRuns.size(); ++j) {
        const Run cur = _vRuns[j];
        const int left = kept > 0 ? _vRuns[kept - 1].width : -1;
        const int right = j + 1 < _vRuns.size() ? _vRuns[j + 1].width : -1;
        const auto extra = [&](int target) { return int64_t(target - cur.width) * cur.length; };
        if (left > cur.width && left == right && extra(left) <= 16) {
            _vRuns[kept - 1].length += cur.length + _vRuns[j + 1].length;
            ++j;
            continue;
        }
        const bool leftWider = left > cur.width, rightWider = right > cur.width;
        if (leftWider || rightWider) {
            // The narrower of the wider neighbours costs the fewest bits.
            const bool toLeft = leftWider && (!rightWider || left <= right);
            if (extra(toLeft ? left : right) <= 8) {
                if (toLeft)
                    _vRuns[kept - 1].length += cur.length;
                else
                    _vRuns[j + 1].length += cur.length;
                continue;
            }
        }
        if (kept > 0 && _vRuns[kept - 1].width == cur.width)
            _vRuns[kept - 1].length += cur.length;
        else
            _vRuns[kept++] = cur;
    }
    _vRuns.resize(kept);
}

int64_t VqBitLengthCodec2::_variableBits() const {
    int64_t bits = 1 + 32 + 3 + 3;
    int width = 0;
    for (const Run& r : _vRuns) {
        const int64_t groups = (r.length + cMaxRun - 1) / cMaxRun;
        bits += (deltaCodes(r.width - width) + groups - 1) * cDeltaBits + groups * cRunBits;
        bits += int64_t(r.width) * r.length;
        width = r.width;
    }
    return bits;
}

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
    const int w = static_cast<int>(std::bit_width(static_cast<uint32_t>(maxValue) - static_cast<uint32_t>(minValue)));
    const int wMin = signedWidth(minValue), wMax = signedWidth(maxValue);
    const int64_t fixedBits = 1 + 6 + 6 + wMin + wMax + int64_t(w) * nValues;

    // The mean in single precision, truncated toward zero; it lies between
    // the minimum and the maximum, so clamping only absorbs float rounding.
    const float mean = nValues > 0 ? static_cast<float>(static_cast<double>(sum) / nValues) : 0.0f;
    const int32_t mu = mean >= 2147483647.0f ? INT32_MAX : static_cast<int32_t>(mean);
    _buildRuns(values, nValues, mu);
    const int64_t variableBits = _variableBits();

    VqCodeTextWriter out(codeText);
    // The exact sizes of both modes decide; on a tie the fixed mode wins, as
    // it decodes faster.
    if (variableBits < fixedBits) {
        out.writeBits(1, 1);
        out.writeBits(static_cast<uint32_t>(mu), 32);
        out.writeBits(cDeltaBits, 3);
        out.writeBits(cRunBits, 3);
        int width = 0, i = 0;
        for (const Run& r : _vRuns) {
            for (int left = r.length; left > 0;) {
                const int chunk = std::min(left, cMaxRun);
                writeDelta(out, r.width - width);
                width = r.width;
                out.writeBits(static_cast<uint32_t>(chunk), cRunBits);
                for (int k = 0; k < chunk; ++k, ++i)
                    out.writeBits(static_cast<uint32_t>(values[i]) - static_cast<uint32_t>(mu), width);
                left -= chunk;
            }
        }
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
        const int w =
            static_cast<int>(std::bit_width(static_cast<uint32_t>(maxValue) - static_cast<uint32_t>(minValue)));
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
    } else {
        const uint32_t mean = in.readBits(32);
        const int nDeltaBits = static_cast<int>(in.readBits(3));
        const int nRunBits = static_cast<int>(in.readBits(3));
        VQ_CHECK(nDeltaBits > 0 && nRunBits > 0, kCls, "decode", VQ_ERR_CORRUPT);
        const int lo = -(1 << (nDeltaBits - 1)), hi = (1 << (nDeltaBits - 1)) - 1;
        int room = _initialCapacity(nValues, nBits);
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
            if (run > nValues - i) VQ_FAIL(kCls, "decode", "_pvValues->length() == nExpectedValues", VQ_ERR_CORRUPT);
            while (i + run > room)
                room = _grow(values, room, nValues);
            int* out = values.data();
            for (int k = 0; k < run; ++k)
                out[i++] = static_cast<int32_t>(mean + static_cast<uint32_t>(signExtend(in.readBits(iWidth), iWidth)));
        }
        values.resize(static_cast<size_t>(nValues));
    }
    if (in.overrun()) return codeTextTooShort();
    if (!in.exhausted()) VQ_FAIL(kCls, "decode", "nValBits == 0", VQ_ERR_CORRUPT);
    if (!in.padIsZero()) VQ_FAIL(kCls, "decode", "uVal == 0", VQ_ERR_CORRUPT);
    return true;
}

size_t VqBitLengthCodec2::memSize() const {
    return sizeof(*this) + _vRuns.capacity() * sizeof(Run);
}
