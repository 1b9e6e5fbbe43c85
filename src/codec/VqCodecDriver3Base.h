#pragma once

#include "VqAllocHooked.h"
#include "VqExport.h"

#include <cstdint>

class VqBaseDataStream;

namespace Vq {

// What the version-3 drivers for int and long share: the codec and predictor
// numbering, the size of the compression-context stack, and the estimates
// that do not depend on the value type.
class VQ_API CodecDriver3Base : public VqAllocHooked {
public:
    // Residual predictors; as in every generation the first four values are
    // never predicted.
    enum VqPredictorType {
        PredLag1 = 0, // previous value, subtracted
        PredXor1 = 1, // previous value, combined by xor
        PredNull = 2  // no prediction
    };

    enum VqCodecType {
        CodecAuto = -1, // choose by estimate
        CodecBitLength = 1,
        CodecArithmetic = 3,
        CodecChopper = 4,
        CodecMoveToFront = 5
    };

    // Depth of the compression-context stack: the top-level packet takes one
    // context, each level of nesting one more.
    static constexpr int cNumComprCntx = 8;
    // Entries of the move-to-front window.
    static constexpr int cWindowSize = 16;
    // Chop bits come from histograms of at most this many top bits.
    static constexpr int cMaxChopHistoBits = 12;
    // Cost of an excluded codec.
    static constexpr double cExcluded = 1e38;

    // Bits of a stored probability context of nEntries entries with count
    // width bc and value width bv: ((bc + bv + 1) nEntries + 67) rounded down
    // to a multiple of 8.
    static int64_t s_estimateProbCntxBits(int nEntries, int bc, int bv);
    // Bits of coding the values counted in a histogram of nBins bins
    // arithmetically, with a context built from it whose values take
    // valueBits bits: the code under the rescaled counts, the coder's end and
    // the stored table.
    static double s_estimateEntropyFromHisto(const uint32_t* histo, int nBins, int valueBits);

    static bool isValidPredictor(int type) { return type >= PredLag1 && type <= PredNull; }

    // The codec of least cost (aCost by codec type, cExcluded for a codec
    // that may not be used); ties go to move-to-front, then arithmetic, then
    // the chopper, then bit-length. A chopper is used for 32 values or more
    // only: for fewer the bit-length codec takes its place.
    static VqCodecType s_chooseCodec(const double (&aCost)[6], int nValues);

    // Whether a stream compresses its segment as a whole (a zlib or LZMA
    // segment stream). Packets written into one keep their out-of-band
    // values raw and never chop: the segment's compressor does better on
    // plain integers than nested bit fields would.
    static bool s_isCompressedSegmentStream(const VqBaseDataStream& stream);
};

} // namespace Vq
