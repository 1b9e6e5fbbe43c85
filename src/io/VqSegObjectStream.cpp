#include "VqSegObjectStream.h"

#include "VqCompressor.h"
#include "VqErrorState.h"
#include "VqInBufFVec.h"
#include "VqRethrowRecorded.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

VqSegObjectStream::VqSegObjectStream(VqDataStream* raw, int writeAlgorithm)
    : VqObjectStream(raw), _nWriteAlgorithm(writeAlgorithm) {
    if (VqCompressor::s_acquireCompressor(_pCompressor)) _pCompressor->setAlgorithm(writeAlgorithm);
}

VqSegObjectStream::~VqSegObjectStream() {
    _releaseWriteBuffer();
    if (_pCompressor) VqCompressor::s_releaseCompressor(_pCompressor);
}

// ---------------------------------------------------------------------------------------------------------------
// Writing

void VqSegObjectStream::_startWrite() {
    if (_bReadActive) VQ_THROW("!_bReadActive", VQ_ERR_INTERNAL);
    if (!_pCompressor) VQ_THROW("Allocation failed: pCompressor = new VqCompressor", VQ_ERR_ALLOC);
    if (!_pvWriteBuffer && !VqObjectStream::s_allocWriteBuffer(_pvWriteBuffer))
        vqThrowRecordedError(__PRETTY_FUNCTION__, "Allocation failed: opInBuf = new VqInBufFVec");
    _nWritePos = 0;
    _bWriteActive = true;
    _openPutWindow();
}

void VqSegObjectStream::_syncPut() {
    if (!_pPutStart) return;
    uint64_t pos = _nPutBase + static_cast<uint64_t>(_pPutCur - _pPutStart);
    _nWritePos = pos;
    if (pos > _pvWriteBuffer->length()) _pvWriteBuffer->setLength(pos);
    _nPutBase = pos;
    _pPutStart = _pPutCur;
}

void VqSegObjectStream::_openPutWindow() {
    if (!_pvWriteBuffer->verify(_nWritePos)) VQ_THROW("_pvWriteBuffer->verify(_nWritePos)", VQ_ERR_ALLOC);
    VqUChar* p = _pvWriteBuffer->at(_nWritePos);
    uint64_t fragEnd = ((_nWritePos >> VqInBufFVec::kFragShift) + 1) << VqInBufFVec::kFragShift;
    _nPutBase = _nWritePos;
    _pPutStart = _pPutCur = p;
    _pPutEnd = p + (fragEnd - _nWritePos);
}

void VqSegObjectStream::_closePutWindow() {
    _syncPut();
    _pPutStart = _pPutCur = _pPutEnd = nullptr;
}

void VqSegObjectStream::writeBytes(const VqUChar* buf, VqSize n) {
    if (!_bWriteActive) _startWrite();
    _syncPut();
    if (n == 0) return;
    if (!_pvWriteBuffer->verify(_nWritePos + n - 1))
        VQ_THROW("_pvWriteBuffer->verify(_nWritePos + n - 1)", VQ_ERR_ALLOC);
    _pvWriteBuffer->write(_nWritePos, buf, n);
    _nWritePos += n;
    // Called as each fragment fills: the place to emit the ones settled.
    _emitBefore(_vElems.empty() ? _nWritePos : std::min(_nWritePos, _vElems.front().nStart));
    _openPutWindow();
}

bool VqSegObjectStream::beginWrite() {
    try {
        if (!_bWriteActive) _startWrite();
        // The placeholder fits the window: its position is the window's, and
        // nothing needs syncing to learn it.
        if (_pPutStart && _pPutEnd - _pPutCur >= 4) {
            _vElems.push_back(OpenElement{_nPutBase + static_cast<uint64_t>(_pPutCur - _pPutStart), 0, false});
            std::memset(_pPutCur, 0, 4);
            _pPutCur += 4;
            return true;
        }
    } catch (...) {
        return VqErrorState::recordCurrentException("VqSegObjectStream", "beginWrite");
    }
    return VqObjectStream::beginWrite();
}

