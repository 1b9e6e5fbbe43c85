#include "VqBufferedObjectStream.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqInBufFVec.h"
#include "VqStdException.h"

#include <algorithm>
#include <cstring>

VQ_IMPLEMENT_TYPE_NOCLONE(VqBufferedObjectStream, VqObjectStream, CLSID_ZQBufferedObjectStream)

namespace {
const char* const kCls = "VqBufferedObjectStream";
}

VqBufferedObjectStream::VqBufferedObjectStream(VqDataStream* raw) : VqObjectStream(raw) {}

VqBufferedObjectStream::~VqBufferedObjectStream() {
    _closePutWindow();
    s_deallocWriteBuffer(_pvOutBuffer);
}

// ---- write side ------------------------------------------------------------

void VqBufferedObjectStream::_syncPut() {
    if (!_pPutWindowStart) return;
    _iCurWritePos = _nPutWindowBase + static_cast<uint64_t>(_pPutCur - _pPutWindowStart);
    if (_iCurWritePos > _pvOutBuffer->length()) _pvOutBuffer->setLength(_iCurWritePos);
}

void VqBufferedObjectStream::_openPutWindow() {
    if (!_pvOutBuffer || !_pvOutBuffer->verify(_iCurWritePos)) {
        _closePutWindow();
        return;
    }
    _pPutWindowStart = _pPutCur = _pvOutBuffer->at(_iCurWritePos);
    _pPutEnd = _pPutCur + (VqInBufFVec::kFragSize - (_iCurWritePos & (VqInBufFVec::kFragSize - 1)));
    _nPutWindowBase = _iCurWritePos;
}

void VqBufferedObjectStream::_closePutWindow() {
    _pPutWindowStart = _pPutCur = _pPutEnd = nullptr;
}

void VqBufferedObjectStream::writeBytes(const VqUChar* buf, VqSize n) {
    if (_bWriteElem) {
        _syncPut();
        if (n == 0) return;
        if (!_pvOutBuffer->verify(_iCurWritePos + n - 1))
            VQ_THROW("_pvOutBuffer->verify(_iCurWritePos+length-1)", VQ_ERR_INTERNAL);
        _pvOutBuffer->write(_iCurWritePos, buf, n);
        _iCurWritePos += n;
        _openPutWindow();
        return;
    }
    _dropReadAhead();
    _raw("virtual void VqBufferedObjectStream::writeBytes(const VqUChar*, VqSize)")->writeBytes(buf, n);
}

bool VqBufferedObjectStream::beginWrite() {
    VQ_CHECK(!_bReadElem, kCls, "beginWrite", VQ_ERR_INTERNAL);
    if (!_bWriteElem) {
        if (!_pvOutBuffer) VQ_PROPAGATE(s_allocWriteBuffer(_pvOutBuffer));
        try {
            _dropReadAhead();
        } catch (...) {
            return VqErrorState::recordCurrentException(kCls, "beginWrite");
        }
        _pvOutBuffer->clear();
        _bWriteElem = true;
        _iCurWritePos = 0;
        _openPutWindow();
    }
    if (VqObjectStream::beginWrite()) return true;
    if (_vElems.empty()) _endWriteElement();
    VqErrorState::rethrowError();
    return false;
}

void VqBufferedObjectStream::_endWriteElement() {
    _closePutWindow();
    _bWriteElem = false;
    if (_pvOutBuffer) _pvOutBuffer->clear();
}

bool VqBufferedObjectStream::endWrite() {
    VQ_CHECK(_pRaw, kCls, "endWrite", VQ_ERR_INTERNAL);
    VQ_CHECK(!_bReadElem, kCls, "endWrite", VQ_ERR_INTERNAL);
    VQ_CHECK(_bWriteElem, kCls, "endWrite", VQ_ERR_INTERNAL);
    VQ_CHECK(_pvOutBuffer, kCls, "endWrite", VQ_ERR_INTERNAL);
    bool ok = VqObjectStream::endWrite();
    if (!_vElems.empty()) {
        if (!ok) VqErrorState::rethrowError();
        return ok;
    }
    _syncPut();
    _closePutWindow();
    _bWriteElem = false;
    if (ok) {
        // The element is complete, its lengths patched: hand it over whole.
        try {
            uint64_t length = _pvOutBuffer->length();
            for (int i = 0; length > 0; ++i) {
                VqSize n = static_cast<VqSize>(std::min<uint64_t>(length, VqInBufFVec::kFragSize));
                _pRaw->writeBytes(_pvOutBuffer->fragment(i), n);
                length -= n;
            }
        } catch (...) {
            ok = VqErrorState::recordCurrentException(kCls, "endWrite");
        }
    } else {
        VqErrorState::rethrowError();
    }
    _pvOutBuffer->clear();
    return ok;
}

// ---- read side -------------------------------------------------------------

void VqBufferedObjectStream::_dropReadAhead() {
    if (_vReadAhead.empty()) return;
    uint64_t logical = _nReadAheadStart + _readAheadUsed();
    uint64_t rawPos = _nReadAheadStart + _vReadAhead.size();
    _vReadAhead.clear();
    _pGetCur = _pGetEnd = nullptr;
    if (logical != rawPos) _raw("void VqBufferedObjectStream::_dropReadAhead()")->seek(logical);
}

