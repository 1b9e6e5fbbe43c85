#include "VqFileByteStream.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqPlatform.h"
#include "VqStdException.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

VQ_IMPLEMENT_ABSTRACT_TYPE(VqFileByteStream, VqByteStream, CLSID_ZQFileObjectStream)

namespace {
// Codes of "Unable to open file" by cause.
constexpr VqErrorCode kOpenDenied = static_cast<VqErrorCode>(12);
constexpr VqErrorCode kOpenDeviceFull = static_cast<VqErrorCode>(102);
// Segments arrive in 4096-byte pieces; a large stdio buffer keeps system calls few.
constexpr size_t kStdioBufferSize = 256 * 1024;

bool pathToLocal(const VqString& path, std::string& out) {
    return Vq::convertToMBCS(out, path) && !out.empty();
}

// The failure's text followed by the system's own reason: "Write failed" alone
// cannot tell a full disk from a lost network share.
std::string withReason(const char* what, int err) {
    return std::string(what) + ": " + std::strerror(err);
}
} // namespace

VqFileByteStream::VqFileByteStream(const VqString& path, bool readOnly, bool truncate)
    : VqByteStream(true), _strPath(path), _bReadOnly(readOnly), _bTruncate(truncate) {}

VqFileByteStream::~VqFileByteStream() {
    try {
        close();
    } catch (...) {
        // A destructor has nobody to report a failed final flush to.
    }
}

void VqFileByteStream::_open() {
    if (_nLostWriteErr) VQ_THROW(withReason("Write failed", _nLostWriteErr).c_str(), VQ_ERR_WRITE);
    std::string local;
    if (!pathToLocal(_strPath, local)) VQ_THROW("Unable to convert file path", VQ_ERR_SETTING);
    int flags = O_CLOEXEC | (_bReadOnly ? O_RDONLY : (O_RDWR | O_CREAT | (_bTruncate ? O_TRUNC : 0)));
    // A pinned file already exists: it is opened, never created, never
    // through a link that someone put in its place, and truncated only once
    // it is known to be the pinned one.
    if (_bPinned) flags = (flags & ~(O_CREAT | O_TRUNC)) | O_NOFOLLOW;
    int fd = ::open(local.c_str(), flags, 0666);
    FILE* fp = fd >= 0 ? ::fdopen(fd, _bReadOnly ? "rb" : "w+b") : nullptr;
    if (!fp) {
        int err = errno;
        if (fd >= 0) ::close(fd);
        VqErrorCode code = err == ENOMEM   ? VQ_ERR_ALLOC
                           : err == EACCES ? kOpenDenied
                           : err == ENOSPC ? kOpenDeviceFull
                                           : VQ_ERR_SETTING;
        VQ_THROW(withReason("Unable to open file", err).c_str(), code);
    }
    struct stat st;
    if (_bPinned && (::fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_dev) != _nPinnedDev ||
                     static_cast<uint64_t>(st.st_ino) != _nPinnedIno)) {
        ::fclose(fp);
        VQ_THROW("The file was replaced by another while it was being written", VQ_ERR_OPEN);
    }
    if (_bPinned && _bTruncate && ::ftruncate(fd, 0) != 0) {
        const int err = errno;
        ::fclose(fp);
        VQ_THROW(withReason("Write failed", err).c_str(), VQ_ERR_WRITE);
    }
    _pStdioBuffer = static_cast<char*>(VqPlatform::EnsureInstance()->alloc(kStdioBufferSize));
    if (_pStdioBuffer) ::setvbuf(fp, _pStdioBuffer, _IOFBF, kStdioBufferSize);
    _nReadOnlySize = -1;
    if (_bReadOnly && ::fstat(fd, &st) == 0) _nReadOnlySize = st.st_size;
    _pFile = fp;
    _nOffset = 0;
    _eLastOp = LastOp::None;
}

void VqFileByteStream::_close() {
    if (!_pFile) return;
    int rc = ::fclose(_pFile);
    const int err = errno;
    _pFile = nullptr;
    VqPlatform::EnsureInstance()->dealloc(_pStdioBuffer);
    _pStdioBuffer = nullptr;
    // A reopened stream must never truncate what was written before.
    _bTruncate = false;
    _nOffset = 0;
    if (rc != 0 && !_bReadOnly) {
        _nLostWriteErr = err;
        VQ_THROW(withReason("Write failed", err).c_str(), VQ_ERR_WRITE);
    }
}

