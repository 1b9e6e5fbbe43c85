#pragma once

#include "VqArithmeticDecoder.h"
#include "VqArithmeticEncoder.h"
#include "VqCodecScratch.h"
#include "VqCpuIsa.h"
#include "VqDecodeRoom.h"
#include "VqErrorState.h"
#include "VqExport.h"
#include "VqVec.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

// The arithmetic codec over one probability context, for the packets whose
// context is a single table (versions 2 and 3). Cntx is a VqCntxTable of the
// packet's entry type; each value is coded as the interval of its entry, a
// value the context does not hold as the escape entry, the value itself then
// going to the out-of-band list. cls names the codec class in error records.
template <class Cntx>
class VqArithmeticCoding {
public:
    using T = typename Cntx::ValueType;

    static bool encode(const char* cls, const T* values, int nValues, VqVec<T>& oobValues, VqVecu& codeText,
                       int64_t& nBits, Cntx& cntx) {
        const uint32_t t = cntx.totalCount();
        VQ_CHECK(t > 0 && t < cMaxTotalCount, cls, "encode", VQ_ERR_ARGUMENT);
        const VqArithmeticScale scale(t);
        VqCodeTextWriter out(codeText);
        VqArithmeticEncoder coder(out);
        for (int i = 0; i < nValues; ++i) {
            const int idx = cntx.lookupEntryByValue(values[i]);
            // A value with no entry, or only a zero-count one, cannot be coded.
            if (idx < 0 || cntx.entry(idx)._cCount <= 0)
                VQ_FAIL(cls, "encode", "Value not in probability table", VQ_ERR_ARGUMENT);
            const auto& e = cntx.entry(idx);
            if (e.isEscape()) oobValues.push_back(values[i]);
            coder.encode(static_cast<uint32_t>(e._cCumCount), static_cast<uint32_t>(e._cCount), scale);
        }
        coder.flush();
        out.finish();
        nBits = out.numBits();
        return true;
    }

    // One packet's decode() arguments, for decodeTogether().
    struct Packet {
        int nValues;
        const T* oobValues;
        int nOOBValues;
        const uint32_t* codeText;
        int64_t nBits;
        VqVec<T>* values;
        const Cntx* cntx;
    };

    // Decodes exactly nValues values into values (resized to that count);
    // codeText holds ceil(nBits / 32) words, every one of them to be used.
    // Afterwards entryCounts() tells how often each entry was decoded.
    bool decode(const char* cls, int nValues, const T* oobValues, int nOOBValues, const uint32_t* codeText,
                int64_t nBits, VqVec<T>& values, const Cntx& cntx) {
        const Packet p{nValues, oobValues, nOOBValues, codeText, nBits, &values, &cntx};
        bool bTable = false;
        if (!_prepare(cls, p, bTable)) return false;
        return bTable ? _decodeAlone<true>(cls, p) : _decodeAlone<false>(cls, p);
    }

