#pragma once

#include "VqBase.h"
#include "VqExport.h"

#include <vector>

// One preview image of a model.
class VQ_API VqThumbnailData {
public:
    enum ThumbnailImageType { RawRGB = 0 };

    // Copies the image bytes; data must be set, sizes positive, type raw RGB.
    bool setImageData(int width, int height, ThumbnailImageType type, const unsigned char* data, int size);

    int width() const { return _cWidth; }
    int height() const { return _cHeight; }
    ThumbnailImageType imageType() const { return _eImageType; }
    const std::vector<unsigned char>& imageData() const { return _vData; }

    bool serialize(VqObjectStream& os) const;
    bool deserialize(VqObjectStream& os);

    bool operator==(const VqThumbnailData& o) const {
        return _cWidth == o._cWidth && _cHeight == o._cHeight && _eImageType == o._eImageType &&
               _vData == o._vData;
    }

private:
    int _cWidth = 0;
    int _cHeight = 0;
    ThumbnailImageType _eImageType = RawRGB;
    std::vector<unsigned char> _vData;
};

// Up to 256 thumbnails, kept in a late-loaded segment of their own. Written
// whole by its own serialize, the same in every format version.
class VQ_API VqThumbnailSet : public VqBase {
    VQ_DECLARE_TYPE(VqThumbnailSet)
public:
    static constexpr int kMaxThumbnails = 256;

    VqThumbnailSet() = default;

    bool addThumbnail(const VqThumbnailData& thumbnail);
    bool removeThumbnail(int index);
    void removeAllThumbnails() { _vThumbnails.clear(); }
    bool getThumbnail(const VqThumbnailData*& out, int index) const;
    int numThumbnails() const { return static_cast<int>(_vThumbnails.size()); }

    bool serialize(VqObjectStream& os) const override;
    bool deserialize(VqObjectStream& os) override;

private:
    std::vector<VqThumbnailData> _vThumbnails;
};
