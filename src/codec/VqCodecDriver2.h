#pragma once

#include "VqAllocHooked.h"
#include "VqArithmeticCodec2.h"
#include "VqBitLengthCodec2.h"
#include "VqExport.h"
#include "VqProbContext2.h"
#include "VqResidualPredictor.h"
#include "VqSharedPtr.h"
#include "VqVec.h"

#include <climits>
#include <cstdint>
#include <utility>
#include <vector>

class VqBaseDataStream;
class VqObjectStream;

// Codes one integer array as a version-2 packet and reads it back.
//
// Packet: int32 value count N (a packet of N = 0 ends there); uint8 codec
// type; then
// - 1 (bit-length) and 3 (arithmetic): int32 code-text bit count B and
//   ceil(B / 32) uint32 code-text words; type 3 adds its probability context
//   (VqProbContext2) and the out-of-band values as a nested packet.
// - 4 (chopper): uint8 chop bits k; k = 0: a nested packet of the values;
//   else int32 bias m (the minimum) and uint8 span bits s; k = s: a nested
//   packet of the values; else a nested packet of the high parts
//   (v - m) >> (s - k) and one of the low parts (v - m) & (2^(s-k) - 1).
// Integers are in the stream's byte order, context bit fields are not.
//
// The writer chooses the codec from estimates of the coded size. Nested
// packets code with the same driver one level down its stack of four scratch
// contexts; with fewer than two levels left it uses the bit-length codec, so
// nesting ends. The reader holds nested packets to the same stack, which
// bounds the recursion a corrupt packet can ask for.
//
// A driver serves one thread at a time and may code many arrays in turn.
class VQ_API VqCodecDriver2 : public VqAllocHooked {
public:
    using VqPredictorType = VqResidualPredictor::VqPredictorType;
    using enum VqResidualPredictor::VqPredictorType;

    enum VqCodecType {
        CodecAuto = -1, // choose by estimate
        CodecNull = 0,  // raw words; never in a version-2 packet
        CodecBitLength = 1,
        CodecArithmetic = 3,
        CodecChopper = 4
    };
    static constexpr int cNumScratchCntx = 4;
    // A value count above this is refused on reading (see s_setMaxValueCount).
    static constexpr int cDefaultMaxValueCount = 1 << 28;

    VqCodecDriver2() = default;
    explicit VqCodecDriver2(VqVec<int>& values) { setValueVector(values); }
    explicit VqCodecDriver2(VqVec<unsigned int>& values) { setValueVector(values); }
    VqCodecDriver2(const VqCodecDriver2&) = delete;
    VqCodecDriver2& operator=(const VqCodecDriver2&) = delete;
    ~VqCodecDriver2();

    // The vector that serialize() codes and deserialize() fills (one of the
    // two kinds at a time).
    void setValueVector(VqVec<int>& values) {
        _pvValues = &values;
        _pvuValues = nullptr;
    }
    void setValueVector(VqVec<unsigned int>& values) {
        _pvValues = nullptr;
        _pvuValues = &values;
    }
    VqVec<int>* getValueVector() const { return _pvValues; }
    VqVec<unsigned int>* getUnsignedValueVector() const { return _pvuValues; }

    // Writes one packet of the value vector with the codec chosen by
    // estimate, or with the given one at the top level (nested packets always
    // choose). The null codec cannot be forced: no reader accepts it.
    bool serialize(VqObjectStream& stream, VqCodecType eCodec = CodecAuto);
    // Reads one packet; the value vector becomes its values. A packet of
    // more than nMaxValues values (what the caller's record can need) is
    // refused before anything is allocated for it.
    bool deserialize(VqObjectStream& stream, int nMaxValues);

    // Bytes written by the last serialize().
    uint64_t numBytesWritten() const { return _nBytesWritten; }
    size_t memSize() const;

