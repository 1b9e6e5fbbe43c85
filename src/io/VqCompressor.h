#pragma once

#include "VqAllocHooked.h"
#include "VqExport.h"
#include "VqTypes.h"

class VqCompressorImpl;

// Front end of the segment compression algorithms. The implementation for the
// current algorithm is created on first use and replaced when the algorithm
// changes. The one-shot calls return their result in an output buffer owned by
// the compressor, which only grows and is accounted in the platform's memory
// counter. Compressors are reused through a process-wide pool; one compressor
// serves one thread at a time.
class VQ_API VqCompressor : public VqAllocHooked {
public:
    enum VqCompressionType : int32_t {
        VQCOMPRESSOR_ALGORITHM_INVALID = 0,
        VQCOMPRESSOR_ALGORITHM_NONE = 1,
        VQCOMPRESSOR_ALGORITHM_ZLIB = 2,
        VQCOMPRESSOR_ALGORITHM_LZMA = 3
    };

    VqCompressor();
    ~VqCompressor();
    VqCompressor(const VqCompressor&) = delete;
    VqCompressor& operator=(const VqCompressor&) = delete;

    // Accepts algorithms 1 to 3.
    bool setAlgorithm(int algorithm);
    VqCompressionType algorithm() const { return _eAlgorithm; }
    // Drops the implementation's state (it is recreated on next use).
    void reset();

    // Streaming: the cursors advance as the data is consumed and produced.
    // These throw Vq::StdException on failure. doCompress with no input
    // finishes the stream; doUncompress with no input tells the decoder that
    // the compressed data has ended. Both return true once the end of the
    // stream has been produced.
    void beginCompress();
    bool doCompress(const VqUChar*& nextIn, VqSize& availIn, VqUChar*& nextOut, VqSize& availOut);
    void endCompress();
    void beginUncompress();
    bool doUncompress(const VqUChar*& nextIn, VqSize& availIn, VqUChar*& nextOut, VqSize& availOut);
    void endUncompress();

    // One-shot: out points into the compressor's buffer until its next use.
    // The compressed form starts with the algorithm byte, which outLen counts;
    // uncompress takes the algorithm from that byte and leaves the
    // compressor's own algorithm as it was.
    bool compress(const VqUChar* in, VqSize inLen, const VqUChar*& out, VqSize& outLen);
    bool uncompress(const VqUChar* in, VqSize inLen, const VqUChar*& out, VqSize& outLen);

    // Releases the output buffer.
    void shrinkAllocation();

    static bool s_acquireCompressor(VqCompressor*& out);
    static void s_releaseCompressor(VqCompressor* compressor);
    static void s_shrinkCompressorPool();
    // Number of idle compressors in the pool.
    static int s_numPooledCompressors();

    static bool init();
    static void fini();

private:
    VqCompressorImpl* _impl();
    void _ensureOutput(VqSize size);

    VqCompressionType _eAlgorithm = VQCOMPRESSOR_ALGORITHM_ZLIB;
    VqCompressionType _eImplAlgorithm = VQCOMPRESSOR_ALGORITHM_INVALID;
    VqCompressorImpl* _pImpl = nullptr;
    VqUChar* _pOutBuffer = nullptr;
    VqSize _nOutCapacity = 0;
};
