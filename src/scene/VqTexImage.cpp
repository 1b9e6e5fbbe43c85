#include "VqTexImage.h"

#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(VqTexImage, VqAttribute, CLSID_ZQTexImage)

bool VqTexImage::_apply(VqRenderContext&, const VqState*, bool, bool) const {
    return true;
}

bool VqTexImage::accumulateHook(const VqAttribute& a, const VqState*, const VqPath*) {
    const VqTexImage& in = static_cast<const VqTexImage&>(a);
    if (_mergeField(in, 0)) {
        _eTexType = in._eTexType;
        _iChannel = in._iChannel;
        _iWidth = in._iWidth;
        _iHeight = in._iHeight;
        _iComponents = in._iComponents;
        _iBorderMode = in._iBorderMode;
        _vBorderColor = in._vBorderColor;
        _iBlendType = in._iBlendType;
        for (int i = 0; i < 3; ++i)
            _aiWrap[i] = in._aiWrap[i];
        _aiFilter[0] = in._aiFilter[0];
        _aiFilter[1] = in._aiFilter[1];
        _bDepthCompare = in._bDepthCompare;
        _vPixels = in._vPixels;
    }
    _resetHash();
    return true;
}

bool VqTexImage::_changed() {
    _resetHash();
    VQ_PROPAGATE(sendNotification(this, Vq::BaseChangeRendering));
    return true;
}

bool VqTexImage::setChannel(int channel) {
    VQ_CHECK(channel >= 0 && channel < 32, "VqTexImage", "setChannel", VQ_ERR_ARGUMENT);
    if (channel == _iChannel) return true;
    _iChannel = channel;
    return _changed();
}

bool VqTexImage::setImage(int width, int height, int components, const std::vector<unsigned char>& pixels) {
    VQ_CHECK(width >= 0 && height >= 0 && components >= 0 && components <= 4, "VqTexImage", "setImage",
             VQ_ERR_ARGUMENT);
    VQ_CHECK(pixels.empty() || pixels.size() == size_t(width) * size_t(height) * size_t(components),
             "VqTexImage", "setImage", VQ_ERR_ARGUMENT);
    _iWidth = width;
    _iHeight = height;
    _iComponents = components;
    _vPixels = pixels;
    return _changed();
}

bool VqTexImage::setBorder(int mode, const VqVec4f& color) {
    _iBorderMode = mode;
    _vBorderColor = color;
    return _changed();
}

bool VqTexImage::setBlendType(int type) {
    _iBlendType = type;
    return _changed();
}

bool VqTexImage::setWrapModes(int s, int t, int r) {
    _aiWrap[0] = s;
    _aiWrap[1] = t;
    _aiWrap[2] = r;
    return _changed();
}

bool VqTexImage::setFilterTypes(int minFilter, int magFilter) {
    _aiFilter[0] = minFilter;
    _aiFilter[1] = magFilter;
    return _changed();
}

bool VqTexImage::setDepthCompare(bool on) {
    _bDepthCompare = on;
    return _changed();
}

// Type, channel, width, height, components, border mode and colour, blend
// type, three wrap modes, two filters, depth comparison, then the pixels as a
// counted byte vector.
bool VqTexImage::_writeFields(VqObjectStream& os, const Vq::RecordFormat&) const {
    VQ_PROPAGATE(os.write(static_cast<int>(_eTexType)) && os.write(_iChannel) && os.write(_iWidth) &&
                 os.write(_iHeight) && os.write(_iComponents) && os.write(_iBorderMode) &&
                 os.writeVec4f(_vBorderColor) && os.write(_iBlendType) && os.write(_aiWrap, 3) &&
                 os.write(_aiFilter, 2) && os.write(_bDepthCompare) && os.writeVecuc(_vPixels));
    return true;
}

bool VqTexImage::_readFields(VqObjectStream& os, const Vq::RecordFormat&, int) {
    int type = 0;
    VQ_PROPAGATE(os.read(&type) && os.read(&_iChannel) && os.read(&_iWidth) && os.read(&_iHeight) &&
                 os.read(&_iComponents) && os.read(&_iBorderMode) && os.readVec4f(_vBorderColor) &&
                 os.read(&_iBlendType) && os.read(_aiWrap, 3) && os.read(_aiFilter, 2) &&
                 os.read(&_bDepthCompare) && os.readVecuc(_vPixels));
    if (type < VQ_TEXTYPE_1D || type > VQ_TEXTYPE_SHADOWMAP_2D)
        VQ_FAIL("VqTexImage", "_readFields",
                "eTexType >= VQ_TEXTYPE_1D && eTexType <= VQ_TEXTYPE_SHADOWMAP_2D", VQ_ERR_CORRUPT);
    _eTexType = static_cast<VqTexType>(type);
    _resetHash();
    return true;
}
