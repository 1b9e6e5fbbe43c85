#pragma once

#include "VqCodeTextWriter.h"
#include "VqExport.h"

#include <cstdint>
#include <vector>

// Runs of equal bit widths over an array, for the variable-width mode of the
// bit-length codecs (versions 2 and 3). That mode codes groups: width
// changes of cDeltaBits each, repeated while the change is one of the two
// extreme codes, then a run length of cRunBits, then the run's values in the
// new width. Widening a narrow run saves the change codes around it, so the
// runs are smoothed before they are written.
class VQ_API VqWidthRuns {
public:
    static constexpr int cDeltaBits = 4;
    static constexpr int cRunBits = 4;
    static constexpr int cMaxRun = (1 << cRunBits) - 1;
    static constexpr int cDeltaLo = -(1 << (cDeltaBits - 1)); // extreme codes: another change follows
    static constexpr int cDeltaHi = (1 << (cDeltaBits - 1)) - 1;

    struct Run {
        int width;
        int length;
    };

    void clear() { _vRuns.clear(); }
    // Appends the width of the next value.
    void append(int width) {
        if (!_vRuns.empty() && _vRuns.back().width == width)
            ++_vRuns.back().length;
        else
            _vRuns.push_back({width, 1});
    }

    // A run narrower than a neighbour is widened to it when the bits added
    // are no more than the width changes saved, taken at 8 bits each (one
    // change code and one run length): a valley between two equal neighbours
    // saves two changes, any other widening one. Widths only grow, so every
    // value still fits. The runs kept are compacted in place.
    void smooth() {
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

    const std::vector<Run>& runs() const { return _vRuns; }

    // Bits of all groups: change codes, run lengths and the values' bits.
    int64_t codedBits() const {
        int64_t bits = 0;
        int width = 0;
        for (const Run& r : _vRuns) {
            const int64_t groups = (r.length + cMaxRun - 1) / cMaxRun;
            bits += (deltaCodes(r.width - width) + groups - 1) * cDeltaBits + groups * cRunBits;
            bits += int64_t(r.width) * r.length;
            width = r.width;
        }
        return bits;
    }

    // Writes the groups, runs cut at cMaxRun values; writeValue(i, width)
    // writes value i in the width of its run.
    template <class WriteValue>
    void write(VqCodeTextWriter& out, WriteValue&& writeValue) const {
        int width = 0, i = 0;
        for (const Run& r : _vRuns) {
            for (int left = r.length; left > 0;) {
                const int chunk = left < cMaxRun ? left : cMaxRun;
                writeDelta(out, r.width - width);
                width = r.width;
                out.writeBits(static_cast<uint32_t>(chunk), cRunBits);
                for (int k = 0; k < chunk; ++k, ++i)
                    writeValue(i, width);
                left -= chunk;
            }
        }
    }

    // Codes needed for a width change: extreme codes (+7 up, -8 down) repeat
    // until the rest fits a code that is not extreme, which ends the change.
    static int deltaCodes(int d) {
        if (d >= cDeltaHi) return 1 + d / cDeltaHi;
        if (d <= cDeltaLo) return 1 + d / cDeltaLo;
        return 1;
    }
    static void writeDelta(VqCodeTextWriter& out, int d) {
        for (; d >= cDeltaHi; d -= cDeltaHi)
            out.writeBits(static_cast<uint32_t>(cDeltaHi), cDeltaBits);
        for (; d <= cDeltaLo; d -= cDeltaLo)
            out.writeBits(static_cast<uint32_t>(cDeltaLo), cDeltaBits);
        out.writeBits(static_cast<uint32_t>(d), cDeltaBits);
    }

    size_t memSize() const { return _vRuns.capacity() * sizeof(Run); }

private:
    std::vector<Run> _vRuns;
};
