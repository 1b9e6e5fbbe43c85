#pragma once

#include "VqErrorState.h"
#include "VqVec.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

// The table of a probability context, shared by the context classes of every
// packet generation. Entry supplies _cCount and _cCumCount (integers),
// isEscape(), value() with its ValueType, and the class name used in error
// records (s_pContextClass).
//
// Entries keep their table order: the coders use the cumulative counts of
// that order, so the order is part of the packet. Writers sort by descending
// count before accumulating, which puts the likeliest entries first, where
// lookupEntryByCumCount looks before it searches.
template <class Entry>
class VqCntxTable {
public:
    typedef typename Entry::ValueType ValueType;
    // Bounds that keep the arithmetic coder exact: a context has fewer
    // entries than this, and after rescale() a total count below it.
    static constexpr int cMaxCntxCount = 8192;
    static constexpr uint32_t cMaxTotalCount = 8192;

    int numEntries() const { return _vEntries.length(); }
    const Entry& entry(int i) const { return _vEntries[i]; }
    Entry& entry(int i) { return _vEntries[i]; }
    const Entry* entries() const { return _vEntries.data(); }
    uint32_t totalCount() const { return _cTotalCount; }

    void clear() {
        _vEntries.clear();
        _cTotalCount = 0;
        _invalidate();
    }
    void addEntry(const Entry& e) {
        _vEntries.push_back(e);
        _invalidate();
    }

    // Cumulative counts in table order; the total is their sum. Counts must
    // not be negative.
    void accumulateCounts() {
        uint64_t cum = 0;
        for (Entry& e : _vEntries) {
            e._cCumCount = static_cast<decltype(e._cCumCount)>(cum);
            cum += static_cast<uint64_t>(e._cCount);
        }
        _cTotalCount = static_cast<uint32_t>(cum);
        _invalidate();
    }

    // Descending count; equal counts keep their order, so the result depends
    // on the input order alone.
    void sortByDescendingCount() {
        std::stable_sort(_vEntries.begin(), _vEntries.end(),
                         [](const Entry& a, const Entry& b) { return a._cCount > b._cCount; });
        _invalidate();
    }

    // Scales the counts down until the total is below cMaxTotalCount. Each
    // pass multiplies by 8191 / total in single precision, truncates and
    // keeps every entry at a count of at least 1, so no value is lost (a
    // zero-count escape becomes codable too).
    bool rescale() {
        const char* cls = Entry::s_pContextClass;
        const int nEntries = numEntries();
        VQ_CHECK(nEntries < cMaxCntxCount, cls, "rescale", VQ_ERR_INTERNAL);
        while (_cTotalCount >= cMaxTotalCount) {
            const uint32_t cLastCount = _cTotalCount;
            const float factor = 8191.0f / static_cast<float>(cLastCount);
            for (Entry& e : _vEntries) {
                const auto scaled = static_cast<decltype(e._cCount)>(static_cast<float>(e._cCount) * factor);
                e._cCount = std::max<decltype(e._cCount)>(scaled, 1);
            }
            accumulateCounts();
            VQ_CHECK(totalCount() < cLastCount, cls, "rescale", VQ_ERR_INTERNAL);
        }
        return true;
    }

    // The entry whose interval [cum, cum + count) holds target, or -1. With
    // more than 8 entries the first four are tried in turn (after sorting by
    // count they take most of the probability), then the rest is searched by
    // cumulative count; zero-count entries are never returned.
    int lookupEntryByCumCount(uint32_t target) const {
        const Entry* e = _vEntries.data();
        const int n = numEntries();
        int first = 0;
        if (n > 8) {
            for (int i = 0; i < 4; ++i)
                if (_holds(e[i], target)) return i;
            first = 4;
        } else {
            for (int i = 0; i < n; ++i)
                if (_holds(e[i], target)) return i;
            return -1;
        }
        // The last entry at or below target: later entries start above it,
        // and a zero-count entry shares its start with the entry after it.
        int lo = first, hi = n - 1, found = -1;
        while (lo <= hi) {
            const int mid = lo + (hi - lo) / 2;
            if (static_cast<uint32_t>(e[mid]._cCumCount) <= target) {
                found = mid;
                lo = mid + 1;
            } else {
                hi = mid - 1;
            }
        }
        return found >= 0 && _holds(e[found], target) ? found : -1;
    }

    // Encoding side: the entry of value v, else the escape entry, else -1.
    // The index is built on first use after the table changed.
    int lookupEntryByValue(ValueType v) {
        if (!_bValueIndexValid) _buildValueIndex();
        if (_bDenseIndex) {
            const uint64_t off = static_cast<uint64_t>(v) - static_cast<uint64_t>(_valueBase);
            if (off < static_cast<uint64_t>(_vDenseIndex.size())) {
                const int i = _vDenseIndex[off];
                if (i >= 0) return i;
            }
            return _iEscape;
        }
        auto it =
            std::lower_bound(_vSortedValues.begin(), _vSortedValues.end(), v,
                             [](const std::pair<ValueType, int>& p, ValueType x) { return p.first < x; });
        return it != _vSortedValues.end() && it->first == v ? it->second : _iEscape;
    }
    // Index of the (first) escape entry, or -1.
    int escapeIndex() {
        if (!_bValueIndexValid) _buildValueIndex();
        return _iEscape;
    }

