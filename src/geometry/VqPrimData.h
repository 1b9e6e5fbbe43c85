#pragma once

#include "VqExport.h"
#include "VqShapeDataIter.h"

#include <cstdint>

// The data of one primitive to be added to a vertex shape: up to eight
// iterators (coordinates with 3 or 4 components, normals, texture
// coordinates with 1 to 3 components, colours with 3 or 4 components) and
// the primitive type, which the vertex shapes take as the face group the
// primitive joins (the shape's kind already fixes what a primitive is).
// Each group of iterators may be owned by the bundle, which then deletes it.
class VQ_API VqPrimData {
public:
    enum : uint32_t {
        VQ_PD_COLOR3 = 0x1,
        VQ_PD_COLOR4 = 0x2,
        VQ_PD_COORD3 = 0x4,
        VQ_PD_COORD4 = 0x8,
        VQ_PD_NORMAL3 = 0x10,
        VQ_PD_TEXCOORD1 = 0x20,
        VQ_PD_TEXCOORD2 = 0x40,
        VQ_PD_TEXCOORD3 = 0x80
    };

    VqPrimData() = default;
    VqPrimData(const VqPrimData&) = delete;
    VqPrimData& operator=(const VqPrimData&) = delete;
    ~VqPrimData() { clear(0xFF); }

    void setCoords(const VqShapeDataIter<float, 3>* it, bool own);
    void setCoords(const VqShapeDataIter<float, 4>* it, bool own);
    void setNormals(const VqShapeDataIter<float, 3>* it, bool own);
    void setTexCoords(const VqShapeDataIter<float, 1>* it, bool own);
    void setTexCoords(const VqShapeDataIter<float, 2>* it, bool own);
    void setTexCoords(const VqShapeDataIter<float, 3>* it, bool own);
    void setColors(const VqShapeDataIter<float, 3>* it, bool own);
    void setColors(const VqShapeDataIter<float, 4>* it, bool own);
    void setPrimType(int type) { _iPrimType = type; }

    const VqShapeDataIter<float, 3>* coords3() const { return _pCoord3; }
    const VqShapeDataIter<float, 4>* coords4() const { return _pCoord4; }
    const VqShapeDataIter<float, 3>* normals3() const { return _pNormal3; }
    const VqShapeDataIter<float, 1>* texCoords1() const { return _pTex1; }
    const VqShapeDataIter<float, 2>* texCoords2() const { return _pTex2; }
    const VqShapeDataIter<float, 3>* texCoords3() const { return _pTex3; }
    const VqShapeDataIter<float, 3>* colors3() const { return _pColor3; }
    const VqShapeDataIter<float, 4>* colors4() const { return _pColor4; }
    int primType() const { return _iPrimType; }

    // Which iterators are present (the VQ_PD_ bits).
    uint32_t fields() const;
    // Drops the iterators named in mask, deleting those the bundle owns.
    void clear(uint32_t mask);

private:
    template <class It>
    void _set(It*& slot, bool& ownSlot, It* it, bool own, uint32_t bit);

    const VqShapeDataIter<float, 3>* _pCoord3 = nullptr;
    const VqShapeDataIter<float, 4>* _pCoord4 = nullptr;
    const VqShapeDataIter<float, 3>* _pNormal3 = nullptr;
    const VqShapeDataIter<float, 1>* _pTex1 = nullptr;
    const VqShapeDataIter<float, 2>* _pTex2 = nullptr;
    const VqShapeDataIter<float, 3>* _pTex3 = nullptr;
    const VqShapeDataIter<float, 3>* _pColor3 = nullptr;
    const VqShapeDataIter<float, 4>* _pColor4 = nullptr;
    // Ownership by group: coordinates, normals, texture coordinates, colours.
    bool _bOwnCoords = false, _bOwnNormals = false, _bOwnTex = false, _bOwnColors = false;
    int _iPrimType = 0;
};
