#include "VqCompressorImpl.h"

#include "VqAdler32.h"
#include "VqStdException.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace {
// zlib counts in 32-bit units; larger spans are fed in pieces.
inline uInt clampToUInt(VqSize n) {
    return static_cast<uInt>(std::min<VqSize>(n, UINT_MAX));
}

// Without compression the stream ends where the caller says the input ends.
bool copyThrough(const VqUChar*& nextIn, VqSize& availIn, VqUChar*& nextOut, VqSize& availOut) {
    if (availIn == 0) return true;
    VqSize n = std::min(availIn, availOut);
    if (n) std::memcpy(nextOut, nextIn, n);
    nextIn += n;
    nextOut += n;
    availIn -= n;
    availOut -= n;
    return false;
}
} // namespace

// ---------------------------------------------------------------------------------------------------------------
// VqCINoCompression

void VqCINoCompression::compress(const VqUChar* in, VqSize inLen, VqUChar* out, VqSize outCap,
                                 VqSize& outLen) {
    if (outCap < inLen) {
        outLen = kTooSmall;
        return;
    }
    if (inLen) std::memcpy(out, in, inLen);
    outLen = inLen;
}

void VqCINoCompression::uncompress(const VqUChar* in, VqSize inLen, VqUChar* out, VqSize outCap,
                                   VqSize& outLen) {
    compress(in, inLen, out, outCap, outLen);
}

bool VqCINoCompression::doUncompress(const VqUChar*& nextIn, VqSize& availIn, VqUChar*& nextOut,
                                     VqSize& availOut) {
    return copyThrough(nextIn, availIn, nextOut, availOut);
}

bool VqCINoCompression::doCompress(const VqUChar*& nextIn, VqSize& availIn, VqUChar*& nextOut,
                                   VqSize& availOut) {
    return copyThrough(nextIn, availIn, nextOut, availOut);
}

// ---------------------------------------------------------------------------------------------------------------
// VqCIZLib

VqCIZLib::VqCIZLib() {
    std::memset(&_tDeflate, 0, sizeof(_tDeflate));
    std::memset(&_tInflate, 0, sizeof(_tInflate));
}

VqCIZLib::~VqCIZLib() {
    if (_bDeflateInit) deflateEnd(&_tDeflate);
    if (_bInflateInit) inflateEnd(&_tInflate);
}

void VqCIZLib::_throwForCode(int code, const char* function) {
    switch (code) {
    case Z_DATA_ERROR:
    case Z_NEED_DICT:
        throw Vq::StdException(function, "Zlib data stream is corrupt", VQ_ERR_CORRUPT);
    case Z_MEM_ERROR:
        throw Vq::StdException(function, "Caught std::bad_alloc", VQ_ERR_ALLOC);
    default:
        throw Vq::StdException(function, "Zlib stream structure is inconsistent", VQ_ERR_ARGUMENT);
    }
}

void VqCIZLib::reset() {
    if (_bDeflateInit) deflateEnd(&_tDeflate);
    if (_bInflateInit) inflateEnd(&_tInflate);
    std::memset(&_tDeflate, 0, sizeof(_tDeflate));
    std::memset(&_tInflate, 0, sizeof(_tInflate));
    _bDeflateInit = _bInflateInit = _bFlushPhase = _bStreamEnd = false;
}

void VqCIZLib::compress(const VqUChar* in, VqSize inLen, VqUChar* out, VqSize outCap, VqSize& outLen) {
    uLongf destLen = outCap;
    int rc = ::compress2(out, &destLen, in, inLen, 1);
    if (rc == Z_BUF_ERROR) {
        outLen = kTooSmall;
        return;
    }
    if (rc != Z_OK) VQ_THROW("Zlib compress failed", VQ_ERR_INTERNAL);
    outLen = destLen;
}

void VqCIZLib::uncompress(const VqUChar* in, VqSize inLen, VqUChar* out, VqSize outCap, VqSize& outLen) {
    uLongf destLen = outCap;
    uLong srcLen = inLen;
    int rc = ::uncompress2(out, &destLen, in, &srcLen);
    // zlib reports a full output buffer as Z_BUF_ERROR and truncated input as Z_DATA_ERROR.
    if (rc == Z_BUF_ERROR) {
        outLen = kTooSmall;
        return;
    }
    if (rc == Z_DATA_ERROR) VQ_THROW("Zlib data stream is corrupt", VQ_ERR_CORRUPT);
    if (rc != Z_OK) VQ_THROW("zlib compress failed.", VQ_ERR_INTERNAL);
    outLen = destLen;
}

