#pragma once

#include "VqAttributeT.h"
#include "VqExport.h"

// How lines are drawn: pattern type, antialiasing and width.
class VQ_API VqLineStyle : public VqAttributeT<VqLineStyle> {
    VQ_DECLARE_TYPE(VqLineStyle)
public:
    enum Field : unsigned int { LineType = 0, Antialiasing = 1, LineWidth = 2, NumFields = 3 };

    VqLineStyle() = default;

    unsigned int _numFields() const override { return NumFields; }
    // Elements of 9.6 and 9.7 keep a final mask that bit 0 cannot express.
    bool _writesV9FinalMask() const override { return true; }
    bool _apply(VqRenderContext& rc, const VqState* state, bool, bool) const override;
    bool accumulateHook(const VqAttribute& in, const VqState* state, const VqPath* path) override;

    // Type 0 to 15; the type and the width change what is drawn.
    int lineType() const { return _iLineType; }
    bool setLineType(int type);
    bool antialiasing() const { return _bAntialiasing; }
    bool setAntialiasing(bool on);
    float lineWidth() const { return _fLineWidth; }
    bool setLineWidth(float width);

    auto _fields() const { return std::tie(_iLineType, _bAntialiasing, _fLineWidth); }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

private:
    int _iLineType = 0;
    bool _bAntialiasing = false;
    float _fLineWidth = 1.0f;
};
