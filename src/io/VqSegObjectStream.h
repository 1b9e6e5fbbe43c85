#pragma once

#include "VqBlockDecoder.h"
#include "VqExport.h"
#include "VqObjectStream.h"

#include <vector>

class VqCompressor;
class VqInBufFVec;

// Common machinery of the whole-segment compressing object streams
// (VqZlibSegObjectStream, VqLzmaSegObjectStream).
//
// Writing: every byte goes to a pooled fragmented buffer, where seeks may
// patch earlier bytes. The data is compressed and emitted after the framing
//     flag (u32) | length (i32, compressed bytes + 1) | algorithm (u8) | data
// fragment by fragment, as soon as a whole fragment lies before every
// element still open (whose length is yet to be patched) and before the
// write position: a large segment neither waits in memory whole nor is met
// again by the compressor after it has left the cache. Seeks may not go back
// into what was emitted. Detaching the stream from its data stream emits the
// rest and the length. A segment into which nothing was written emits
// nothing at all.
//
// Reading: the framing is read on first use and the compressed bytes are
// read in chunks of 1024 (see VqBlockDecoder, which also bounds what they may
// decode to). Small reads are served from a decompressed buffer of 64 KiB
// through the data stream's get window, so that reading a primitive costs a
// copy, not a decompressor call. Positions are in uncompressed bytes; seeks
// move forward only.
class VQ_API VqSegObjectStream : public VqObjectStream {
public:
    static constexpr VqSize kOutChunk = 4096;
    // Fragments an LZMA segment lets settle before compressing them at once.
    static constexpr uint64_t kLzmaEmitRun = 16;
    static constexpr VqSize kReadBufferSize = 65536;

    ~VqSegObjectStream() override;

    void readBytes(VqUChar* buf, VqSize n, VqSize& nRead) override;
    void writeBytes(const VqUChar* buf, VqSize n) override;
    void seek(uint64_t offset) override;
    void getPosition(uint64_t& offset) override;
    void readPrefetch(VqSize n, VqSize& nHint) override;
    // What the segment can still deliver: bounded by the end of the innermost
    // element being read and by what the compressed data may decode to.
    uint64_t _readLimit() override;
    // Compresses and emits what was written (once), then returns the buffer to the pool.
    bool _flush() override;
    // Detaching (null) flushes a segment that was written.
    void setDataStream(VqDataStream* raw) override;
    // Element framing needs the stream's own (uncompressed) positions from
    // the first byte on, so the first element switches the direction.
    bool beginRead() override;
    bool beginWrite() override;
    // The element's length goes straight into the buffer at its start, which
    // is still in memory: no seek back and forth, no put window opened twice.
    bool endWrite() override;

    // Upper bound of the segment's bytes in the data stream after the
    // current position (the segment header excluded); the stream manager sets
    // it so that framing and compressed lengths are checked before use.
    void setSegmentBytes(uint64_t n) { _nSegmentBytes = n; }
    // Algorithm number written as flag and algorithm byte.
    int writeAlgorithm() const { return _nWriteAlgorithm; }
    void setWriteAlgorithm(int algorithm) { _nWriteAlgorithm = algorithm; }
    VqCompressor* compressor() const { return _pCompressor; }

protected:
    VqSegObjectStream(VqDataStream* raw, int writeAlgorithm);

    // Whether a reader of this class accepts the framing's flag, and the text of the check.
    virtual bool _acceptsFlag(uint32_t flag) const = 0;
    virtual const char* _flagCheckText() const = 0;

private:
    void _startWrite();
    void _syncPut();
    void _openPutWindow();
    void _closePutWindow();
    void _initRead();
    // Decompresses into [out, out + cap); returns the bytes produced (0 at the end).
    VqSize _decompress(VqUChar* out, VqSize cap);
    // Refills the decompressed buffer; false when the segment has no more data.
    bool _fillReadBuffer();
    void _resetRead();
    // The read position is the buffer's base plus the cursor's offset in it.
    void _syncGetBias() { _nGetBias = _nReadBufBase - reinterpret_cast<uintptr_t>(_vReadBuf.data()); }
    void _releaseWriteBuffer();
    // Writes the framing up to the data and starts the compressor.
    void _beginEmit();
    // Compresses and emits the whole fragments before position end.
    void _emitBefore(uint64_t end);
    // Compresses n bytes of fragment f, emitting the output.
    void _emitFragment(int f, VqSize n);

    VqCompressor* _pCompressor = nullptr;
    int _nWriteAlgorithm;
    uint64_t _nSegmentBytes = UINT64_MAX;

    // Write state.
    VqInBufFVec* _pvWriteBuffer = nullptr;
    uint64_t _nWritePos = 0;
    uint64_t _nPutBase = 0;
    VqUChar* _pPutStart = nullptr;
    bool _bWriteActive = false;
    // Emission: the data stream position of the framing's length, the bytes
    // compressed so far (whole fragments until the flush) and their output.
    uint64_t _nLengthPos = 0;
    uint64_t _nEmitted = 0;
    uint64_t _nCompressed = 0;
    bool _bEmitting = false;

    // Read state.
    VqBlockDecoder _tDecoder;
    std::vector<VqUChar> _vReadBuf;
    // Uncompressed position of the read buffer's first byte.
    uint64_t _nReadBufBase = 0;
    bool _bReadActive = false;
};
