#pragma once

#include "VqByteStream.h"
#include "VqExport.h"

// A byte stream over a growable memory buffer. It does not count against
// the open-stream limit. Writes need the stream open, locked and writable.
class VQ_API VqMemoryByteStream : public VqByteStream {
    VQ_DECLARE_TYPE(VqMemoryByteStream)
public:
    explicit VqMemoryByteStream(bool readOnly = false);
    ~VqMemoryByteStream() override;

    void readBytes(VqUChar* buf, VqSize n, VqSize& nRead) override;
    void writeBytes(const VqUChar* buf, VqSize n) override;
    void seek(uint64_t offset) override;
    void getPosition(uint64_t& offset) override { offset = _nPos; }
    void readPrefetch(VqSize n, VqSize& nHint) override;
    uint64_t _readLimit() override { return _nPos < _nBufLen ? _nBufLen - _nPos : 0; }

    // Copies the bytes in (a read-only stream only) and rewinds. Data and
    // length are both set or both empty.
    bool setData(const VqUChar* data, VqSize length);
    // Makes room for n bytes without changing the data length.
    bool reserve(VqSize n);

    const VqUChar* data() const { return _pBuffer; }
    // The high-water mark of what was written or set.
    VqSize dataLength() const { return _nBufLen; }
    bool isReadOnly() const { return _bReadOnly; }

protected:
    void _open() override { _bOpen = true; }
    void _close() override { _bOpen = false; }
    bool _isOpen() const override { return _bOpen; }

private:
    bool _grow(uint64_t needed);

    VqUChar* _pBuffer = nullptr;
    uint64_t _nCapacity = 0;
    uint64_t _nBufLen = 0;
    uint64_t _nPos = 0;
    bool _bReadOnly;
    bool _bOpen = false;
};
