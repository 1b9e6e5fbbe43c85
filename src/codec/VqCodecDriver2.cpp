#include "VqCodecDriver2.h"

#include "VqAutoCodecDriver2ScratchCntx.h"
#include "VqAutoScratchVec.h"
#include "VqBaseDataStream.h"
#include "VqErrorState.h"
#include "VqObjectStream.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <limits>

namespace {
const char* const kCls = "VqCodecDriver2";

std::atomic<int> g_nMaxValueCount{VqCodecDriver2::cDefaultMaxValueCount};

// Words of a code text read at once when the stream cannot tell how much it
// holds, so that memory follows the bytes that actually arrive.
constexpr int64_t kWordChunk = 1 << 16;

double log2d(double x) {
    return std::log2(x);
}

// -c log2(c / n): the ideal cost in bits of c occurrences out of n.
double selfInfo(double c, double n) {
    return c > 0 ? -c * log2d(c / n) : 0.0;
}
} // namespace

VqCodecDriver2::~VqCodecDriver2() = default;

void VqCodecDriver2::s_setMaxValueCount(int nMax) {
    g_nMaxValueCount.store(std::max(nMax, 0));
}

int VqCodecDriver2::s_maxValueCount() {
    return g_nMaxValueCount.load();
}

// ---------------------------------------------------------------------------------------------------------------
// Scratch contexts and codecs

VqProbContext2* VqCodecDriver2::_takeScratchCntx(VqErrorCode eFullCode) {
    if (_iCurScratchCntx >= cNumScratchCntx) {
        VqErrorState::throwStdError(kCls, "_takeScratchCntx", "_iCurScratchCntx > 0", eFullCode);
        return nullptr;
    }
    return &_aScratchCntx[_iCurScratchCntx++];
}

void VqCodecDriver2::_releaseScratchCntx(VqProbContext2* pScratch) {
    if (_iCurScratchCntx == 0 || pScratch != &_aScratchCntx[_iCurScratchCntx - 1]) {
        VqErrorState::throwStdError(kCls, "_releaseScratchCntx",
                                    "pScratch == &_aScratchCntx[--_iCurScratchCntx]", VQ_ERR_INTERNAL);
        return;
    }
    --_iCurScratchCntx;
}

VqBitLengthCodec2* VqCodecDriver2::_bitLengthCodec() {
    // new throws on failure; the operation's boundary reports it.
    if (!_pBitLenCodec) _pBitLenCodec = new VqBitLengthCodec2();
    return _pBitLenCodec.get();
}

VqArithmeticCodec2* VqCodecDriver2::_arithmeticCodec() {
    // new throws on failure; the operation's boundary reports it.
    if (!_pArithCodec) _pArithCodec = new VqArithmeticCodec2();
    return _pArithCodec.get();
}

size_t VqCodecDriver2::memSize() const {
    size_t n = sizeof(*this) + _vCodeText.capacity() * sizeof(uint32_t) + _vSorted.capacity() * sizeof(int) +
               _vRunLensAndVals.capacity() * sizeof(std::pair<int, int>) +
               _vHisto.capacity() * sizeof(uint32_t);
    for (const auto& h : _avChopHisto)
        n += h.capacity() * sizeof(uint32_t);
    for (const auto& c : _aScratchCntx)
        n += c.memSize();
    if (_pBitLenCodec) n += _pBitLenCodec->memSize();
    if (_pArithCodec) n += _pArithCodec->memSize();
    return n;
}

// ---------------------------------------------------------------------------------------------------------------
// Writing

bool VqCodecDriver2::_write(VqBaseDataStream& stream, int v) {
    VQ_PROPAGATE(stream.write(v));
    _nBytesWritten += 4;
    return true;
}

bool VqCodecDriver2::_write(VqBaseDataStream& stream, unsigned char v) {
    VQ_PROPAGATE(stream.write(v));
    _nBytesWritten += 1;
    return true;
}

