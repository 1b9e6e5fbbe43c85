#include "VqCodecDriver3T.h"

#include "VqBaseDataStream.h"
#include "VqCodecDriver2.h"
#include "VqDecodeRoom.h"
#include "VqErrorState.h"
#include "VqLzmaSegObjectStream.h"
#include "VqObjectStream.h"
#include "VqResidualPredictor.h"
#include "VqZlibSegObjectStream.h"

#include <emmintrin.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <utility>

namespace Vq {

namespace {
const char* const kCls = "Vq::CodecDriver3T";

// Elements of an array read at once when the stream cannot tell how much it
// holds, so that memory follows the bytes that actually arrive.
constexpr int64_t kReadChunk = 1 << 16;
// Bits of a packet's own fields around its code text: count, codec type and
// bit count.
constexpr double kCodedHeaderBits = 72;
// The arithmetic coder's end: the flush and the padding of the last word.
constexpr double kCoderEndBits = 18;
// What move-to-front must save per value, in bits, to repay its slower
// decoding (see _estimateEntropy): one bit in sixteen values.
constexpr double kMoveToFrontDecodeBits = 1.0 / 16;
// Widest span whose histogram the arithmetic estimate builds outright.
constexpr uint64_t kMaxHistoSpan = 1 << 20;

// -c log2(c / n): the ideal cost in bits of c occurrences out of n.
double selfInfo(double c, double n) {
    return c > 0 ? -c * std::log2(c / n) : 0.0;
}
} // namespace

// ---------------------------------------------------------------------------------------------------------------
// CodecDriver3Base

int64_t CodecDriver3Base::s_estimateProbCntxBits(int nEntries, int bc, int bv) {
    return (int64_t(bc + bv + 1) * nEntries + 67) & ~int64_t(7);
}

double CodecDriver3Base::s_estimateEntropyFromHisto(const uint32_t* histo, int nBins, int valueBits) {
    std::vector<uint32_t> counts;
    uint64_t n = 0;
    for (int b = 0; b < nBins; ++b)
        if (histo[b] > 0) {
            counts.push_back(histo[b]);
            n += histo[b];
        }
    // The coder codes with the rescaled counts q of total t: each
    // occurrence costs log2(t / q). Rescaled as VqCntxTable::rescale does.
    std::vector<uint32_t> q = counts;
    uint64_t t = n;
    while (t >= VqCntxTable<VqCntxEntry3T<int>>::cMaxTotalCount && q.size() < t) {
        const float factor = 8191.0f / static_cast<float>(t);
        t = 0;
        for (uint32_t& c : q) {
            c = std::max<uint32_t>(static_cast<uint32_t>(static_cast<float>(c) * factor), 1);
            t += c;
        }
    }
    double bits = 0;
    uint32_t maxCount = 0;
    for (size_t i = 0; i < counts.size(); ++i) {
        bits += counts[i] * std::log2(double(t) / q[i]);
        maxCount = std::max(maxCount, q[i]);
    }
    const int bc = static_cast<int>(std::bit_width(maxCount));
    return bits + kCoderEndBits +
           static_cast<double>(s_estimateProbCntxBits(static_cast<int>(counts.size()), bc, valueBits));
}

CodecDriver3Base::VqCodecType CodecDriver3Base::s_chooseCodec(const double (&aCost)[6], int nValues) {
    VqCodecType eCodec = CodecMoveToFront;
    for (VqCodecType c : {CodecArithmetic, CodecChopper, CodecBitLength})
        if (aCost[c] < aCost[eCodec]) eCodec = c;
    return eCodec == CodecChopper && nValues < 32 ? CodecBitLength : eCodec;
}

bool CodecDriver3Base::s_isCompressedSegmentStream(const VqBaseDataStream& stream) {
    return stream.isOfType(VqZlibSegObjectStream::classTypeID()) ||
           stream.isOfType(VqLzmaSegObjectStream::classTypeID());
}

// ---------------------------------------------------------------------------------------------------------------
// Contexts and codecs

template <class T>
CodecDriver3T<T>::CodecDriver3T() = default;

template <class T>
CodecDriver3T<T>::~CodecDriver3T() = default;

template <class T>
bool CodecDriver3T<T>::_pushCCntx(VqErrorCode eFullCode) {
    if (_nComprCntx >= cNumComprCntx)
        VQ_FAIL(kCls, "pushCCntx", "_vComprCntx.size() < _vComprCntx.allocated()", eFullCode);
    ++_nComprCntx;
    return true;
}

template <class T>
void CodecDriver3T<T>::_popCCntx() {
    if (_nComprCntx > 1) --_nComprCntx;
}

template <class T>
VqBitLengthCodec3T<T>* CodecDriver3T<T>::_bitLengthCodec() {
    // new throws on failure; the operation's boundary reports it.
    if (!_pBitLenCodec) _pBitLenCodec = new VqBitLengthCodec3T<T>();
    return _pBitLenCodec.get();
}

template <class T>
VqArithmeticCodec3T<T>* CodecDriver3T<T>::_arithmeticCodec() {
    // new throws on failure; the operation's boundary reports it.
    if (!_pArithCodec) _pArithCodec = new VqArithmeticCodec3T<T>();
    return _pArithCodec.get();
}

template <class T>
size_t CodecDriver3T<T>::ComprCntx::memSize() const {
    size_t n = cntx.memSize() + cntxHigh.memSize() +
               (vCodeText.capacity() + vCodeTextHigh.capacity()) * sizeof(uint32_t) +
               vHisto.capacity() * sizeof(uint32_t) +
               (_vAuxOOBValues.capacity() + vMSB.capacity() + vLSB.capacity() + vOOBHigh.capacity() +
                vLiterals.capacity() + vWindowOffsets.capacity() + vSorted.capacity()) *
                   sizeof(T) +
               vRunLensAndVals.capacity() * sizeof(std::pair<int, T>);
    for (const auto& h : avChopHisto)
        n += h.capacity() * sizeof(uint32_t);
    return n;
}

namespace {
// By the size of the last use: growing to a size below the limit may
// overshoot it in capacity, and such a vector would be freed and grown again
// for every packet.
template <class V>
void trimVec(V& v) {
    if (v.size() > ScratchMgr::s_cMaxIdleCapacity) V().swap(v);
}
} // namespace

template <class T>
void CodecDriver3T<T>::ComprCntx::trim() {
    trimVec(_vAuxOOBValues);
    trimVec(vMSB);
    trimVec(vLSB);
    trimVec(vLiterals);
    trimVec(vWindowOffsets);
    trimVec(vCodeText);
    trimVec(vOOBHigh);
    trimVec(vCodeTextHigh);
    trimVec(vHisto);
    trimVec(vRunLensAndVals);
    trimVec(vSorted);
}

template <class T>
size_t CodecDriver3T<T>::Parked::memSize() const {
    return cntx.memSize() + vCodeText.capacity() * sizeof(uint32_t) +
           (vOOB.capacity() + vMSB.capacity() + vLSB.capacity()) * sizeof(T);
}

template <class T>
void CodecDriver3T<T>::Parked::trim() {
    trimVec(vCodeText);
    trimVec(vOOB);
    trimVec(vMSB);
    trimVec(vLSB);
}

template <class T>
size_t CodecDriver3T<T>::memSize() const {
    size_t n = sizeof(*this);
    for (const ComprCntx& c : _aComprCntx)
        n += c.memSize();
    for (const Parked& p : _aParked)
        n += p.memSize();
    if (_pBitLenCodec) n += _pBitLenCodec->memSize();
    if (_pArithCodec) n += _pArithCodec->memSize();
    return n;
}

template <class T>
typename CodecDriver3T<T>::ValueStats CodecDriver3T<T>::s_computeValueStatistics(const T* values, int n) {
    ValueStats s;
    if (n == 0) return s;
    s.iMin = s.iMax = values[0];
    __int128 sum = 0;
    for (int i = 0; i < n; ++i) {
        s.iMin = std::min(s.iMin, values[i]);
        s.iMax = std::max(s.iMax, values[i]);
        sum += values[i];
    }
    s.iMean = static_cast<T>(sum / n);
    s.cValueSpan = static_cast<U>(static_cast<U>(s.iMax) - static_cast<U>(s.iMin));
    s.cValueSpanBits = static_cast<int>(std::bit_width(s.cValueSpan));
    return s;
}

template <class T>
bool CodecDriver3T<T>::s_buildCntxFromHisto(VqProbContext3T<T>& cntx, const uint32_t* histo, int nBins,
                                            T minValue) {
    return cntx.buildFromHisto(histo, nBins, minValue);
}

// ---------------------------------------------------------------------------------------------------------------
// Writing

template <class T>
bool CodecDriver3T<T>::_write(VqBaseDataStream& stream, int v) {
    VQ_PROPAGATE(stream.write(v));
    _nBytesWritten += 4;
    return true;
}

template <class T>
bool CodecDriver3T<T>::_write(VqBaseDataStream& stream, unsigned char v) {
    VQ_PROPAGATE(stream.write(v));
    _nBytesWritten += 1;
    return true;
}

template <class T>
bool CodecDriver3T<T>::_writeValues(VqBaseDataStream& stream, const T* v, int n) {
    if (n == 0) return true;
    VQ_PROPAGATE(stream.write(v, n));
    _nBytesWritten += static_cast<uint64_t>(n) * sizeof(T);
    return true;
}

template <class T>
bool CodecDriver3T<T>::serialize(VqObjectStream& stream, const VqVec<T>& values, VqCodecType eCodec) {
    _nBytesWritten = 0;
    _nValues = 0;
    VQ_CHECK(eCodec == CodecAuto || eCodec == CodecBitLength || eCodec == CodecArithmetic ||
                 eCodec == CodecChopper || eCodec == CodecMoveToFront,
             kCls, "serialize", VQ_ERR_ARGUMENT);
    VQ_CHECK(values.size() <= static_cast<size_t>(INT_MAX), kCls, "serialize", VQ_ERR_ARGUMENT);
    _bSegStream = s_isCompressedSegmentStream(stream);
    _nComprCntx = 1;
    const int n = static_cast<int>(values.size());
    bool ok = false;
    try {
        ok = _serialize(stream, values.data(), n, eCodec, CodecAuto);
    } catch (...) {
        ok = VqErrorState::recordCurrentException(kCls, "serialize");
    }
    _nComprCntx = 1;
    for (ComprCntx& c : _aComprCntx)
        c.trim();
    VQ_PROPAGATE(ok);
    _nValues = n;
    return true;
}

template <class T>
bool CodecDriver3T<T>::_serializeNested(VqBaseDataStream& stream, const T* values, int n,
                                        VqCodecType eEnclosing) {
    VQ_PROPAGATE(_pushCCntx(VQ_ERR_INTERNAL));
    const bool ok = _serialize(stream, values, n, CodecAuto, eEnclosing);
    _popCCntx();
    VQ_PROPAGATE(ok);
    return true;
}

template <class T>
bool CodecDriver3T<T>::_serialize(VqBaseDataStream& stream, const T* values, int n, VqCodecType eCodec,
                                  VqCodecType eEnclosing) {
    VQ_PROPAGATE(_write(stream, n));
    if (n == 0) return true;
    ComprCntx& C = _top();
    C.stats = s_computeValueStatistics(values, n);
    if (eCodec == CodecAuto) {
        // Below two free contexts a nested packet could not nest again: the
        // bit-length codec, which nests nothing, ends the recursion.
        if (cNumComprCntx - _nComprCntx < 2) {
            eCodec = CodecBitLength;
        } else {
            double aCost[6];
            _estimateEntropy(values, n, eEnclosing, aCost);
            eCodec = s_chooseCodec(aCost, n);
        }
    } else if (eCodec == CodecArithmetic) {
        _buildArithmeticCntx(values, n, true);
        VQ_CHECK(C.cntx.totalCount() > 0, kCls, "serialize", VQ_ERR_INTERNAL);
    } else if (eCodec == CodecChopper) {
        _chooseChopBits(values, n);
        if (C.cChopBits <= 0) VQ_FAIL(kCls, "serialize", "C->_cChopBits > 0", VQ_ERR_ARGUMENT);
    }
    switch (eCodec) {
    case CodecChopper:
        return _writeChopper(stream, values, n);
    case CodecMoveToFront:
        return _writeMoveToFront(stream, values, n);
    default:
        return _writeCoded(stream, values, n, eCodec);
    }
}

template <class T>
bool CodecDriver3T<T>::_writeCoded(VqBaseDataStream& stream, const T* values, int n, VqCodecType eCodec) {
    ComprCntx& C = _top();
    VqCodec3T<T>* codec = eCodec == CodecArithmetic ? static_cast<VqCodec3T<T>*>(_arithmeticCodec())
                                                    : static_cast<VqCodec3T<T>*>(_bitLengthCodec());
    if (!codec) VQ_PROPAGATE(false);
    VQ_PROPAGATE(_write(stream, static_cast<unsigned char>(eCodec)));
    C._vAuxOOBValues.clear();
    int64_t nBits = 0;
    VQ_PROPAGATE(codec->encode(values, n, C._vAuxOOBValues, C.vCodeText, nBits,
                               eCodec == CodecArithmetic ? &C.cntx : nullptr));
    if (eCodec == CodecBitLength && C._vAuxOOBValues.length() != 0)
        VQ_FAIL(kCls, "serialize", "_pvOOBValues->length() == 0", VQ_ERR_INTERNAL);
    // The bit count is an int32 field.
    VQ_CHECK(nBits <= INT_MAX, kCls, "serialize", VQ_ERR_ARGUMENT);
    const int64_t cWordsCodeText = (nBits + 31) / 32;
    VQ_CHECK(cWordsCodeText == C.vCodeText.length(), kCls, "serialize", VQ_ERR_INTERNAL);
    VQ_PROPAGATE(_write(stream, static_cast<int>(nBits)));
    if (cWordsCodeText > 0) {
        VQ_PROPAGATE(stream.write(C.vCodeText.data(), static_cast<int>(cWordsCodeText)));
        _nBytesWritten += static_cast<uint64_t>(cWordsCodeText) * 4;
    }
    if (eCodec != CodecArithmetic) return true;
    int64_t nCntxBits = 0;
    VQ_PROPAGATE(C.cntx.serialize(stream, nCntxBits));
    _nBytesWritten += static_cast<uint64_t>(nCntxBits / 8);
    if (!C.cntx.hasEscape()) return true;
    const int nOOB = C._vAuxOOBValues.length();
    if (_bSegStream) {
        VQ_PROPAGATE(_write(stream, nOOB));
        return _writeValues(stream, C._vAuxOOBValues.data(), nOOB);
    }
    return _serializeNested(stream, C._vAuxOOBValues.data(), nOOB, CodecArithmetic);
}

template <class T>
bool CodecDriver3T<T>::_writeChopper(VqBaseDataStream& stream, const T* values, int n) {
    ComprCntx& C = _top();
    const int k = C.cChopBits;
    const int s = C.stats.cValueSpanBits;
    VQ_CHECK(k > 0 && k < s, kCls, "serialize", VQ_ERR_INTERNAL);
    const T bias = C.stats.iMin;
    VQ_PROPAGATE(_write(stream, static_cast<unsigned char>(CodecChopper)));
    VQ_PROPAGATE(_write(stream, static_cast<unsigned char>(k)));
    VQ_PROPAGATE(_writeValues(stream, &bias, 1));
    VQ_PROPAGATE(_write(stream, static_cast<unsigned char>(s)));
    const int lowBits = s - k;
    const U lowMask = static_cast<U>((U(1) << lowBits) - 1);
    C.vMSB.resize(static_cast<size_t>(n));
    C.vLSB.resize(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        const U d = static_cast<U>(static_cast<U>(values[i]) - static_cast<U>(bias));
        C.vMSB[i] = static_cast<T>(d >> lowBits);
        C.vLSB[i] = static_cast<T>(d & lowMask);
    }
    // The high parts with the arithmetic codec over their histogram, which
    // holds every value, so no out-of-band packet follows.
    VQ_PROPAGATE(_pushCCntx(VQ_ERR_INTERNAL));
    ComprCntx& H = _top();
    const std::vector<uint32_t>& histo = C.avChopHisto[k - 1];
    const bool ok = s_buildCntxFromHisto(H.cntx, histo.data(), static_cast<int>(histo.size()), 0) &&
                    _write(stream, n) && _writeCoded(stream, C.vMSB.data(), n, CodecArithmetic);
    _popCCntx();
    VQ_PROPAGATE(ok);
    return _serializeNested(stream, C.vLSB.data(), n, CodecChopper);
}

template <class T>
bool CodecDriver3T<T>::_writeMoveToFront(VqBaseDataStream& stream, const T* values, int n) {
    ComprCntx& C = _top();
    VQ_PROPAGATE(_write(stream, static_cast<unsigned char>(CodecMoveToFront)));
    C.vLiterals.clear();
    C.vWindowOffsets.resize(static_cast<size_t>(n));
    // Only entries that literals filled are searched: the zeros the window
    // starts with stand for no value of the array.
    T window[cWindowSize] = {};
    int nFilled = 0;
    for (int i = 0; i < n; ++i) {
        const T v = values[i];
        int o = 0;
        while (o < nFilled && window[o] != v)
            ++o;
        if (o < nFilled) {
            C.vWindowOffsets[i] = static_cast<T>(o);
        } else {
            C.vWindowOffsets[i] = -1;
            C.vLiterals.push_back(v);
            o = cWindowSize - 1;
            nFilled = std::min(nFilled + 1, cWindowSize);
        }
        for (; o > 0; --o)
            window[o] = window[o - 1];
        window[0] = v;
    }
    VQ_PROPAGATE(_serializeNested(stream, C.vLiterals.data(), C.vLiterals.length(), CodecMoveToFront));
    return _serializeNested(stream, C.vWindowOffsets.data(), n, CodecMoveToFront);
}

// ---------------------------------------------------------------------------------------------------------------
// Estimates

// The estimates count the bits each codec would write for the packet,
// headers and nested packets included, from the values alone: the
// bit-length codec's own plan, the arithmetic code under the rescaled
// counts with its table and out-of-band values, the chopper's best split
// with its low parts at their width, and a run of the move-to-front window
// with plain literals. They only choose: any choice writes a valid packet.
//
// Move-to-front is also charged for its decoding: a reader decodes two
// packets and then rebuilds every value through the window, about twice the
// work of the other codecs per value. On arrays where it barely wins, such
// as the low parts of a smooth mesh's coordinates (a third of a percent
// fewer bits), it cost a tenth of the whole record's decode time; where it
// pays, on values that recur, it saves far more than the charge.
template <class T>
void CodecDriver3T<T>::_estimateEntropy(const T* values, int n, VqCodecType eEnclosing, double (&aCost)[6]) {
    std::fill(std::begin(aCost), std::end(aCost), cExcluded);
    const ValueStats& st = _top().stats;
    VqBitLengthCodec3T<T>* bitLen = _bitLengthCodec();
    aCost[CodecBitLength] =
        kCodedHeaderBits +
        (bitLen ? static_cast<double>(bitLen->estimateBits(values, n, st.iMin, st.iMax, st.iMean))
                : cExcluded);
    if (eEnclosing != CodecArithmetic) aCost[CodecArithmetic] = _buildArithmeticCntx(values, n, false);
    if (!_bSegStream) aCost[CodecChopper] = _chooseChopBits(values, n);
    if (eEnclosing != CodecMoveToFront)
        aCost[CodecMoveToFront] = _estimateMoveToFront(values, n) + kMoveToFrontDecodeBits * n;
}

template <class T>
double CodecDriver3T<T>::_buildArithmeticCntx(const T* values, int n, bool bForce) {
    ComprCntx& C = _top();
    const ValueStats& st = C.stats;
    const uint64_t span = static_cast<uint64_t>(st.cValueSpan);
    if (span >= kMaxHistoSpan || (span >= 4096 && span / 2 >= static_cast<uint64_t>(n)))
        return _buildWideSpanCntx(values, n, bForce);
    C.vHisto.assign(static_cast<size_t>(span) + 1, 0);
    for (int i = 0; i < n; ++i)
        ++C.vHisto[static_cast<size_t>(static_cast<U>(static_cast<U>(values[i]) - static_cast<U>(st.iMin)))];
    int nBins = 0;
    for (uint32_t c : C.vHisto)
        nBins += c > 0;
    // A table holds fewer than 8192 entries; more distinct values need an escape.
    if (nBins >= VqProbContext3T<T>::cMaxCntxCount) return _buildWideSpanCntx(values, n, bForce);
    if (!s_buildCntxFromHisto(C.cntx, C.vHisto.data(), static_cast<int>(C.vHisto.size()), st.iMin)) {
        VqErrorState::clearError();
        C.cntx.clear();
        return cExcluded;
    }
    // The code's size under the rescaled counts, from the true ones.
    const double total = C.cntx.totalCount();
    double bits = kCodedHeaderBits + kCoderEndBits;
    for (int i = 0; i < C.cntx.numEntries(); ++i) {
        const VqCntxEntry3T<T>& e = C.cntx.entry(i);
        const uint32_t c =
            C.vHisto[static_cast<size_t>(static_cast<U>(static_cast<U>(e._value) - static_cast<U>(st.iMin)))];
        bits += c * std::log2(total / e._cCount);
    }
    int bc = 0, bv = 0;
    C.cntx.fieldWidths(bc, bv);
    // The estimate's table counts a 32-bit minimum; a long table stores 64.
    return bits + static_cast<double>(s_estimateProbCntxBits(C.cntx.numEntries(), bc, bv) + cValueBits - 32);
}

template <class T>
double CodecDriver3T<T>::_buildWideSpanCntx(const T* values, int n, bool bForce) {
    ComprCntx& C = _top();
    const int s = C.stats.cValueSpanBits;
    // Runs of equal values in sorted order: the repeated values, with their counts.
    C.vSorted.assign(values, values + n);
    std::sort(C.vSorted.begin(), C.vSorted.end());
    C.vRunLensAndVals.clear();
    for (int i = 0; i < n;) {
        int j = i + 1;
        while (j < n && C.vSorted[j] == C.vSorted[i])
            ++j;
        if (j - i >= 2) C.vRunLensAndVals.emplace_back(j - i, C.vSorted[i]);
        i = j;
    }
    std::sort(C.vRunLensAndVals.begin(), C.vRunLensAndVals.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first > b.first : a.second > b.second;
    });