    // Decodes each packet p[k] as c[k]->decode() would (the codings
    // distinct), all at once while each has values left, when all are long
    // enough for the lookup table. A packet's failure fails them all with
    // the text its own decode() gives; when several are corrupt, which one
    // is reported may differ from decoding them in turn.
    template <size_t N>
    static bool decodeTogether(const char* cls, const Packet* const (&p)[N],
                               VqArithmeticCoding* const (&c)[N]) {
        bool bTable[N] = {};
        for (size_t k = 0; k < N; ++k)
            if (!c[k]->_prepare(cls, *p[k], bTable[k])) return false;
        if (!std::all_of(bTable, bTable + N, [](bool b) { return b; })) {
            for (size_t k = 0; k < N; ++k)
                if (!(bTable[k] ? c[k]->template _decodeAlone<true>(cls, *p[k])
                                : c[k]->template _decodeAlone<false>(cls, *p[k])))
                    return false;
            return true;
        }
        // Shortest first: when one ends, the others go on together.
        size_t order[N];
        for (size_t k = 0; k < N; ++k) {
            size_t j = k;
            for (; j > 0 && p[order[j - 1]]->nValues > p[k]->nValues; --j)
                order[j] = order[j - 1];
            order[j] = k;
        }
        const auto sorted = [&]<size_t... I>(std::index_sequence<I...>) {
            const Packet* const q[N] = {p[order[I]]...};
            VqArithmeticCoding* const d[N] = {c[order[I]]...};
            VqCodeTextReader in[N] = {VqCodeTextReader(q[I]->codeText, q[I]->nBits)...};
            VqArithmeticDecoder coder[N] = {VqArithmeticDecoder(in[I])...};
            const VqArithmeticScale scale[N] = {VqArithmeticScale(q[I]->cntx->totalCount())...};
            int iOOB[N] = {};
            using Step = decltype(d[0]->_tableStep(cls, *q[0], nullptr, iOOB[0]));
            int room[N] = {VqDecodeRoom::initial(q[I]->nValues, q[I]->nBits)...};
            int done[N] = {};
            // The runs write every value.
            (q[I]->values->resizeUnset(static_cast<size_t>(room[I])), ...);
            // Packets K and on, together until K, the shortest, ends; then
            // K's end checks, kept apart from the steps, whose state then
            // stays in registers.
            const auto from = [&]<size_t K>(const auto& self, std::integral_constant<size_t, K>) -> bool {
                if constexpr (K + 1 == N) {
                    return d[K]->_decodeRest(cls, *q[K], in[K], coder[K], scale[K], room[K], done[K],
                                             iOOB[K]);
                } else {
                    const auto together = [&]<size_t... J>(std::index_sequence<J...>) {
                        while (done[K] < q[K]->nValues) {
                            ((room[K + J] =
                                  done[K + J] == room[K + J]
                                      ? VqDecodeRoom::grow(*q[K + J]->values, room[K + J], q[K + J]->nValues)
                                      : room[K + J]),
                             ...);
                            const int n = std::min({kRunLength, (room[K + J] - done[K + J])...});
                            if (!VqArithmeticDecoder::runTogether(
                                    n, VqArithmeticDecoder::Lane<Step>{
                                           coder[K + J], scale[K + J],
                                           d[K + J]->_tableStep(cls, *q[K + J],
                                                                q[K + J]->values->data() + done[K + J],
                                                                iOOB[K + J])}...))
                                return false;
                            if ((in[K + J].overrun() || ...))
                                VQ_FAIL(cls, "decode", "Code text too short", VQ_ERR_CORRUPT);
                            ((done[K + J] += n), ...);
                        }
                        return d[K]->_decodeRest(cls, *q[K], in[K], coder[K], scale[K], room[K], done[K],
                                                 iOOB[K]) &&
                               self(self, std::integral_constant<size_t, K + 1>{});
                    };
                    return together(std::make_index_sequence<N - K>{});
                }
            };
            return from(from, std::integral_constant<size_t, 0>{});
        };
        return sorted(std::make_index_sequence<N>{});
    }

    const uint32_t* entryCounts() const { return _vEntryCounts.data(); }

    size_t memSize() const {
        return _vStartSlots.capacity() * sizeof(Slot) + _vCumToInterval.capacity() * sizeof(uint32_t) +
               _vEntryCounts.capacity() * sizeof(uint32_t);
    }

private:
    // Checks the context and, for a packet long enough to repay it (see
    // bTable), fills the lookup tables; zeroes the entry counts.
    bool _prepare(const char* cls, const Packet& p, bool& bTable) {
        const Cntx& cntx = *p.cntx;
        const uint32_t t = cntx.totalCount();
        VQ_CHECK(t > 0 && t < cMaxTotalCount, cls, "decode", VQ_ERR_CORRUPT);
        const auto* entries = cntx.entries();
        // A table from cumulative count to the interval that holds it, packed
        // in one word, finds the same entry as the search in one step, and
        // the next symbol waits on that load alone; filling it costs about as
        // much as searching for a quarter of its size in values. The entry
        // (for its value and count) follows off that path from the interval's
        // start, in a table written at the starts alone: it costs a store per
        // entry, and the few starts in use stay in cache, where a second
        // table over every count would compete with the first. The word
        // also flags the escape, and the start's slot holds the value and
        // the count itself: a symbol then needs no entry, and each of the
        // chains decoded together keeps fewer pointers in registers.
        bTable = static_cast<uint64_t>(p.nValues) * 4 >= t;
        if (bTable) {
            _vStartSlots.resize(t);
            _vCumToInterval.resize(t);
            for (int k = 0, nEntries = cntx.numEntries(); k < nEntries; ++k) {
                const uint32_t c = static_cast<uint32_t>(entries[k]._cCumCount);
                const uint32_t n = static_cast<uint32_t>(entries[k]._cCount);
                // A zero-count entry shares its start with the next one and
                // is never decoded.
                if (n == 0) continue;
                _vStartSlots[c] = {entries[k].value(), 0};
                const uint32_t esc = entries[k].isEscape() ? kEscapeBit : 0u;
                std::fill_n(_vCumToInterval.data() + c, n, c | esc | (c + n) << 16);
            }
        }
        _vEntryCounts.assign(static_cast<size_t>(cntx.numEntries()), 0);
        return true;
    }

