#include "VqBlockDataStream.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqStdException.h"

#include <algorithm>
#include <cstring>

VQ_IMPLEMENT_TYPE_NOCLONE(VqBlockDataStream, VqDataStream, CLSID_ZQBlockDataStream)

namespace {
constexpr VqSize kBlock = VQ_STREAM_BLOCK_SIZE;
}

VqBlockDataStream::VqBlockDataStream(VqByteStream* raw, uint64_t base) : VqDataStream(raw), _nBase(base) {}

VqBlockDataStream::~VqBlockDataStream() {
    try {
        _storeBlock();
    } catch (...) {
        // A destructor has nobody to report a failed final write to.
    }
}

void VqBlockDataStream::_storeBlock() {
    if (!_bDirty) return;
    VqByteStream* raw = _raw("void VqBlockDataStream::_storeBlock()");
    raw->seek(_nBase + _nBlock * kBlock);
    raw->writeBytes(_aBlock, kBlock);
    _bDirty = false;
}

void VqBlockDataStream::_enterBlock(uint64_t k) {
    if (k == _nBlock) return;
    _storeBlock();
    VqByteStream* raw = _raw("void VqBlockDataStream::_enterBlock(VqUInt64)");
    _nBlock = UINT64_MAX;
    _nBlockValid = 0;
    std::memset(_aBlock, 0, kBlock);
    uint64_t target = _nBase + k * kBlock;
    uint64_t pos = 0;
    raw->getPosition(pos);
    uint64_t limit = raw->_readLimit();
    VqSize got = 0;
    // A block at or beyond the end of the byte stream starts out empty.
    if (limit == UINT64_MAX || target < pos + limit) {
        raw->seek(target);
        while (got < kBlock) {
            VqSize r = 0;
            raw->readBytes(_aBlock + got, kBlock - got, r);
            if (r == 0) break;
            got += r;
        }
        if (got != 0 && got != kBlock) VQ_THROW("Corrupted scrambled VQ file", VQ_ERR_READ);
    }
    _nBlock = k;
    _nBlockValid = got;
}

void VqBlockDataStream::readBytes(VqUChar* buf, VqSize n, VqSize& nRead) {
    nRead = 0;
    while (nRead < n) {
        _enterBlock(_nPos / kBlock);
        VqSize in = static_cast<VqSize>(_nPos % kBlock);
        if (in >= _nBlockValid) break;
        VqSize len = std::min(n - nRead, _nBlockValid - in);
        std::memcpy(buf + nRead, _aBlock + in, len);
        nRead += len;
        _nPos += len;
    }
}

void VqBlockDataStream::writeBytes(const VqUChar* buf, VqSize n) {
    VqSize done = 0;
    while (done < n) {
        _enterBlock(_nPos / kBlock);
        VqSize in = static_cast<VqSize>(_nPos % kBlock);
        VqSize len = std::min(n - done, kBlock - in);
        std::memcpy(_aBlock + in, buf + done, len);
        _bDirty = true;
        _nBlockValid = kBlock;
        done += len;
        _nPos += len;
    }
}

void VqBlockDataStream::seek(uint64_t offset) {
    _nPos = offset;
}

uint64_t VqBlockDataStream::_readLimit() {
    return UINT64_MAX;
}

bool VqBlockDataStream::_flush() {
    try {
        _storeBlock();
    } catch (...) {
        return VqErrorState::recordCurrentException("VqBlockDataStream", "_flush");
    }
    return true;
}

void VqBlockDataStream::close() {
    VqDataStream::close();
    _nBlock = UINT64_MAX;
    _nBlockValid = 0;
}
