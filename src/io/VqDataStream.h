#pragma once

#include "VqBaseDataStream.h"
#include "VqByteStream.h"
#include "VqExport.h"

// A data stream over a byte stream that it holds. Every byte operation
// forwards to the byte stream; without one it throws "_pRaw".
class VQ_API VqDataStream : public VqBaseDataStream {
    VQ_DECLARE_TYPE(VqDataStream)
public:
    explicit VqDataStream(VqByteStream* raw = nullptr);
    ~VqDataStream() override;

    // Opens the byte stream when it is not open; the byte stream then stays
    // locked until this stream is closed.
    void open() override;
    // Flushes; a byte stream that open() opened is closed and unlocked.
    void close() override;
    void readBytes(VqUChar* buf, VqSize n, VqSize& nRead) override;
    void writeBytes(const VqUChar* buf, VqSize n) override;
    void seek(uint64_t offset) override;
    void getPosition(uint64_t& offset) override;
    void readPrefetch(VqSize n, VqSize& nHint) override;
    bool isOpen() const override;
    uint64_t _readLimit() override;

    VqByteStream* byteStream() const { return _pRaw.get(); }
    // Makes end (a position of the byte stream) the end of the data for
    // reading: a segment's reader then meets the end of its segment, not the
    // bytes of whatever follows it in the file. UINT64_MAX lifts the bound.
    void setReadEnd(uint64_t end) { _nReadEnd = end; }
    uint64_t readEnd() const { return _nReadEnd; }

protected:
    VqByteStream* _raw(const char* function) const;

private:
    // Bytes still readable before the read end, at the byte stream's position.
    uint64_t _remainingBeforeEnd(VqByteStream* raw) const;

    Vq::SharedPtr<VqByteStream> _pRaw;
    uint64_t _nReadEnd = UINT64_MAX;
    // Set while this stream holds the lock of a byte stream it opened.
    bool _bOwnsOpen = false;
};