    // Estimated size when the first j pairs form the table and every other
    // value is escaped and sent out of band: raw values in a compressed
    // segment, else a nested packet of about s bits a value.
    const double N = n;
    const double oobBits = _bSegStream ? cValueBits : s;
    const double oobHeader = _bSegStream ? 32 : kCodedHeaderBits + 2 * 5 * ((s + 3) / 4);
    const double perEntry = 1 + std::min(static_cast<int>(std::bit_width(static_cast<unsigned>(n))), 13) + s;
    const double tableBits = 16 + 6 + 7 + cValueBits + perEntry; // header and escape entry
    const int maxPairs =
        std::min(static_cast<int>(C.vRunLensAndVals.size()), VqProbContext3T<T>::cMaxCntxCount - 2);
    double entropy = 0.0;
    int64_t covered = 0, keptCovered = 0;
    double best = selfInfo(N, N) + N * oobBits + oobHeader + tableBits;
    int kept = 0;
    for (int j = 0; j < maxPairs; ++j) {
        const int c = C.vRunLensAndVals[j].first;
        covered += c;
        entropy += selfInfo(c, N);
        const double escaped = N - double(covered);
        const double estimate = entropy + selfInfo(escaped, N) + escaped * oobBits +
                                (escaped > 0 ? oobHeader : 0) + tableBits + (j + 1) * perEntry;
        // Counts fall from pair to pair and so does the gain of each: the
        // first pair that gains nothing ends the table. (A relative margin
        // would end a flat distribution's table after a few entries.)
        if (!(estimate < best)) break;
        best = estimate;
        kept = j + 1;
        keptCovered = covered;
    }
    if (kept == 0 && !bForce) {
        C.cntx.clear();
        return cExcluded;
    }

