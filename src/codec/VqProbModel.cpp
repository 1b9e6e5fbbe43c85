#include "VqProbModel.h"

#include "VqBaseDataStream.h"
#include "VqErrorState.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <type_traits>

namespace {
const char* const kCls = "VqProbModel";

// -c log2(c / n): the ideal cost in bits of c occurrences out of n.
double selfInfo(double c, double n) {
    return c > 0 ? -c * std::log2(c / n) : 0.0;
}

int bitsFor(uint32_t x) {
    return static_cast<int>(std::bit_width(x));
}

bool badModel() {
    VqErrorState::throwStdError(kCls, "deserialize", "Bad probability model", VQ_ERR_CORRUPT);
    return false;
}
} // namespace

template <class T>
double VqProbModel<T>::_codeBits(const VqProbContext<T>& cntx, const std::vector<uint32_t>& trueCounts) {
    const double total = cntx.totalCount();
    double bits = 0;
    for (int i = 0; i < cntx.numEntries(); ++i)
        bits += trueCounts[static_cast<size_t>(i)] * std::log2(total / cntx.entry(i)._cCount);
    return bits;
}

template <class T>
bool VqProbModel<T>::_buildOrder0(const T* values, int n, bool bForce) {
    using U = std::make_unsigned_t<T>;
    _vCntx.clear();
    _dEstimate = std::numeric_limits<double>::infinity();
    if (n == 0) {
        _dEstimate = 0;
        return true;
    }
    // Distinct values with their counts, the most frequent first.
    _vSorted.assign(values, values + n);
    std::sort(_vSorted.begin(), _vSorted.end());
    _vCounts.clear();
    for (int i = 0; i < n;) {
        int j = i + 1;
        while (j < n && _vSorted[static_cast<size_t>(j)] == _vSorted[static_cast<size_t>(i)])
            ++j;
        _vCounts.emplace_back(static_cast<uint32_t>(j - i), _vSorted[static_cast<size_t>(i)]);
        i = j;
    }
    std::stable_sort(_vCounts.begin(), _vCounts.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });

    // The first j values in the table, the rest escaped and coded out of
    // band at about the span's width; table entries cost their fields.
    const double N = n;
    const int spanBits = static_cast<int>(
        std::bit_width(static_cast<U>(static_cast<U>(_vSorted.back()) - static_cast<U>(_vSorted.front()))));
    const double oobBits = spanBits + 2;
    const double oobHeader = 8 + 3 * 32 + 32;
    const int maxPairs = std::min(static_cast<int>(_vCounts.size()), cMaxTableEntries);
    const double perEntry = bitsFor(static_cast<uint32_t>(maxPairs + 2)) +
                            std::min(bitsFor(_vCounts.front().first), 14) + spanBits + 1;
    const double tableBase = 8 + 32 + 24 + 32 + 32;
    double best = selfInfo(N, N) + N * oobBits + oobHeader + tableBase + perEntry;
    double entropy = 0;
    int kept = 0;
    uint64_t covered = 0, keptCovered = 0;
    for (int j = 0; j < maxPairs; ++j) {
        const double c = _vCounts[static_cast<size_t>(j)].first;
        covered += _vCounts[static_cast<size_t>(j)].first;
        entropy += selfInfo(c, N);
        const double escaped = N - double(covered);
        const double estimate = entropy + selfInfo(escaped, N) + escaped * oobBits +
                                (escaped > 0 ? oobHeader : 0) + tableBase +
                                (j + 1 + (escaped > 0)) * perEntry;
        // Counts fall from pair to pair and so does the gain of each: the
        // first pair that gains nothing ends the table. (A relative margin
        // would end a flat distribution's table after a few entries.)
        if (!(estimate < best)) break;
        best = estimate;
        kept = j + 1;
        keptCovered = covered;
    }
    if (kept == 0 && !bForce) return true;

    _vCntx.resize(1);
    VqProbContext<T>& c0 = _vCntx[0];
    T minKept = kept > 0 ? _vCounts[0].second : values[0];
    for (int j = 0; j < kept; ++j) {
        VqCntxEntry<T> e;
        e._cCount = static_cast<int32_t>(_vCounts[static_cast<size_t>(j)].first);
        e._value = _vCounts[static_cast<size_t>(j)].second;
        minKept = std::min(minKept, e._value);
        c0.addEntry(e);
    }
    const uint64_t nEscaped = static_cast<uint64_t>(n) - keptCovered;
    if (nEscaped > 0) {
        // The escape's value is never used; the smallest kept value leaves
        // the stored value range as it is.
        VqCntxEntry<T> esc;
        esc._iSymbol = VqCntxEntryBase::CEBEscape;
        esc._cCount = static_cast<int32_t>(nEscaped);
        esc._value = minKept;
        c0.addEntry(esc);
    }
    c0.sortByDescendingCount();
    _vTrue.clear();
    for (int i = 0; i < c0.numEntries(); ++i) {
        VqCntxEntry<T>& e = c0.entry(i);
        if (!e.isEscape()) e._iSymbol = i;
        _vTrue.push_back(static_cast<uint32_t>(e._cCount));
    }
    VQ_PROPAGATE(c0.rescaleToScale());
    _dEstimate = _codeBits(c0, _vTrue) + tableBase + c0.numEntries() * perEntry +
                 (nEscaped > 0 ? double(nEscaped) * oobBits + oobHeader : 0);
    return true;
}

