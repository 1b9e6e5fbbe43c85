#include "VqBitLengthCodec.h"

#include "VqCodeTextReader.h"
#include "VqCodeTextWriter.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdlib>

namespace {
const char* const kCls = "VqBitLengthCodec";

// The least even width that holds v as a two's complement number (0 for 0).
int neededWidth(int v) {
    if (v == 0) return 0;
    const int w = 1 + static_cast<int>(std::bit_width(static_cast<uint32_t>(v ^ (v >> 31))));
    return (w + 1) & ~1;
}

// Bits of the prefix that changes the width from a to b.
int prefixBits(int a, int b) {
    return a == b ? 1 : 2 + std::abs(b - a) / 2;
}

void writePrefix(VqCodeTextWriter& out, int from, int to) {
    if (from == to) {
        out.writeBits(0, 1);
        return;
    }
    const bool up = to > from;
    out.writeBits(1, 1);
    out.writeRun(up, static_cast<uint64_t>(std::abs(to - from) / 2));
    out.writeBits(up ? 0u : 1u, 1);
}

bool codeTextTooShort() {
    VqErrorState::throwStdError(kCls, "decode", "Code text too short", VQ_ERR_CORRUPT);
    return false;
}
} // namespace

void VqBitLengthCodec::_chooseWidths(const int* values, int nValues) {
    _vWidths.resize(static_cast<size_t>(nValues));
    int cur = 0;
    for (int i = 0; i < nValues; ++i) {
        const int need = neededWidth(values[i]);
        const int next = i + 1 < nValues ? neededWidth(values[i + 1]) : -1;
        // Bits of this value in width w and of the next one after it.
        const auto score = [&](int w) {
            int bits = prefixBits(cur, w) + w;
            if (next >= 0) bits += std::min(w >= next ? 1 + w : INT_MAX / 2, prefixBits(w, next) + next);
            return bits;
        };
        // Keeping the width wins ties, then the narrower choice.
        int best = need;
        if (cur >= need && score(cur) <= score(best)) best = cur;
        if (next > need && score(next) < score(best)) best = next;
        _vWidths[static_cast<size_t>(i)] = static_cast<uint8_t>(best);
        cur = best;
    }
}

int64_t VqBitLengthCodec::estimateBits(const int* values, int nValues) {
    _chooseWidths(values, nValues);
    int64_t bits = 0;
    int cur = 0;
    for (uint8_t w : _vWidths) {
        bits += prefixBits(cur, w) + w;
        cur = w;
    }
    return bits;
}

bool VqBitLengthCodec::encode(const int* symbols, int nSymbols, const VqProbModel<int>*, VqVecu& codeText,
                              int64_t& nBits) {
    _chooseWidths(symbols, nSymbols);
    VqCodeTextWriter out(codeText);
    int cur = 0;
    for (int i = 0; i < nSymbols; ++i) {
        const int w = _vWidths[static_cast<size_t>(i)];
        writePrefix(out, cur, w);
        out.writeBits(static_cast<uint32_t>(symbols[i]), w);
        cur = w;
    }
    out.finish();
    nBits = out.numBits();
    return true;
}

bool VqBitLengthCodec::decode(const uint32_t* codeText, int64_t nBits, int nSymbols, int nValues,
                              const VqProbModel<int>*, const int*, int, VqVeci& values) {
    VqCodeTextReader in(codeText, nBits);
    int room = VqDecodeRoom::initial(nValues, nBits);
    values.resize(static_cast<size_t>(room));
    int width = 0;
    for (int i = 0; i < nSymbols; ++i) {
        if ((i & 4095) == 4095 && in.overrun()) return codeTextTooShort();
        if (i == room) {
            // Symbols are values here: more of them than values is corrupt.
            if (i == nValues) VQ_FAIL(kCls, "decode", "numValues() == nExpectedValues", VQ_ERR_CORRUPT);
            room = VqDecodeRoom::grow(values, room, nValues);
        }
        int v = 0;
        if (width > 0 || in.numBitsRead() < nBits) {
            if (in.readBit()) {
                const uint32_t dir = in.readBit();
                int steps = 1;
                for (; in.readBit() == dir; ++steps)
                    if (steps > cMaxWidth / 2 || in.overrun()) break;
                width += dir ? 2 * steps : -2 * steps;
                if (width < 0 || width > cMaxWidth)
                    VQ_FAIL(kCls, "decode", "Bad width change", VQ_ERR_CORRUPT);
            }
            const uint32_t u = in.readBits(width);
            v = width == 0    ? 0
                : width == 32 ? static_cast<int>(u)
                              : static_cast<int>(u << (32 - width)) >> (32 - width);
        }
        values[static_cast<size_t>(i)] = v;
    }
    values.resize(static_cast<size_t>(nSymbols));
    if (in.overrun()) return codeTextTooShort();
    if (!in.exhausted() || !in.padIsZero())
        VQ_FAIL(kCls, "decode", "Bits left after the last value", VQ_ERR_CORRUPT);
    return true;
}