VqCodecDriver2::ValueStats VqCodecDriver2::_computeValueStatistics(const int* values, int n) {
    ValueStats s;
    if (n == 0) return s;
    s.iMin = s.iMax = values[0];
    for (int i = 1; i < n; ++i) {
        s.iMin = std::min(s.iMin, values[i]);
        s.iMax = std::max(s.iMax, values[i]);
    }
    s.cValueSpan = static_cast<uint32_t>(s.iMax) - static_cast<uint32_t>(s.iMin);
    s.cValueSpanBits = static_cast<int>(std::bit_width(s.cValueSpan));
    return s;
}

bool VqCodecDriver2::serialize(VqObjectStream& stream, VqCodecType eCodec) {
    _nBytesWritten = 0;
    VQ_CHECK(_pvValues || _pvuValues, kCls, "serialize", VQ_ERR_ARGUMENT);
    VQ_CHECK(eCodec == CodecAuto || eCodec == CodecBitLength || eCodec == CodecArithmetic ||
                 eCodec == CodecChopper,
             kCls, "serialize", VQ_ERR_ARGUMENT);
    // Signed and unsigned int share their representation; the codecs see
    // the bits as int.
    const int* values = _pvValues ? _pvValues->data() : reinterpret_cast<const int*>(_pvuValues->data());
    const size_t n = _pvValues ? _pvValues->size() : _pvuValues->size();
    VQ_CHECK(n <= static_cast<size_t>(std::numeric_limits<int>::max()), kCls, "serialize", VQ_ERR_ARGUMENT);
    try {
        VQ_PROPAGATE(_serialize(stream, values, static_cast<int>(n), eCodec));
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "serialize");
    }
    return true;
}

bool VqCodecDriver2::_serialize(VqBaseDataStream& stream, const int* values, int n, VqCodecType eCodec) {
    VQ_PROPAGATE(_write(stream, n));
    if (n == 0) return true;
    const ValueStats stats = _computeValueStatistics(values, n);
    if (eCodec == CodecAuto) {
        // Below two free contexts a nested packet could not nest again: the
        // bit-length codec, which needs none, ends the recursion.
        if (cNumScratchCntx - _iCurScratchCntx < 2) {
            eCodec = CodecBitLength;
        } else {
            VqAutoCodecDriver2ScratchCntx scratch(*this, VQ_ERR_INTERNAL);
            if (!scratch.ok()) VQ_PROPAGATE(false);
            VQ_PROPAGATE(_chooseCodec(values, n, stats, *scratch, false, eCodec));
            // The context built for the arithmetic codec is used here, while
            // the slot is held.
            if (eCodec == CodecArithmetic) return _serializeCoded(stream, values, n, eCodec, scratch.get());
        }
    }
    switch (eCodec) {
    case CodecArithmetic: {
        VqAutoCodecDriver2ScratchCntx scratch(*this, VQ_ERR_INTERNAL);
        if (!scratch.ok()) VQ_PROPAGATE(false);
        VQ_PROPAGATE(_chooseCodec(values, n, stats, *scratch, true, eCodec));
        return _serializeCoded(stream, values, n, eCodec, scratch.get());
    }
    case CodecChopper:
        return _serializeChopper(stream, values, n, stats);
    default:
        return _serializeCoded(stream, values, n, CodecBitLength, nullptr);
    }
}

bool VqCodecDriver2::_serializeCoded(VqBaseDataStream& stream, const int* values, int n, VqCodecType eCodec,
                                     VqProbContext2* pCntx) {
    VqCodec2* codec = eCodec == CodecArithmetic ? static_cast<VqCodec2*>(_arithmeticCodec())
                                                : static_cast<VqCodec2*>(_bitLengthCodec());
    if (!codec) VQ_PROPAGATE(false);
    VqAutoScratchVec<VqVeci> oob;
    if (!oob.ok()) VQ_PROPAGATE(false);
    int64_t nBits = 0;
    VQ_PROPAGATE(codec->encode(values, n, *oob, _vCodeText, nBits, pCntx));
    if (eCodec == CodecBitLength && oob->length() != 0)
        VQ_FAIL(kCls, "_serialize", "_pvOOBValues->length() == 0", VQ_ERR_INTERNAL);
    // The bit count is an int32 field.
    VQ_CHECK(nBits <= std::numeric_limits<int>::max(), kCls, "_serialize", VQ_ERR_ARGUMENT);
    const int64_t cWordsCodeText = (nBits + 31) / 32;
    if (cWordsCodeText != _vCodeText.length())
        VQ_FAIL(kCls, "_serialize", "cWordsCodeText == vCodeText.length()", VQ_ERR_INTERNAL);
    VQ_PROPAGATE(_write(stream, static_cast<unsigned char>(eCodec)));
    VQ_PROPAGATE(_write(stream, static_cast<int>(nBits)));
    VQ_PROPAGATE(stream.write(_vCodeText.data(), static_cast<int>(cWordsCodeText)));
    _nBytesWritten += 4 * static_cast<uint64_t>(cWordsCodeText);
    if (eCodec != CodecArithmetic) return true;
    size_t nCntxBytes = 0;
    VQ_PROPAGATE(pCntx->serialize(stream, nCntxBytes));
    _nBytesWritten += nCntxBytes;
    return _serialize(stream, oob->data(), oob->length(), CodecAuto);
}

