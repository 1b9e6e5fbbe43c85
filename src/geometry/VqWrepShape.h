#pragma once

#include "VqExport.h"
#include "VqPrimitiveShape.h"

// A wire harness as a shape (format 9.3 and later). Its record is the
// primitive shape's and a local version; the harness itself is the
// implementation's (see VqWrepShapeImpl).
class VQ_API VqWrepShape : public Vq::Record<VqWrepShape, VqPrimitiveShape> {
    VQ_DECLARE_TYPE(VqWrepShape)
public:
    VqWrepShape() = default;
    VqWrepShape(const VqWrepShape& o) = default;

    VqShapeImpl* createImplInstance() const override;
    bool isPostV92Content() const override { return true; }

    // Nothing after the local version.
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);
};
