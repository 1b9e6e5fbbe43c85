#include "VqCodecDriverBase.h"

#include "VqBaseDataStream.h"
#include "VqCodecDriver2.h"
#include "VqErrorState.h"

#include <algorithm>
#include <climits>
#include <limits>

namespace {
const char* const kCls = "VqCodecDriverBase";

// Words of a code text read at once when the stream cannot tell how much it
// holds, so that memory follows the bytes that actually arrive.
constexpr int kWordChunk = 1 << 16;
} // namespace

VqCodecDriverBase::~VqCodecDriverBase() = default;

VqCodec* VqCodecDriverBase::_codec(VqCodecType eCodec) {
    switch (eCodec) {
    case CodecNull:
        if (!_pNullCodec && !(_pNullCodec = new VqNullCodec()))
            VqErrorState::throwStdError(kCls, "_codec", "Allocation failed: _pCodec = new VqNullCodec()",
                                        VQ_ERR_ALLOC);
        return _pNullCodec.get();
    case CodecBitLength:
        if (!_pBitLenCodec && !(_pBitLenCodec = new VqBitLengthCodec()))
            VqErrorState::throwStdError(kCls, "_codec", "Allocation failed: _pCodec = new VqBitLengthCodec()",
                                        VQ_ERR_ALLOC);
        return _pBitLenCodec.get();
    case CodecHuffman:
        if (!_pHuffCodec && !(_pHuffCodec = new VqHuffmanCodec()))
            VqErrorState::throwStdError(kCls, "_codec", "Allocation failed: _pCodec = new VqHuffmanCodec()",
                                        VQ_ERR_ALLOC);
        return _pHuffCodec.get();
    default:
        if (!_pArithCodec && !(_pArithCodec = new VqArithmeticCodec()))
            VqErrorState::throwStdError(kCls, "_codec",
                                        "Allocation failed: _pCodec = new VqArithmeticCodec()", VQ_ERR_ALLOC);
        return _pArithCodec.get();
    }
}

size_t VqCodecDriverBase::memSize() const {
    size_t n = sizeof(*this);
    for (const Level& l : _aLevels)
        n += l.model.memSize() +
             (l.vSymbols.capacity() + l.vOOBValues.capacity() + l.vCodeText.capacity()) * 4;
    if (_pNullCodec) n += _pNullCodec->memSize();
    if (_pBitLenCodec) n += _pBitLenCodec->memSize();
    if (_pHuffCodec) n += _pHuffCodec->memSize();
    if (_pArithCodec) n += _pArithCodec->memSize();
    return n;
}

// ---------------------------------------------------------------------------------------------------------------
// Writing

bool VqCodecDriverBase::_write(VqBaseDataStream& stream, int v) {
    VQ_PROPAGATE(stream.write(v));
    _nBytesWritten += 4;
    return true;
}

bool VqCodecDriverBase::_serializePacket(VqBaseDataStream& stream, const int* values, int n,
                                         VqCodecType eCodec) {
    _nBytesWritten = 0;
    VQ_CHECK(eCodec >= CodecNone && eCodec <= CodecArithmetic, kCls, "serialize", VQ_ERR_ARGUMENT);
    return _serialize(stream, values, n, eCodec, 0);
}