    C.cntx.clear();
    T minKept = 0;
    for (int j = 0; j < kept; ++j) {
        VqCntxEntry3T<T> e;
        e._cCount = C.vRunLensAndVals[j].first;
        e._value = C.vRunLensAndVals[j].second;
        minKept = j == 0 ? e._value : std::min(minKept, e._value);
        C.cntx.addEntry(e);
    }
    const int64_t nEscaped = n - keptCovered;
    if (nEscaped > 0) {
        // The escape's value is never used; the smallest kept value leaves
        // the stored value range as it is.
        VqCntxEntry3T<T> esc;
        esc._bEscape = true;
        esc._cCount = static_cast<int32_t>(nEscaped);
        esc._value = kept > 0 ? minKept : C.stats.iMin;
        C.cntx.addEntry(esc);
    }
    C.cntx.sortByDescendingCount();
    C.cntx.accumulateCounts();
    if (!C.cntx.rescale()) {
        VqErrorState::clearError();
        C.cntx.clear();
        return cExcluded;
    }
    // The code's size under the rescaled counts, from the true ones. The
    // sort by count was stable and the pairs were in that order already, so
    // the ordinary entries are the pairs in turn.
    const double total = C.cntx.totalCount();
    double bits = kCodedHeaderBits + kCoderEndBits;
    int iPair = 0;
    for (int i = 0; i < C.cntx.numEntries(); ++i) {
        const VqCntxEntry3T<T>& e = C.cntx.entry(i);
        const double c = e.isEscape() ? double(nEscaped) : double(C.vRunLensAndVals[iPair++].first);
        bits += c * std::log2(total / e._cCount);
    }
    int bc = 0, bv = 0;
    C.cntx.fieldWidths(bc, bv);
    bits += static_cast<double>(s_estimateProbCntxBits(C.cntx.numEntries(), bc, bv) + cValueBits - 32);
    if (nEscaped > 0) bits += double(nEscaped) * oobBits + oobHeader;
    return bits;
}

