#pragma once

#include "VqDecodeRoom.h"
#include "VqErrorState.h"
#include "VqExport.h"
#include "VqProbModel.h"
#include "VqRefCounted.h"
#include "VqVec.h"

#include <cstddef>
#include <cstdint>

// A codec of version-1 packets. The null and bit-length codecs code the
// values themselves; the Huffman and arithmetic codecs code a symbol stream
// under a probability model (VqProbModel), and decode through the model
// straight into values. Codecs carry nothing from one call to the next but
// memory to reuse, so a driver keeps one of each.
class VQ_API VqCodec : public VqRefCounted {
public:
    // symbols are values, or entry indices under pModel; codeText is replaced.
    virtual bool encode(const int* symbols, int nSymbols, const VqProbModel<int>* pModel, VqVecu& codeText,
                        int64_t& nBits) = 0;
    // Decodes nSymbols symbols into values; with a model, escapes of context
    // 0 take the out-of-band values in turn. values gets the values decoded,
    // which the caller checks against the packet's count nValues.
    virtual bool decode(const uint32_t* codeText, int64_t nBits, int nSymbols, int nValues,
                        const VqProbModel<int>* pModel, const int* oobValues, int nOOBValues,
                        VqVeci& values) = 0;
    virtual size_t memSize() const = 0;

protected:
    // The decoding loop of the model codecs. decodeEntry(context) gives the
    // index of the next entry coded in that context (-1 when none can be or
    // the code text ran out), checkBits() whether the code text still holds
    // the bits read. An
    // ordinary entry gives its value; an escape in context 0 the next
    // out-of-band value, in another context nothing; then the entry's next
    // context codes the next symbol. A run of escapes longer than the model
    // has contexts can only go round in circles, so it ends the packet.
    template <class DecodeEntry, class CheckBits>
    static bool _decodeThroughModel(const char* cls, const VqProbModel<int>& model, int nSymbols, int nValues,
                                    int64_t nBits, const int* oobValues, int nOOBValues, VqVeci& values,
                                    DecodeEntry&& decodeEntry, CheckBits&& checkBits) {
        const int nCntx = model.numContexts();
        int room = VqDecodeRoom::initial(nValues, nBits);
        values.resize(static_cast<size_t>(room));
        int cur = 0, nOut = 0, iOOB = 0, nChain = 0;
        for (int s = 0; s < nSymbols; ++s) {
            if ((s & 4095) == 4095 && !checkBits()) return false;
            if (cur >= nCntx) VQ_FAIL(cls, "decode", "Bad probability table", VQ_ERR_CORRUPT);
            const int idx = decodeEntry(cur);
            if (idx < 0) {
                // A code text that ran out explains a failed look-up best.
                if (!checkBits()) return false;
                VQ_FAIL(cls, "decode", "Bad probability table", VQ_ERR_CORRUPT);
            }
            const VqCntxEntry<int>& e = model.context(cur).entry(idx);
            if (!e.isEscape() || cur == 0) {
                if (nOut == nValues) VQ_FAIL(cls, "decode", "numValues() == nExpectedValues", VQ_ERR_CORRUPT);
                if (nOut == room) room = VqDecodeRoom::grow(values, room, nValues);
                if (e.isEscape()) {
                    if (iOOB >= nOOBValues)
                        VQ_FAIL(cls, "decode", "_iCurOOBEntry < _vOOBValues.length()", VQ_ERR_CORRUPT);
                    values[static_cast<size_t>(nOut++)] = oobValues[iOOB++];
                } else {
                    values[static_cast<size_t>(nOut++)] = e._value;
                }
                nChain = 0;
            } else if (++nChain > nCntx) {
                VQ_FAIL(cls, "decode", "Escape cycle in probability model", VQ_ERR_CORRUPT);
            }
            cur = e._iNextCntx;
        }
        values.resize(static_cast<size_t>(nOut));
        return checkBits();
    }
};