void VqCIZLib::beginUncompress() {
    int rc = _bInflateInit ? inflateReset(&_tInflate) : inflateInit(&_tInflate);
    if (rc != Z_OK) _throwForCode(rc, __PRETTY_FUNCTION__);
    _bInflateInit = true;
    // doUncompress checks the trailer, faster than zlib's own loop would.
    rc = inflateValidate(&_tInflate, 0);
    if (rc != Z_OK) _throwForCode(rc, __PRETTY_FUNCTION__);
    _bStreamEnd = false;
    _nAdler = 1;
    _nLastIn = 0;
}

bool VqCIZLib::doUncompress(const VqUChar*& nextIn, VqSize& availIn, VqUChar*& nextOut, VqSize& availOut) {
    if (!_bInflateInit) VQ_THROW("_bInflateInit", VQ_ERR_INTERNAL);
    while (!_bStreamEnd && availOut > 0) {
        uInt inChunk = clampToUInt(availIn);
        uInt outChunk = clampToUInt(availOut);
        _tInflate.next_in = const_cast<Bytef*>(nextIn);
        _tInflate.avail_in = inChunk;
        _tInflate.next_out = nextOut;
        _tInflate.avail_out = outChunk;
        int rc = inflate(&_tInflate, Z_NO_FLUSH);
        VqSize consumed = inChunk - _tInflate.avail_in;
        VqSize produced = outChunk - _tInflate.avail_out;
        _nAdler = Vq::adler32(_nAdler, nextOut, produced);
        for (VqSize i = consumed < 4 ? 0 : consumed - 4; i < consumed; ++i)
            _nLastIn = (_nLastIn << 8) | nextIn[i];
        nextIn += consumed;
        availIn -= consumed;
        nextOut += produced;
        availOut -= produced;
        if (rc == Z_STREAM_END) {
            // inflate reads the four trailer bytes last, exactly, and big-endian.
            if (_nLastIn != _nAdler) _throwForCode(Z_DATA_ERROR, __PRETTY_FUNCTION__);
            _bStreamEnd = true;
        } else if (rc == Z_BUF_ERROR) {
            break; // no progress possible: more input or more room is needed
        } else if (rc != Z_OK) {
            _throwForCode(rc, __PRETTY_FUNCTION__);
        }
        if (availIn == 0 || (consumed == 0 && produced == 0)) break;
    }
    return _bStreamEnd;
}

void VqCIZLib::endUncompress() {
    _bStreamEnd = false;
}

