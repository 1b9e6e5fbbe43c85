#pragma once

#include "VqAttrUtil.h"
#include "VqAttribute.h"
#include "VqMappingSurface.h"

// Generates the texture coordinates of one channel by projecting onto a
// mapping surface.
class VqTexCoordGen : public VqAttribute {
    VQ_DECLARE_TYPE(VqTexCoordGen)
    VQ_DECLARE_LEVEL_IO
public:
    enum Field : unsigned int { Channel = 0, Surface = 1, NumFields = 2 };

    VqTexCoordGen() = default;

    bool clone(VqAttribute*& out) const override;
    int compareHook(const VqAttribute& o) const override;
    bool isEqualHook(const VqAttribute& o) const override;
    void _updateHashVal() const override;
    unsigned int _numFields() const override { return NumFields; }
    // Elements of 9.6 and 9.7 keep a final mask that bit 0 cannot express.
    bool _writesV9FinalMask() const override { return true; }
    bool _apply(VqRenderContext& rc, const VqState* state, bool, bool) const override;
    bool accumulateHook(const VqAttribute& in, const VqState* state, const VqPath* path) override;

    int texCoordChannel() const { return _iChannel; }
    bool setTexCoordChannel(int channel);
    const VqMappingSurface* mappingSurface() const { return _pMappingSurface.get(); }
    bool setMappingSurface(VqMappingSurface* surface);

private:
    int _iChannel = 0;
    Vq::SharedPtr<VqMappingSurface> _pMappingSurface;
};
