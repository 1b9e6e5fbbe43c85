#include "VqDataStream.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqStdException.h"

#include <algorithm>

VQ_IMPLEMENT_TYPE_NOCLONE(VqDataStream, VqBaseDataStream, CLSID_ZQDataStream)

VqDataStream::VqDataStream(VqByteStream* raw) : _pRaw(raw) {}

VqDataStream::~VqDataStream() {
    if (!_bOwnsOpen) return;
    try {
        close();
    } catch (...) {
        // A destructor has nobody to report a failed final flush to.
    }
}

VqByteStream* VqDataStream::_raw(const char* function) const {
    if (!_pRaw) throw Vq::StdException(function, "_pRaw", VQ_ERR_INTERNAL);
    return _pRaw.get();
}

void VqDataStream::open() {
    VqByteStream* raw = _raw("virtual void VqDataStream::open()");
    if (raw->isOpen()) return;
    raw->lock();
    try {
        raw->open();
    } catch (...) {
        raw->unlock();
        throw;
    }
    _bOwnsOpen = true;
}

void VqDataStream::close() {
    VqByteStream* raw = _raw("virtual void VqDataStream::close()");
    if (!_flush()) throw Vq::makeStdExceptionFromErrorState("virtual void VqDataStream::close()", "_flush()");
    if (!_bOwnsOpen) return;
    _bOwnsOpen = false;
    try {
        raw->close();
    } catch (...) {
        raw->unlock();
        throw;
    }
    raw->unlock();
}

uint64_t VqDataStream::_remainingBeforeEnd(VqByteStream* raw) const {
    if (_nReadEnd == UINT64_MAX) return UINT64_MAX;
    uint64_t pos = 0;
    raw->getPosition(pos);
    return pos < _nReadEnd ? _nReadEnd - pos : 0;
}

void VqDataStream::readBytes(VqUChar* buf, VqSize n, VqSize& nRead) {
    VqByteStream* raw = _raw("virtual void VqDataStream::readBytes(VqUChar*, VqSize, VqSize&)");
    const uint64_t remaining = _remainingBeforeEnd(raw);
    nRead = 0;
    if (remaining < n) {
        if (remaining == 0) return;
        n = static_cast<VqSize>(remaining);
    }
    raw->readBytes(buf, n, nRead);
}

void VqDataStream::writeBytes(const VqUChar* buf, VqSize n) {
    _raw("virtual void VqDataStream::writeBytes(const VqUChar*, VqSize)")->writeBytes(buf, n);
}

void VqDataStream::seek(uint64_t offset) {
    _raw("virtual void VqDataStream::seek(VqUInt64)")->seek(offset);
}

void VqDataStream::getPosition(uint64_t& offset) {
    _raw("virtual void VqDataStream::getPosition(VqUInt64&)")->getPosition(offset);
}

void VqDataStream::readPrefetch(VqSize n, VqSize& nHint) {
    VqByteStream* raw = _raw("virtual void VqDataStream::readPrefetch(VqSize, VqSize&)");
    raw->readPrefetch(n, nHint);
    nHint = static_cast<VqSize>(std::min<uint64_t>(nHint, _remainingBeforeEnd(raw)));
}

bool VqDataStream::isOpen() const {
    return _raw("virtual bool VqDataStream::isOpen() const")->isOpen();
}

uint64_t VqDataStream::_readLimit() {
    return _pRaw ? std::min(_pRaw->_readLimit(), _remainingBeforeEnd(_pRaw.get())) : 0;
}
