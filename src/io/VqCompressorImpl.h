#pragma once

#include "VqAllocHooked.h"
#include "VqTypes.h"

#include <lzma.h>
#include <zlib.h>

// One compression algorithm behind VqCompressor. The one-shot calls report an
// output length of all ones (VqCompressorImpl::kTooSmall) when the output
// buffer was too small, so that the caller can grow it and retry. The
// streaming calls advance the caller's cursors like the libraries do and
// throw Vq::StdException on failure; doCompress and doUncompress return true
// once the end of the stream has been produced.
class VqCompressorImpl : public VqAllocHooked {
public:
    static constexpr VqSize kTooSmall = ~VqSize(0);

    virtual ~VqCompressorImpl() = default;

    virtual void reset() = 0;
    virtual void compress(const VqUChar* in, VqSize inLen, VqUChar* out, VqSize outCap, VqSize& outLen) = 0;
    virtual void uncompress(const VqUChar* in, VqSize inLen, VqUChar* out, VqSize outCap, VqSize& outLen) = 0;
    virtual void beginUncompress() = 0;
    virtual bool doUncompress(const VqUChar*& nextIn, VqSize& availIn, VqUChar*& nextOut,
                              VqSize& availOut) = 0;
    virtual void endUncompress() = 0;
    virtual void beginCompress() = 0;
    // An empty input starts the finish phase; after it only empty calls are allowed.
    virtual bool doCompress(const VqUChar*& nextIn, VqSize& availIn, VqUChar*& nextOut, VqSize& availOut) = 0;
    virtual void endCompress() = 0;
};

// Algorithm 1: bytes are copied as they are.
class VqCINoCompression : public VqCompressorImpl {
public:
    void reset() override {}
    void compress(const VqUChar* in, VqSize inLen, VqUChar* out, VqSize outCap, VqSize& outLen) override;
    void uncompress(const VqUChar* in, VqSize inLen, VqUChar* out, VqSize outCap, VqSize& outLen) override;
    void beginUncompress() override {}
    bool doUncompress(const VqUChar*& nextIn, VqSize& availIn, VqUChar*& nextOut, VqSize& availOut) override;
    void endUncompress() override {}
    void beginCompress() override {}
    bool doCompress(const VqUChar*& nextIn, VqSize& availIn, VqUChar*& nextOut, VqSize& availOut) override;
    void endCompress() override {}
};

// Algorithm 2: a zlib stream (with its header and adler32 trailer) at level 1.
// The deflate and inflate states are set up once and reset between streams.
// The streaming inflate checks the trailer itself, with Vq::adler32 over the
// bytes it produces against the last four bytes inflate consumed; the
// streaming deflate makes a raw stream and adds the header and trailer.
class VqCIZLib : public VqCompressorImpl {
public:
    VqCIZLib();
    ~VqCIZLib() override;

    void reset() override;
    void compress(const VqUChar* in, VqSize inLen, VqUChar* out, VqSize outCap, VqSize& outLen) override;
    void uncompress(const VqUChar* in, VqSize inLen, VqUChar* out, VqSize outCap, VqSize& outLen) override;
    void beginUncompress() override;
    bool doUncompress(const VqUChar*& nextIn, VqSize& availIn, VqUChar*& nextOut, VqSize& availOut) override;
    void endUncompress() override;
    void beginCompress() override;
    bool doCompress(const VqUChar*& nextIn, VqSize& availIn, VqUChar*& nextOut, VqSize& availOut) override;
    void endCompress() override;

private:
    static void _throwForCode(int code, const char* function);
    void _putWrap(VqUChar*& nextOut, VqSize& availOut);

    z_stream _tDeflate;
    z_stream _tInflate;
    bool _bDeflateInit = false;
    bool _bInflateInit = false;
    bool _bFlushPhase = false;
    bool _bStreamEnd = false;
    // The checksum of the bytes inflated so far, and the last four bytes
    // consumed (the trailer once the stream ends), oldest in the high byte.
    uint32_t _nAdler = 1;
    uint32_t _nLastIn = 0;
    // The streaming deflate's own header or trailer bytes not yet output
    // ([_nWrapAt, _nWrapEnd) of _aWrap), the checksum of the input so far,
    // and whether the raw stream has ended (the trailer then follows).
    VqUChar _aWrap[4] = {};
    int _nWrapAt = 0;
    int _nWrapEnd = 0;
    uint32_t _nDeflateAdler = 1;
    bool _bRawEnd = false;
};

// Algorithm 3: an xz stream from the easy encoder at preset 1 with a CRC64
// check, read back by the stream decoder. The coder's memory is kept between
// streams of the same direction.
class VqCILzma : public VqCompressorImpl {
public:
    VqCILzma();
    ~VqCILzma() override;

    void reset() override;
    void compress(const VqUChar* in, VqSize inLen, VqUChar* out, VqSize outCap, VqSize& outLen) override;
    void uncompress(const VqUChar* in, VqSize inLen, VqUChar* out, VqSize outCap, VqSize& outLen) override;
    void beginUncompress() override;
    bool doUncompress(const VqUChar*& nextIn, VqSize& availIn, VqUChar*& nextOut, VqSize& availOut) override;
    void endUncompress() override;
    void beginCompress() override;
    bool doCompress(const VqUChar*& nextIn, VqSize& availIn, VqUChar*& nextOut, VqSize& availOut) override;
    void endCompress() override;

private:
    bool _code(lzma_action action, const VqUChar*& nextIn, VqSize& availIn, VqUChar*& nextOut,
               VqSize& availOut, VqErrorCode failCode);

    lzma_stream _tStream;
    lzma_ret _iLastRetcode = LZMA_OK;
    bool _bStreamEnd = false;
};