// The deflate state makes the raw stream alone: the two header bytes and
// the trailer are written here, with the trailer's checksum summed by
// Vq::adler32, since zlib's own loop costs a save more than a tenth of the
// deflating itself. The bytes are those a zlib stream at level 1 has.
void VqCIZLib::beginCompress() {
    int rc = _bDeflateInit ? deflateReset(&_tDeflate)
                           : deflateInit2(&_tDeflate, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    if (rc != Z_OK) _throwForCode(rc, __PRETTY_FUNCTION__);
    _bDeflateInit = true;
    _bFlushPhase = false;
    _bStreamEnd = false;
    _bRawEnd = false;
    _nDeflateAdler = 1;
    // CMF: deflate with a 32 KB window; FLG: the fastest level, no
    // dictionary, and the check bits that make CMF * 256 + FLG a multiple of 31.
    _aWrap[0] = 0x78;
    _aWrap[1] = 0x01;
    _nWrapAt = 0;
    _nWrapEnd = 2;
}

// Moves what is left of the header or trailer to the output.
void VqCIZLib::_putWrap(VqUChar*& nextOut, VqSize& availOut) {
    const VqSize n = std::min<VqSize>(_nWrapEnd - _nWrapAt, availOut);
    std::memcpy(nextOut, _aWrap + _nWrapAt, n);
    _nWrapAt += static_cast<int>(n);
    nextOut += n;
    availOut -= n;
}

bool VqCIZLib::doCompress(const VqUChar*& nextIn, VqSize& availIn, VqUChar*& nextOut, VqSize& availOut) {
    if (!_bDeflateInit) VQ_THROW("_bDeflateInit", VQ_ERR_INTERNAL);
    if (availIn > 0 && _bFlushPhase) VQ_THROW("!_bFlushPhase", VQ_ERR_INTERNAL);
    if (availIn == 0) _bFlushPhase = true;
    while (!_bStreamEnd && availOut > 0) {
        if (_nWrapAt < _nWrapEnd) {
            _putWrap(nextOut, availOut);
            if (_nWrapAt == _nWrapEnd && _bRawEnd) _bStreamEnd = true;
            continue;
        }
        uInt inChunk = clampToUInt(availIn);
        uInt outChunk = clampToUInt(availOut);
        _tDeflate.next_in = const_cast<Bytef*>(nextIn);
        _tDeflate.avail_in = inChunk;
        _tDeflate.next_out = nextOut;
        _tDeflate.avail_out = outChunk;
        int rc = deflate(&_tDeflate, _bFlushPhase ? Z_FINISH : Z_NO_FLUSH);
        VqSize consumed = inChunk - _tDeflate.avail_in;
        VqSize produced = outChunk - _tDeflate.avail_out;
        _nDeflateAdler = Vq::adler32(_nDeflateAdler, nextIn, consumed);
        nextIn += consumed;
        availIn -= consumed;
        nextOut += produced;
        availOut -= produced;
        if (rc == Z_STREAM_END) {
            // The trailer: the checksum of the input, big-endian.
            _bRawEnd = true;
            for (int i = 0; i < 4; ++i)
                _aWrap[i] = static_cast<VqUChar>(_nDeflateAdler >> (24 - 8 * i));
            _nWrapAt = 0;
            _nWrapEnd = 4;
            _putWrap(nextOut, availOut);
            if (_nWrapAt == _nWrapEnd) _bStreamEnd = true;
        } else if (rc == Z_BUF_ERROR) {
            break;
        } else if (rc != Z_OK) {
            _throwForCode(rc, __PRETTY_FUNCTION__);
        }
        if ((!_bFlushPhase && availIn == 0) || (consumed == 0 && produced == 0)) break;
    }
    return _bStreamEnd;
}

void VqCIZLib::endCompress() {
    _bFlushPhase = false;
    _bStreamEnd = false;
}

// ---------------------------------------------------------------------------------------------------------------
// VqCILzma

VqCILzma::VqCILzma() : _tStream(LZMA_STREAM_INIT) {}

VqCILzma::~VqCILzma() {
    lzma_end(&_tStream);
}

void VqCILzma::reset() {
    lzma_end(&_tStream);
    _tStream = LZMA_STREAM_INIT;
    _iLastRetcode = LZMA_OK;
    _bStreamEnd = false;
}

bool VqCILzma::_code(lzma_action action, const VqUChar*& nextIn, VqSize& availIn, VqUChar*& nextOut,
                     VqSize& availOut, VqErrorCode failCode) {
    _tStream.next_in = nextIn;
    _tStream.avail_in = availIn;
    _tStream.next_out = nextOut;
    _tStream.avail_out = availOut;
    _iLastRetcode = _bStreamEnd ? LZMA_STREAM_END : lzma_code(&_tStream, action);
    nextIn = _tStream.next_in;
    availIn = _tStream.avail_in;
    nextOut = _tStream.next_out;
    availOut = _tStream.avail_out;
    if (_iLastRetcode == LZMA_BUF_ERROR) return false; // no progress: more input or more room is needed
    if (!(_iLastRetcode == LZMA_OK || _iLastRetcode == LZMA_STREAM_END))
        throw Vq::StdException(__PRETTY_FUNCTION__,
                               "_iLastRetcode == LZMA_OK || _iLastRetcode == LZMA_STREAM_END",
                               _iLastRetcode == LZMA_MEM_ERROR ? VQ_ERR_ALLOC : failCode);
    if (_iLastRetcode == LZMA_STREAM_END) _bStreamEnd = true;
    return _bStreamEnd;
}

void VqCILzma::compress(const VqUChar* in, VqSize inLen, VqUChar* out, VqSize outCap, VqSize& outLen) {
    lzma_ret res = lzma_easy_encoder(&_tStream, 1, LZMA_CHECK_CRC64);
    if (res != LZMA_OK) VQ_THROW("res == LZMA_OK", res == LZMA_MEM_ERROR ? VQ_ERR_ALLOC : VQ_ERR_INTERNAL);
    _tStream.next_in = in;
    _tStream.avail_in = inLen;
    _tStream.next_out = out;
    _tStream.avail_out = outCap;
    res = lzma_code(&_tStream, LZMA_FINISH);
    // A full output buffer may still be drained by the coder's internal buffers.
    for (int i = 0; i < 2 && res == LZMA_OK; ++i)
        res = lzma_code(&_tStream, LZMA_FINISH);
    if (res == LZMA_BUF_ERROR || res == LZMA_OK) {
        outLen = kTooSmall;
        return;
    }
    if (res != LZMA_STREAM_END)
        VQ_THROW("res == LZMA_OK || res == LZMA_STREAM_END",
                 res == LZMA_MEM_ERROR ? VQ_ERR_ALLOC : VQ_ERR_INTERNAL);
    outLen = outCap - _tStream.avail_out;
    lzma_end(&_tStream);
    _tStream = LZMA_STREAM_INIT;
}

void VqCILzma::uncompress(const VqUChar* in, VqSize inLen, VqUChar* out, VqSize outCap, VqSize& outLen) {
    lzma_ret res =
        lzma_stream_decoder(&_tStream, UINT64_MAX, LZMA_CONCATENATED | LZMA_TELL_UNSUPPORTED_CHECK);
    if (res != LZMA_OK) VQ_THROW("res == LZMA_OK", res == LZMA_MEM_ERROR ? VQ_ERR_ALLOC : VQ_ERR_INTERNAL);
    _tStream.next_in = in;
    _tStream.avail_in = inLen;
    _tStream.next_out = out;
    _tStream.avail_out = outCap;
    res = lzma_code(&_tStream, LZMA_FINISH);
    if ((res == LZMA_OK || res == LZMA_BUF_ERROR) && _tStream.avail_out == 0) {
        outLen = kTooSmall;
        return;
    }
    if (res != LZMA_STREAM_END)
        VQ_THROW("res == LZMA_OK || res == LZMA_STREAM_END",
                 res == LZMA_MEM_ERROR ? VQ_ERR_ALLOC : VQ_ERR_CORRUPT);
    outLen = outCap - _tStream.avail_out;
    lzma_end(&_tStream);
    _tStream = LZMA_STREAM_INIT;
}

void VqCILzma::beginUncompress() {
    lzma_ret res =
        lzma_stream_decoder(&_tStream, UINT64_MAX, LZMA_CONCATENATED | LZMA_TELL_UNSUPPORTED_CHECK);
    if (res != LZMA_OK) VQ_THROW("res == LZMA_OK", res == LZMA_MEM_ERROR ? VQ_ERR_ALLOC : VQ_ERR_INTERNAL);
    _iLastRetcode = LZMA_OK;
    _bStreamEnd = false;
}

bool VqCILzma::doUncompress(const VqUChar*& nextIn, VqSize& availIn, VqUChar*& nextOut, VqSize& availOut) {
    // The reader passes an empty input only once the compressed bytes are exhausted,
    // which lets the decoder check the stream's trailer.
    return _code(availIn ? LZMA_RUN : LZMA_FINISH, nextIn, availIn, nextOut, availOut, VQ_ERR_CORRUPT);
}

void VqCILzma::endUncompress() {
    _bStreamEnd = false;
}

void VqCILzma::beginCompress() {
    lzma_ret res = lzma_easy_encoder(&_tStream, 1, LZMA_CHECK_CRC64);
    if (res != LZMA_OK) VQ_THROW("res == LZMA_OK", res == LZMA_MEM_ERROR ? VQ_ERR_ALLOC : VQ_ERR_INTERNAL);
    _iLastRetcode = LZMA_OK;
    _bStreamEnd = false;
}

bool VqCILzma::doCompress(const VqUChar*& nextIn, VqSize& availIn, VqUChar*& nextOut, VqSize& availOut) {
    return _code(availIn ? LZMA_RUN : LZMA_FINISH, nextIn, availIn, nextOut, availOut, VQ_ERR_INTERNAL);
}

void VqCILzma::endCompress() {
    _bStreamEnd = false;
}