template <class T>
double CodecDriver3T<T>::_chooseChopBits(const T* values, int n) {
    ComprCntx& C = _top();
    C.cChopBits = 0;
    const int s = C.stats.cValueSpanBits;
    if (s < 2) return cExcluded;
    const int K = std::min(s - 1, static_cast<int>(cMaxChopHistoBits));
    const U bias = static_cast<U>(C.stats.iMin);
    // Histograms of the top j bits of v - min, j = K down to 1.
    std::vector<uint32_t>& top = C.avChopHisto[K - 1];
    top.assign(size_t(1) << K, 0);
    for (int i = 0; i < n; ++i)
        ++top[static_cast<size_t>(static_cast<U>(static_cast<U>(values[i]) - bias) >> (s - K))];
    for (int j = K - 1; j >= 1; --j) {
        const std::vector<uint32_t>& above = C.avChopHisto[j];
        std::vector<uint32_t>& h = C.avChopHisto[j - 1];
        h.resize(size_t(1) << j);
        for (size_t b = 0; b < h.size(); ++b)
            h[b] = above[2 * b] + above[2 * b + 1];
    }
    // The high parts arithmetically with their table, the low parts at
    // their width.
    const double header = 8 + 8 + cValueBits + 8;
    double best = cExcluded;
    for (int j = 1; j <= K; ++j) {
        const std::vector<uint32_t>& h = C.avChopHisto[j - 1];
        const double high =
            kCodedHeaderBits + s_estimateEntropyFromHisto(h.data(), static_cast<int>(h.size()), j);
        const double low = kCodedHeaderBits + 15 + double(s - j) * n;
        const double cost = header + high + low;
        if (cost < best) {
            best = cost;
            C.cChopBits = j;
        }
    }
    return best;
}

template <class T>
double CodecDriver3T<T>::_estimateMoveToFront(const T* values, int n) {
    uint32_t histo[cWindowSize + 1] = {}; // offset + 1
    T window[cWindowSize] = {};
    int nFilled = 0, nLiterals = 0;
    T litMin = 0, litMax = 0;
    for (int i = 0; i < n; ++i) {
        const T v = values[i];
        int o = 0;
        while (o < nFilled && window[o] != v)
            ++o;
        if (o < nFilled) {
            ++histo[o + 1];
        } else {
            ++histo[0];
            litMin = nLiterals == 0 ? v : std::min(litMin, v);
            litMax = nLiterals == 0 ? v : std::max(litMax, v);
            ++nLiterals;
            o = cWindowSize - 1;
            nFilled = std::min(nFilled + 1, cWindowSize);
        }
        for (; o > 0; --o)
            window[o] = window[o - 1];
        window[0] = v;
    }
    // Offsets: arithmetic or, for few values, plain 5-bit numbers.
    const double offsets =
        kCodedHeaderBits + std::min(s_estimateEntropyFromHisto(histo, cWindowSize + 1, 5), 5.0 * n + 15);
    const int litBits =
        static_cast<int>(std::bit_width(static_cast<U>(static_cast<U>(litMax) - static_cast<U>(litMin))));
    const double literals = kCodedHeaderBits + 2 * 5 * (cValueBits / 4) + double(litBits) * nLiterals;
    return 8 + offsets + literals;
}

// ---------------------------------------------------------------------------------------------------------------
// Reading