bool VqCodecDriver2::_chooseCodec(const int* values, int n, const ValueStats& stats, VqProbContext2& cntx,
                                  bool bForceArithmetic, VqCodecType& eCodec) {
    if (stats.cValueSpan > 1024) return _chooseForWideSpan(values, n, stats, cntx, bForceArithmetic, eCodec);
    const int s = stats.cValueSpanBits;
    const int nBins = static_cast<int>(stats.cValueSpan) + 1;
    _vHisto.assign(static_cast<size_t>(nBins), 0);
    for (int i = 0; i < n; ++i)
        ++_vHisto[static_cast<uint32_t>(values[i]) - static_cast<uint32_t>(stats.iMin)];
    double H = 0.0;
    int K = 0;
    for (uint32_t c : _vHisto) {
        if (c == 0) continue;
        H += selfInfo(c, n);
        ++K;
    }
    if (!bForceArithmetic &&
        (n < 11 || stats.cValueSpan < 1 || double(n) * s + 72 <= double(2 * s + 10) * K + 138 + H)) {
        eCodec = n < 32 || stats.cValueSpan == 0 ? CodecBitLength : CodecChopper;
        return true;
    }
    eCodec = CodecArithmetic;
    return cntx.buildFromHisto(_vHisto.data(), nBins, stats.iMin);
}

bool VqCodecDriver2::_chooseForWideSpan(const int* values, int n, const ValueStats& stats,
                                        VqProbContext2& cntx, bool bForceArithmetic, VqCodecType& eCodec) {
    const int s = stats.cValueSpanBits;
    // Runs of equal values in sorted order: the repeated values, with their counts.
    _vSorted.assign(values, values + n);
    std::sort(_vSorted.begin(), _vSorted.end());
    _vRunLensAndVals.clear();
    for (int i = 0; i < n;) {
        int j = i + 1;
        while (j < n && _vSorted[j] == _vSorted[i])
            ++j;
        if (j - i >= 2) _vRunLensAndVals.emplace_back(j - i, _vSorted[i]);
        i = j;
    }
    std::sort(_vRunLensAndVals.begin(), _vRunLensAndVals.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first > b.first : a.second > b.second;
    });

    // Estimated size when the first j pairs form the table and every other
    // value is escaped and sent out of band in s bits.
    const double N = n;
    const int P = static_cast<int>(_vRunLensAndVals.size());
    const double perPair = std::floor(log2d(N) + 1) + (P > 0 ? std::floor(log2d(P) + 0.999) : 0.0) + s;
    double tableBits = (perPair + 69) * 2;
    double entropy = 0.0;
    int64_t covered = 0;
    double best = N * s + tableBits;
    int kept = 0;
    int64_t keptCovered = 0;
    const int maxPairs = std::min(P, 1024);
    for (int j = 0; j < maxPairs; ++j) {
        const int c = _vRunLensAndVals[j].first;
        covered += c;
        entropy += selfInfo(c, N);
        tableBits += perPair;
        const double escaped = N - double(covered);
        const double estimate = entropy + selfInfo(escaped, N) + escaped * s + tableBits;
        if (!(estimate < 0.999 * best)) break;
        best = estimate;
        kept = j + 1;
        keptCovered = covered;
    }
    if (!bForceArithmetic && (kept == 0 || !(best < 0.99 * (double(s) * N + 72)))) {
        eCodec = n < 32 ? CodecBitLength : CodecChopper;
        return true;
    }

    cntx.clear();
    int32_t minKept = 0;
    for (int j = 0; j < kept; ++j) {
        VqCntxEntry2 e;
        e._cCount = _vRunLensAndVals[j].first;
        e._iValue = _vRunLensAndVals[j].second;
        minKept = j == 0 ? e._iValue : std::min(minKept, e._iValue);
        cntx.addEntry(e);
    }
    // The escape's value is never used; the smallest kept value leaves the
    // stored value range as it is.
    VqCntxEntry2 esc;
    esc._iSymbol = VqCntxEntry2::s_iEscapeSymbol;
    esc._cCount = static_cast<int32_t>(n - keptCovered);
    esc._iValue = minKept;
    cntx.addEntry(esc);
    cntx.sortByDescendingCount();
    cntx.accumulateCounts();
    eCodec = CodecArithmetic;
    return cntx.rescale();
}