bool VqBufferedObjectStream::_refill() {
    VqDataStream* raw = _raw("bool VqBufferedObjectStream::_refill()");
    uint64_t start = _vReadAhead.empty() ? 0 : _nReadAheadStart + _vReadAhead.size();
    if (_vReadAhead.empty()) raw->getPosition(start);
    _vReadAhead.resize(kReadAheadSize);
    VqSize got = 0;
    while (got < kReadAheadSize) {
        VqSize r = 0;
        raw->readBytes(_vReadAhead.data() + got, kReadAheadSize - got, r);
        if (r == 0) break;
        got += r;
    }
    _vReadAhead.resize(got);
    _nReadAheadStart = start;
    _pGetCur = _vReadAhead.data();
    _pGetEnd = _pGetCur + got;
    return got > 0;
}

void VqBufferedObjectStream::readBytes(VqUChar* buf, VqSize n, VqSize& nRead) {
    nRead = 0;
    if (n != 0 && !buf) VQ_THROW("cLength == 0 || ptr != __null", VQ_ERR_ARGUMENT);
    VqSize inWindow = static_cast<VqSize>(_pGetEnd - _pGetCur);
    VqSize take = std::min(n, inWindow);
    if (take) {
        std::memcpy(buf, _pGetCur, take);
        _pGetCur += take;
        nRead = take;
    }
    if (nRead == n) return;
    VqSize rest = n - nRead;
    if (rest >= kReadAheadSize) {
        // Large requests bypass the buffer; the raw stream stands right after it.
        VqDataStream* raw = _raw("virtual void VqBufferedObjectStream::readBytes(VqUChar*, VqSize, VqSize&)");
        _vReadAhead.clear();
        _pGetCur = _pGetEnd = nullptr;
        while (nRead < n) {
            VqSize r = 0;
            raw->readBytes(buf + nRead, n - nRead, r);
            if (r == 0) break;
            nRead += r;
        }
        return;
    }
    if (!_refill()) VQ_THROW("End of file while filling buffer", VQ_ERR_SHORT_READ);
    take = std::min(rest, static_cast<VqSize>(_pGetEnd - _pGetCur));
    std::memcpy(buf + nRead, _pGetCur, take);
    _pGetCur += take;
    nRead += take;
}

bool VqBufferedObjectStream::beginRead() {
    bool outermost = _vElems.empty();
    if (outermost) _bReadElem = true;
    if (VqObjectStream::beginRead()) return true;
    if (outermost) _bReadElem = false;
    VqErrorState::rethrowError();
    return false;
}

bool VqBufferedObjectStream::endRead() {
    bool ok = VqObjectStream::endRead();
    if (_vElems.empty()) _bReadElem = false;
    if (!ok) VqErrorState::rethrowError();
    return ok;
}

// ---- positions ---------------------------------------------------------------

void VqBufferedObjectStream::getPosition(uint64_t& offset) {
    if (_bWriteElem) {
        _syncPut();
        offset = _iCurWritePos;
    } else if (!_vReadAhead.empty()) {
        offset = _nReadAheadStart + _readAheadUsed();
    } else {
        _raw("virtual void VqBufferedObjectStream::getPosition(VqUInt64&)")->getPosition(offset);
    }
}

void VqBufferedObjectStream::seek(uint64_t offset) {
    if (_bWriteElem) {
        _syncPut();
        if (offset > _pvOutBuffer->length()) VQ_THROW("false", VQ_ERR_INTERNAL);
        _iCurWritePos = offset;
        _openPutWindow();
        return;
    }
    // A target inside the read-ahead only moves within it.
    if (!_vReadAhead.empty() && offset >= _nReadAheadStart &&
        offset <= _nReadAheadStart + _vReadAhead.size()) {
        _pGetCur = _vReadAhead.data() + (offset - _nReadAheadStart);
        return;
    }
    _vReadAhead.clear();
    _pGetCur = _pGetEnd = nullptr;
    _raw("virtual void VqBufferedObjectStream::seek(VqUInt64)")->seek(offset);
}

void VqBufferedObjectStream::readPrefetch(VqSize n, VqSize& nHint) {
    nHint = std::min(n, static_cast<VqSize>(_pGetEnd - _pGetCur));
}

uint64_t VqBufferedObjectStream::_readLimit() {
    if (!_pRaw) return 0;
    uint64_t limit = _pRaw->_readLimit();
    if (limit != UINT64_MAX) limit += static_cast<uint64_t>(_pGetEnd - _pGetCur);
    return std::min(limit, _elementRemaining());
}

bool VqBufferedObjectStream::_flush() {
    try {
        _dropReadAhead();
    } catch (...) {
        return VqErrorState::recordCurrentException(kCls, "_flush");
    }
    std::vector<VqUChar>().swap(_vReadAhead);
    return true;
}

void VqBufferedObjectStream::setDataStream(VqDataStream* raw) {
    _vReadAhead.clear();
    _pGetCur = _pGetEnd = nullptr;
    VqObjectStream::setDataStream(raw);
}
