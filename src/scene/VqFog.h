#pragma once

#include "VqAttributeT.h"
#include "VqExport.h"
#include "VqFixedVec.h"

// Fog modes.
enum VqFogMode : int { VQ_FOG_OFF = 0, VQ_FOG_LINEAR = 1, VQ_FOG_EXP = 2, VQ_FOG_EXP2 = 3 };

// Depth fog: linear between two distances, or exponential by a density.
class VQ_API VqFog : public VqAttributeT<VqFog> {
    VQ_DECLARE_TYPE(VqFog)
public:
    enum Field : unsigned int { Mode = 0, Density = 1, Range = 2, Color = 3, NumFields = 4 };

    VqFog() = default;

    unsigned int _numFields() const override { return NumFields; }
    // Elements of 9.6 and 9.7 keep a final mask that bit 0 cannot express.
    bool _writesV9FinalMask() const override { return true; }
    bool _apply(VqRenderContext& rc, const VqState* state, bool, bool) const override;
    bool accumulateHook(const VqAttribute& in, const VqState* state, const VqPath* path) override;

    VqFogMode mode() const { return _eMode; }
    bool setMode(VqFogMode mode);
    // The density is held as its reciprocal, the form an element stores.
    float density() const { return 1.0f / _fInvDensity; }
    bool setDensity(float density);
    float start() const { return _fStart; }
    float end() const { return _fEnd; }
    bool setRange(float start, float end);
    const VqVec4f& color() const { return _vColor; }
    bool setColor(const VqVec4f& c);

    auto _fields() const { return std::tie(_eMode, _fInvDensity, _fStart, _fEnd, _vColor); }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

private:
    bool _changed();

    VqFogMode _eMode = VQ_FOG_OFF;
    float _fInvDensity = 1.0f;
    float _fStart = 0.0f;
    float _fEnd = 1.0f;
    VqVec4f _vColor{0.0f, 0.0f, 0.0f, 1.0f};
};
