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
    if (_pCompressor) VqCompressor::s_releaseCompressor(_pCompressor);
}

void VqCompressedObjectStream::readBytes(VqUChar* buf, VqSize n, VqSize& nRead) {
    if (!_bInReadBlock) {
        VqObjectStream::readBytes(buf, n, nRead);
        return;
    }
    nRead = static_cast<VqSize>(std::min<uint64_t>(n, _vBlock.size() - _nBlockPos));
    if (nRead) std::memcpy(buf, _vBlock.data() + _nBlockPos, nRead);
    _nBlockPos += nRead;
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
        if (offset > _vBlock.size()) VQ_THROW("offset <= iBlockLength", VQ_ERR_INTERNAL);
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
    if (_bInReadBlock) return _vBlock.size() - _nBlockPos;
    return VqObjectStream::_readLimit();
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
    _bInReadBlock = false;
    unsigned int flag = 0;
    if (!read(&flag)) vqThrowRecordedError(__PRETTY_FUNCTION__, "Short read", VQ_ERR_SHORT_READ);
    if (flag == 0) return; // the element's bytes follow as they are
    int length = 0;
    if (!read(&length)) vqThrowRecordedError(__PRETTY_FUNCTION__, "Short read", VQ_ERR_SHORT_READ);
    if (length < 2 || static_cast<uint64_t>(length) > VqObjectStream::_readLimit())
        VQ_THROW("cNRead == cNBytesToRead", VQ_ERR_SHORT_READ);
    std::vector<VqUChar> packed(static_cast<size_t>(length));
    VqSize got = 0;
    VqObjectStream::readBytes(packed.data(), packed.size(), got);
    if (got != packed.size()) VQ_THROW("cNRead == cNBytesToRead", VQ_ERR_SHORT_READ);
    if (!_pCompressor) VQ_THROW("Allocation failed: pCompressor = new VqCompressor", VQ_ERR_ALLOC);
    const VqUChar* out = nullptr;
    VqSize outLen = 0;
    if (!_pCompressor->uncompress(packed.data(), packed.size(), out, outLen))
        vqThrowRecordedError(__PRETTY_FUNCTION__, "Zlib data stream is corrupt", VQ_ERR_CORRUPT);
    _vBlock.assign(out, out + outLen);
    _pCompressor->shrinkAllocation();
    _nBlockPos = 0;
    _bInReadBlock = true;
}

bool VqCompressedObjectStream::endRead() {
    bool ok = VqObjectStream::endRead();
    if (elementDepth() == 0 && _bInReadBlock) {
        _bInReadBlock = false;
        _vBlock.clear();
        _vBlock.shrink_to_fit();
    }
    return ok;
}
