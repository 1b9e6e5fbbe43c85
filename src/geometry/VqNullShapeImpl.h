#pragma once

#include "VqExport.h"
#include "VqShapeImpl.h"

// The implementation of a VqNullShape: an extent and nothing in it.
class VQ_API VqNullShapeImpl : public Vq::Record<VqNullShapeImpl, VqShapeImpl> {
    VQ_DECLARE_TYPE(VqNullShapeImpl)
public:
    VqNullShapeImpl() = default;
    explicit VqNullShapeImpl(const VqBox3<float>& extent) : _extent(extent) {}
    VqNullShapeImpl(const VqNullShapeImpl& o) = default;

    const VqBox3<float>& extent() const { return _extent; }
    void setExtent(const VqBox3<float>& extent);

    bool computeBBox(VqBox3<float>& box) const override;
    int computeSize() const override { return static_cast<int>(sizeof(*this)); }

    // The extent's min and max (2 x 3 f32), after a local version in every
    // format: i16 before 10 (the formats before 9 included), u8 in 10.
    bool _localVersionIn(const Vq::RecordFormat&) const { return true; }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

private:
    VqBox3<float> _extent;
};