    // Whether this table, read from a packet, is the one the writers build
    // for the values it decoded, given how often the decoder took each entry
    // (counts, one per entry) and the out-of-band values the escapes took:
    // each ordinary entry counts the values equal to it (none counts
    // nothing), the escape the others, rescaled as rescale() does; counts
    // fall in table order, equal counts keep their values in one direction
    // (ascending from a histogram, descending from the sorted runs of a wide
    // span) with the escape after them, and the escape carries the least
    // ordinary value. Writers make no other table, so a table that differs
    // was damaged, even where its values would still decode the same.
    // Counting as the decoder goes spares a second look-up per value; what
    // that count cannot see is checked here: no two ordinary entries share a
    // value and no out-of-band value is one of them.
    bool isCanonicalFor(const uint32_t* entryCounts, const ValueType* oobValues, int nOOB) {
        const int m = numEntries();
        if (!_bValueIndexValid) _buildValueIndex();
        for (size_t i = 1; i < _vSortedValues.size(); ++i)
            if (_vSortedValues[i].first == _vSortedValues[i - 1].first) return false;
        for (int i = 0; i < nOOB; ++i)
            if (lookupEntryByValue(oobValues[i]) != _iEscape) return false;
        std::vector<int64_t>& counts = _vCheckCounts;
        counts.assign(entryCounts, entryCounts + m);
        uint64_t total = 0;
        bool bAnyOrdinary = false;
        ValueType leastOrdinary = 0;
        for (int k = 0; k < m; ++k) {
            const Entry& e = _vEntries[k];
            if (!e.isEscape()) {
                if (counts[static_cast<size_t>(k)] == 0) return false;
                leastOrdinary = bAnyOrdinary ? std::min(leastOrdinary, e.value()) : e.value();
                bAnyOrdinary = true;
            }
            total += static_cast<uint64_t>(counts[static_cast<size_t>(k)]);
        }
        // The order is that of the true counts, before rescaling, which may
        // make distinct counts equal.
        int iTieDir = 0; // +1 ascending, -1 descending, 0 not yet seen
        int nEscapes = 0;
        for (int k = 0; k < m; ++k) {
            const Entry& e = _vEntries[k];
            // (A table of the escape alone is never chosen by estimate; only a
            // packet forced to the arithmetic codec has one.)
            if (e.isEscape() && (++nEscapes > 1 || (bAnyOrdinary && e.value() != leastOrdinary)))
                return false;
            if (k == 0) continue;
            const Entry& p = _vEntries[k - 1];
            const int64_t c = counts[static_cast<size_t>(k)], cp = counts[static_cast<size_t>(k - 1)];
            if (c > cp) return false;
            if (c < cp || e.isEscape()) continue;
            if (p.isEscape()) return false;
            const int dir = e.value() > p.value() ? 1 : -1;
            if (iTieDir != 0 && dir != iTieDir) return false;
            iTieDir = dir;
        }
        while (total >= cMaxTotalCount) {
            const float factor = 8191.0f / static_cast<float>(total);
            uint64_t next = 0;
            for (int64_t& c : counts) {
                c = std::max<int64_t>(static_cast<int64_t>(static_cast<float>(c) * factor), 1);
                next += static_cast<uint64_t>(c);
            }
            if (next >= total) return false;
            total = next;
        }
        for (int k = 0; k < m; ++k)
            if (counts[static_cast<size_t>(k)] != static_cast<int64_t>(_vEntries[k]._cCount)) return false;
        return true;
    }

    size_t memSize() const {
        return _vEntries.capacity() * sizeof(Entry) + _vDenseIndex.capacity() * sizeof(int32_t) +
               _vSortedValues.capacity() * sizeof(std::pair<ValueType, int>) +
               _vCheckCounts.capacity() * sizeof(int64_t);
    }

protected:
    static bool _holds(const Entry& e, uint32_t target) {
        return static_cast<uint32_t>(e._cCumCount) <= target &&
               target - static_cast<uint32_t>(e._cCumCount) < static_cast<uint32_t>(e._cCount);
    }
    void _invalidate() { _bValueIndexValid = false; }

    // A dense table when the values are close together (histogram and chopper
    // contexts), else a sorted array searched by bisection.
    void _buildValueIndex() {
        _iEscape = -1;
        _vSortedValues.clear();
        const int n = numEntries();
        for (int i = 0; i < n; ++i) {
            const Entry& e = _vEntries[i];
            if (e.isEscape()) {
                if (_iEscape < 0) _iEscape = i;
            } else {
                _vSortedValues.emplace_back(e.value(), i);
            }
        }
        // By value, then by table order, so that of two entries with one value
        // the first wins; a plain sort of the pairs, which unlike a stable
        // sort needs no buffer on every packet read.
        std::sort(_vSortedValues.begin(), _vSortedValues.end());
        _bDenseIndex = false;
        if (!_vSortedValues.empty()) {
            const uint64_t span = static_cast<uint64_t>(_vSortedValues.back().first) -
                                  static_cast<uint64_t>(_vSortedValues.front().first);
            if (span < 4096 + 4 * static_cast<uint64_t>(_vSortedValues.size())) {
                _valueBase = _vSortedValues.front().first;
                _vDenseIndex.assign(static_cast<size_t>(span) + 1, -1);
                for (size_t k = _vSortedValues.size(); k-- > 0;)
                    _vDenseIndex[static_cast<size_t>(static_cast<uint64_t>(_vSortedValues[k].first) -
                                                     static_cast<uint64_t>(_valueBase))] =
                        static_cast<int32_t>(_vSortedValues[k].second);
                _bDenseIndex = true;
            }
        }
        _bValueIndexValid = true;
    }

    VqVec<Entry> _vEntries;
    uint32_t _cTotalCount = 0;

private:
    // Cached value look-up of the encoding side.
    // The counts the canonical check rescales, kept for their memory.
    std::vector<int64_t> _vCheckCounts;
    bool _bValueIndexValid = false;
    bool _bDenseIndex = false;
    int _iEscape = -1;
    ValueType _valueBase = 0;
    std::vector<int32_t> _vDenseIndex;
    std::vector<std::pair<ValueType, int>> _vSortedValues;
};
