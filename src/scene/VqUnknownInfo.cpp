#include "VqUnknownInfo.h"

#include "VqUnknownAttribute.h"
#include "VqUnknownBase.h"
#include "VqUnknownBasePtrPropAtom.h"
#include "VqUnknownDataPropAtom.h"
#include "VqUnknownGroup.h"
#include "VqUnknownLLPropAtom.h"
#include "VqUnknownNode.h"
#include "VqUnknownPropAtom.h"

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
    // Slices are kept apart until the stream has delivered all of them: a
    // growing vector would hold its old and new blocks at once on every
    // growth, so an element claiming more than its segment decodes to (a
    // bomb, refused when the segment's decoding bound is reached) would cost
    // up to twice that bound before failing. A payload read in full costs
    // twice its size once, while its slices are joined.
    std::vector<std::vector<uint8_t>> slices;
    size_t total = 0;
    while (remaining > 0) {
        const auto n = static_cast<int>(std::min(remaining, kSlice));
        slices.emplace_back(static_cast<size_t>(n));
        VQ_PROPAGATE(os.read(slices.back().data(), n));
        total += static_cast<size_t>(n);
        remaining -= static_cast<uint64_t>(n);
    }
    if (slices.size() == 1) {
        _vPayload = std::move(slices.front());
    } else {
        _vPayload.reserve(total);
        for (const auto& slice : slices)
            _vPayload.insert(_vPayload.end(), slice.begin(), slice.end());
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

namespace {
template <class T>
VqBase* makeWithKind(int64_t dataLength, const VqGUID& guid, int baseType) {
    return new T(dataLength, guid, baseType);
}
template <class T>
VqBase* make(int64_t dataLength, const VqGUID& guid, int) {
    return new T(dataLength, guid);
}
} // namespace

bool VqUnknownInfo::registerPlaceholders() {
    struct Maker {
        int baseType;
        VqElementIO::PlaceholderMaker make;
        const char* failure;
    };
    // Shapes of unknown types keep their place in the graph as nodes whose
    // data is kept whole; shape implementations of unknown types are not part
    // of the graph and are kept whole as base objects.
    static const Maker kMakers[] = {
        {VQ_BASETYPE_NODE, &makeWithKind<VqUnknownNode>,
         "Allocation failed: pBase = new VqUnknownNode(dataLength, classGuid)"},
        {VQ_BASETYPE_SHAPE, &makeWithKind<VqUnknownNode>,
         "Allocation failed: pBase = new VqUnknownNode(dataLength, classGuid)"},
        {VQ_BASETYPE_GROUP, &make<VqUnknownGroup>,
         "Allocation failed: pBase = new VqUnknownGroup(dataLength, classGuid)"},
        {VQ_BASETYPE_ATTRIBUTE, &make<VqUnknownAttribute>,
         "Allocation failed: pBase = new VqUnknownAttribute(dataLength, classGuid)"},
        {VQ_BASETYPE_PROPATOM, &make<VqUnknownPropAtom>,
         "Allocation failed: pBase = new VqUnknownPropAtom(dataLength, classGuid)"},
        {VQ_BASETYPE_BASEPTRPROPATOM, &make<VqUnknownBasePtrPropAtom>,
         "Allocation failed: pBase = new VqUnknownBasePtrPropAtom(dataLength, classGuid)"},
        {VQ_BASETYPE_DATAPROPATOM, &make<VqUnknownDataPropAtom>,
         "Allocation failed: pBase = new VqUnknownDataPropAtom(dataLength, classGuid)"},
        {VQ_BASETYPE_LATELOADEDPROPATOM, &make<VqUnknownLLPropAtom>,
         "Allocation failed: pBase = new VqUnknownLLPropAtom(dataLength, classGuid)"},
        {VQ_BASETYPE_SHAPEIMPL, &makeWithKind<VqUnknownBase>,
         "Allocation failed: pBase = new VqUnknownBase(dataLength, classGuid)"},
        {VQ_BASETYPE_BASE, &makeWithKind<VqUnknownBase>,
         "Allocation failed: pBase = new VqUnknownBase(dataLength, classGuid)"},
    };
    for (const Maker& m : kMakers)
        VQ_PROPAGATE(VqElementIO::setPlaceholderMaker(m.baseType, m.make, m.failure));
    return true;
}
