#pragma once

#include "VqExport.h"
#include "VqOpaqueRecord.h"
#include "VqShapeImpl.h"

// The implementation of a volume shape: an octree built from another
// shape, whose record this library keeps as stored (see VqVolumeShape.cpp).
class VQ_API VqVolumeShapeImpl : public Vq::Record<VqVolumeShapeImpl, VqShapeImpl> {
    VQ_DECLARE_TYPE(VqVolumeShapeImpl)
public:
    VqVolumeShapeImpl() = default;
    VqVolumeShapeImpl(const VqVolumeShapeImpl& o) = default;

    const Vq::OpaqueRecord& octreeRecord() const { return _octree; }

    int computeSize() const override;
    bool isPostV82Content() const override { return true; }

    // A local version 1 and the octree's record (formats 9 and 10).
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

private:
    Vq::OpaqueRecord _octree;
};
