#include "VqStreamMgrSegmentIO.h"

#include "VqPartition.h"
#include "VqStreamMgr.h"

bool VqStreamMgrSegmentIO::fileVersion(int& major, int& minor) const {
    return _mgr.getVersion(major, minor);
}

// A manager in write mode reports the version it writes.
bool VqStreamMgrSegmentIO::writeVersion(int& major, int& minor) const {
    return _mgr.getVersion(major, minor);
}

uint32_t VqStreamMgrSegmentIO::segmentAlias(const VqGUID& segGuid) const {
    // As the partition does: 0 is no alias.
    const uint32_t h = _mgr.segmentHash(segGuid);
    return h ? h : 1u;
}

bool VqStreamMgrSegmentIO::loadSegmentRoot(int major, const VqGUID& segGuid, int, Vq::SharedPtr<VqBase>& out) {
    return VqPartition::loadSegmentOf(&_mgr, major, segGuid, out);
}

bool VqStreamMgrSegmentIO::saveSegment(int, const VqGUID& segGuid, int segType, const VqBase* obj) {
    return VqPartition::addObjectSegment(&_mgr, segGuid, segType, obj);
}