template <class T>
bool CodecDriver3T<T>::deserialize(VqObjectStream& stream, VqVec<T>& values, int nMaxValues) {
    _nValues = 0;
    VQ_CHECK(nMaxValues >= 0, kCls, "deserialize", VQ_ERR_ARGUMENT);
    _bSegStream = s_isCompressedSegmentStream(stream);
    _nComprCntx = 1;
    _top()._pvValues = &values;
    _pPendingHigh = nullptr;
    bool ok = false;
    try {
        ok = _deserialize(stream, std::min(nMaxValues, VqCodecDriver2::s_maxValueCount()));
    } catch (...) {
        ok = VqErrorState::recordCurrentException(kCls, "deserialize");
    }
    _nComprCntx = 1;
    for (ComprCntx& c : _aComprCntx)
        c.trim();
    VQ_PROPAGATE(ok);
    _nValues = values.length();
    return true;
}

template <class T>
bool CodecDriver3T<T>::deserializeBatched(VqObjectStream& stream, VqVec<T>& values, int nMaxValues) {
    _bBatch = true;
    const bool ok = deserialize(stream, values, nMaxValues);
    _bBatch = false;
    if (!ok) dropBatch();
    VQ_PROPAGATE(ok);
    return true;
}

template <class T>
bool CodecDriver3T<T>::deserializeBeside(VqObjectStream& stream, VqVec<T>& values, int nMaxValues) {
    _bBeside = true;
    const bool ok = deserialize(stream, values, nMaxValues);
    _bBeside = false;
    if (!ok) dropBatch();
    VQ_PROPAGATE(ok);
    return true;
}

template <class T>
bool CodecDriver3T<T>::finishBatch() {
    bool ok = false;
    try {
        ok = _decodeParked();
    } catch (...) {
        ok = VqErrorState::recordCurrentException(kCls, "deserialize");
    }
    dropBatch();
    VQ_PROPAGATE(ok);
    return true;
}

template <class T>
void CodecDriver3T<T>::dropBatch() {
    _nParked = 0;
    for (Parked& p : _aParked)
        p.trim();
}

template <class T>
template <class E>
bool CodecDriver3T<T>::_readArray(VqBaseDataStream& stream, VqVec<E>& v, int64_t n) {
    v.clear();
    if (static_cast<uint64_t>(n) * sizeof(E) > stream._readLimit()) {
        VqErrorState::throwStdError(kCls, "deserialize", "Short read", VQ_ERR_SHORT_READ);
        return false;
    }
    // A stream that cannot tell its length is read in pieces.
    for (int64_t done = 0; done < n;) {
        const int64_t len = std::min(n - done, kReadChunk);
        v.resize(static_cast<size_t>(done + len));
        VQ_PROPAGATE(stream.read(v.data() + done, static_cast<int>(len)));
        done += len;
    }
    return true;
}

template <class T>
bool CodecDriver3T<T>::_deserializeNested(VqBaseDataStream& stream, VqVec<T>& values, int nMaxValues,
                                          bool bDefer) {
    VQ_PROPAGATE(_pushCCntx(VQ_ERR_CORRUPT));
    _top()._pvValues = &values;
    _top()._bDefer = bDefer;
    const bool ok = _deserialize(stream, nMaxValues);
    _popCCntx();
    VQ_PROPAGATE(ok);
    return true;
}

// A nested packet can need no more values than the packet around it: one
// out-of-band value per escape, one plane entry, literal or offset per value.
template <class T>
bool CodecDriver3T<T>::_deserialize(VqBaseDataStream& stream, int nMaxValues) {
    ComprCntx& C = _top();
    VqVec<T>& values = *C._pvValues;
    C._bDeferred = false;
    C._bOffsetsDeferred = false;
    int nExpectedValues = 0;
    VQ_PROPAGATE(stream.read(&nExpectedValues));
    VQ_CHECK(nExpectedValues >= 0, kCls, "deserialize", VQ_ERR_CORRUPT);
    if (nExpectedValues > nMaxValues) VQ_FAIL(kCls, "deserialize", "nValues <= nMaxValues", VQ_ERR_CORRUPT);
    if (nExpectedValues == 0) {
        values.clear();
        return true;
    }
    unsigned char eCodecType = 0;
    VQ_PROPAGATE(stream.read(&eCodecType));
    switch (eCodecType) {
    case CodecBitLength:
    case CodecArithmetic: {
        int bits = 0;
        VQ_PROPAGATE(stream.read(&bits));
        VQ_CHECK(bits >= 0, kCls, "deserialize", VQ_ERR_CORRUPT);
        VQ_PROPAGATE(_readArray(stream, C.vCodeText, (int64_t(bits) + 31) / 32));
        if (eCodecType == CodecBitLength) {
            VqBitLengthCodec3T<T>* codec = _bitLengthCodec();
            if (!codec) VQ_PROPAGATE(false);
            VQ_PROPAGATE(
                codec->decode(nExpectedValues, nullptr, 0, C.vCodeText.data(), bits, values, nullptr));
            break;
        }
        VQ_PROPAGATE(C.cntx.deserialize(stream));
        C._vAuxOOBValues.clear();
        if (C.cntx.hasEscape()) {
            if (_bSegStream) {
                int nOOBValues = 0;
                VQ_PROPAGATE(stream.read(&nOOBValues));
                // Each escape codes one value.
                VQ_CHECK(nOOBValues >= 0 && nOOBValues <= nExpectedValues, kCls, "deserialize",
                         VQ_ERR_CORRUPT);
                if (!_readArray(stream, C._vAuxOOBValues, nOOBValues))
                    VQ_FAIL(kCls, "deserialize", "iostrm.read(C->_vAuxOOBValues.ptr(), nOOBValues)",
                            VQ_ERR_SHORT_READ);
            } else {
                VQ_PROPAGATE(_deserializeNested(stream, C._vAuxOOBValues, nExpectedValues));
            }
        }
        if (C._bDefer) {
            C._bDeferred = true;
            C._nDeferredValues = nExpectedValues;
            C._nDeferredBits = bits;
            return true;
        }
        // Parked, the packet's values are sized at once: only when the code
        // text is long enough that decoding would size them so too. Read
        // beside a batch, a plain packet's text joins it as well: decoded
        // here it would run alone, each symbol waiting on the one before.
        if ((_bBatch || _bBeside) && _nComprCntx == 1 && _nParked < cMaxParked &&
            VqDecodeRoom::initial(nExpectedValues, bits) == nExpectedValues) {
            _parkPlain(C, nExpectedValues, bits, values);
            return true;
        }
        VQ_PROPAGATE(_decodeOne(C.cntx, {nExpectedValues, C._vAuxOOBValues.data(), C._vAuxOOBValues.length(),
                                         C.vCodeText.data(), bits, &values, &C.cntx}));
        break;
    }
    case CodecChopper:
        VQ_PROPAGATE(_readChopper(stream, nExpectedValues));
        break;
    case CodecMoveToFront:
        VQ_PROPAGATE(_readMoveToFront(stream, nExpectedValues));
        // The enclosing chopper parks it.
        if (C._bOffsetsDeferred) return true;
        break;
    default:
        // Type 0 (raw words) included: no writer makes it, so such a packet
        // is as corrupt as one of an unknown type.
        VQ_FAIL(
            kCls, "deserialize",
            "eCodecType == CodecBitLength || eCodecType == CodecArithmetic || eCodecType == CodecChopper || "
            "eCodecType == CodecMoveToFront",
            VQ_ERR_CORRUPT);
    }
    if (C._pvValues->length() != nExpectedValues)
        VQ_FAIL(kCls, "deserialize", "C->_pvValues->length() == nExpectedValues", VQ_ERR_CORRUPT);
    return true;
}