bool VqSegObjectStream::endWrite() {
    if (!_bWriteActive || !_pPutStart || _vElems.empty()) return VqObjectStream::endWrite();
    const uint64_t start = _vElems.back().nStart;
    const uint64_t end = _nPutBase + static_cast<uint64_t>(_pPutCur - _pPutStart);
    // The general path reports a length that does not fit.
    if (end < start + 4 || end - start - 4 > UINT32_MAX) return VqObjectStream::endWrite();
    _vElems.pop_back();
    const auto length = static_cast<uint32_t>(end - start - 4);
    // Written as write(int32_t) writes it, in the host's order; the four
    // bytes may straddle two fragments.
    VqUChar bytes[4];
    std::memcpy(bytes, &length, 4);
    if ((start >> VqInBufFVec::kFragShift) == ((start + 3) >> VqInBufFVec::kFragShift))
        std::memcpy(_pvWriteBuffer->at(start), bytes, 4);
    else
        for (uint64_t i = 0; i < 4; ++i)
            *_pvWriteBuffer->at(start + i) = bytes[i];
    return true;
}

void VqSegObjectStream::_releaseWriteBuffer() {
    _pPutStart = _pPutCur = _pPutEnd = nullptr;
    if (_pvWriteBuffer) VqObjectStream::s_deallocWriteBuffer(_pvWriteBuffer);
    _pvWriteBuffer = nullptr;
    _bWriteActive = false;
    _nWritePos = 0;
    _nLengthPos = _nEmitted = _nCompressed = 0;
    _bEmitting = false;
}

void VqSegObjectStream::_beginEmit() {
    VqDataStream* raw = _raw(__PRETTY_FUNCTION__);
    const auto alg = static_cast<unsigned char>(_nWriteAlgorithm);
    if (!_pCompressor->setAlgorithm(alg))
        vqThrowRecordedError(__PRETTY_FUNCTION__, "Invalid compression algorithm");
    if (!raw->write(static_cast<unsigned int>(_nWriteAlgorithm)))
        vqThrowRecordedError(__PRETTY_FUNCTION__, "Write failed");
    raw->getPosition(_nLengthPos);
    if (!raw->write(static_cast<int>(0)) || !raw->write(alg))
        vqThrowRecordedError(__PRETTY_FUNCTION__, "Write failed");
    _pCompressor->beginCompress();
    _bEmitting = true;
}

void VqSegObjectStream::_emitFragment(int f, VqSize n) {
    VqDataStream* raw = _raw(__PRETTY_FUNCTION__);
    VqUChar out[kOutChunk];
    const VqUChar* nextIn = _pvWriteBuffer->fragment(f);
    VqSize availIn = n;
    while (availIn > 0) {
        VqUChar* nextOut = out;
        VqSize availOut = kOutChunk;
        _pCompressor->doCompress(nextIn, availIn, nextOut, availOut);
        if (!(availIn == 0 || availOut == 0)) VQ_THROW("_cAvailIn == 0 || _cAvailOut == 0", VQ_ERR_INTERNAL);
        if (availOut < kOutChunk) raw->writeBytes(out, kOutChunk - availOut);
        _nCompressed += kOutChunk - availOut;
    }
}

void VqSegObjectStream::_emitBefore(uint64_t end) {
    const uint64_t settled = end >> VqInBufFVec::kFragShift << VqInBufFVec::kFragShift;
    // LZMA's state spans megabytes: compressing between short runs of
    // writing, it and the writer's data would push each other out of the
    // cache, so it waits for a longer run of settled fragments.
    const uint64_t run = _nWriteAlgorithm == VqCompressor::VQCOMPRESSOR_ALGORITHM_LZMA
                             ? kLzmaEmitRun * VqInBufFVec::kFragSize
                             : VqInBufFVec::kFragSize;
    if (settled < _nEmitted + run) return;
    if (!_bEmitting) _beginEmit();
    for (; _nEmitted < settled; _nEmitted += VqInBufFVec::kFragSize) {
        const auto f = static_cast<int>(_nEmitted >> VqInBufFVec::kFragShift);
        _emitFragment(f, VqInBufFVec::kFragSize);
        _pvWriteBuffer->recycle(f);
    }
}

