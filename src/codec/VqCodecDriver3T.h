#pragma once

#include "VqArithmeticCodec3T.h"
#include "VqBitLengthCodec3T.h"
#include "VqCodecDriver3Base.h"
#include "VqExport.h"
#include "VqProbContext3T.h"
#include "VqScratchMgr.h"
#include "VqSharedPtr.h"
#include "VqVec.h"

#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

class VqBaseDataStream;
class VqObjectStream;

namespace Vq {

// Codes one integer array (T = int or long) as a version-3 packet and reads
// it back.
//
// Packet: int32 value count N (a packet of N = 0 ends there); uint8 codec
// type; then
// - 1 (bit-length) and 3 (arithmetic): int32 code-text bit count B and
//   ceil(B / 32) uint32 words. Type 3 adds its probability context
//   (VqProbContext3T) and, when the context has an escape entry, the
//   out-of-band values: in a zlib or LZMA segment stream an int32 count and
//   that many raw values, else a nested packet.
// - 4 (chopper): uint8 chop bits k (1 to 31), the bias m (a T, the
//   minimum), uint8 span bits s (k < s); a nested packet of the high parts
//   (v - m) >> (s - k), then one of the low parts (v - m) & (2^(s-k) - 1).
// - 5 (move-to-front): a nested packet of the literals, then one of N window
//   offsets: -1 takes the next literal, o >= 0 the value at window entry o;
//   either way the value moves to the front of a 16-entry window that starts
//   as zeros.
// Integers are in the stream's byte order, context bit fields are not.
//
// Nested packets of a long driver are long packets too. Each packet takes a
// compression context from the driver's stack of eight; a packet that would
// need a ninth is refused, which bounds the recursion a corrupt packet can
// ask for. The writer chooses by estimate among the codecs that the
// enclosing packet and the stream allow, and with fewer than two contexts
// left uses the bit-length codec, whose packets nest nothing.
//
// A driver serves one thread at a time and codes many arrays in turn; its
// contexts keep their buffers from one array to the next, up to the size of
// vector the scratch manager keeps.
template <class T>
class VQ_API CodecDriver3T : public CodecDriver3Base {
    static_assert(std::is_same_v<T, int> || std::is_same_v<T, long>, "int or long values");

public:
    using U = std::make_unsigned_t<T>;
    static constexpr int cValueBits = static_cast<int>(8 * sizeof(T));
    static constexpr ScratchMgr::DriverPool s_eScratchPool =
        sizeof(T) == 4 ? ScratchMgr::PoolCodecDriver3 : ScratchMgr::PoolCodecDriver3L;

    struct ValueStats {
        T iMin = 0;
        T iMax = 0;
        T iMean = 0;            // truncated toward zero
        U cValueSpan = 0;       // max - min
        int cValueSpanBits = 0; // significant bits of the span
    };

    CodecDriver3T();
    CodecDriver3T(const CodecDriver3T&) = delete;
    CodecDriver3T& operator=(const CodecDriver3T&) = delete;
    ~CodecDriver3T();

    // Writes one packet of values with the codec chosen by estimate, or with
    // the given one at the top level (nested packets always choose). A
    // chopper needs a span of at least two bits.
    bool serialize(VqObjectStream& stream, const VqVec<T>& values, VqCodecType eCodec = CodecAuto);
    // Reads one packet; values becomes its values. A packet of more than
    // nMaxValues values (what the caller's record can need) is refused
    // before anything is allocated for it.
    bool deserialize(VqObjectStream& stream, VqVec<T>& values, int nMaxValues);
    // Reads one packet as deserialize() does, except that arithmetic code
    // texts (a plain arithmetic packet's, a chopper's parts, a move-to-front
    // packet's window offsets) may be left for finishBatch(), which decodes
    // such texts of successive packets several at a time. values then has
    // its length, and its values once finishBatch() succeeds. A failure
    // drops the whole batch.
    bool deserializeBatched(VqObjectStream& stream, VqVec<T>& values, int nMaxValues);
    // Decodes what the packets read by deserializeBatched() left, into their
    // values, with the checks deserialize() makes; either way the batch is
    // then empty. When several of those parts are corrupt, which one is
    // reported may differ from reading the packets with deserialize().
    bool finishBatch();
    // Forgets the batch without decoding it, after a read failed.
    void dropBatch();
    // Reads one packet as deserialize() does while a batch waits: two code
    // texts that it decodes as a pair take along up to two of the batch's
    // when that spares the batch a group, and finishBatch() then only
    // rebuilds and joins those; the code text of a plain arithmetic packet
    // joins the batch, and values has its values once finishBatch()
    // succeeds. A failure drops the batch.
    bool deserializeBeside(VqObjectStream& stream, VqVec<T>& values, int nMaxValues);

