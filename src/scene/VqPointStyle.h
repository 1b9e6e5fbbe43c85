#pragma once

#include "VqAttributeT.h"
#include "VqExport.h"

// How points are drawn: marker type, antialiasing and size.
class VQ_API VqPointStyle : public VqAttributeT<VqPointStyle> {
    VQ_DECLARE_TYPE(VqPointStyle)
public:
    enum Field : unsigned int { PointType = 0, Antialiasing = 1, PointSize = 2, NumFields = 3 };

    VqPointStyle() = default;

    unsigned int _numFields() const override { return NumFields; }
    // Elements of 9.6 and 9.7 keep a final mask that bit 0 cannot express.
    bool _writesV9FinalMask() const override { return true; }
    bool _apply(VqRenderContext& rc, const VqState* state, bool, bool) const override;
    bool accumulateHook(const VqAttribute& in, const VqState* state, const VqPath* path) override;

    // Type 0 to 15; the type and the size change what is drawn (8).
    int pointType() const { return _iPointType; }
    bool setPointType(int type);
    bool antialiasing() const { return _bAntialiasing; }
    bool setAntialiasing(bool on);
    float pointSize() const { return _fPointSize; }
    bool setPointSize(float width);

    auto _fields() const { return std::tie(_iPointType, _bAntialiasing, _fPointSize); }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

private:
    int _iPointType = 0;
    bool _bAntialiasing = false;
    float _fPointSize = 1.0f;
};