template <class T>
void VqProbModel<T>::_linkContexts() {
    for (VqProbContext<T>& c : _vCntx)
        for (int i = 0; i < c.numEntries(); ++i) {
            VqCntxEntry<T>& e = c.entry(i);
            const size_t sym = static_cast<size_t>(e._iSymbol);
            e._iNextCntx = !e.isEscape() && sym < _vCntxOfSymbol.size() ? _vCntxOfSymbol[sym] : 0;
        }
}

template <class T>
bool VqProbModel<T>::build(const T* values, int n, bool bForce, double estimateWithout) {
    VQ_PROPAGATE(_buildOrder0(values, n, bForce));
    _vCntxOfSymbol.clear();
    _linkContexts();
    if (!bForce && !(_dEstimate < estimateWithout)) _vCntx.clear();
    return true;
}

template <class T>
bool VqPartialOrder1ProbModel<T>::build(const T* values, int n, bool bForce, double estimateWithout) {
    VQ_PROPAGATE(this->_buildOrder0(values, n, bForce));
    this->_vCntxOfSymbol.clear();
    if (this->_vCntx.empty()) return true;
    // c0 refers into the vector, which must not move as contexts are added.
    this->_vCntx.reserve(this->cMaxContexts);
    VqProbContext<T>& c0 = this->_vCntx[0];
    const int E0 = c0.numEntries();
    this->_vCntxOfSymbol.assign(static_cast<size_t>(E0), 0);

    // (entry before, entry after) pairs in context 0, as one sortable key.
    _vPairs.clear();
    int prev = -1;
    for (int i = 0; i < n; ++i) {
        const int cur = c0.lookupEntryByValue(values[i]);
        if (prev >= 0 && !c0.entry(prev).isEscape())
            _vPairs.push_back(uint64_t(prev) * uint64_t(E0) + uint64_t(cur));
        prev = cur;
    }
    std::sort(_vPairs.begin(), _vPairs.end());

    // Per symbol X, the successors' cost in context 0 against a context of
    // their own: the successors seen twice or more, and an escape that sends
    // the rest back to context 0.
    const double T0 = c0.totalCount();
    const auto cost0 = [&](int e) { return std::log2(T0 / c0.entry(e)._cCount); };
    const double perEntry = bitsFor(static_cast<uint32_t>(E0 + 2)) + 14 + 8;
    struct Candidate {
        int symbol;
        double gain;
        size_t from, to; // its pairs
    };
    std::vector<Candidate> candidates;
    for (size_t a = 0; a < _vPairs.size();) {
        const int x = static_cast<int>(_vPairs[a] / uint64_t(E0));
        size_t b = a;
        // occ successors in all; before: their cost in context 0; kept: those
        // the context would hold (c log2 c summed in keptLog), the others
        // cost as before (rest, restCost).
        double occ = 0, before = 0, kept = 0, keptLog = 0, restCost = 0;
        int entries = 0;
        while (b < _vPairs.size() && static_cast<int>(_vPairs[b] / uint64_t(E0)) == x) {
            size_t e = b + 1;
            while (e < _vPairs.size() && _vPairs[e] == _vPairs[b])
                ++e;
            const int y = static_cast<int>(_vPairs[b] % uint64_t(E0));
            const double c = double(e - b);
            occ += c;
            before += c * cost0(y);
            if (c >= 2 && !c0.entry(y).isEscape() && entries < this->cMaxTableEntries) {
                kept += c;
                keptLog += c * std::log2(c);
                ++entries;
            } else {
                restCost += c * cost0(y);
            }
            b = e;
        }
        if (occ >= 32 && entries > 0) {
            const double rest = occ - kept;
            const double inCntx = kept * std::log2(occ) - keptLog + selfInfo(rest, occ);
            const double costX = inCntx + restCost + 32 + 18 + (entries + (rest > 0)) * perEntry;
            const double gain = before - costX;
            if (gain > 0) candidates.push_back({x, gain, a, b});
        }
        a = b;
    }
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& p, const Candidate& q) {
        return p.gain != q.gain ? p.gain > q.gain : p.symbol < q.symbol;
    });
    if (candidates.size() > static_cast<size_t>(this->cMaxContexts - 1))
        candidates.resize(this->cMaxContexts - 1);
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate& p, const Candidate& q) { return p.symbol < q.symbol; });

    double gains = 0;
    for (const Candidate& cand : candidates) {
        VqProbContext<T> cx;
        int32_t rest = 0;
        for (size_t p = cand.from; p < cand.to;) {
            size_t e = p + 1;
            while (e < cand.to && _vPairs[e] == _vPairs[p])
                ++e;
            const int y = static_cast<int>(_vPairs[p] % uint64_t(E0));
            const int32_t c = static_cast<int32_t>(e - p);
            if (c >= 2 && !c0.entry(y).isEscape() && cx.numEntries() < this->cMaxTableEntries) {
                VqCntxEntry<T> entry;
                entry._iSymbol = c0.entry(y)._iSymbol;
                entry._cCount = c;
                entry._value = c0.entry(y)._value;
                cx.addEntry(entry);
            } else {
                rest += c;
            }
            p = e;
        }
        if (rest > 0) {
            VqCntxEntry<T> esc;
            esc._iSymbol = VqCntxEntryBase::CEBEscape;
            esc._cCount = rest;
            esc._value = cx.entry(0)._value;
            cx.addEntry(esc);
        }
        cx.sortByDescendingCount();
        VQ_PROPAGATE(cx.rescaleToScale());
        this->_vCntxOfSymbol[static_cast<size_t>(c0.entry(cand.symbol)._iSymbol)] =
            static_cast<int>(this->_vCntx.size());
        this->_vCntx.push_back(std::move(cx));
        gains += cand.gain;
    }
    this->_linkContexts();
    this->_dEstimate -= gains;
    if (!bForce && !(this->_dEstimate < estimateWithout)) this->_vCntx.clear();
    return true;
}

