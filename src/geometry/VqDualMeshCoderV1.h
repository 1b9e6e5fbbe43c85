#pragma once

#include "VqDualMeshCodec.h"
#include "VqDualMeshSymbols.h"

#include <cstdint>
#include <vector>

namespace Vq {

// The encoding side of the walk: describes a closed source dual mesh (from
// VqVFMesh) into symbol streams while building the same destination the
// decoder will build. Each source element is turned, when first reached, so
// that the slot it is reached through becomes slot 0; from then on source
// and destination slots agree.
//
// Seed choice: each component starts at the lowest-numbered source vertex
// with a ring that is not yet reached, through the polygon in its ring slot
// 0 (a facet, never a cover, since open fans start after their border), and
// that polygon is turned so that the seed vertex is its slot 0.
//
// Attribute masks: over the vertex ring from slot 0, a corner's bit is set
// when its record differs from that of the previous corner with a record
// (cyclically, cover corners skipped); a vertex whose corners all share one
// record sets the bit of its first corner with a record. Cover corners never
// set a bit. A record met in two separate runs is emitted twice.
class DualMeshCoderV1 : public DualMeshCodec {
public:
    // src is turned in place. coordOrder gets the source vertex of each
    // destination vertex, attrOrder the source record of each attribute
    // record in emission order.
    bool encode(VqDualVFMesh& src, VqDualVFMesh& dst, DualMeshSymbols& syms, std::vector<int>& coordOrder,
                std::vector<int>& attrOrder);

private:
    // The walk's operations (see DualMeshCodec::run).
    friend class DualMeshCodec;
    int ioVtxInit();
    int ioVtx(int v, int s);
    int ioFace(int p, int s, int ctx);
    int ioSplitFace(int p, int s);
    int ioSplitPos(int p, int s);

    int _createPoly(int P);

    VqDualVFMesh* _pSrc = nullptr;
    DualMeshSymbols* _pSyms = nullptr;
    std::vector<int>* _pCoordOrder = nullptr;
    std::vector<int>* _pAttrOrder = nullptr;
    std::vector<int> _viDstOfVert;
    std::vector<int> _viDstOfPoly;
    std::vector<int> _viSrcOfPoly;
    std::vector<uint64_t> _vuMask;
    int _iSeedCursor = 0;
};

} // namespace Vq
