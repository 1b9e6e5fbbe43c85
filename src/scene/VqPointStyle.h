#pragma once

#include "VqAttrUtil.h"
#include "VqAttribute.h"

// How points are drawn: marker type, antialiasing and size.
class VqPointStyle : public VqAttribute {
    VQ_DECLARE_TYPE(VqPointStyle)
    VQ_DECLARE_LEVEL_IO
public:
    enum Field : unsigned int { PointType = 0, Antialiasing = 1, PointSize = 2, NumFields = 3 };

    VqPointStyle() = default;

    bool clone(VqAttribute*& out) const override;
    int compareHook(const VqAttribute& o) const override;
    bool isEqualHook(const VqAttribute& o) const override;
    void _updateHashVal() const override;
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

private:
    int _iPointType = 0;
    bool _bAntialiasing = false;
    float _fPointSize = 1.0f;
};
