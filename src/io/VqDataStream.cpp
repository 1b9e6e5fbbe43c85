#include "VqDataStream.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqStdException.h"

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

void VqDataStream::readBytes(VqUChar* buf, VqSize n, VqSize& nRead) {
    _raw("virtual void VqDataStream::readBytes(VqUChar*, VqSize, VqSize&)")->readBytes(buf, n, nRead);
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
    _raw("virtual void VqDataStream::readPrefetch(VqSize, VqSize&)")->readPrefetch(n, nHint);
}

bool VqDataStream::isOpen() const {
    return _raw("virtual bool VqDataStream::isOpen() const")->isOpen();
}

uint64_t VqDataStream::_readLimit() {
    return _pRaw ? _pRaw->_readLimit() : 0;
}