    // Values of the last packet written or read.
    int numValues() const { return _nValues; }
    // Bytes written by the last serialize().
    uint64_t numBytesWritten() const { return _nBytesWritten; }
    size_t memSize() const;

    // Residuals for the caller to code, and back. out takes in's length; in
    // and out may be the same vector. An unknown type fails.
    static bool packResiduals(const VqVec<T>& in, VqVec<T>& out, VqPredictorType ePredType);
    static bool unpackResiduals(const VqVec<T>& in, VqVec<T>& out, VqPredictorType ePredType);

    static ValueStats s_computeValueStatistics(const T* values, int n);
    // One ordinary entry per non-empty bin of histo, valued minValue + bin,
    // by descending count, accumulated and rescaled.
    static bool s_buildCntxFromHisto(VqProbContext3T<T>& cntx, const uint32_t* histo, int nBins, T minValue);

private:
    // The state of one packet level.
    struct ComprCntx {
        VqVec<T>* _pvValues = nullptr; // where a packet being read goes
        // Reading: an arithmetic packet stops short of decoding its code
        // text (_bDefer), which its enclosing chopper then decodes together
        // with its other part; _bDeferred tells that it did, with the
        // packet's value and bit counts.
        bool _bDefer = false;
        bool _bDeferred = false;
        // A move-to-front packet read in a batch left its window offsets'
        // code text, deferred one level up, for the batch to decode; its
        // value count is in _nDeferredValues.
        bool _bOffsetsDeferred = false;
        int _nDeferredValues = 0;
        int _nDeferredBits = 0;
        ValueStats stats;
        int cChopBits = 0; // writing: the chop bits the estimate chose
        VqProbContext3T<T> cntx;
        VqVec<T> _vAuxOOBValues;
        VqVec<T> vMSB, vLSB; // chopper planes
        // A chopper's deferred high part, of _nHighValues values in
        // _nHighBits bits, until its code text is decoded.
        int _nHighValues = 0;
        int _nHighBits = 0;
        VqProbContext3T<T> cntxHigh;
        VqVec<T> vOOBHigh;
        VqVecu vCodeTextHigh;
        VqVec<T> vLiterals, vWindowOffsets; // move-to-front streams
        VqVecu vCodeText;
        std::vector<uint32_t> vHisto;
        // Counts of the top j bits of v - min in level j - 1 (the chopper).
        std::vector<uint32_t> avChopHisto[cMaxChopHistoBits];
        // (count, value) of the values a wide-span table may hold.
        std::vector<std::pair<int, T>> vRunLensAndVals;
        VqVec<T> vSorted;
        size_t memSize() const;
        // Frees the vectors that grew beyond what a pooled driver keeps.
        void trim();
    };

    // A packet whose arithmetic code text waits in a batch: the text's
    // packet and, for a top-level chopper's high part, the low part and what
    // joins them (bJoin); or the window offsets of a move-to-front packet
    // (bMoveToFront), which decode into vMSB and then rebuild, with the
    // literals in vLSB, the values of a top-level packet or of the low part
    // of the chopper parked just before.
    struct Parked {
        VqProbContext3T<T> cntx;
        VqVecu vCodeText;
        VqVec<T> vOOB, vMSB, vLSB;
        VqVec<T>* pvValues = nullptr;
        int nValues = 0;
        int nBits = 0;
        int lowBits = 0;
        T bias = 0;
        bool bJoin = false;
        bool bMoveToFront = false;
        bool bDecoded = false; // by a pair of deserializeBeside()
        size_t memSize() const;
        void trim();
    };
    // Three top-level choppers, each with a move-to-front low part, fit; the
    // texts decode in groups of up to five at once.
    static constexpr int cMaxParked = 6;

    ComprCntx& _top() { return _aComprCntx[_nComprCntx - 1]; }
    bool _pushCCntx(VqErrorCode eFullCode);
    void _popCCntx();

    // Writing. The values of a nested packet live in the enclosing context.
    bool _serialize(VqBaseDataStream& stream, const T* values, int n, VqCodecType eCodec,
                    VqCodecType eEnclosing);
    bool _serializeNested(VqBaseDataStream& stream, const T* values, int n, VqCodecType eEnclosing);
    bool _writeCoded(VqBaseDataStream& stream, const T* values, int n, VqCodecType eCodec);
    bool _writeChopper(VqBaseDataStream& stream, const T* values, int n);
    bool _writeMoveToFront(VqBaseDataStream& stream, const T* values, int n);
    // The estimated cost in bits of each codec, index = codec type.
    void _estimateEntropy(const T* values, int n, VqCodecType eEnclosing, double (&aCost)[6]);
    // Builds the top context's table for the arithmetic codec; returns its
    // estimated cost in bits (cExcluded when no table helps and !bForce).
    double _buildArithmeticCntx(const T* values, int n, bool bForce);
    double _buildWideSpanCntx(const T* values, int n, bool bForce);
    // Chop bits with the least estimated cost into the top context (0 when
    // the span is too narrow to chop); returns the cost.
    double _chooseChopBits(const T* values, int n);
    double _estimateMoveToFront(const T* values, int n);

