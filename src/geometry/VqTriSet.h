#pragma once

#include "VqBase.h"
#include "VqExport.h"
#include "VqGeomBindings.h"
#include "VqVec.h"

#include <cstdint>

// A set of triangles, each atom three corners that carry their own
// coordinates (3 components) and, as bound, a normal, a colour and texture
// coordinates. VqTriangulator fills it; VqTriIter walks it.
class VQ_API VqTriSet : public VqBase {
    VQ_DECLARE_TYPE(VqTriSet)
public:
    static constexpr int s_nAtomSize = 3;

    VqTriSet() = default;
    // The arrays the corners carry, from the bits of a binding mask: nb the
    // normal bit, tb the texture units' bits, cb the colour bits. Other bits
    // are ignored.
    VqTriSet(uint64_t nb, uint64_t tb, uint64_t cb);

    bool isPersistable() const override { return false; }
    size_t _memSize(bool deep) const override;

    uint32_t numTris() const { return uint32_t(_vfCoords.size() / 9); }
    bool hasNormals() const { return _bNormals; }
    int numColorComps() const { return _nColorComps; }
    int numTexCoordComps(int unit) const { return _anTexComps[unit]; }

    // Appends one corner; every third completes a triangle. Attributes the
    // set does not carry are ignored, and those it carries must be given.
    void addCorner(const float* coord, const float* normal, const float* color,
                   const float* const* texCoords);

    // Corner c (0-2) of triangle t.
    const float* coord(uint32_t t, int c) const { return _vfCoords.data() + (size_t(t) * 3 + c) * 3; }
    const float* normal(uint32_t t, int c) const { return _vfNormals.data() + (size_t(t) * 3 + c) * 3; }
    const float* color(uint32_t t, int c) const {
        return _vfColors.data() + (size_t(t) * 3 + c) * _nColorComps;
    }
    const float* texCoord(int unit, uint32_t t, int c) const {
        return _avfTexCoords[unit].data() + (size_t(t) * 3 + c) * _anTexComps[unit];
    }

private:
    bool _bNormals = false;
    int _nColorComps = 0;
    int _anTexComps[VQ_GEOMBIND_NUM_TEXUNITS] = {};
    VqVecf _vfCoords;
    VqVecf _vfNormals;
    VqVecf _vfColors;
    VqVecf _avfTexCoords[VQ_GEOMBIND_NUM_TEXUNITS];
};