bool VqCodecDriver2::_serializeChopper(VqBaseDataStream& stream, const int* values, int n,
                                       const ValueStats& stats) {
    VQ_PROPAGATE(_write(stream, static_cast<unsigned char>(CodecChopper)));
    // Held for the whole body, as the reader does, so that both count the
    // same depth for the nested packets.
    VqAutoCodecDriver2ScratchCntx scratch(*this, VQ_ERR_INTERNAL);
    if (!scratch.ok()) VQ_PROPAGATE(false);
    const int s = stats.cValueSpanBits;
    const int K = std::min(s, 10);
    const uint32_t bias = static_cast<uint32_t>(stats.iMin);
    int bestJ = 0;
    if (K > 0) {
        // Histograms of the top j bits of v - min, j = K down to 1.
        std::vector<uint32_t>& top = _avChopHisto[K - 1];
        top.assign(size_t(1) << K, 0);
        for (int i = 0; i < n; ++i)
            ++top[(static_cast<uint32_t>(values[i]) - bias) >> (s - K)];
        for (int j = K - 1; j >= 1; --j) {
            const std::vector<uint32_t>& above = _avChopHisto[j];
            std::vector<uint32_t>& h = _avChopHisto[j - 1];
            h.resize(size_t(1) << j);
            for (size_t b = 0; b < h.size(); ++b)
                h[b] = above[2 * b] + above[2 * b + 1];
        }
        // Cost of coding the top j bits arithmetically (with the table) and
        // the rest raw; it must beat plain s-bit values by 1%.
        const double N = n;
        const double lg = std::floor(log2d(N) + 1);
        const double limit = 0.99 * ((double(s) - 1) * N + 72);
        double bestCost = std::numeric_limits<double>::infinity();
        for (int j = 1; j <= K; ++j) {
            double cost = 138 + double(s - j) * N;
            for (uint32_t c : _avChopHisto[j - 1])
                if (c > 0) cost += selfInfo(c, N) + j + s + lg;
            if (cost < limit && cost < bestCost) {
                bestCost = cost;
                bestJ = j;
            }
        }
        if (bestJ >= s) bestJ = 0;
    }
    VQ_PROPAGATE(_write(stream, static_cast<unsigned char>(bestJ)));
    if (bestJ == 0) return _serialize(stream, values, n, CodecBitLength);

    const int lowBits = s - bestJ;
    const uint32_t lowMask = (uint32_t(1) << lowBits) - 1;
    VQ_PROPAGATE(_write(stream, static_cast<int>(stats.iMin)));
    VQ_PROPAGATE(_write(stream, static_cast<unsigned char>(s)));
    VqAutoScratchVec<VqVeci> high, low;
    if (!high.ok() || !low.ok()) VQ_PROPAGATE(false);
    high->resize(static_cast<size_t>(n));
    low->resize(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        const uint32_t d = static_cast<uint32_t>(values[i]) - bias;
        (*high)[i] = static_cast<int>(d >> lowBits);
        (*low)[i] = static_cast<int>(d & lowMask);
    }
    const std::vector<uint32_t>& h = _avChopHisto[bestJ - 1];
    VQ_PROPAGATE((*scratch).buildFromHisto(h.data(), static_cast<int>(h.size()), 0));
    VQ_PROPAGATE(_write(stream, n));
    VQ_PROPAGATE(_serializeCoded(stream, high->data(), n, CodecArithmetic, scratch.get()));
    return _serialize(stream, low->data(), n, CodecAuto);
}