    bool _write(VqBaseDataStream& stream, int v);
    bool _write(VqBaseDataStream& stream, unsigned char v);
    bool _writeValues(VqBaseDataStream& stream, const T* v, int n);

    // Reading, into C._pvValues of the top context.
    bool _deserialize(VqBaseDataStream& stream, int nMaxValues);
    bool _deserializeNested(VqBaseDataStream& stream, VqVec<T>& values, int nMaxValues, bool bDefer = false);
    bool _readChopper(VqBaseDataStream& stream, int nExpectedValues);
    using ArithPacket = typename VqArithmeticCodec3T<T>::Packet;
    // The deferred high part of chopper context C, into C.vMSB.
    static ArithPacket _highPacket(ComprCntx& C);
    static ArithPacket _parkedPacket(Parked& P);
    // Moves top-level chopper C's pending high part and its low part into
    // the batch; values gets its length.
    // nLowValues: the low part's length, decoded or to be rebuilt.
    bool _park(ComprCntx& C, int nExpectedValues, int nLowValues, int lowBits, T bias);
    // Moves arithmetic packet C's deferred code text into the batch, to
    // decode into values.
    void _parkPlain(ComprCntx& C, int nValues, int nBits, VqVec<T>& values);
    // Moves move-to-front packet M's literals and its window offsets'
    // deferred code text (in the context above M) into the batch, to be
    // rebuilt into values.
    void _parkMoveToFront(ComprCntx& M, VqVec<T>& values);
    // Decodes parked packets order[first] to order[last - 1] together.
    bool _decodeParkedGroup(const int* order, int first, int last);
    bool _decodeParked();
    // values = ((h << lowBits) | l) + bias, n of each.
    static void _join(const T* h, const T* l, int n, int lowBits, T bias, VqVec<T>& values);
    // Decodes one arithmetic packet, then checks that its table is the one
    // the writers build for its values.
    bool _decodeOne(VqProbContext3T<T>& cntx, const ArithPacket& p);
    // Decodes n deferred arithmetic packets at once, packet k over
    // *cntxs[k], with the checks that follow each packet's decoding.
    bool _decodeTogether(VqProbContext3T<T>* const* cntxs, const ArithPacket* packets, int n);
    bool _decodePair(VqProbContext3T<T>& cntxA, const ArithPacket& a, VqProbContext3T<T>& cntxB,
                     const ArithPacket& b);
    bool _checkCanonical(VqProbContext3T<T>& cntx, const uint32_t* entryCounts, const ArithPacket& p);
    bool _readMoveToFront(VqBaseDataStream& stream, int nExpectedValues);
    bool _decodeMoveToFront(ComprCntx& M, int nValues);
    // values from n window offsets and the literals they take.
    static bool _rebuildMoveToFront(const T* offsets, int n, const T* literals, size_t nLiterals,
                                    VqVec<T>& values);
    template <class E>
    bool _readArray(VqBaseDataStream& stream, VqVec<E>& v, int64_t n);

    VqBitLengthCodec3T<T>* _bitLengthCodec();
    VqArithmeticCodec3T<T>* _arithmeticCodec();

    ComprCntx _aComprCntx[cNumComprCntx];
    int _nComprCntx = 1;
    // The chopper whose high part waits for a code text to decode with.
    ComprCntx* _pPendingHigh = nullptr;
    // Reading with deserializeBatched(); the batch so far.
    bool _bBatch = false;
    // Reading with deserializeBeside().
    bool _bBeside = false;
    int _nParked = 0;
    Parked _aParked[cMaxParked];
    bool _bSegStream = false;
    int _nValues = 0;
    uint64_t _nBytesWritten = 0;

    Vq::SharedPtr<VqBitLengthCodec3T<T>> _pBitLenCodec;
    Vq::SharedPtr<VqArithmeticCodec3T<T>> _pArithCodec;
};

using CodecDriver3 = CodecDriver3T<int>;
using CodecDriver3L = CodecDriver3T<long>;

extern template class CodecDriver3T<int>;
extern template class CodecDriver3T<long>;

} // namespace Vq