    // Residuals for the caller to code, and back (see VqResidualPredictor).
    // out takes in's length; in and out may be the same vector. An unknown
    // type fails, as does xor on doubles.
    static bool packResiduals(const VqVec<int>& in, VqVec<int>& out, VqPredictorType ePredType);
    static bool unpackResiduals(const VqVec<int>& in, VqVec<int>& out, VqPredictorType ePredType);
    static bool packResiduals(const VqVec<unsigned int>& in, VqVec<unsigned int>& out,
                              VqPredictorType ePredType);
    static bool unpackResiduals(const VqVec<unsigned int>& in, VqVec<unsigned int>& out,
                                VqPredictorType ePredType);
    static bool packResiduals(const VqVec<double>& in, VqVec<double>& out, VqPredictorType ePredType);
    static bool unpackResiduals(const VqVec<double>& in, VqVec<double>& out, VqPredictorType ePredType);
    static bool packResiduals(const int* in, int* out, int n, VqPredictorType ePredType);
    static bool unpackResiduals(const int* in, int* out, int n, VqPredictorType ePredType);
    // Interleaved triples of int (vertex codes), each component predicted
    // from the same component of the earlier triples.
    static bool packTripleResiduals(const int* in, int* out, int nTriples, VqPredictorType ePredType);
    static bool unpackTripleResiduals(const int* in, int* out, int nTriples, VqPredictorType ePredType);

    // Process-wide bound on the value count of a packet read, by the drivers
    // of every packet generation. A count is all a packet of equal values
    // needs, so without a bound a few bytes could ask for any amount of
    // memory; the default allows 1 GB of values.
    static void s_setMaxValueCount(int nMax);
    static int s_maxValueCount();
    // A count of values a record can need, as a drivers' maximum.
    static int s_clampCount(uint64_t n) { return n > uint64_t(INT_MAX) ? INT_MAX : int(n); }

private:
    friend class VqAutoCodecDriver2ScratchCntx;

    struct ValueStats {
        int32_t iMin = 0;
        int32_t iMax = 0;
        uint32_t cValueSpan = 0; // max - min
        int cValueSpanBits = 0;  // bits of the span, 0 when it is 0
    };
    static ValueStats _computeValueStatistics(const int* values, int n);

    bool _serialize(VqBaseDataStream& stream, const int* values, int n, VqCodecType eCodec);
    // Codec type, code text and, for the arithmetic codec, context and
    // out-of-band packet.
    bool _serializeCoded(VqBaseDataStream& stream, const int* values, int n, VqCodecType eCodec,
                         VqProbContext2* pCntx);
    bool _serializeChopper(VqBaseDataStream& stream, const int* values, int n, const ValueStats& stats);
    // The codec the estimates favour; for the arithmetic codec its context is
    // built into cntx. bForceArithmetic builds the context whatever it costs.
    bool _chooseCodec(const int* values, int n, const ValueStats& stats, VqProbContext2& cntx,
                      bool bForceArithmetic, VqCodecType& eCodec);
    bool _chooseForWideSpan(const int* values, int n, const ValueStats& stats, VqProbContext2& cntx,
                            bool bForceArithmetic, VqCodecType& eCodec);

    bool _deserialize(VqBaseDataStream& stream, VqVeci& values, int nMaxValues);
    bool _deserializeChopper(VqBaseDataStream& stream, int nExpectedValues, VqVeci& values);
    static bool _checkCount(const VqVeci& values, int nExpectedValues);
    bool _readCodeText(VqBaseDataStream& stream, VqVecu& words, int64_t& nBits);

    bool _write(VqBaseDataStream& stream, int v);
    bool _write(VqBaseDataStream& stream, unsigned char v);

    VqBitLengthCodec2* _bitLengthCodec();
    VqArithmeticCodec2* _arithmeticCodec();

    VqProbContext2* _takeScratchCntx(VqErrorCode eFullCode);
    void _releaseScratchCntx(VqProbContext2* pScratch);

    VqVec<int>* _pvValues = nullptr;
    VqVec<unsigned int>* _pvuValues = nullptr;
    uint64_t _nBytesWritten = 0;

    VqProbContext2 _aScratchCntx[cNumScratchCntx];
    int _iCurScratchCntx = 0;

    Vq::SharedPtr<VqBitLengthCodec2> _pBitLenCodec;
    Vq::SharedPtr<VqArithmeticCodec2> _pArithCodec;

    // Working memory of the writer, kept between arrays. A nested packet may
    // reuse each of them: the enclosing packet is done with them by then.
    VqVecu _vCodeText;
    std::vector<int> _vSorted;
    std::vector<std::pair<int, int>> _vRunLensAndVals; // (run length, value)
    std::vector<uint32_t> _vHisto;
    std::vector<uint32_t> _avChopHisto[10]; // level j + 1: counts of the top j + 1 bits
};
