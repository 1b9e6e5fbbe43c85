#include "VqCompressedObjectStream.h"

#include "VqCompressor.h"
#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqRethrowRecorded.h"

#include <algorithm>
#include <climits>
#include <cstring>

VQ_IMPLEMENT_TYPE_NOCLONE(VqCompressedObjectStream, VqBufferedObjectStream, CLSID_ZQCompressedObjectStream)

namespace {
const char* const kCls = "VqCompressedObjectStream";
}

VqCompressedObjectStream::VqCompressedObjectStream(VqDataStream* raw) : VqBufferedObjectStream(raw) {
    if (VqCompressor::s_acquireCompressor(_pCompressor))
        _pCompressor->setAlgorithm(VqCompressor::VQCOMPRESSOR_ALGORITHM_ZLIB);
}

VqCompressedObjectStream::~VqCompressedObjectStream() {
    _tDecoder.end();
    if (_pCompressor) VqCompressor::s_releaseCompressor(_pCompressor);
}

bool VqCompressedObjectStream::_fillWindow() {
    _nWindowBase += _vWindow.size();
    _vWindow.resize(kWindowSize);
    const VqSize got = _tDecoder.decode(*_raw(__PRETTY_FUNCTION__), _vWindow.data(), _vWindow.size());
    _vWindow.resize(got);
    return got > 0;
}

void VqCompressedObjectStream::readBytes(VqUChar* buf, VqSize n, VqSize& nRead) {
    if (!_bInReadBlock) {
        VqObjectStream::readBytes(buf, n, nRead);
        return;
    }
    // Whatever the block holds up to n bytes: a request past its end comes back short.
    nRead = 0;
    while (nRead < n) {
        if (_nBlockPos >= _nWindowBase + _vWindow.size() && !_fillWindow()) break;
        const uint64_t at = _nBlockPos - _nWindowBase;
        const VqSize take = static_cast<VqSize>(std::min<uint64_t>(n - nRead, _vWindow.size() - at));
        std::memcpy(buf + nRead, _vWindow.data() + at, take);
        nRead += take;
        _nBlockPos += take;
    }
}

void VqCompressedObjectStream::writeBytes(const VqUChar* buf, VqSize n) {
    if (!_bInWriteBlock) {
        VqObjectStream::writeBytes(buf, n);
        return;
    }
    if (_nBlockPos + n > _vBlock.size()) _vBlock.resize(_nBlockPos + n);
    if (n) std::memcpy(_vBlock.data() + _nBlockPos, buf, n);
    _nBlockPos += n;
}

void VqCompressedObjectStream::seek(uint64_t offset) {
    if (_bInWriteBlock) {
        if (offset < _nBlockBase || offset - _nBlockBase > _vBlock.size()) VQ_THROW("false", VQ_ERR_INTERNAL);
        _nBlockPos = offset - _nBlockBase;
    } else if (_bInReadBlock) {
        // Forward by decoding; back only as far as the window reaches.
        if (offset < _nWindowBase) VQ_THROW("offset >= iCurPos", VQ_ERR_INTERNAL);
        while (offset > _nWindowBase + _vWindow.size())
            if (!_fillWindow()) VQ_THROW("offset <= iBlockLength", VQ_ERR_INTERNAL);
        _nBlockPos = offset;
    } else {
        VqObjectStream::seek(offset);
    }
}

void VqCompressedObjectStream::getPosition(uint64_t& offset) {
    if (_bInWriteBlock)
        offset = _nBlockBase + _nBlockPos;
    else if (_bInReadBlock)
        offset = _nBlockPos;
    else
        VqObjectStream::getPosition(offset);
}

uint64_t VqCompressedObjectStream::_readLimit() {
    if (!_bInReadBlock) return VqObjectStream::_readLimit();
    // The decoded size of a block is known only at its end: what it may still
    // decode to, within the innermost element being read.
    const uint64_t decodable = _tDecoder.limit() > _nBlockPos ? _tDecoder.limit() - _nBlockPos : 0;
    return std::min(decodable, _elementRemaining());
}

bool VqCompressedObjectStream::beginWrite() {
    if (elementDepth() == 0) {
        try {
            VqObjectStream::getPosition(_nBlockBase);
        } catch (...) {
            return VqErrorState::recordCurrentException(kCls, "beginWrite");
        }
        _vBlock.clear();
        _nBlockPos = 0;
        _bInWriteBlock = true;
    }
    return VqObjectStream::beginWrite();
}

