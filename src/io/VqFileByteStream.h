#pragma once

#include "VqByteStream.h"
#include "VqExport.h"
#include "VqString.h"

#include <cstdio>

// A byte stream over a file. Reads and writes need the stream locked and open.
// Closed by the open-stream limit, it reopens at offset 0 without truncating:
// callers seek before every use.
class VQ_API VqFileByteStream : public VqByteStream {
    VQ_DECLARE_TYPE(VqFileByteStream)
public:
    VqFileByteStream(const VqString& path, bool readOnly, bool truncate);
    ~VqFileByteStream() override;

    void readBytes(VqUChar* buf, VqSize n, VqSize& nRead) override;
    void writeBytes(const VqUChar* buf, VqSize n) override;
    void seek(uint64_t offset) override;
    void getPosition(uint64_t& offset) override { offset = static_cast<uint64_t>(_nOffset); }
    void readPrefetch(VqSize, VqSize& nHint) override { nHint = 0; }
    uint64_t _readLimit() override;

    // From now on the stream opens only the existing file with this device
    // and inode number, and never through a symbolic link: a file written
    // under a name in a shared directory must still be the one created.
    void pin(uint64_t dev, uint64_t ino);

    const VqString& path() const { return _strPath; }
    bool isReadOnly() const { return _bReadOnly; }

    static bool s_checkFileExists(const VqString& path);

protected:
    void _open() override;
    void _close() override;
    bool _isOpen() const override { return _pFile != nullptr; }

private:
    // The largest and the step of the chunk size used to retry a short write.
    static constexpr VqSize kMaxRetryChunk = 20000000;
    static constexpr VqSize kRetryChunkStep = 256000;

    // err receives the reason of the last failed attempt.
    bool _writeChunked(const VqUChar* buf, VqSize n, int64_t start, int& err);
    void _switchDirection(bool toWrite);

    VqString _strPath;
    int64_t _nOffset = 0;
    bool _bReadOnly;
    bool _bTruncate;
    FILE* _pFile = nullptr;
    char* _pStdioBuffer = nullptr;
    // Size of a read-only file, taken when it opens.
    int64_t _nReadOnlySize = -1;
    // The reason of a flush that lost written data, kept for good: the open-
    // stream limit closes streams behind their owners' backs, so a failure
    // there must still reach the owner, on its next use of the stream.
    int _nLostWriteErr = 0;
    bool _bPinned = false;
    uint64_t _nPinnedDev = 0;
    uint64_t _nPinnedIno = 0;
    enum class LastOp { None, Read, Write } _eLastOp = LastOp::None;
};