bool VqSegObjectStream::_flush() {
    if (!_bWriteActive) return true;
    try {
        _closePutWindow();
        VqDataStream* raw = _raw(__PRETTY_FUNCTION__);
        if (!_bEmitting) _beginEmit();
        const uint64_t length = _pvWriteBuffer->length();
        while (_nEmitted < length) {
            const VqSize n = std::min<uint64_t>(VqInBufFVec::kFragSize, length - _nEmitted);
            _emitFragment(static_cast<int>(_nEmitted >> VqInBufFVec::kFragShift), n);
            _nEmitted += n;
        }
        for (;;) {
            const VqUChar* nextIn = nullptr;
            VqSize availIn = 0;
            VqUChar out[kOutChunk];
            VqUChar* nextOut = out;
            VqSize availOut = kOutChunk;
            _pCompressor->doCompress(nextIn, availIn, nextOut, availOut);
            if (availOut < kOutChunk) raw->writeBytes(out, kOutChunk - availOut);
            _nCompressed += kOutChunk - availOut;
            if (availOut > 0) break;
        }
        _pCompressor->endCompress();
        if (_nCompressed >= static_cast<uint64_t>(INT_MAX))
            VQ_THROW("iCompressedLength < INT_MAX", VQ_ERR_WRITE);

        uint64_t endPos = 0;
        raw->getPosition(endPos);
        raw->seek(_nLengthPos);
        if (!raw->write(static_cast<int>(_nCompressed + 1)))
            vqThrowRecordedError(__PRETTY_FUNCTION__, "Write failed");
        raw->seek(endPos);
        _releaseWriteBuffer();
        _pCompressor->shrinkAllocation();
        return true;
    } catch (...) {
        _releaseWriteBuffer();
        return VqErrorState::recordCurrentException("VqSegObjectStream", "_flush");
    }
}

void VqSegObjectStream::setDataStream(VqDataStream* raw) {
    if (!raw && _bWriteActive && !_flush())
        vqThrowRecordedError("virtual void VqSegObjectStream::setDataStream(VqDataStream*)", "_flush()");
    if (_bReadActive) _resetRead();
    VqObjectStream::setDataStream(raw);
}

// ---------------------------------------------------------------------------------------------------------------
// Reading

void VqSegObjectStream::_resetRead() {
    _tDecoder.end();
    _pGetCur = _pGetEnd = nullptr;
    _vReadBuf.clear();
    _vReadBuf.shrink_to_fit();
    _nReadBufBase = 0;
    _bReadActive = false;
    _bGetBias = false;
}

void VqSegObjectStream::_initRead() {
    if (_bWriteActive) VQ_THROW("!_bWriteActive", VQ_ERR_INTERNAL);
    if (!_pCompressor) VQ_THROW("Allocation failed: pCompressor = new VqCompressor", VQ_ERR_ALLOC);
    VqDataStream* raw = _raw(__PRETTY_FUNCTION__);
    _vReadBuf.resize(kReadBufferSize);
    _pGetCur = _pGetEnd = _vReadBuf.data();
    _nReadBufBase = 0;
    _bReadActive = true;
    _syncGetBias();
    _bGetBias = true;
    // A segment into which nothing was written has no framing: it reads as empty.
    constexpr uint64_t kFramingBytes = 9;
    if (_nSegmentBytes < kFramingBytes) return;
    uint32_t flag = 0;
    if (!raw->read(&flag)) vqThrowRecordedError(__PRETTY_FUNCTION__, "Unexpected read failure");
    if (!_acceptsFlag(flag)) VQ_THROW(_flagCheckText(), VQ_ERR_READ);
    int32_t length = 0;
    if (!raw->read(&length)) vqThrowRecordedError(__PRETTY_FUNCTION__, "Unexpected read failure");
    if (length < 1) VQ_THROW("iLength >= 1", VQ_ERR_READ);
    uint64_t available = std::min<uint64_t>(raw->_readLimit(), _nSegmentBytes - 8);
    if (static_cast<uint64_t>(length) > available) VQ_THROW("cNRead == cNBytesToRead", VQ_ERR_SHORT_READ);
    unsigned char alg = 0;
    if (!raw->read(&alg)) vqThrowRecordedError(__PRETTY_FUNCTION__, "Unexpected read failure");
    if (!_pCompressor->setAlgorithm(alg))
        vqThrowRecordedError(__PRETTY_FUNCTION__, "Invalid compression algorithm");
    _tDecoder.begin(_pCompressor, static_cast<uint64_t>(length) - 1);
}

VqSize VqSegObjectStream::_decompress(VqUChar* out, VqSize cap) {
    return _tDecoder.decode(*_raw(__PRETTY_FUNCTION__), out, cap);
}

bool VqSegObjectStream::_fillReadBuffer() {
    _nReadBufBase += static_cast<uint64_t>(_pGetCur - _vReadBuf.data());
    _syncGetBias();
    VqSize got = _decompress(_vReadBuf.data(), _vReadBuf.size());
    _pGetCur = _vReadBuf.data();
    _pGetEnd = _pGetCur + got;
    return got > 0;
}