// ---------------------------------------------------------------------------------------------------------------
// Reading

bool VqCodecDriver2::deserialize(VqObjectStream& stream, int nMaxValues) {
    VQ_CHECK(_pvValues || _pvuValues, kCls, "deserialize", VQ_ERR_ARGUMENT);
    VQ_CHECK(nMaxValues >= 0, kCls, "deserialize", VQ_ERR_ARGUMENT);
    const int nMax = std::min(nMaxValues, s_maxValueCount());
    try {
        if (_pvValues) {
            VQ_PROPAGATE(_deserialize(stream, *_pvValues, nMax));
        } else {
            VqAutoScratchVec<VqVeci> values;
            if (!values.ok()) VQ_PROPAGATE(false);
            VQ_PROPAGATE(_deserialize(stream, *values, nMax));
            _pvuValues->assign(values->begin(), values->end());
        }
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "deserialize");
    }
    return true;
}

bool VqCodecDriver2::_readCodeText(VqBaseDataStream& stream, VqVecu& words, int64_t& nBits) {
    int bits = 0;
    VQ_PROPAGATE(stream.read(&bits));
    VQ_CHECK(bits >= 0, kCls, "_deserialize", VQ_ERR_CORRUPT);
    nBits = bits;
    const int64_t nWords = (nBits + 31) / 32;
    if (static_cast<uint64_t>(nWords) * 4 > stream._readLimit()) {
        VqErrorState::throwStdError(kCls, "_deserialize", "Short read", VQ_ERR_SHORT_READ);
        return false;
    }
    // A stream that cannot tell its length is read in pieces.
    words.clear();
    for (int64_t done = 0; done < nWords;) {
        const int64_t len = std::min(nWords - done, kWordChunk);
        words.resize(static_cast<size_t>(done + len));
        VQ_PROPAGATE(stream.read(words.data() + done, static_cast<int>(len)));
        done += len;
    }
    return true;
}

// A nested packet can need no more values than the packet around it: one
// out-of-band value per escape, one high and one low part per value.
bool VqCodecDriver2::_deserialize(VqBaseDataStream& stream, VqVeci& values, int nMaxValues) {
    int nExpectedValues = 0;
    VQ_PROPAGATE(stream.read(&nExpectedValues));
    VQ_CHECK(nExpectedValues >= 0, kCls, "_deserialize", VQ_ERR_CORRUPT);
    if (nExpectedValues > nMaxValues) VQ_FAIL(kCls, "_deserialize", "nValues <= nMaxValues", VQ_ERR_CORRUPT);
    if (nExpectedValues == 0) {
        values.clear();
        return true;
    }
    unsigned char eCodecType = 0;
    VQ_PROPAGATE(stream.read(&eCodecType));
    switch (eCodecType) {
    case CodecChopper:
        VQ_PROPAGATE(_deserializeChopper(stream, nExpectedValues, values));
        break;
    case CodecBitLength: {
        VqAutoScratchVec<VqVecu> words;
        if (!words.ok()) VQ_PROPAGATE(false);
        int64_t nBits = 0;
        VQ_PROPAGATE(_readCodeText(stream, *words, nBits));
        VqBitLengthCodec2* codec = _bitLengthCodec();
        if (!codec) VQ_PROPAGATE(false);
        VQ_PROPAGATE(codec->decode(nExpectedValues, nullptr, 0, words->data(), nBits, values, nullptr));
        break;
    }
    case CodecArithmetic: {
        VqAutoCodecDriver2ScratchCntx scratch(*this, VQ_ERR_CORRUPT);
        VqAutoScratchVec<VqVecu> words;
        VqAutoScratchVec<VqVeci> oob;
        if (!scratch.ok() || !words.ok() || !oob.ok()) VQ_PROPAGATE(false);
        int64_t nBits = 0;
        VQ_PROPAGATE(_readCodeText(stream, *words, nBits));
        VQ_PROPAGATE((*scratch).deserialize(stream));
        VQ_PROPAGATE(_deserialize(stream, *oob, nExpectedValues));
        VqArithmeticCodec2* codec = _arithmeticCodec();
        if (!codec) VQ_PROPAGATE(false);
        VQ_PROPAGATE(codec->decode(nExpectedValues, oob->data(), oob->length(), words->data(), nBits, values,
                                   scratch.get()));
        if (!(*scratch).isCanonicalFor(codec->entryCounts(), oob->data(), oob->length()))
            VQ_FAIL(kCls, "_deserialize", "Probability context not built from its values", VQ_ERR_CORRUPT);
        break;
    }
    default:
        VQ_FAIL(kCls, "_deserialize",
                "eCodecType == CodecBitLength || eCodecType == CodecArithmetic || eCodecType == CodecChopper",
                VQ_ERR_CORRUPT);
    }
    return _checkCount(values, nExpectedValues);
}