bool VqCompressedObjectStream::endWrite() {
    bool ok = VqObjectStream::endWrite();
    if (elementDepth() > 0 || !_bInWriteBlock) return ok;
    _bInWriteBlock = false;
    if (!ok) return false;
    try {
        _writeBlock();
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "endWrite");
    }
    return true;
}

void VqCompressedObjectStream::_writeBlock() {
    if (!_pCompressor) VQ_THROW("Allocation failed: pCompressor = new VqCompressor", VQ_ERR_ALLOC);
    const VqUChar* out = nullptr;
    VqSize outLen = 0;
    if (!_pCompressor->compress(_vBlock.data(), _vBlock.size(), out, outLen))
        vqThrowRecordedError(__PRETTY_FUNCTION__, "Zlib compress failed");
    if (outLen > static_cast<VqSize>(INT_MAX)) VQ_THROW("iCompressedLength < INT_MAX", VQ_ERR_WRITE);
    // The compressor's output starts with the algorithm byte, so its length is compressed bytes + 1.
    if (!write(static_cast<unsigned int>(_pCompressor->algorithm())) || !write(static_cast<int>(outLen)))
        vqThrowRecordedError(__PRETTY_FUNCTION__, "Write failed", VQ_ERR_WRITE);
    VqObjectStream::writeBytes(out, outLen);
    _vBlock.clear();
    _vBlock.shrink_to_fit();
    _pCompressor->shrinkAllocation();
}

bool VqCompressedObjectStream::beginRead() {
    if (elementDepth() == 0) {
        try {
            _readBlock();
        } catch (...) {
            return VqErrorState::recordCurrentException(kCls, "beginRead");
        }
    }
    return VqObjectStream::beginRead();
}

void VqCompressedObjectStream::_readBlock() {
    _endReadBlock();
    unsigned int flag = 0;
    _nLastBlockAlgorithm = 0;
    if (!read(&flag)) vqThrowRecordedError(__PRETTY_FUNCTION__, "Short read", VQ_ERR_SHORT_READ);
    if (flag == 0) return; // the element's bytes follow as they are
    int length = 0;
    if (!read(&length)) vqThrowRecordedError(__PRETTY_FUNCTION__, "Short read", VQ_ERR_SHORT_READ);
    if (length < 2 || static_cast<uint64_t>(length) > VqObjectStream::_readLimit())
        VQ_THROW("cNRead == cNBytesToRead", VQ_ERR_SHORT_READ);
    if (!_pCompressor) VQ_THROW("Allocation failed: pCompressor = new VqCompressor", VQ_ERR_ALLOC);
    unsigned char alg = 0;
    if (!read(&alg)) vqThrowRecordedError(__PRETTY_FUNCTION__, "Short read", VQ_ERR_SHORT_READ);
    if (!_pCompressor->setAlgorithm(alg))
        vqThrowRecordedError(__PRETTY_FUNCTION__, "Zlib data stream is corrupt", VQ_ERR_CORRUPT);
    _nLastBlockAlgorithm = alg;
    _tDecoder.begin(_pCompressor, static_cast<uint64_t>(length) - 1);
    _vWindow.clear();
    _nWindowBase = 0;
    _nBlockPos = 0;
    _bInReadBlock = true;
}

void VqCompressedObjectStream::_endReadBlock() {
    if (!_bInReadBlock) return;
    _bInReadBlock = false;
    const uint64_t unread = _tDecoder.compressedLeft();
    _tDecoder.end();
    _vWindow.clear();
    _vWindow.shrink_to_fit();
    _nWindowBase = 0;
    _nBlockPos = 0;
    // The next block starts after this one's compressed bytes, whether or
    // not the element used all that they decode to.
    if (unread) {
        uint64_t pos = 0;
        VqObjectStream::getPosition(pos);
        VqObjectStream::seek(pos + unread);
    }
}

bool VqCompressedObjectStream::endRead() {
    bool ok = VqObjectStream::endRead();
    if (elementDepth() == 0 && _bInReadBlock) {
        try {
            _endReadBlock();
        } catch (...) {
            return VqErrorState::recordCurrentException(kCls, "endRead");
        }
    }
    return ok;
}
