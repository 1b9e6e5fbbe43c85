#include "VqMemoryByteStream.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqPlatform.h"
#include "VqStdException.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

VQ_IMPLEMENT_TYPE_NOCLONE(VqMemoryByteStream, VqByteStream, CLSID_ZQMemoryByteStream)

VqMemoryByteStream::VqMemoryByteStream(bool readOnly) : VqByteStream(false), _bReadOnly(readOnly) {}

VqMemoryByteStream::~VqMemoryByteStream() {
    if (_pBuffer) {
        std::free(_pBuffer);
        VqPlatform::EnsureInstance()->removeFromMemory(_nCapacity);
    }
}

// Grows geometrically so that a stream written in small pieces copies each
// byte only a bounded number of times.
bool VqMemoryByteStream::_grow(uint64_t needed) {
    if (needed <= _nCapacity) return true;
    if (needed > SIZE_MAX / 2) return false;
    uint64_t cap = std::max<uint64_t>({needed, _nCapacity * 2, 256});
    auto* p = static_cast<VqUChar*>(std::realloc(_pBuffer, cap));
    if (!p) return false;
    VqPlatform* platform = VqPlatform::EnsureInstance();
    platform->removeFromMemory(_nCapacity);
    platform->addToMemory(cap);
    _pBuffer = p;
    _nCapacity = cap;
    return true;
}

void VqMemoryByteStream::readBytes(VqUChar* buf, VqSize n, VqSize& nRead) {
    uint64_t avail = _nPos < _nBufLen ? _nBufLen - _nPos : 0;
    nRead = static_cast<VqSize>(std::min<uint64_t>(n, avail));
    if (nRead) std::memcpy(buf, _pBuffer + _nPos, nRead);
    _nPos += nRead;
}

void VqMemoryByteStream::writeBytes(const VqUChar* buf, VqSize n) {
    if (!(isLocked() && isOpen() && !_bReadOnly))
        VQ_THROW("isLocked() && isOpen() && !_bReadOnly", VQ_ERR_INTERNAL);
    if (n == 0) return;
    if (n > UINT64_MAX - _nPos - 1 || !_grow(_nPos + n + 1))
        VQ_THROW("Allocation failed: _pBuffer = realloc(_pBuffer, newSize)", VQ_ERR_ALLOC);
    std::memcpy(_pBuffer + _nPos, buf, n);
    _nPos += n;
    if (_nPos > _nBufLen) _nBufLen = _nPos;
}

void VqMemoryByteStream::seek(uint64_t offset) {
    if (_bReadOnly) {
        if (!(offset == 0 || offset < _nBufLen))
            VQ_THROW("offset == 0 || offset < _nBufLen", VQ_ERR_INTERNAL);
    } else if (offset == UINT64_MAX || !_grow(offset + 1)) {
        VQ_THROW("Allocation failed: _pBuffer = realloc(_pBuffer, newSize)", VQ_ERR_ALLOC);
    }
    _nPos = offset;
}

void VqMemoryByteStream::readPrefetch(VqSize n, VqSize& nHint) {
    nHint = static_cast<VqSize>(std::min<uint64_t>(n, _readLimit()));
}

bool VqMemoryByteStream::setData(const VqUChar* data, VqSize length) {
    VQ_CHECK((data != nullptr) == (length > 0), "VqMemoryByteStream", "setData", VQ_ERR_ARGUMENT);
    VQ_CHECK(_bReadOnly, "VqMemoryByteStream", "setData", VQ_ERR_INTERNAL);
    if (length && !_grow(length + 1))
        VQ_FAIL("VqMemoryByteStream", "setData", "Allocation failed: _pBuffer = realloc(_pBuffer, newSize)",
                VQ_ERR_ALLOC);
    if (length) std::memcpy(_pBuffer, data, length);
    _nBufLen = length;
    _nPos = 0;
    return true;
}

bool VqMemoryByteStream::reserve(VqSize n) {
    if (!_grow(n))
        VQ_FAIL("VqMemoryByteStream", "reserve", "Allocation failed: _pBuffer = realloc(_pBuffer, newSize)",
                VQ_ERR_ALLOC);
    return true;
}
