#pragma once

#include "VqAttributeT.h"
#include "VqExport.h"

// How polygons are drawn: lighting, shading, culling and outlining.
class VQ_API VqDrawStyle : public VqAttributeT<VqDrawStyle> {
    VQ_DECLARE_TYPE(VqDrawStyle)
public:
    // Field numbers.
    enum Field : unsigned int {
        TwoSidedLighting = 0,
        BackFaceCulling = 1,
        OutlinedPolygons = 2,
        Lighting = 3,
        FlatShading = 4,
        SeparateSpecular = 5,
        NumFields = 6
    };

    VqDrawStyle();

    unsigned int _numFields() const override { return NumFields; }
    // Elements of 9.6 and 9.7 keep a final mask that bit 0 cannot express.
    bool _writesV9FinalMask() const override { return true; }
    bool _apply(VqRenderContext& rc, const VqState* state, bool, bool) const override;
    bool accumulateHook(const VqAttribute& in, const VqState* state, const VqPath* path) override;

    bool field(Field f) const { return (_uFieldBits >> f) & 1u; }
    // Culling and outlining change what is drawn (8); the others how (4).
    bool setField(Field f, bool on);
    bool twoSidedLighting() const { return field(TwoSidedLighting); }
    bool backFaceCulling() const { return field(BackFaceCulling); }
    bool outlinedPolygons() const { return field(OutlinedPolygons); }
    bool lighting() const { return field(Lighting); }
    bool flatShading() const { return field(FlatShading); }
    bool separateSpecular() const { return field(SeparateSpecular); }
    bool setTwoSidedLighting(bool on) { return setField(TwoSidedLighting, on); }
    bool setBackFaceCulling(bool on) { return setField(BackFaceCulling, on); }
    bool setOutlinedPolygons(bool on) { return setField(OutlinedPolygons, on); }
    bool setLighting(bool on) { return setField(Lighting, on); }
    bool setFlatShading(bool on) { return setField(FlatShading, on); }
    bool setSeparateSpecular(bool on) { return setField(SeparateSpecular, on); }

    // The data flags of an element: bit 1 is field 0 and bit 0 field 1; the
    // other fields keep their own bit.
    unsigned char dataFlags() const;
    void setDataFlags(unsigned char flags);

    auto _fields() const { return std::tie(_uFieldBits); }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

private:
    // Bit i holds field i.
    uint8_t _uFieldBits;
};
