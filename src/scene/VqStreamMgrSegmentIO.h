#pragma once

#include "VqLateLoadedPropAtom.h"

class VqStreamMgr;

// The segment services of late-loaded atoms over the stream manager of a
// partition: versions and segment aliases come from the manager; loading and
// saving a segment's object are the partition's segment operations.
class VqStreamMgrSegmentIO : public VqLLSegmentIO {
public:
    explicit VqStreamMgrSegmentIO(VqStreamMgr& mgr) : _mgr(mgr) {}

    bool fileVersion(int& major, int& minor) const override;
    bool writeVersion(int& major, int& minor) const override;
    uint32_t segmentAlias(const VqGUID& segGuid) const override;
    bool loadSegmentRoot(int major, const VqGUID& segGuid, int segType, Vq::SharedPtr<VqBase>& out) override;
    bool saveSegment(int major, const VqGUID& segGuid, int segType, const VqBase* obj) override;

private:
    // The one place that reaches the partition's segment loader and saver;
    // until partitions load and save segments it fails with a clear error.
    bool _partitionSegmentOperation(const char* method);

    VqStreamMgr& _mgr;
};
