#pragma once

#include "VqArithmeticDecoder.h"
#include "VqArithmeticEncoder.h"
#include "VqCodecScratch.h"
#include "VqDecodeRoom.h"
#include "VqErrorState.h"
#include "VqExport.h"
#include "VqVec.h"

#include <algorithm>
#include <cstdint>
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

    // One packet's decode() arguments, for decodePair().
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

    // Decodes a as ca.decode() would and b as cb.decode() would (ca and cb
    // distinct), both at once when both are long enough for the lookup
    // table. Either packet's failure fails the pair with the text its own
    // decode() gives; when both are corrupt, which one is reported may
    // differ from decoding them in turn.
    static bool decodePair(const char* cls, const Packet& a, VqArithmeticCoding& ca, const Packet& b,
                           VqArithmeticCoding& cb) {
        bool bTableA = false, bTableB = false;
        if (!ca._prepare(cls, a, bTableA) || !cb._prepare(cls, b, bTableB)) return false;
        if (!bTableA || !bTableB)
            return (bTableA ? ca._decodeAlone<true>(cls, a) : ca._decodeAlone<false>(cls, a)) &&
                   (bTableB ? cb._decodeAlone<true>(cls, b) : cb._decodeAlone<false>(cls, b));
        VqCodeTextReader inA(a.codeText, a.nBits), inB(b.codeText, b.nBits);
        VqArithmeticDecoder coderA(inA), coderB(inB);
        const VqArithmeticScale scaleA(a.cntx->totalCount()), scaleB(b.cntx->totalCount());
        int iOOBA = 0, iOOBB = 0;
        T* outA = nullptr;
        T* outB = nullptr;
        auto stepA = ca._step<true>(cls, a, outA, iOOBA);
        auto stepB = cb._step<true>(cls, b, outB, iOOBB);
        int roomA = VqDecodeRoom::initial(a.nValues, a.nBits),
            roomB = VqDecodeRoom::initial(b.nValues, b.nBits);
        a.values->resizeUnset(static_cast<size_t>(roomA)); // the runs write every value
        b.values->resizeUnset(static_cast<size_t>(roomB));
        int doneA = 0, doneB = 0;
        while (doneA < a.nValues && doneB < b.nValues) {
            if (doneA == roomA) roomA = VqDecodeRoom::grow(*a.values, roomA, a.nValues);
            if (doneB == roomB) roomB = VqDecodeRoom::grow(*b.values, roomB, b.nValues);
            const int n = std::min({roomA - doneA, roomB - doneB, kRunLength});
            outA = a.values->data() + doneA;
            outB = b.values->data() + doneB;
            if (!VqArithmeticDecoder::runPair(coderA, coderB, n, scaleA, scaleB, stepA, stepB)) return false;
            if (inA.overrun() || inB.overrun()) VQ_FAIL(cls, "decode", "Code text too short", VQ_ERR_CORRUPT);
            doneA += n;
            doneB += n;
        }
        // The longer packet's rest alone, then each one's end checks: the
        // steps above, kept apart from those, keep their state in registers.
        return ca._decodeRest(cls, a, inA, coderA, scaleA, roomA, doneA, iOOBA) &&
               cb._decodeRest(cls, b, inB, coderB, scaleB, roomB, doneB, iOOBB);
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
        // two chains of a pair keeps fewer pointers in registers.
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

    // The step of one symbol for VqArithmeticDecoder::run(): files it at
    // out[i], out and iOOB being the caller's, which moves out along.
    template <bool kTable>
    auto _step(const char* cls, const Packet& p, T*& out, int& iOOB) {
        // In copies: the values stored may alias the vectors' own pointers.
        const T* oobValues = p.oobValues;
        const int nOOBValues = p.nOOBValues;
        if constexpr (kTable) {
            Slot* slots = _vStartSlots.data();
            const uint32_t* cumToInterval = _vCumToInterval.data();
            return [=, &out, &iOOB](int i, uint32_t target, uint32_t& c, uint32_t& cn) {
                const uint32_t w = cumToInterval[target];
                c = w & (kEscapeBit - 1);
                cn = (w >> 16) - c;
                Slot& s = slots[c];
                ++s.count;
                if (w & kEscapeBit) {
                    if (iOOB >= nOOBValues) VQ_FAIL(cls, "decode", "iOOB < nOOBValues", VQ_ERR_CORRUPT);
                    out[i] = oobValues[iOOB++];
                } else {
                    out[i] = s.value;
                }
                return true;
            };
        } else {
            const Cntx& cntx = *p.cntx;
            const auto* entries = cntx.entries();
            uint32_t* counts = _vEntryCounts.data();
            return [=, &cntx, &out, &iOOB](int i, uint32_t target, uint32_t& c, uint32_t& cn) {
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
        T* out = nullptr;
        auto step = _step<kTable>(cls, p, out, iOOB);
        for (; done < p.nValues;) {
            if (done == room) room = VqDecodeRoom::grow(*p.values, room, p.nValues);
            const int to = std::min(room, done + kRunLength);
            out = p.values->data() + done;
            if (!coder.run(to - done, scale, step)) return false;
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
            const auto* entries = p.cntx->entries();
            for (size_t k = 0; k < _vEntryCounts.size(); ++k)
                if (entries[k]._cCount > 0) _vEntryCounts[k] = _vStartSlots[entries[k]._cCumCount].count;
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