template <class T>
bool VqProbModel<T>::symbolize(const T* values, int n, VqVeci& symbols, VqVec<T>& oobValues) {
    symbols.clear();
    oobValues.clear();
    if (n == 0) return true;
    VQ_CHECK(!_vCntx.empty(), kCls, "symbolize", VQ_ERR_INTERNAL);
    symbols.reserve(static_cast<size_t>(n) + static_cast<size_t>(n) / 8);
    VqProbContext<T>& c0 = _vCntx[0];
    int cur = 0;
    for (int i = 0; i < n; ++i) {
        const T v = values[i];
        if (cur != 0) {
            VqProbContext<T>& cx = _vCntx[static_cast<size_t>(cur)];
            const int idx = cx.lookupEntryByValue(v);
            if (idx < 0) VQ_FAIL(kCls, "symbolize", "Value not in probability table", VQ_ERR_INTERNAL);
            symbols.push_back(idx);
            cur = cx.entry(idx)._iNextCntx;
            if (!cx.entry(idx).isEscape()) continue;
            if (cur != 0) VQ_FAIL(kCls, "symbolize", "Escape into a higher context", VQ_ERR_INTERNAL);
        }
        const int idx = c0.lookupEntryByValue(v);
        if (idx < 0) VQ_FAIL(kCls, "symbolize", "Value not in probability table", VQ_ERR_INTERNAL);
        symbols.push_back(idx);
        if (c0.entry(idx).isEscape()) oobValues.push_back(v);
        cur = c0.entry(idx)._iNextCntx;
    }
    return true;
}