bool VqCodecDriver2::_checkCount(const VqVeci& values, int nExpectedValues) {
    if (values.length() != nExpectedValues)
        VQ_FAIL(kCls, "_deserialize", "_pvValues->length() == nExpectedValues", VQ_ERR_CORRUPT);
    return true;
}

bool VqCodecDriver2::_deserializeChopper(VqBaseDataStream& stream, int nExpectedValues, VqVeci& values) {
    VqAutoCodecDriver2ScratchCntx scratch(*this, VQ_ERR_CORRUPT);
    if (!scratch.ok()) VQ_PROPAGATE(false);
    unsigned char cChopBits = 0;
    VQ_PROPAGATE(stream.read(&cChopBits));
    // Without a split the nested packet holds the values themselves.
    if (cChopBits == 0) return _deserialize(stream, values, nExpectedValues);
    int bias = 0;
    unsigned char cValSpanBits = 0;
    VQ_PROPAGATE(stream.read(&bias));
    VQ_PROPAGATE(stream.read(&cValSpanBits));
    VQ_CHECK(cValSpanBits <= 32 && cChopBits <= cValSpanBits, kCls, "_deserialize", VQ_ERR_CORRUPT);
    if (cChopBits == cValSpanBits) return _deserialize(stream, values, nExpectedValues);

    VqAutoScratchVec<VqVeci> high, low;
    if (!high.ok() || !low.ok()) VQ_PROPAGATE(false);
    VQ_PROPAGATE(_deserialize(stream, *high, nExpectedValues));
    VQ_PROPAGATE(_checkCount(*high, nExpectedValues));
    VQ_PROPAGATE(_deserialize(stream, *low, nExpectedValues));
    VQ_PROPAGATE(_checkCount(*low, nExpectedValues));
    const int lowBits = cValSpanBits - cChopBits;
    values.resize(static_cast<size_t>(nExpectedValues));
    const int* h = high->data();
    const int* l = low->data();
    int* out = values.data();
    for (int i = 0; i < nExpectedValues; ++i)
        out[i] = static_cast<int>(((static_cast<uint32_t>(h[i]) << lowBits) | static_cast<uint32_t>(l[i])) +
                                  static_cast<uint32_t>(bias));
    return true;
}

// ---------------------------------------------------------------------------------------------------------------
// Residuals

namespace {
bool checkType(VqResidualPredictor::VqPredictorType ePredType, const char* method) {
    VQ_CHECK(VqResidualPredictor::isValid(ePredType), kCls, method, VQ_ERR_ARGUMENT);
    return true;
}
bool checkDoubleType(VqResidualPredictor::VqPredictorType ePredType, const char* method) {
    using enum VqResidualPredictor::VqPredictorType;
    VQ_CHECK(ePredType != PredXor1 && ePredType != PredXor2, kCls, method, VQ_ERR_ARGUMENT);
    VQ_CHECK(VqResidualPredictor::isValidForDouble(ePredType), kCls, method, VQ_ERR_ARGUMENT);
    return true;
}
} // namespace