template <class T>
bool CodecDriver3T<T>::_readChopper(VqBaseDataStream& stream, int nExpectedValues) {
    ComprCntx& C = _top();
    // Emptied first: a part that no decode fills then fails the check of
    // the parts' lengths, rather than joining what an earlier packet left.
    C.vMSB.clear();
    C.vLSB.clear();
    unsigned char cChopBits = 0, cValSpanBits = 0;
    T bias = 0;
    VQ_PROPAGATE(stream.read(&cChopBits));
    VQ_PROPAGATE(stream.read(&bias));
    VQ_PROPAGATE(stream.read(&cValSpanBits));
    VQ_CHECK(cChopBits > 0 && cChopBits < 32, kCls, "deserialize", VQ_ERR_CORRUPT);
    VQ_CHECK(cChopBits < cValSpanBits, kCls, "deserialize", VQ_ERR_CORRUPT);
    VQ_CHECK(cValSpanBits <= cValueBits, kCls, "deserialize", VQ_ERR_CORRUPT);
    // An arithmetic high part is read up to its code text and kept here,
    // pending, while what follows is read; its code text then decodes in
    // one loop with the next arithmetic code text that is ready, where each
    // symbol's wait overlaps the other's: the low part's, or (the normals'
    // low part is a chopper) the high part of a chopper inside it. A corrupt
    // high part's code text is so reported after the read errors of what
    // follows it, not before.
    VQ_PROPAGATE(_deserializeNested(stream, C.vMSB, nExpectedValues, true));
    // The level both parts are read at, left as they left it.
    ComprCntx& N = _aComprCntx[_nComprCntx];
    if (N._bDeferred) {
        C._nHighValues = N._nDeferredValues;
        C._nHighBits = N._nDeferredBits;
        std::swap(C.cntxHigh, N.cntx);
        C.vCodeTextHigh.swap(N.vCodeText);
        C.vOOBHigh.swap(N._vAuxOOBValues);
        if (_pPendingHigh) {
            ComprCntx& P = *_pPendingHigh;
            _pPendingHigh = nullptr;
            VQ_PROPAGATE(_decodePair(P.cntxHigh, _highPacket(P), C.cntxHigh, _highPacket(C)));
        } else {
            _pPendingHigh = &C;
        }
    }
    const bool bLowMayWait = _pPendingHigh == &C;
    VQ_PROPAGATE(_deserializeNested(stream, C.vLSB, nExpectedValues, bLowMayWait));
    if (bLowMayWait && _pPendingHigh != &C && N._bDeferred) {
        // A chopper among the low part's out-of-band values took the high
        // part into a pair of its own: the low part's code text, left to
        // decode with the high part's, decodes alone.
        VQ_PROPAGATE(
            _decodeOne(N.cntx, {N._nDeferredValues, N._vAuxOOBValues.data(), N._vAuxOOBValues.length(),
                                N.vCodeText.data(), N._nDeferredBits, &C.vLSB, &N.cntx}));
    }
    if (_pPendingHigh == &C) {
        _pPendingHigh = nullptr;
        const int lowBits = cValSpanBits - cChopBits;
        // Both parts wait in the batch, to decode with its other texts, when
        // their lengths agree (else they fail as they would decoded here) and
        // the low part's code text backs the values sized for it.
        const bool bSameLength = C._nHighValues == nExpectedValues && N._nDeferredValues == nExpectedValues;
        if (N._bDeferred && bSameLength && _bBatch && _nComprCntx == 1 && _nParked + 2 <= cMaxParked &&
            VqDecodeRoom::initial(N._nDeferredValues, N._nDeferredBits) == N._nDeferredValues) {
            VQ_PROPAGATE(_park(C, nExpectedValues, N._nDeferredValues, lowBits, bias));
            _parkPlain(N, N._nDeferredValues, N._nDeferredBits, _aParked[_nParked - 1].vLSB);
            return true;
        }
        if (N._bDeferred) {
            VQ_PROPAGATE(_decodePair(C.cntxHigh, _highPacket(C), N.cntx,
                                     {N._nDeferredValues, N._vAuxOOBValues.data(), N._vAuxOOBValues.length(),
                                      N.vCodeText.data(), N._nDeferredBits, &C.vLSB, &N.cntx}));
        } else {
            if (N._bOffsetsDeferred) {
                if (bSameLength) {
                    VQ_PROPAGATE(_park(C, nExpectedValues, N._nDeferredValues, lowBits, bias));
                    _parkMoveToFront(N, _aParked[_nParked - 1].vLSB);
                    return true;
                }
                VQ_PROPAGATE(_decodeMoveToFront(N, N._nDeferredValues));
            }
            if (_bBatch && _nComprCntx == 1 && _nParked < cMaxParked) {
                // Alone in its packet, the high part waits for the next packet's.
                return _park(C, nExpectedValues, C.vLSB.length(), lowBits, bias);
            }
            VQ_PROPAGATE(_decodeOne(C.cntxHigh, _highPacket(C)));
        }
    }
    if (C.vMSB.size() != C.vLSB.size())
        VQ_FAIL(kCls, "deserialize", "vMSB.size() == vLSB.size()", VQ_ERR_CORRUPT);
    const int n = C.vMSB.length();
    if (n != nExpectedValues)
        VQ_FAIL(kCls, "deserialize", "C->_pvValues->length() == nExpectedValues", VQ_ERR_CORRUPT);
    _join(C.vMSB.data(), C.vLSB.data(), n, cValSpanBits - cChopBits, bias, *C._pvValues);
    return true;
}

template <class T>
void CodecDriver3T<T>::_join(const T* h, const T* l, int n, int lowBits, T bias, VqVec<T>& values) {
    values.resizeUnset(static_cast<size_t>(n)); // written in full below
    T* out = values.data();
    // A vector of values at a time, which the compiler does not do for a
    // count that need not be a multiple of the vector's.
    constexpr int cLanes = 16 / sizeof(T);
    const __m128i count = _mm_cvtsi32_si128(lowBits);
    __m128i b;
    if constexpr (sizeof(T) == 4)
        b = _mm_set1_epi32(static_cast<int>(bias));
    else
        b = _mm_set1_epi64x(static_cast<long long>(bias));
    int i = 0;
    for (; i + cLanes <= n; i += cLanes) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + i));
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(l + i));
        __m128i v;
        if constexpr (sizeof(T) == 4)
            v = _mm_add_epi32(_mm_or_si128(_mm_sll_epi32(x, count), y), b);
        else
            v = _mm_add_epi64(_mm_or_si128(_mm_sll_epi64(x, count), y), b);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), v);
    }
    for (; i < n; ++i)
        out[i] =
            static_cast<T>(((static_cast<U>(h[i]) << lowBits) | static_cast<U>(l[i])) + static_cast<U>(bias));
}

// The checks _readChopper makes after decoding, made before: a high part
// decodes to exactly as many values as its packet counts.
template <class T>
bool CodecDriver3T<T>::_park(ComprCntx& C, int nExpectedValues, int nLowValues, int lowBits, T bias) {
    if (C._nHighValues != nLowValues)
        VQ_FAIL(kCls, "deserialize", "vMSB.size() == vLSB.size()", VQ_ERR_CORRUPT);
    if (C._nHighValues != nExpectedValues)
        VQ_FAIL(kCls, "deserialize", "C->_pvValues->length() == nExpectedValues", VQ_ERR_CORRUPT);
    Parked& P = _aParked[_nParked++];
    P.bDecoded = false;
    std::swap(P.cntx, C.cntxHigh);
    P.vCodeText.swap(C.vCodeTextHigh);
    P.vOOB.swap(C.vOOBHigh);
    P.vLSB.swap(C.vLSB);
    P.pvValues = C._pvValues;
    P.nValues = C._nHighValues;
    P.nBits = C._nHighBits;
    P.lowBits = lowBits;
    P.bias = bias;
    P.bJoin = true;
    P.bMoveToFront = false;
    P.pvValues->resizeUnset(static_cast<size_t>(nExpectedValues)); // the join writes them all
    return true;
}