    // The step of one symbol for VqArithmeticDecoder::run() on the lookup
    // table, for a run whose values go from out on: files symbol i at
    // out[i], iOOB being the caller's. Made afresh for every run, so that
    // out is the step's own copy: through the caller's variable it would
    // be loaded again at every symbol.
    auto _tableStep(const char* cls, const Packet& p, T* out, int& iOOB) {
        // In copies: the values stored may alias the vectors' own pointers.
        const T* oobValues = p.oobValues;
        const int nOOBValues = p.nOOBValues;
        Slot* slots = _vStartSlots.data();
        const uint32_t* cumToInterval = _vCumToInterval.data();
        // Forced in line, as the symbol loop's body is (see Vq::withBestIsa):
        // in the loop over five texts the compiler made it a call a symbol,
        // and one built for the baseline set at that.
        return [=, &iOOB](int i, uint32_t target, uint32_t& c, uint32_t& cn) VQ_ISA_BODY {
            const uint32_t w = cumToInterval[target];
            c = w & (kEscapeBit - 1);
            cn = (w >> 16) - c;
            Slot& s = slots[c];
            ++s.count;
            if (w & kEscapeBit) [[unlikely]] {
                if (iOOB >= nOOBValues) VQ_FAIL(cls, "decode", "iOOB < nOOBValues", VQ_ERR_CORRUPT);
                out[i] = oobValues[iOOB++];
            } else {
                out[i] = s.value;
            }
            return true;
        };
    }

    // The same off the table.
    auto _searchStep(const char* cls, const Packet& p, T* out, int& iOOB) {
        // In copies, as above.
        const T* oobValues = p.oobValues;
        const int nOOBValues = p.nOOBValues;
        const Cntx& cntx = *p.cntx;
        const auto* entries = cntx.entries();
        uint32_t* counts = _vEntryCounts.data();
        return [=, &cntx, &iOOB](int i, uint32_t target, uint32_t& c, uint32_t& cn) {
            const int idx = cntx.lookupEntryByCumCount(target);
            if (idx < 0) VQ_FAIL(cls, "decode", "Bad probability table", VQ_ERR_CORRUPT);
            const auto& e = entries[idx];
            ++counts[idx];
            if (e.isEscape()) {
                if (iOOB >= nOOBValues) VQ_FAIL(cls, "decode", "iOOB < nOOBValues", VQ_ERR_CORRUPT);
                out[i] = oobValues[iOOB++];
            } else {
                out[i] = e.value();
            }
            c = static_cast<uint32_t>(e._cCumCount);
            cn = static_cast<uint32_t>(e._cCount);
            return true;
        };
    }

    template <bool kTable>
    bool _decodeAlone(const char* cls, const Packet& p) {
        VqCodeTextReader in(p.codeText, p.nBits);
        VqArithmeticDecoder coder(in);
        const VqArithmeticScale scale(p.cntx->totalCount());
        const int room = VqDecodeRoom::initial(p.nValues, p.nBits);
        p.values->resizeUnset(static_cast<size_t>(room)); // the runs write every value
        return _decodeRest<kTable>(cls, p, in, coder, scale, room, 0, 0);
    }

