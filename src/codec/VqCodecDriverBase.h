#pragma once

#include "VqAllocHooked.h"
#include "VqArithmeticCodec.h"
#include "VqBitLengthCodec.h"
#include "VqExport.h"
#include "VqHuffmanCodec.h"
#include "VqNullCodec.h"
#include "VqProbModel.h"
#include "VqResidualPredictor.h"
#include "VqSharedPtr.h"
#include "VqVec.h"

#include <cstdint>

class VqBaseDataStream;

// Codes an array of 32-bit values as a version-1 packet and reads it back;
// VqCodecDriver<T> puts its typed values through it.
//
// Packet: uint8 codec type; for the Huffman (2) and arithmetic (3) codecs the
// probability model (VqProbModel), an int32 out-of-band count and, when it is
// above 0, a nested packet of the out-of-band values; then, for every codec
// but the null codec (0), int32 code-text bits B, int32 value count N, an
// int32 symbol count when the model has more than one context, and the code
// text as a uint32 vector (count, words). The null codec's packet is the
// vector alone: each word is a value. The bit-length codec is type 1.
// Integers are in the stream's byte order, model bit fields are not.
//
// The writer uses the codec its caller asks for; asked for none it builds a
// partial order-1 model and uses the arithmetic codec when the model beats
// the bit-length codec, else the bit-length codec. Nesting is bounded: out-
// of-band packets at the last level use the bit-length codec, and a reader
// refuses deeper packets.
class VQ_API VqCodecDriverBase : public VqAllocHooked {
public:
    // The predictors of version-1 packets, numbered as VqResidualPredictor's.
    using VqPredictorType = VqResidualPredictor::VqPredictorType;
    static constexpr VqPredictorType PredLag1 = VqResidualPredictor::PredLag1;
    static constexpr VqPredictorType PredLag2 = VqResidualPredictor::PredLag2;
    static constexpr VqPredictorType PredStride1 = VqResidualPredictor::PredStride1;
    static constexpr VqPredictorType PredStride2 = VqResidualPredictor::PredStride2;
    static constexpr VqPredictorType PredStripIndex = VqResidualPredictor::PredStripIndex;
    static constexpr VqPredictorType PredRamp = VqResidualPredictor::PredRamp;
    static constexpr VqPredictorType PredXor1 = VqResidualPredictor::PredXor1;
    static constexpr VqPredictorType PredXor2 = VqResidualPredictor::PredXor2;
    static constexpr VqPredictorType PredNull = VqResidualPredictor::PredNull;

    enum VqCodecType {
        CodecNone = -1, // choose: arithmetic with a model, or bit-length
        CodecNull = 0,
        CodecBitLength = 1,
        CodecHuffman = 2,
        CodecArithmetic = 3
    };
    // Packet levels: the top-level packet and the out-of-band packets below it.
    static constexpr int cMaxNesting = 4;

    VqCodecDriverBase(const VqCodecDriverBase&) = delete;
    VqCodecDriverBase& operator=(const VqCodecDriverBase&) = delete;

    // Bytes written by the last serialize().
    uint64_t numBytesWritten() const { return _nBytesWritten; }
    size_t memSize() const;

    // The version-1 predictors are PredLag1 to PredNull (0 to 8).
    static bool isValidPredictor(int type) { return type >= PredLag1 && type <= PredNull; }

protected:
    VqCodecDriverBase() = default;
    ~VqCodecDriverBase();

    bool _serializePacket(VqBaseDataStream& stream, const int* values, int n, VqCodecType eCodec);
    // values gets the packet's values; a packet of more than nMaxValues is
    // refused before anything is allocated for it.
    bool _deserializePacket(VqBaseDataStream& stream, VqVeci& values, int nMaxValues);

private:
    // What one packet level keeps while the packets below it code.
    struct Level {
        VqPartialOrder1ProbModel<int> model;
        VqVeci vSymbols;
        VqVeci vOOBValues;
        VqVecu vCodeText;
    };

    bool _serialize(VqBaseDataStream& stream, const int* values, int n, VqCodecType eCodec, int iDepth);
    bool _deserialize(VqBaseDataStream& stream, VqVeci& values, int iDepth, int nMaxValues);
    bool _readWords(VqBaseDataStream& stream, VqVecu& words, int nWords);
    bool _write(VqBaseDataStream& stream, int v);

    VqCodec* _codec(VqCodecType eCodec);

    Level _aLevels[cMaxNesting];
    uint64_t _nBytesWritten = 0;

    Vq::SharedPtr<VqNullCodec> _pNullCodec;
    Vq::SharedPtr<VqBitLengthCodec> _pBitLenCodec;
    Vq::SharedPtr<VqHuffmanCodec> _pHuffCodec;
    Vq::SharedPtr<VqArithmeticCodec> _pArithCodec;
};