template <class T>
void CodecDriver3T<T>::_parkPlain(ComprCntx& C, int nValues, int nBits, VqVec<T>& values) {
    Parked& P = _aParked[_nParked++];
    P.bDecoded = false;
    std::swap(P.cntx, C.cntx);
    P.vCodeText.swap(C.vCodeText);
    P.vOOB.swap(C._vAuxOOBValues);
    P.pvValues = &values;
    P.nValues = nValues;
    P.nBits = nBits;
    P.bJoin = false;
    P.bMoveToFront = false;
    P.pvValues->resizeUnset(static_cast<size_t>(nValues)); // the batch decode writes them all
}

template <class T>
void CodecDriver3T<T>::_parkMoveToFront(ComprCntx& M, VqVec<T>& values) {
    ComprCntx& O = (&M)[1];
    Parked& P = _aParked[_nParked++];
    P.bDecoded = false;
    std::swap(P.cntx, O.cntx);
    P.vCodeText.swap(O.vCodeText);
    P.vOOB.swap(O._vAuxOOBValues);
    P.vLSB.swap(M.vLiterals);
    P.pvValues = &values;
    P.nValues = O._nDeferredValues;
    P.nBits = O._nDeferredBits;
    P.bJoin = false;
    P.bMoveToFront = true;
    values.resizeUnset(static_cast<size_t>(P.nValues)); // the rebuild writes them all
}

template <class T>
typename CodecDriver3T<T>::ArithPacket CodecDriver3T<T>::_parkedPacket(Parked& P) {
    return {P.nValues,        P.vOOB.data(),
            P.vOOB.length(),  P.vCodeText.data(),
            int64_t(P.nBits), P.bJoin || P.bMoveToFront ? &P.vMSB : P.pvValues,
            &P.cntx};
}

// The texts decode together: each chain of symbols waits on its own text
// alone, and the core runs the others meanwhile. More texts than decode at
// once go in even groups of similar lengths, where the longest of a group
// runs on alone the least.
template <class T>
bool CodecDriver3T<T>::_decodeParked() {
    constexpr int cTogether = VqArithmeticCodec3T<T>::cMaxTogether;
    int order[cMaxParked];
    int nLeft = 0;
    for (int k = 0; k < _nParked; ++k) {
        if (_aParked[k].bDecoded) continue;
        int j = nLeft++;
        for (; j > 0 && _aParked[order[j - 1]].nValues > _aParked[k].nValues; --j)
            order[j] = order[j - 1];
        order[j] = k;
    }
    const int nGroups = (nLeft + cTogether - 1) / cTogether;
    for (int g = 0; g < nGroups; ++g)
        VQ_PROPAGATE(_decodeParkedGroup(order, g * nLeft / nGroups, (g + 1) * nLeft / nGroups));
    // Rebuilt low parts before the joins that take them.
    for (int k = 0; k < _nParked; ++k) {
        Parked& P = _aParked[k];
        if (P.bMoveToFront)
            VQ_PROPAGATE(
                _rebuildMoveToFront(P.vMSB.data(), P.nValues, P.vLSB.data(), P.vLSB.size(), *P.pvValues));
    }
    for (int k = 0; k < _nParked; ++k) {
        Parked& P = _aParked[k];
        if (P.bJoin) _join(P.vMSB.data(), P.vLSB.data(), P.nValues, P.lowBits, P.bias, *P.pvValues);
    }
    return true;
}

template <class T>
bool CodecDriver3T<T>::_decodeParkedGroup(const int* order, int first, int last) {
    if (last - first == 1)
        return _decodeOne(_aParked[order[first]].cntx, _parkedPacket(_aParked[order[first]]));
    ArithPacket packets[VqArithmeticCodec3T<T>::cMaxTogether];
    VqProbContext3T<T>* cntxs[VqArithmeticCodec3T<T>::cMaxTogether];
    for (int k = first; k < last; ++k) {
        packets[k - first] = _parkedPacket(_aParked[order[k]]);
        cntxs[k - first] = &_aParked[order[k]].cntx;
    }
    return _decodeTogether(cntxs, packets, last - first);
}

template <class T>
typename CodecDriver3T<T>::ArithPacket CodecDriver3T<T>::_highPacket(ComprCntx& C) {
    return {C._nHighValues,        C.vOOBHigh.data(), C.vOOBHigh.length(), C.vCodeTextHigh.data(),
            int64_t(C._nHighBits), &C.vMSB,           &C.cntxHigh};
}

template <class T>
bool CodecDriver3T<T>::_decodeTogether(VqProbContext3T<T>* const* cntxs, const ArithPacket* packets, int n) {
    VqArithmeticCodec3T<T>* codec = _arithmeticCodec();
    if (!codec) VQ_PROPAGATE(false);
    const ArithPacket* p[VqArithmeticCodec3T<T>::cMaxTogether] = {};
    for (int k = 0; k < n; ++k)
        p[k] = &packets[k];
    VQ_PROPAGATE(codec->decodeTogether(p, n));
    for (int k = 0; k < n; ++k)
        VQ_PROPAGATE(_checkCanonical(*cntxs[k], codec->entryCounts(k), packets[k]));
    return true;
}

template <class T>
bool CodecDriver3T<T>::_decodePair(VqProbContext3T<T>& cntxA, const ArithPacket& a, VqProbContext3T<T>& cntxB,
                                   const ArithPacket& b) {
    constexpr int cTogether = VqArithmeticCodec3T<T>::cMaxTogether;
    VqProbContext3T<T>* cntxs[cTogether] = {&cntxA, &cntxB};
    ArithPacket packets[cTogether] = {a, b};
    int n = 2;
    // Beside a batch, the pair runs with the batch's longest texts when that
    // leaves the batch a group fewer to decode; else the group the pair
    // joins only runs wider, and so slower, for nothing.
    if (_bBeside) {
        int nLeft = 0;
        for (int k = 0; k < _nParked; ++k)
            nLeft += !_aParked[k].bDecoded;
        const int nTaken = std::min(nLeft, cTogether - 2);
        const auto groups = [](int m) { return (m + cTogether - 1) / cTogether; };
        if (groups(nLeft - nTaken) < groups(nLeft)) {
            for (; n < 2 + nTaken; ++n) {
                Parked* pLongest = nullptr;
                for (int k = 0; k < _nParked; ++k)
                    if (!_aParked[k].bDecoded && (!pLongest || _aParked[k].nValues > pLongest->nValues))
                        pLongest = &_aParked[k];
                pLongest->bDecoded = true;
                cntxs[n] = &pLongest->cntx;
                packets[n] = _parkedPacket(*pLongest);
            }
        }
    }
    return _decodeTogether(cntxs, packets, n);
}

template <class T>
bool CodecDriver3T<T>::_decodeOne(VqProbContext3T<T>& cntx, const ArithPacket& p) {
    VqArithmeticCodec3T<T>* codec = _arithmeticCodec();
    if (!codec) VQ_PROPAGATE(false);
    VQ_PROPAGATE(codec->decode(p.nValues, p.oobValues, p.nOOBValues, p.codeText, p.nBits, *p.values, &cntx));
    return _checkCanonical(cntx, codec->entryCounts(), p);
}

