#pragma once

#include "VqLateLoadedPropAtom.h"

class VqStreamMgr;

// The segment services of late-loaded atoms over a stream manager: versions
// and segment aliases come from the manager; segments are loaded from its
// file and saved as pending segments of it, as the partition does for the
// manager it owns.
class VqStreamMgrSegmentIO : public VqLLSegmentIO {
public:
    explicit VqStreamMgrSegmentIO(VqStreamMgr& mgr) : _mgr(mgr) {}

    bool fileVersion(int& major, int& minor) const override;
    bool writeVersion(int& major, int& minor) const override;
    uint32_t segmentAlias(const VqGUID& segGuid) const override;
    bool loadSegmentRoot(int major, const VqGUID& segGuid, int segType, Vq::SharedPtr<VqBase>& out) override;
    bool saveSegment(int major, const VqGUID& segGuid, int segType, const VqBase* obj) override;

private:
    VqStreamMgr& _mgr;
};