// The C library needs a positioning call between reading and writing.
void VqFileByteStream::_switchDirection(bool toWrite) {
    LastOp want = toWrite ? LastOp::Write : LastOp::Read;
    if (_eLastOp != LastOp::None && _eLastOp != want) ::fseeko(_pFile, _nOffset, SEEK_SET);
    _eLastOp = want;
}

void VqFileByteStream::readBytes(VqUChar* buf, VqSize n, VqSize& nRead) {
    nRead = 0;
    if (!(isLocked() && isOpen())) VQ_THROW("isLocked() && isOpen()", VQ_ERR_INTERNAL);
    if (n == 0) return;
    _switchDirection(false);
    nRead = ::fread(buf, 1, n, _pFile);
    _nOffset += static_cast<int64_t>(nRead);
    if (nRead < n) ::clearerr(_pFile);
}

void VqFileByteStream::writeBytes(const VqUChar* buf, VqSize n) {
    if (_nOffset < 0) VQ_THROW("_nOffset >= 0", VQ_ERR_INTERNAL);
    if (!(isLocked() && isOpen() && !_bReadOnly))
        VQ_THROW("isLocked() && isOpen() && !_bReadOnly", VQ_ERR_INTERNAL);
    if (n == 0) return;
    _switchDirection(true);
    int64_t start = _nOffset;
    if (::fwrite(buf, 1, n, _pFile) < n) {
        int err = errno;
        ::clearerr(_pFile);
        if (!_writeChunked(buf, n, start, err)) {
            _eLastOp = LastOp::None;
            VQ_THROW(withReason("Write failed", err).c_str(), VQ_ERR_WRITE);
        }
    }
    _nOffset = start + static_cast<int64_t>(n);
}

// Rewrites the whole buffer from its start in ever smaller chunks: devices
// that refuse one huge write may still take it in pieces.
bool VqFileByteStream::_writeChunked(const VqUChar* buf, VqSize n, int64_t start, int& err) {
    if (n < 2 * kRetryChunkStep) return false;
    for (VqSize chunk = std::min(kMaxRetryChunk, n - kRetryChunkStep); chunk >= kRetryChunkStep;
         chunk -= kRetryChunkStep) {
        bool ok = ::fseeko(_pFile, start, SEEK_SET) == 0;
        for (VqSize done = 0; ok && done < n;) {
            VqSize len = std::min(chunk, n - done);
            ok = ::fwrite(buf + done, 1, len, _pFile) == len;
            done += len;
        }
        if (ok) return true;
        err = errno;
        ::clearerr(_pFile);
    }
    return false;
}

void VqFileByteStream::seek(uint64_t offset) {
    if (!(isLocked() && isOpen())) VQ_THROW("isLocked() && isOpen()", VQ_ERR_INTERNAL);
    if (offset > static_cast<uint64_t>(INT64_MAX))
        VQ_THROW(withReason("Seek fail check errno", EINVAL).c_str(), VQ_ERR_SEEK);
    if (::fseeko(_pFile, static_cast<off_t>(offset), SEEK_SET) != 0) {
        const int err = errno;
        // Seeking hands the buffered bytes to the file first: when that is
        // what failed, the failure is a write's.
        const bool writeFailed = ::ferror(_pFile) != 0;
        ::clearerr(_pFile);
        if (writeFailed) VQ_THROW(withReason("Write failed", err).c_str(), VQ_ERR_WRITE);
        VQ_THROW(withReason("Seek fail check errno", err).c_str(), VQ_ERR_SEEK);
    }
    _nOffset = static_cast<int64_t>(offset);
    _eLastOp = LastOp::None;
}

uint64_t VqFileByteStream::_readLimit() {
    // A writable file may hold buffered bytes beyond what the system reports.
    if (!_bReadOnly || _nReadOnlySize < 0) return UINT64_MAX;
    return _nOffset < _nReadOnlySize ? static_cast<uint64_t>(_nReadOnlySize - _nOffset) : 0;
}

void VqFileByteStream::pin(uint64_t dev, uint64_t ino) {
    _bPinned = true;
    _nPinnedDev = dev;
    _nPinnedIno = ino;
}

bool VqFileByteStream::s_checkFileExists(const VqString& path) {
    std::string local;
    return pathToLocal(path, local) && ::access(local.c_str(), F_OK) == 0;
}
