#include "VqSegment.h"

#include "VqErrorState.h"
#include "VqStreamMgr.h"

VqSegment::VqSegment(int segType, const VqGUID& guid)
    : _nRank(VqStreamMgr::segmentRank(segType)), _nSegType(segType), _tGuid(guid) {}

VqSegment::VqSegment(int segType, const VqGUID& guid, VqStreamMgr* source)
    : _nRank(VqStreamMgr::segmentRank(segType)), _nSegType(segType), _tGuid(guid), _pCopySource(source) {}

VqSegment::~VqSegment() = default;

bool VqSegment::addSection(VqSegmentSection* section) {
    VQ_CHECK(section != nullptr, "VqSegment", "addSection", VQ_ERR_ARGUMENT);
    _vpSections.emplace_back(section);
    return true;
}

bool VqSegment::serialize(VqObjectStream& os) {
    for (const auto& s : _vpSections)
        VQ_PROPAGATE(s->write(os));
    return true;
}

void VqSegment::invalidatePersistedState() {
    for (const auto& s : _vpSections)
        s->invalidatePersistedState();
}
