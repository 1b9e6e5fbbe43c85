#pragma once

#include "VqAttributeT.h"
#include "VqExport.h"
#include "VqMappingSurface.h"

// Generates the texture coordinates of one channel by projecting onto a
// mapping surface.
class VQ_API VqTexCoordGen : public VqAttributeT<VqTexCoordGen> {
    VQ_DECLARE_TYPE(VqTexCoordGen)
public:
    enum Field : unsigned int { Channel = 0, Surface = 1, NumFields = 2 };

    VqTexCoordGen() = default;

    unsigned int _numFields() const override { return NumFields; }
    // Elements of 9.6 and 9.7 keep a final mask that bit 0 cannot express.
    bool _writesV9FinalMask() const override { return true; }
    bool _apply(VqRenderContext& rc, const VqState* state, bool, bool) const override;
    bool accumulateHook(const VqAttribute& in, const VqState* state, const VqPath* path) override;

    int texCoordChannel() const { return _iChannel; }
    bool setTexCoordChannel(int channel);
    const VqMappingSurface* mappingSurface() const { return _pMappingSurface.get(); }
    bool setMappingSurface(VqMappingSurface* surface);

    auto _fields() const { return std::make_tuple(_iChannel, Vq::byValue(_pMappingSurface)); }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

private:
    int _iChannel = 0;
    Vq::SharedPtr<VqMappingSurface> _pMappingSurface;
};
