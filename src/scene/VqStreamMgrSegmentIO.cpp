#include "VqStreamMgrSegmentIO.h"

#include "VqErrorState.h"
#include "VqStreamMgr.h"

bool VqStreamMgrSegmentIO::fileVersion(int& major, int& minor) const {
    return _mgr.getVersion(major, minor);
}

// A manager in write mode reports the version its partition writes.
bool VqStreamMgrSegmentIO::writeVersion(int& major, int& minor) const {
    return _mgr.getVersion(major, minor);
}

uint32_t VqStreamMgrSegmentIO::segmentAlias(const VqGUID& segGuid) const {
    return _mgr.segmentHash(segGuid);
}

bool VqStreamMgrSegmentIO::loadSegmentRoot(int, const VqGUID&, int, Vq::SharedPtr<VqBase>& out) {
    out = nullptr;
    return _partitionSegmentOperation("loadSegmentRoot");
}

bool VqStreamMgrSegmentIO::saveSegment(int, const VqGUID&, int, const VqBase*) {
    return _partitionSegmentOperation("saveSegment");
}

bool VqStreamMgrSegmentIO::_partitionSegmentOperation(const char* method) {
    VqErrorState::throwStdError("VqStreamMgrSegmentIO", method,
                                "Partition segment operations are not available", VQ_ERR_INTERNAL);
    return false;
}