    // Decodes the values from done on, iOOB out-of-band values used so far,
    // then checks the code text's end. Values decode in runs between the
    // checks of room and of bits left: a corrupt code text is caught at the
    // end of the run it breaks.
    template <bool kTable = true>
    bool _decodeRest(const char* cls, const Packet& p, VqCodeTextReader& in, VqArithmeticDecoder& coder,
                     const VqArithmeticScale& scale, int room, int done, int iOOB) {
        const auto* entries = p.cntx->entries();
        const int nEntries = p.cntx->numEntries();
        // A value that takes three quarters of the scale or more is asked
        // for first (see VqArithmeticDecoder::runMostly()): a packet alone
        // waits on each symbol's chain, and most of its symbols then skip
        // the division and the look-up. The others pay a mispredicted branch
        // on top, so the share must be high; where between a half and 0.84
        // it stops paying is not known (the long texts decoded alone in the
        // benchmark's meshes hold 0.84 or 0.92 of their scale, or under a
        // half). Its count is had at the end, from the others'.
        int iMostly = -1;
        if constexpr (kTable) {
            for (int k = 0; k < nEntries; ++k)
                if (!entries[k].isEscape() && uint64_t(entries[k]._cCount) * 4 >= uint64_t(scale.total()) * 3)
                    iMostly = k;
        }
        for (; done < p.nValues;) {
            if (done == room) room = VqDecodeRoom::grow(*p.values, room, p.nValues);
            const int to = std::min(room, done + kRunLength);
            T* const out = p.values->data() + done;
            bool ok = false;
            if constexpr (kTable) {
                if (iMostly >= 0) {
                    const auto& e = entries[iMostly];
                    const T v = e.value();
                    const auto fill = [out, v](int i) VQ_ISA_BODY { out[i] = v; };
                    ok = coder.runMostly(to - done, scale, uint32_t(e._cCumCount), uint32_t(e._cCount),
                                         _tableStep(cls, p, out, iOOB), fill);
                } else {
                    ok = coder.run(to - done, scale, _tableStep(cls, p, out, iOOB));
                }
            } else {
                ok = coder.run(to - done, scale, _searchStep(cls, p, out, iOOB));
            }
            if (!ok) return false;
            if (in.overrun()) VQ_FAIL(cls, "decode", "Code text too short", VQ_ERR_CORRUPT);
            done = to;
        }
        coder.finish();
        if (in.overrun()) VQ_FAIL(cls, "decode", "Code text too short", VQ_ERR_CORRUPT);
        if (!in.exhausted() || !in.padIsZero()) VQ_FAIL(cls, "decode", "_uBitBuff == 0", VQ_ERR_CORRUPT);
        // Writers end every code alike and send no out-of-band value unused.
        if (!coder.endIsCanonical()) VQ_FAIL(cls, "decode", "Code text not ended as written", VQ_ERR_CORRUPT);
        if (iOOB != p.nOOBValues) VQ_FAIL(cls, "decode", "iOOB == nOOBValues", VQ_ERR_CORRUPT);
        if constexpr (kTable) {
            uint32_t nOthers = 0;
            for (size_t k = 0; k < _vEntryCounts.size(); ++k) {
                if (entries[k]._cCount == 0) continue;
                _vEntryCounts[k] = _vStartSlots[entries[k]._cCumCount].count;
                if (int(k) != iMostly) nOthers += _vEntryCounts[k];
            }
            if (iMostly >= 0) _vEntryCounts[size_t(iMostly)] = uint32_t(p.nValues) - nOthers;
        }
        return true;
    }

    static constexpr uint32_t cMaxTotalCount = Cntx::cMaxTotalCount;
    // Values decoded between two checks of the code text's end.
    static constexpr int kRunLength = 4096;

    // The table word's flag of the escape entry's interval, above any start.
    static constexpr uint32_t kEscapeBit = 0x8000u;
    static_assert(cMaxTotalCount <= kEscapeBit, "starts below the escape flag");
    struct Slot {
        T value;
        uint32_t count;
    };
    // For packets long enough to repay filling them; kept between calls for
    // their memory only. Per cumulative count, the interval of its entry,
    // start | escape flag | end << 16; per interval start, the entry's value
    // and decoded count (the other slots hold whatever an earlier packet
    // left there and are never read). The cumulative counts of the entries
    // tile [0, total), so every word of the first table is written before
    // any is read, and neither is zeroed.
    VqCodecScratch<Slot> _vStartSlots;
    VqCodecScratch<uint32_t> _vCumToInterval;
    // Decoded values per entry, for the check that the table is the one
    // the writers build for them.
    std::vector<uint32_t> _vEntryCounts;
};
