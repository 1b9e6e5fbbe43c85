#pragma once

#include "VqAttributeT.h"
#include "VqExport.h"
#include "VqFixedVec.h"

#include <vector>

enum VqTexType : int {
    VQ_TEXTYPE_1D = 1,
    VQ_TEXTYPE_2D = 2,
    VQ_TEXTYPE_3D = 3,
    VQ_TEXTYPE_CUBE = 4,
    VQ_TEXTYPE_SHADOWMAP_2D = 5
};

// A texture image with its sampling settings. The drawing side uploads and
// binds it; here it is held, stored and compared, so that states carry it.
class VQ_API VqTexImage : public VqAttributeT<VqTexImage> {
    VQ_DECLARE_TYPE(VqTexImage)
public:
    VqTexImage() = default;
    explicit VqTexImage(VqTexType type) : _eTexType(type) {}

    // The image and its settings are taken or left as a whole.
    unsigned int _numFields() const override { return 1; }
    bool _apply(VqRenderContext& rc, const VqState* state, bool, bool) const override;
    bool accumulateHook(const VqAttribute& in, const VqState* state, const VqPath* path) override;

    VqTexType texType() const { return _eTexType; }
    int channel() const { return _iChannel; }
    bool setChannel(int channel);
    int width() const { return _iWidth; }
    int height() const { return _iHeight; }
    int components() const { return _iComponents; }
    const std::vector<unsigned char>& pixels() const { return _vPixels; }
    // Pixels hold width × height × components bytes, or none (the image is
    // produced by the renderer, as a shadow map is).
    bool setImage(int width, int height, int components, const std::vector<unsigned char>& pixels);

    int borderMode() const { return _iBorderMode; }
    const VqVec4f& borderColor() const { return _vBorderColor; }
    bool setBorder(int mode, const VqVec4f& color);
    int blendType() const { return _iBlendType; }
    bool setBlendType(int type);
    int wrapMode(int axis) const { return _aiWrap[axis]; }
    bool setWrapModes(int s, int t, int r);
    int minFilter() const { return _aiFilter[0]; }
    int magFilter() const { return _aiFilter[1]; }
    bool setFilterTypes(int minFilter, int magFilter);
    bool depthCompare() const { return _bDepthCompare; }
    bool setDepthCompare(bool on);

    auto _fields() const {
        return std::tie(_eTexType, _iChannel, _iWidth, _iHeight, _iComponents, _iBorderMode, _vBorderColor,
                        _iBlendType, _aiWrap, _aiFilter, _bDepthCompare, _vPixels);
    }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

private:
    bool _changed();

    VqTexType _eTexType = VQ_TEXTYPE_2D;
    int _iChannel = 0;
    int _iWidth = 0;
    int _iHeight = 0;
    int _iComponents = 0;
    int _iBorderMode = 0;
    VqVec4f _vBorderColor{0.0f, 0.0f, 0.0f, 0.0f};
    int _iBlendType = 0;
    int _aiWrap[3] = {0, 0, 0};
    int _aiFilter[2] = {0, 0};
    bool _bDepthCompare = false;
    std::vector<unsigned char> _vPixels;
};