template <class T>
bool VqProbModel<T>::serialize(VqBaseDataStream& stream, uint64_t& nBytes) const {
    using U = std::make_unsigned_t<T>;
    nBytes = 0;
    const int nCntx = numContexts();
    VQ_CHECK(nCntx <= cMaxContexts, kCls, "serialize", VQ_ERR_INTERNAL);
    VQ_PROPAGATE(stream.write(static_cast<unsigned char>(nCntx)));
    uint64_t bits = 0;
    for (int c = 0; c < nCntx; ++c) {
        const VqProbContext<T>& cntx = _vCntx[static_cast<size_t>(c)];
        uint32_t maxSym = 0, maxCount = 0, maxNext = 0;
        T minValue = 0, maxValue = 0;
        for (int i = 0; i < cntx.numEntries(); ++i) {
            const VqCntxEntry<T>& e = cntx.entry(i);
            VQ_CHECK(e._cCount >= 0 && e._iNextCntx >= 0, kCls, "serialize", VQ_ERR_INTERNAL);
            maxSym = std::max(maxSym, static_cast<uint32_t>(e._iSymbol + 2));
            maxCount = std::max(maxCount, static_cast<uint32_t>(e._cCount));
            maxNext = std::max(maxNext, static_cast<uint32_t>(e._iNextCntx));
            if (i == 0 || e._value < minValue) minValue = e._value;
            if (i == 0 || e._value > maxValue) maxValue = e._value;
        }
        const int bs = bitsFor(maxSym), bc = bitsFor(maxCount), bn = bitsFor(maxNext);
        const int bv =
            c == 0 ? bitsFor(static_cast<uint32_t>(static_cast<U>(maxValue) - static_cast<U>(minValue))) : 0;
        VQ_PROPAGATE(stream.writeBits(static_cast<uint32_t>(cntx.numEntries()), 32));
        VQ_PROPAGATE(stream.writeBits(static_cast<uint32_t>(bs), 6));
        VQ_PROPAGATE(stream.writeBits(static_cast<uint32_t>(bc), 6));
        if (c == 0) VQ_PROPAGATE(stream.writeBits(static_cast<uint32_t>(bv), 6));
        VQ_PROPAGATE(stream.writeBits(static_cast<uint32_t>(bn), 6));
        if (c == 0) VQ_PROPAGATE(stream.writeBits(static_cast<uint32_t>(minValue), 32));
        bits += c == 0 ? 32 + 24 + 32 : 32 + 18;
        for (int i = 0; i < cntx.numEntries(); ++i) {
            const VqCntxEntry<T>& e = cntx.entry(i);
            VQ_PROPAGATE(stream.writeBits(static_cast<uint32_t>(e._iSymbol + 2), bs));
            VQ_PROPAGATE(stream.writeBits(static_cast<uint32_t>(e._cCount), bc));
            if (c == 0)
                VQ_PROPAGATE(stream.writeBits(
                    static_cast<uint32_t>(static_cast<U>(e._value) - static_cast<U>(minValue)), bv));
            VQ_PROPAGATE(stream.writeBits(static_cast<uint32_t>(e._iNextCntx), bn));
        }
        bits += static_cast<uint64_t>(cntx.numEntries()) * static_cast<uint64_t>(bs + bc + bv + bn);
    }
    VQ_PROPAGATE(stream.writeAlignmentBits());
    nBytes = 1 + (bits + 7) / 8;
    return true;
}

