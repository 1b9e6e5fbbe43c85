#include "VqThumbnailSet.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqObjectStream.h"

VQ_IMPLEMENT_TYPE(VqThumbnailSet, VqBase, CLSID_ZQThumbnailSet)

bool VqThumbnailData::setImageData(int width, int height, ThumbnailImageType type, const unsigned char* data,
                                   int size) {
    if (!data) VQ_FAIL("VqThumbnailData", "setImageData", "pImageData != __null", VQ_ERR_ARGUMENT);
    if (!(width > 0 && height > 0))
        VQ_FAIL("VqThumbnailData", "setImageData", "cWidth > 0 && cHeight > 0", VQ_ERR_ARGUMENT);
    if (type != RawRGB) VQ_FAIL("VqThumbnailData", "setImageData", "eImageType == RawRGB", VQ_ERR_ARGUMENT);
    if (!(size > 0)) VQ_FAIL("VqThumbnailData", "setImageData", "cImageDataSize > 0", VQ_ERR_ARGUMENT);
    _cWidth = width;
    _cHeight = height;
    _eImageType = type;
    _vData.assign(data, data + size);
    return true;
}

bool VqThumbnailData::serialize(VqObjectStream& os) const {
    VQ_PROPAGATE(os.write(static_cast<short>(1)));
    VQ_PROPAGATE(os.write(_cWidth));
    VQ_PROPAGATE(os.write(_cHeight));
    VQ_PROPAGATE(os.write(static_cast<int>(_eImageType)));
    VQ_PROPAGATE(os.write(static_cast<int>(_vData.size())));
    return os.write(_vData.data(), static_cast<int>(_vData.size()));
}

bool VqThumbnailData::deserialize(VqObjectStream& os) {
    short version = 0;
    VQ_PROPAGATE(os.read(&version));
    if (version != 1) VQ_FAIL("VqThumbnailData", "deserialize", "iVersion == 1", VQ_ERR_INTERNAL);
    int type = 0, size = 0;
    VQ_PROPAGATE(os.read(&_cWidth));
    VQ_PROPAGATE(os.read(&_cHeight));
    VQ_PROPAGATE(os.read(&type));
    VQ_PROPAGATE(os.read(&size));
    if (!(size > 0 && _cWidth > 0 && _cHeight > 0))
        VQ_FAIL("VqThumbnailData", "deserialize", "_cImageDataSize > 0 && _cWidth > 0 && _cHeight > 0",
                VQ_ERR_INTERNAL);
    if (type != RawRGB) VQ_FAIL("VqThumbnailData", "deserialize", "_eImageType == RawRGB", VQ_ERR_INTERNAL);
    _eImageType = RawRGB;
    if (static_cast<uint64_t>(size) > os._readLimit())
        VQ_FAIL("VqThumbnailData", "deserialize", "Short read", VQ_ERR_SHORT_READ);
    _vData.resize(static_cast<size_t>(size));
    return os.read(_vData.data(), size);
}

bool VqThumbnailSet::addThumbnail(const VqThumbnailData& thumbnail) {
    if (numThumbnails() >= kMaxThumbnails)
        VQ_FAIL("VqThumbnailSet", "addThumbnail", "nThumbnails < 256", VQ_ERR_ARGUMENT);
    _vThumbnails.push_back(thumbnail);
    return true;
}

bool VqThumbnailSet::removeThumbnail(int index) {
    if (!(index >= 0 && index < numThumbnails()))
        VQ_FAIL("VqThumbnailSet", "removeThumbnail", "index >= 0 && index < nThumbnails", VQ_ERR_ARGUMENT);
    _vThumbnails.erase(_vThumbnails.begin() + index);
    return true;
}

bool VqThumbnailSet::getThumbnail(const VqThumbnailData*& out, int index) const {
    out = nullptr;
    if (!(index >= 0 && index < numThumbnails()))
        VQ_FAIL("VqThumbnailSet", "getThumbnail", "index >= 0 && index < nThumbnails", VQ_ERR_ARGUMENT);
    out = &_vThumbnails[static_cast<size_t>(index)];
    return true;
}

bool VqThumbnailSet::serialize(VqObjectStream& os) const {
    VQ_PROPAGATE(os.write(static_cast<short>(1)));
    VQ_PROPAGATE(os.write(numThumbnails()));
    for (const VqThumbnailData& t : _vThumbnails)
        VQ_PROPAGATE(t.serialize(os));
    return true;
}

bool VqThumbnailSet::deserialize(VqObjectStream& os) {
    short version = 0;
    VQ_PROPAGATE(os.read(&version));
    if (version < 1) VQ_FAIL("VqThumbnailSet", "deserialize", "Unable to read", VQ_ERR_TOO_OLD);
    if (version > 1) VQ_FAIL("VqThumbnailSet", "deserialize", "Unable to read", VQ_ERR_TOO_NEW);
    int n = 0;
    VQ_PROPAGATE(os.read(&n));
    if (!(n >= 0 && n <= kMaxThumbnails))
        VQ_FAIL("VqThumbnailSet", "deserialize", "nThumbnails >= 0 && nThumbnails <= 256", VQ_ERR_INTERNAL);
    std::vector<VqThumbnailData> read(static_cast<size_t>(n));
    for (VqThumbnailData& t : read)
        VQ_PROPAGATE(t.deserialize(os));
    _vThumbnails = std::move(read);
    return true;
}
