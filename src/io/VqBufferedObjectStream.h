#pragma once

#include "VqExport.h"
#include "VqObjectStream.h"

// An object stream that collects each outermost element in memory while
// writing, so that length fields are patched without seeking the device,
// and reads ahead in blocks of 4096 bytes for the many small primitive reads.
//
// Writing: the outermost beginWrite takes a buffer from the process-wide
// pool; until the matching endWrite every byte goes to the buffer and
// positions are buffer positions. The outermost endWrite hands the whole
// element to the raw stream.
// Reading: requests smaller than the read-ahead size are served from the
// read-ahead buffer, larger ones go to the raw stream once the buffered bytes
// are used. Seeking drops the read-ahead.
class VQ_API VqBufferedObjectStream : public VqObjectStream {
    VQ_DECLARE_TYPE(VqBufferedObjectStream)
public:
    static constexpr VqSize kReadAheadSize = 4096;

    explicit VqBufferedObjectStream(VqDataStream* raw = nullptr);
    ~VqBufferedObjectStream() override;

    void readBytes(VqUChar* buf, VqSize n, VqSize& nRead) override;
    void writeBytes(const VqUChar* buf, VqSize n) override;
    void seek(uint64_t offset) override;
    void getPosition(uint64_t& offset) override;
    void readPrefetch(VqSize n, VqSize& nHint) override;
    uint64_t _readLimit() override;
    // Frees the read-ahead buffer.
    bool _flush() override;
    void setDataStream(VqDataStream* raw) override;
    bool beginRead() override;
    bool endRead() override;
    bool beginWrite() override;
    bool endWrite() override;

    bool isWritingElement() const { return _bWriteElem; }
    bool isReadingElement() const { return _bReadElem; }

private:
    // Folds the put window back into the write position and buffer length.
    void _syncPut();
    // Points the put window at the fragment holding the write position.
    void _openPutWindow();
    void _closePutWindow();
    // Read-ahead bookkeeping: bytes consumed and bytes buffered.
    uint64_t _readAheadUsed() const { return static_cast<uint64_t>(_pGetCur - _vReadAhead.data()); }
    void _dropReadAhead();
    // Refills the read-ahead buffer from the raw stream; false at its end.
    bool _refill();
    void _endWriteElement();

    VqInBufFVec* _pvOutBuffer = nullptr;
    std::vector<VqUChar> _vReadAhead;
    bool _bWriteElem = false;
    bool _bReadElem = false;
    uint64_t _iCurWritePos = 0;
    // Absolute position of the put window's first byte in the buffer.
    uint64_t _nPutWindowBase = 0;
    VqUChar* _pPutWindowStart = nullptr;
    // Stream position of the read-ahead buffer's first byte; the buffer is
    // empty when _vReadAhead is.
    uint64_t _nReadAheadStart = 0;
};
