#pragma once

#include "VqExport.h"
#include "VqInterleavedPrimDataIter.h"
#include "VqInterleavedRepHelper.h"
#include "VqPrimData.h"
#include "VqShapeDataIter.h"

#include <cstdint>
#include <vector>

// The primitives of interleaved vertex data -- what the primitive builders
// append (VqInterleavedRepHelper::appendPrimBox and the others) -- as the
// bundles VqVertexShape::addPrims takes, so that a box, cylinder, sphere,
// pyramid or prism can be added to a vertex shape in code. The builders
// append triangle strips: a shape of strips takes each strip whole; a
// polygon set takes each strip's triangles as polygons of their own, each
// winding as its place in the strip says (odd ones turned), so that the
// faces keep facing out. Each bundle carries coordinates and whatever
// normals, colours (3 components) and texture coordinates (2) the layout
// holds, and the face group given.
class VQ_API VqInterleavedPrimSeq : public VqShapeDataIter<VqPrimData, 1> {
public:
    enum class Form { Strips, Triangles };

    // The arrays are not copied: they must outlive the sequence and stay as
    // they are. A list that does not fit the floats yields no primitives
    // (see fits()).
    VqInterleavedPrimSeq(const VqVecu& primList, const VqVecf& floats,
                         const VqInterleavedRepHelper::Offsets& o, Form form, int faceGroup = 0);

    bool fits() const { return _bFits; }
    uint32_t count() const override { return uint32_t(_vItems.size()); }
    // The bundle of item i, which holds until the next call.
    const VqPrimData* at(uint32_t i) const override;

private:
    struct Item {
        uint32_t prim;  // the strip
        uint32_t first; // its first vertex of the item
        uint32_t n;     // vertices
        bool turned;    // an odd triangle of a strip: its first two corners swapped
    };
    mutable VqInterleavedPrimDataIter _it;
    std::vector<Item> _vItems;
    bool _bFits;
    int _iFaceGroup;
    mutable VqPrimData _pd;
};
