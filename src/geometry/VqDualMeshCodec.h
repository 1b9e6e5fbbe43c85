#pragma once

#include "VqDualVFMesh.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Vq {

// The region-growing walk over a dual mesh that the topology mesh coder's
// encoder and decoder share: the two differ only in the five operations,
// which either describe the source mesh into symbol streams or read the
// streams back, and both build the same destination mesh element by element
// in the same order. Anything the decoder does not get from a symbol must
// therefore follow from the destination alone (contexts, the active stack,
// the adjacency walks).
//
// The walk. A component starts from one polygon whose slots are all
// activated. Then, while the active stack holds a vertex with empty ring
// slots, the best one is completed: for each empty slot in increasing order
// a new polygon is created there (linked to the vertex in its own slot 0)
// and completed. Completing a polygon first fills the slots that follow from
// known adjacency, walking forward from slot 1 and backward from the last
// slot across the shared edges of its neighbours around already known
// vertices, then activates the slots still empty in increasing order: a new
// vertex (pushed on the stack, linked through its own slot 0) or a split to
// an active vertex named by its offset on the stack and the slot.
//
// Bounds: every loop either consumes a symbol or fills a slot of an element
// already created, and elements are only created from symbols, so the walk
// ends on any input; no recursion is used.
class DualMeshCodec {
public:
    static constexpr int kWindow = 16;

    virtual ~DualMeshCodec() = default;

    // Clears dst and walks until the operations report no further component.
    bool run(VqDualVFMesh& dst);

    // The attribute record of each ring slot from an attribute mask (bit i
    // set: slot i starts a run; slots before the first set bit belong to the
    // last run), the runs numbered from firstAttr; the number of runs. With
    // no set bit every slot gets -1.
    static int assignRuns(const uint64_t* mask, int valence, int firstAttr, int* attrs);

protected:
    // A new component's first polygon, -1 when there is none, below -1 on
    // failure (recorded).
    virtual int ioVtxInit() = 0;
    // The polygon to create in ring slot s of vertex v; < 0 on failure.
    virtual int ioVtx(int v, int s) = 0;
    // The vertex in slot s of polygon p: a new one (>= 0), -1 for a split,
    // below -1 on failure.
    virtual int ioFace(int p, int s) = 0;
    // For a split: the active vertex, then the slot of its ring holding p;
    // < 0 on failure.
    virtual int ioSplitFace(int p, int s) = 0;
    virtual int ioSplitPos(int p, int s) = 0;

    // The valence context of a vertex reached through p (before the vertex
    // is created). In line and in straight code: it is asked once per
    // vertex, and nearly every polygon here is a triangle.
    int _faceCntxt(int p) const {
        const VqDualVFMesh& m = *_pDst;
        const int d = m.polyDegree(p);
        if (d > 4) return d == 5 ? 6 : 7;
        const VqDualVFMesh::Corner* const r = m.polyRing(p);
        int n = 0, sum = 0;
        const auto known = [&](int s) {
            const int v = r[s].iElem;
            if (v >= 0) {
                ++n;
                sum += m.vertValence(v);
            }
        };
        known(0);
        known(1);
        known(2);
        if (d == 4) known(3);
        // Below, at or above the regular valence times n: 0, 1 or 2 on top
        // of the degree's first context, without a branch on the comparison.
        const int ref = (d == 3 ? 6 : 4) * n;
        return (d == 3 ? 0 : 3) + int(sum >= ref) + int(sum > ref);
    }
    // The active stack, bottom first.
    int _stackLength() const { return int(_viStack.size()); }
    int _stackEntry(int i) const { return _viStack[size_t(i)]; }
    // The offset (top = 1) of v on the stack, -1 when absent.
    int _stackOffsetOf(int v) const;

    VqDualVFMesh* _pDst = nullptr;

private:
    bool _activateF(int p, int s);
    // The rest of an activation that ioFace did not answer with a new
    // vertex: a split, or a failure (iFace < -1).
    bool _split(int p, int s, int iFace);
    bool _completeF(int v);
    bool _completeV(int p);
    int _nextActiveFace();

    std::vector<int> _viStack;
    // The stack entry of the vertex being completed, -1 for none.
    ptrdiff_t _iChosen = -1;
};

} // namespace Vq