bool VqCodecDriverBase::_serialize(VqBaseDataStream& stream, const int* values, int n, VqCodecType eCodec,
                                   int iDepth) {
    Level& L = _aLevels[iDepth];
    if (eCodec == CodecNone) {
        eCodec = CodecBitLength;
        // A model at the last level could need a level below it.
        if (n > 0 && iDepth + 1 < cMaxNesting) {
            VqBitLengthCodec* bitLen = static_cast<VqBitLengthCodec*>(_codec(CodecBitLength));
            if (!bitLen) VQ_PROPAGATE(false);
            VQ_PROPAGATE(
                L.model.build(values, n, false, static_cast<double>(bitLen->estimateBits(values, n))));
            if (L.model.numContexts() > 0) eCodec = CodecArithmetic;
        }
    } else if (eCodec == CodecHuffman || eCodec == CodecArithmetic) {
        VQ_CHECK(iDepth + 1 < cMaxNesting, kCls, "serialize", VQ_ERR_INTERNAL);
        VQ_PROPAGATE(L.model.build(values, n, true, std::numeric_limits<double>::infinity()));
    }
    VqCodec* codec = _codec(eCodec);
    if (!codec) VQ_PROPAGATE(false);
    VQ_PROPAGATE(stream.write(static_cast<unsigned char>(eCodec)));
    _nBytesWritten += 1;

    const bool bModel = eCodec == CodecHuffman || eCodec == CodecArithmetic;
    int64_t nBits = 0;
    const int* symbols = values;
    int nSymbols = n;
    if (bModel) {
        VQ_PROPAGATE(L.model.symbolize(values, n, L.vSymbols, L.vOOBValues));
        uint64_t nModelBytes = 0;
        VQ_PROPAGATE(L.model.serialize(stream, nModelBytes));
        _nBytesWritten += nModelBytes;
        const int nOOB = L.vOOBValues.length();
        VQ_PROPAGATE(_write(stream, nOOB));
        if (nOOB > 0) VQ_PROPAGATE(_serialize(stream, L.vOOBValues.data(), nOOB, CodecNone, iDepth + 1));
        symbols = L.vSymbols.data();
        nSymbols = L.vSymbols.length();
    }
    VQ_PROPAGATE(codec->encode(symbols, nSymbols, bModel ? &L.model : nullptr, L.vCodeText, nBits));
    // The bit count is an int32 field.
    VQ_CHECK(nBits <= INT_MAX, kCls, "serialize", VQ_ERR_ARGUMENT);
    const int64_t cWordsCodeText = (nBits + 31) / 32;
    VQ_CHECK(cWordsCodeText == L.vCodeText.length(), kCls, "serialize", VQ_ERR_INTERNAL);
    if (eCodec != CodecNull) {
        VQ_PROPAGATE(_write(stream, static_cast<int>(nBits)));
        VQ_PROPAGATE(_write(stream, n));
        if (bModel && L.model.numContexts() > 1) VQ_PROPAGATE(_write(stream, nSymbols));
    }
    VQ_PROPAGATE(_write(stream, static_cast<int>(cWordsCodeText)));
    if (cWordsCodeText > 0) {
        VQ_PROPAGATE(stream.write(L.vCodeText.data(), static_cast<int>(cWordsCodeText)));
        _nBytesWritten += static_cast<uint64_t>(cWordsCodeText) * 4;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------------------------
// Reading

bool VqCodecDriverBase::_deserializePacket(VqBaseDataStream& stream, VqVeci& values, int nMaxValues) {
    VQ_CHECK(nMaxValues >= 0, kCls, "deserialize", VQ_ERR_ARGUMENT);
    return _deserialize(stream, values, 0, std::min(nMaxValues, VqCodecDriver2::s_maxValueCount()));
}

bool VqCodecDriverBase::_readWords(VqBaseDataStream& stream, VqVecu& words, int nWords) {
    words.clear();
    // A stream that cannot tell its length is read in pieces.
    for (int done = 0; done < nWords;) {
        const int len = std::min(nWords - done, kWordChunk);
        words.resize(static_cast<size_t>(done + len));
        VQ_PROPAGATE(stream.read(words.data() + done, len));
        done += len;
    }
    return true;
}

// nMaxValues is what the caller's record can need, so that a count beyond it
// is refused before the code text is read or the values allocated: a few
// bytes of constant values could otherwise ask for any amount of memory.
bool VqCodecDriverBase::_deserialize(VqBaseDataStream& stream, VqVeci& values, int iDepth, int nMaxValues) {
    VQ_CHECK(iDepth < cMaxNesting, kCls, "deserialize", VQ_ERR_CORRUPT);
    Level& L = _aLevels[iDepth];
    unsigned char eCodecType = 0;
    VQ_PROPAGATE(stream.read(&eCodecType));
    VQ_CHECK(eCodecType <= CodecArithmetic, kCls, "deserialize", VQ_ERR_CORRUPT);
    const VqCodecType eCodec = static_cast<VqCodecType>(eCodecType);
    VqCodec* codec = _codec(eCodec);
    if (!codec) VQ_PROPAGATE(false);

    if (eCodec == CodecNull) {
        int nWords = 0;
        VQ_PROPAGATE(stream.readLength(nWords, 4));
        if (nWords > nMaxValues) VQ_FAIL(kCls, "deserialize", "nValues <= nMaxValues", VQ_ERR_CORRUPT);
        VQ_PROPAGATE(_readWords(stream, L.vCodeText, nWords));
        return codec->decode(L.vCodeText.data(), int64_t(nWords) * 32, nWords, nWords, nullptr, nullptr, 0,
                             values);
    }

    const bool bModel = eCodec == CodecHuffman || eCodec == CodecArithmetic;
    L.vOOBValues.clear();
    if (bModel) {
        VQ_PROPAGATE(L.model.deserialize(stream));
        int nOOBValues = 0;
        VQ_PROPAGATE(stream.read(&nOOBValues));
        // Each escape codes one value of this packet.
        VQ_CHECK(nOOBValues >= 0, kCls, "deserialize", VQ_ERR_CORRUPT);
        if (nOOBValues > nMaxValues) VQ_FAIL(kCls, "deserialize", "nValues <= nMaxValues", VQ_ERR_CORRUPT);
        if (nOOBValues > 0) VQ_PROPAGATE(_deserialize(stream, L.vOOBValues, iDepth + 1, nOOBValues));
        if (L.vOOBValues.length() != nOOBValues)
            VQ_FAIL(kCls, "deserialize", "pThis->_vOOBValues.length() == nOOBValues", VQ_ERR_CORRUPT);
    }
    int nBits = 0, nExpectedValues = 0;
    VQ_PROPAGATE(stream.read(&nBits));
    VQ_PROPAGATE(stream.read(&nExpectedValues));
    VQ_CHECK(nBits >= 0, kCls, "deserialize", VQ_ERR_CORRUPT);
    VQ_CHECK(nExpectedValues >= 0, kCls, "deserialize", VQ_ERR_CORRUPT);
    if (nExpectedValues > nMaxValues) VQ_FAIL(kCls, "deserialize", "nValues <= nMaxValues", VQ_ERR_CORRUPT);
    VQ_CHECK(L.vOOBValues.length() <= nExpectedValues, kCls, "deserialize", VQ_ERR_CORRUPT);
    int nSymbols = nExpectedValues;
    if (bModel && L.model.numContexts() > 1) {
        VQ_PROPAGATE(stream.read(&nSymbols));
        VQ_CHECK(nSymbols >= 0, kCls, "deserialize", VQ_ERR_CORRUPT);
    }
    int nWords = 0;
    VQ_PROPAGATE(stream.readLength(nWords, 4));
    if (nWords != (int64_t(nBits) + 31) / 32)
        VQ_FAIL(kCls, "deserialize", "cWordsCodeText == vCodeText.length()", VQ_ERR_CORRUPT);
    VQ_PROPAGATE(_readWords(stream, L.vCodeText, nWords));
    VQ_PROPAGATE(codec->decode(L.vCodeText.data(), nBits, nSymbols, nExpectedValues,
                               bModel ? &L.model : nullptr, L.vOOBValues.data(), L.vOOBValues.length(),
                               values));
    if (values.length() != nExpectedValues)
        VQ_FAIL(kCls, "deserialize", "numValues() == nExpectedValues", VQ_ERR_CORRUPT);
    return true;
}