template <class T>
bool CodecDriver3T<T>::_checkCanonical(VqProbContext3T<T>& cntx, const uint32_t* entryCounts,
                                       const ArithPacket& p) {
    if (!cntx.isCanonicalFor(entryCounts, p.oobValues, p.nOOBValues))
        VQ_FAIL(kCls, "deserialize", "Probability context not built from its values", VQ_ERR_CORRUPT);
    return true;
}

// In a batch, the window offsets' code text may wait for the batch: a
// top-level packet's, or a top-level chopper's low part's while its high
// part waits too. Then the offsets are checked, and the values rebuilt, once
// the batch decodes; a code text short for its count still decodes here,
// so that the batch sizes nothing ahead of the bits that back it.
template <class T>
bool CodecDriver3T<T>::_readMoveToFront(VqBaseDataStream& stream, int nValues) {
    ComprCntx& C = _top();
    VQ_PROPAGATE(_deserializeNested(stream, C.vLiterals, nValues));
    // Asked after the literals, whose packet may have decoded the waiting
    // high part with one of its own.
    const bool bPark =
        _bBatch && ((_nComprCntx == 1 && _nParked < cMaxParked) ||
                    (_nComprCntx == 2 && _pPendingHigh == &_aComprCntx[0] && _nParked + 2 <= cMaxParked));
    VQ_PROPAGATE(_deserializeNested(stream, C.vWindowOffsets, nValues, bPark));
    const ComprCntx& O = _aComprCntx[_nComprCntx];
    if (O._bDeferred && O._nDeferredValues == nValues &&
        VqDecodeRoom::initial(nValues, O._nDeferredBits) == nValues) {
        if (_nComprCntx > 1) {
            C._bOffsetsDeferred = true;
            C._nDeferredValues = nValues;
            return true;
        }
        _parkMoveToFront(C, *C._pvValues);
        return true;
    }
    return _decodeMoveToFront(C, nValues);
}

// M's window offsets, when deferred still in the context above M, decode
// here; then M's values are rebuilt.
template <class T>
bool CodecDriver3T<T>::_decodeMoveToFront(ComprCntx& M, int nValues) {
    ComprCntx& O = (&M)[1];
    if (O._bDeferred)
        VQ_PROPAGATE(
            _decodeOne(O.cntx, {O._nDeferredValues, O._vAuxOOBValues.data(), O._vAuxOOBValues.length(),
                                O.vCodeText.data(), O._nDeferredBits, &M.vWindowOffsets, &O.cntx}));
    if (M.vWindowOffsets.size() != static_cast<size_t>(nValues))
        VQ_FAIL(kCls, "deserialize", "vWindowOffsets.size() == nValues", VQ_ERR_CORRUPT);
    return _rebuildMoveToFront(M.vWindowOffsets.data(), nValues, M.vLiterals.data(), M.vLiterals.size(),
                               *M._pvValues);
}

// An entry moves to the front without a branch on how far it moves, which
// no predictor foresees: each 16-byte vector of the window, kept in
// registers, shifts up by one entry and keeps the shifted lanes up to the
// moved entry's position. The window also goes to memory, where the next
// entry is read by its position. One branch only, on whether the entry
// comes from the front half: the back half then stays as it is, and a
// mesh's arrays take their entries from the front nearly always.
template <class T>
bool CodecDriver3T<T>::_rebuildMoveToFront(const T* offsets, int nValues, const T* literals, size_t nLiterals,
                                           VqVec<T>& values) {
    constexpr int cLanes = 16 / sizeof(T);
    constexpr int cVecs = cWindowSize / cLanes;
    values.resizeUnset(static_cast<size_t>(nValues)); // written in full below
    T* out = values.data();
    size_t iLiteral = 0;
    alignas(16) T window[cWindowSize] = {};
    // pos: each 32-bit half's entry position, which the masks compare.
    __m128i w[cVecs], pos[cVecs];
    for (int k = 0; k < cVecs; ++k) {
        w[k] = _mm_setzero_si128();
        alignas(16) int32_t p[4];
        for (int h = 0; h < 4; ++h)
            p[h] = k * cLanes + h * cLanes / 4;
        pos[k] = _mm_load_si128(reinterpret_cast<const __m128i*>(p));
    }
    for (int i = 0; i < nValues; ++i) {
        const T o = offsets[i];
        int from = 0;
        T v = 0;
        if (o == -1) {
            if (iLiteral == nLiterals)
                VQ_FAIL(kCls, "deserialize", "iLiteral < vLiterals.size()", VQ_ERR_CORRUPT);
            v = literals[iLiteral++];
            from = cWindowSize - 1;
        } else if (o >= 0 && o < cWindowSize) {
            from = static_cast<int>(o);
            v = window[from];
        } else {
            VQ_FAIL(kCls, "deserialize", "iOffset >= -1 && iOffset < cWindowSize", VQ_ERR_CORRUPT);
        }
        const __m128i upTo = _mm_set1_epi32(from + 1);
        __m128i carry;
        if constexpr (sizeof(T) == 4)
            carry = _mm_cvtsi32_si128(static_cast<int>(v));
        else
            carry = _mm_cvtsi64_si128(static_cast<long long>(v));
        auto step = [&](int k) {
            const __m128i up = _mm_or_si128(_mm_slli_si128(w[k], sizeof(T)), carry);
            carry = _mm_srli_si128(w[k], 16 - sizeof(T));
            const __m128i m = _mm_cmplt_epi32(pos[k], upTo);
            w[k] = _mm_or_si128(_mm_and_si128(m, up), _mm_andnot_si128(m, w[k]));
            _mm_store_si128(reinterpret_cast<__m128i*>(window) + k, w[k]);
        };
        auto shift = [&]<int... K>(std::integer_sequence<int, K...>) { (step(K), ...); };
        if (from < cWindowSize / 2)
            shift(std::make_integer_sequence<int, cVecs / 2>());
        else
            shift(std::make_integer_sequence<int, cVecs>());
        out[i] = v;
    }
    // Every literal is used once: more is a damaged packet.
    VQ_CHECK(iLiteral == nLiterals, kCls, "deserialize", VQ_ERR_CORRUPT);
    return true;
}

// ---------------------------------------------------------------------------------------------------------------
// Residuals

namespace {
VqResidualPredictor::VqPredictorType residualType(CodecDriver3Base::VqPredictorType t) {
    switch (t) {
    case CodecDriver3Base::PredLag1:
        return VqResidualPredictor::PredLag1;
    case CodecDriver3Base::PredXor1:
        return VqResidualPredictor::PredXor1;
    default:
        return VqResidualPredictor::PredNull;
    }
}
} // namespace

template <class T>
bool CodecDriver3T<T>::packResiduals(const VqVec<T>& in, VqVec<T>& out, VqPredictorType ePredType) {
    VQ_CHECK(isValidPredictor(ePredType), kCls, "packResiduals", VQ_ERR_ARGUMENT);
    out.resize(in.size());
    VqResidualPredictor::pack(in.data(), out.data(), in.length(), residualType(ePredType));
    return true;
}

template <class T>
bool CodecDriver3T<T>::unpackResiduals(const VqVec<T>& in, VqVec<T>& out, VqPredictorType ePredType) {
    VQ_CHECK(isValidPredictor(ePredType), kCls, "unpackResiduals", VQ_ERR_ARGUMENT);
    out.resize(in.size());
    VqResidualPredictor::unpack(in.data(), out.data(), in.length(), residualType(ePredType));
    return true;
}

template class CodecDriver3T<int>;
template class CodecDriver3T<long>;

} // namespace Vq