template <class T>
bool VqProbModel<T>::deserialize(VqBaseDataStream& stream) {
    using U = std::make_unsigned_t<T>;
    // Contexts are emptied rather than destroyed: their tables keep their
    // memory for the next packet.
    for (VqProbContext<T>& c : _vCntx)
        c.clear();
    unsigned char nCntx = 0;
    VQ_PROPAGATE(stream.read(&nCntx));
    _vCntx.resize(nCntx);
    int64_t nTotalEntries = 0;
    for (int c = 0; c < nCntx; ++c) {
        VqProbContext<T>& cntx = _vCntx[static_cast<size_t>(c)];
        unsigned int nEntries = 0, bs = 0, bc = 0, bv = 0, bn = 0, minValue = 0;
        VQ_PROPAGATE(stream.readBits(nEntries, 32));
        VQ_PROPAGATE(stream.readBits(bs, 6));
        VQ_PROPAGATE(stream.readBits(bc, 6));
        if (c == 0) VQ_PROPAGATE(stream.readBits(bv, 6));
        VQ_PROPAGATE(stream.readBits(bn, 6));
        if (c == 0) VQ_PROPAGATE(stream.readBits(minValue, 32));
        // Every table a writer makes is far smaller; the bounds keep a
        // corrupt count from asking for memory the stream cannot back.
        nTotalEntries += nEntries;
        if (nEntries > static_cast<unsigned>(cMaxReadEntries) || nTotalEntries > cMaxReadEntriesTotal)
            return badModel();
        if (bs > 32 || bc > 32 || bv > 32 || bn > 32) return badModel();
        const uint64_t entryBits = uint64_t(bs) + bc + bv + bn;
        // An entry of no bits is an escape of count 0: a second one adds
        // nothing but work for the decoder.
        if (entryBits == 0 && nEntries > 1) return badModel();
        const uint64_t limit = stream._readLimit();
        if (limit < UINT64_MAX / 16 && entryBits * nEntries > limit * 8 + 7) {
            VqErrorState::throwStdError(kCls, "deserialize", "Short read", VQ_ERR_SHORT_READ);
            return false;
        }
        for (unsigned int i = 0; i < nEntries; ++i) {
            unsigned int sym = 0, count = 0, value = 0, next = 0;
            VQ_PROPAGATE(stream.readBits(sym, static_cast<int>(bs)));
            VQ_PROPAGATE(stream.readBits(count, static_cast<int>(bc)));
            if (c == 0) VQ_PROPAGATE(stream.readBits(value, static_cast<int>(bv)));
            VQ_PROPAGATE(stream.readBits(next, static_cast<int>(bn)));
            if (next >= nCntx || count > 0x7FFFFFFFu) return badModel();
            VqCntxEntry<T> e;
            e._iSymbol = static_cast<int32_t>(sym - 2);
            e._cCount = static_cast<int32_t>(count);
            e._iNextCntx = static_cast<int32_t>(next);
            e._value = static_cast<T>(static_cast<U>(static_cast<U>(minValue) + static_cast<U>(value)));
            cntx.addEntry(e);
        }
    }
    stream.readAlignmentBits();
    if (nCntx == 0) return true;

    // Higher contexts take their values from context 0's entries.
    std::vector<std::pair<int32_t, T>>& symbols = _vSymbolValues;
    symbols.clear();
    const VqProbContext<T>& c0 = _vCntx[0];
    for (int i = 0; i < c0.numEntries(); ++i)
        if (!c0.entry(i).isEscape()) symbols.emplace_back(c0.entry(i)._iSymbol, c0.entry(i)._value);
    std::sort(symbols.begin(), symbols.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t i = 1; i < symbols.size(); ++i)
        if (symbols[i].first == symbols[i - 1].first) return badModel();
    for (int c = 1; c < nCntx; ++c) {
        VqProbContext<T>& cntx = _vCntx[static_cast<size_t>(c)];
        for (int i = 0; i < cntx.numEntries(); ++i) {
            VqCntxEntry<T>& e = cntx.entry(i);
            if (e.isEscape()) continue;
            auto it = std::lower_bound(symbols.begin(), symbols.end(), e._iSymbol,
                                       [](const auto& p, int32_t s) { return p.first < s; });
            if (it == symbols.end() || it->first != e._iSymbol) return badModel();
            e._value = it->second;
        }
    }
    // Counts of 2^31 and more were refused; totals above 32 bits are left to
    // the coders, which check the scale they need.
    for (VqProbContext<T>& cntx : _vCntx)
        cntx.accumulateCounts();
    return true;
}

template <class T>
size_t VqProbModel<T>::memSize() const {
    size_t n = sizeof(*this) + _vSorted.capacity() * sizeof(T) +
               _vCounts.capacity() * sizeof(std::pair<uint32_t, T>) + _vTrue.capacity() * sizeof(uint32_t) +
               _vCntxOfSymbol.capacity() * sizeof(int);
    for (const VqProbContext<T>& c : _vCntx)
        n += c.memSize();
    return n;
}

template class VqProbModel<int>;
template class VqPartialOrder1ProbModel<int>;
