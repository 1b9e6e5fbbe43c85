#include "VqBlockDecoder.h"

#include "VqCompressor.h"
#include "VqDataStream.h"
#include "VqPlatform.h"
#include "VqStdException.h"

#include <algorithm>

uint64_t VqBlockDecoder::maxDecodedSize(uint64_t storedBytes) {
    const uint64_t byRatio =
        storedBytes > UINT64_MAX / kMaxExpansion ? UINT64_MAX : storedBytes * kMaxExpansion;
    uint64_t limit = std::max(byRatio, kMinDecodedLimit);
    // A run that decodes to more than the whole budget could never be held.
    if (g_pInstanceVqPlatform) {
        const uint64_t budget = g_pInstanceVqPlatform->memoryBudget();
        if (budget) limit = std::min(limit, budget);
    }
    return limit;
}

VqBlockDecoder::VqBlockDecoder() = default;

VqBlockDecoder::~VqBlockDecoder() {
    end();
}

void VqBlockDecoder::begin(VqCompressor* compressor, uint64_t compressedBytes) {
    end();
    _vInBuf.resize(kInBufferSize);
    _pInNext = _vInBuf.data();
    _nInAvail = 0;
    _nCompressedLeft = compressedBytes;
    _nDecoded = 0;
    _nLimit = maxDecodedSize(compressedBytes);
    _bStreamEnd = false;
    compressor->beginUncompress();
    _pCompressor = compressor;
}

void VqBlockDecoder::end() {
    if (_pCompressor) _pCompressor->endUncompress();
    _pCompressor = nullptr;
    _vInBuf.clear();
    _vInBuf.shrink_to_fit();
    _pInNext = nullptr;
    _nInAvail = 0;
}

VqSize VqBlockDecoder::decode(VqDataStream& raw, VqUChar* out, VqSize cap) {
    if (!_pCompressor) return 0;
    // One byte past the bound is enough to tell that the data goes past it.
    const uint64_t allowed = _nLimit - std::min(_nDecoded, _nLimit) + 1;
    VqUChar* nextOut = out;
    VqSize availOut = static_cast<VqSize>(std::min<uint64_t>(cap, allowed));
    const VqSize asked = availOut;
    while (availOut > 0 && !_bStreamEnd) {
        if (_nInAvail == 0 && _nCompressedLeft > 0) {
            _pInNext = _vInBuf.data();
            while (_nInAvail < _vInBuf.size() && _nCompressedLeft > 0) {
                const VqSize want = static_cast<VqSize>(std::min<uint64_t>(kInChunk, _nCompressedLeft));
                VqSize got = 0;
                raw.readBytes(_vInBuf.data() + _nInAvail, want, got);
                if (got != want) VQ_THROW("cNRead == cNBytesToRead", VQ_ERR_SHORT_READ);
                _nCompressedLeft -= got;
                _nInAvail += got;
            }
        }
        const VqSize outBefore = availOut;
        const VqSize inBefore = _nInAvail;
        _bStreamEnd = _pCompressor->doUncompress(_pInNext, _nInAvail, nextOut, availOut);
        if (availOut == outBefore && _nInAvail == inBefore) break; // nothing more will come
    }
    const VqSize produced = asked - availOut;
    _nDecoded += produced;
    if (_nDecoded > _nLimit) VQ_THROW("Compressed data decodes to more than its size allows", VQ_ERR_READ);
    return produced;
}