bool VqCodecDriver2::packResiduals(const VqVec<int>& in, VqVec<int>& out, VqPredictorType ePredType) {
    VQ_PROPAGATE(checkType(ePredType, "packResiduals"));
    out.resize(in.size());
    VqResidualPredictor::pack(in.data(), out.data(), in.length(), ePredType);
    return true;
}

bool VqCodecDriver2::unpackResiduals(const VqVec<int>& in, VqVec<int>& out, VqPredictorType ePredType) {
    VQ_PROPAGATE(checkType(ePredType, "unpackResiduals"));
    out.resize(in.size());
    VqResidualPredictor::unpack(in.data(), out.data(), in.length(), ePredType);
    return true;
}

bool VqCodecDriver2::packResiduals(const VqVec<unsigned int>& in, VqVec<unsigned int>& out,
                                   VqPredictorType ePredType) {
    VQ_PROPAGATE(checkType(ePredType, "packResiduals"));
    out.resize(in.size());
    VqResidualPredictor::pack(in.data(), out.data(), in.length(), ePredType);
    return true;
}

bool VqCodecDriver2::unpackResiduals(const VqVec<unsigned int>& in, VqVec<unsigned int>& out,
                                     VqPredictorType ePredType) {
    VQ_PROPAGATE(checkType(ePredType, "unpackResiduals"));
    out.resize(in.size());
    VqResidualPredictor::unpack(in.data(), out.data(), in.length(), ePredType);
    return true;
}

bool VqCodecDriver2::packResiduals(const VqVec<double>& in, VqVec<double>& out, VqPredictorType ePredType) {
    VQ_PROPAGATE(checkDoubleType(ePredType, "packResiduals"));
    out.resize(in.size());
    VqResidualPredictor::pack(in.data(), out.data(), in.length(), ePredType);
    return true;
}

bool VqCodecDriver2::unpackResiduals(const VqVec<double>& in, VqVec<double>& out, VqPredictorType ePredType) {
    VQ_PROPAGATE(checkDoubleType(ePredType, "unpackResiduals"));
    out.resize(in.size());
    VqResidualPredictor::unpack(in.data(), out.data(), in.length(), ePredType);
    return true;
}

bool VqCodecDriver2::packResiduals(const int* in, int* out, int n, VqPredictorType ePredType) {
    VQ_PROPAGATE(checkType(ePredType, "packResiduals"));
    VQ_CHECK(n >= 0 && (n == 0 || (in && out)), kCls, "packResiduals", VQ_ERR_ARGUMENT);
    VqResidualPredictor::pack(in, out, n, ePredType);
    return true;
}

bool VqCodecDriver2::unpackResiduals(const int* in, int* out, int n, VqPredictorType ePredType) {
    VQ_PROPAGATE(checkType(ePredType, "unpackResiduals"));
    VQ_CHECK(n >= 0 && (n == 0 || (in && out)), kCls, "unpackResiduals", VQ_ERR_ARGUMENT);
    VqResidualPredictor::unpack(in, out, n, ePredType);
    return true;
}

bool VqCodecDriver2::packTripleResiduals(const int* in, int* out, int nTriples, VqPredictorType ePredType) {
    VQ_PROPAGATE(checkType(ePredType, "packTripleResiduals"));
    VQ_CHECK(nTriples >= 0 && (nTriples == 0 || (in && out)), kCls, "packTripleResiduals", VQ_ERR_ARGUMENT);
    if (nTriples == 0) return true;
    for (int c = 0; c < 3; ++c)
        VqResidualPredictor::pack(in + c, out + c, nTriples, ePredType, 3);
    return true;
}

bool VqCodecDriver2::unpackTripleResiduals(const int* in, int* out, int nTriples, VqPredictorType ePredType) {
    VQ_PROPAGATE(checkType(ePredType, "unpackTripleResiduals"));
    VQ_CHECK(nTriples >= 0 && (nTriples == 0 || (in && out)), kCls, "unpackTripleResiduals", VQ_ERR_ARGUMENT);
    if (nTriples == 0) return true;
    for (int c = 0; c < 3; ++c)
        VqResidualPredictor::unpack(in + c, out + c, nTriples, ePredType, 3);
    return true;
}
