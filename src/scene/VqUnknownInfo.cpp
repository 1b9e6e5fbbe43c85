#include "VqUnknownInfo.h"

#include <algorithm>

namespace {
// Payloads are read in slices, so that a corrupt element length cannot make
// the reader allocate more than the stream actually delivers.
constexpr uint64_t kSlice = 1u << 20;
} // namespace

void VqUnknownInfo::setPayload(const std::vector<uint8_t>& bytes, bool whole, int major, int minor) {
    _vPayload = bytes;
    _nDataLength = static_cast<int32_t>(bytes.size());
    _bWhole = whole;
    _nReadMajor = major;
    _nReadMinor = minor;
}

bool VqUnknownInfo::_readRest(VqObjectStream& os) {
    uint64_t start = 0, pos = 0;
    uint32_t length = 0;
    _vPayload.clear();
    if (!os.currentReadElement(start, length))
        VQ_FAIL("VqUnknownInfo", "_readRest", "currentReadElement", VQ_ERR_INTERNAL);
    os.getPosition(pos);
    if (pos > start + length) VQ_FAIL("VqUnknownInfo", "_readRest", "Data block too short", VQ_ERR_CORRUPT);
    uint64_t remaining = start + length - pos;
    while (remaining > 0) {
        const size_t have = _vPayload.size();
        const auto n = static_cast<int>(std::min(remaining, kSlice));
        _vPayload.resize(have + static_cast<size_t>(n));
        VQ_PROPAGATE(os.read(reinterpret_cast<unsigned char*>(_vPayload.data() + have), n));
        remaining -= static_cast<uint64_t>(n);
    }
    _nDataLength = static_cast<int32_t>(_vPayload.size());
    return true;
}

bool VqUnknownInfo::_writeRest(VqObjectStream& os) const {
    if (static_cast<size_t>(_nDataLength) != _vPayload.size())
        VQ_FAIL("VqUnknownInfo", "_writeRest", "_dataLength == _vPayload.size()", VQ_ERR_INTERNAL);
    if (_vPayload.empty()) return true;
    return os.write(reinterpret_cast<const unsigned char*>(_vPayload.data()),
                    static_cast<int>(_vPayload.size()));
}

uint32_t VqUnknownInfo::_payloadHash(uint32_t seed) const {
    uint32_t h = 2166136261u ^ seed;
    for (uint8_t b : _vPayload)
        h = (h ^ b) * 16777619u;
    return h;
}