void VqSegObjectStream::readBytes(VqUChar* buf, VqSize n, VqSize& nRead) {
    nRead = 0;
    if (!_bReadActive) _initRead();
    if (n == 0) return;
    if (!buf) VQ_THROW("cLength == 0 || ptr != __null", VQ_ERR_ARGUMENT);
    VqSize inWindow = std::min<VqSize>(n, _pGetEnd - _pGetCur);
    std::memcpy(buf, _pGetCur, inWindow);
    _pGetCur += inWindow;
    nRead = inWindow;
    while (nRead < n) {
        VqSize rest = n - nRead;
        if (rest >= kReadBufferSize) {
            // Large requests are decompressed straight into the caller's memory.
            _nReadBufBase += static_cast<uint64_t>(_pGetCur - _vReadBuf.data());
            _pGetCur = _pGetEnd = _vReadBuf.data();
            _syncGetBias();
            VqSize got = _decompress(buf + nRead, rest);
            _nReadBufBase += got;
            _syncGetBias();
            nRead += got;
            if (got == 0) break;
        } else {
            if (!_fillReadBuffer()) break;
            VqSize take = std::min<VqSize>(rest, _pGetEnd - _pGetCur);
            std::memcpy(buf + nRead, _pGetCur, take);
            _pGetCur += take;
            nRead += take;
        }
    }
    if (nRead < n) VQ_THROW("outNRead == cLength", VQ_ERR_SHORT_READ);
}

bool VqSegObjectStream::beginRead() {
    try {
        if (!_bReadActive) _initRead();
    } catch (...) {
        return VqErrorState::recordCurrentException("VqSegObjectStream", "beginRead");
    }
    return VqObjectStream::beginRead();
}

uint64_t VqSegObjectStream::_readLimit() {
    uint64_t start = 0;
    uint32_t length = 0;
    const bool inElement = currentReadElement(start, length);
    if (!inElement && !_tDecoder.active()) return UINT64_MAX;
    uint64_t pos = 0;
    getPosition(pos);
    uint64_t limit = UINT64_MAX;
    if (_tDecoder.active()) limit = _tDecoder.limit() > pos ? _tDecoder.limit() - pos : 0;
    if (inElement) limit = std::min(limit, start + length > pos ? start + length - pos : 0);
    return limit;
}

// ---------------------------------------------------------------------------------------------------------------
// Positions

void VqSegObjectStream::getPosition(uint64_t& offset) {
    if (_bWriteActive) {
        _syncPut();
        offset = _nWritePos;
    } else if (_bReadActive) {
        offset = _nReadBufBase + static_cast<uint64_t>(_pGetCur - _vReadBuf.data());
    } else {
        _raw(__PRETTY_FUNCTION__)->getPosition(offset);
    }
}

void VqSegObjectStream::seek(uint64_t offset) {
    if (_bWriteActive) {
        _syncPut();
        if (offset > _pvWriteBuffer->length())
            VQ_THROW("offset <= _pvWriteBuffer->length()", VQ_ERR_INTERNAL);
        if (offset < _nEmitted) VQ_THROW("offset >= bytes emitted", VQ_ERR_INTERNAL);
        _nWritePos = offset;
        _openPutWindow();
        return;
    }
    if (_bReadActive) {
        uint64_t pos = 0;
        getPosition(pos);
        if (offset < pos) VQ_THROW("offset >= iCurPos", VQ_ERR_INTERNAL);
        uint64_t skip = offset - pos;
        while (skip > 0) {
            if (_pGetCur == _pGetEnd && !_fillReadBuffer())
                VQ_THROW("outNRead == cLength", VQ_ERR_SHORT_READ);
            VqSize take = static_cast<VqSize>(std::min<uint64_t>(skip, _pGetEnd - _pGetCur));
            _pGetCur += take;
            skip -= take;
        }
        return;
    }
    VqDataStream* raw = _raw(__PRETTY_FUNCTION__);
    if (!raw->_flush()) vqThrowRecordedError(__PRETTY_FUNCTION__, "_flush()");
    raw->seek(offset);
}

void VqSegObjectStream::readPrefetch(VqSize n, VqSize& nHint) {
    if (_bReadActive) {
        nHint = std::min<VqSize>(n, _pGetEnd - _pGetCur);
        return;
    }
    nHint = 0;
}
