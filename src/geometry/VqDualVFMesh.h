#pragma once

#include "VqExport.h"

#include <cstdint>
#include <vector>

// The dual of a polygon mesh, the structure the topology mesh coder walks:
// its vertices are the mesh's polygons and its faces the mesh's vertices.
// Methods speak in mesh terms (polygon, vertex, corner) to keep the coder
// readable; "slot" is a position in a ring.
//
// A polygon has a degree, the ring of its vertices in winding order (CCW
// seen from outside), a face group (-1 allowed) and 16 flag bits (bit 0: a
// cover polygon closing a hole). A vertex has a valence and the ring of its
// polygons, also CCW seen from outside, and per ring slot the attribute
// record of that corner (-1 for none). With both rings CCW, for polygon
// p = ring_v[s] whose slot i holds v, p's edge from v to slot i + 1 is shared
// with ring_v[s - 1] and its edge from slot i - 1 to v with ring_v[s + 1].
//
// Every link is held from both sides: polygon slot i names the vertex and
// the slot of p in that vertex's ring, and the other way round, so walks
// across edges take constant time and rotating a ring fixes its neighbours'
// back references in time linear in its length. Elements are only appended;
// slots start empty (-1) and are filled once by link().
class VQ_API VqDualVFMesh {
public:
    // Bounds that keep ring lengths in 16 bits.
    static constexpr int kMaxDegree = 65535;
    static constexpr uint16_t kCoverFlag = 1;

    void clear();
    // Room for what a decoder knows it will create.
    void reserve(uint32_t nPolys, uint32_t nVerts, uint64_t nCorners);
    void shrink();

    int numPolys() const { return int(_vnPDeg.size()); }
    int numVerts() const { return int(_vnVDeg.size()); }
    uint32_t numAttrs() const { return _nAttrs; }
    uint64_t numPolyCorners() const { return _viPCVtx.size(); }
    uint64_t numVertCorners() const { return _viVCPoly.size(); }

    // A polygon with empty slots; its number.
    int addPoly(int degree, int group, uint16_t flags);
    // A vertex with an empty ring and nAttrs attribute records numbered on
    // from the records of earlier vertices; its number. The ring's records
    // start as -1 (vertAttrs fills them).
    int addVert(int valence, int nAttrs);

    // Joins polygon slot ps and vertex slot vs, both empty.
    void link(int p, int ps, int v, int vs) {
        const uint32_t pc = _vuPStart[p] + uint32_t(ps), vc = _vuVStart[v] + uint32_t(vs);
        _viPCVtx[pc] = v;
        _viPCSlot[pc] = vs;
        _viVCPoly[vc] = p;
        _viVCSlot[vc] = ps;
        --_vnVEmpty[v];
    }

    int polyDegree(int p) const { return _vnPDeg[p]; }
    int polyGroup(int p) const { return _viPGroup[p]; }
    uint16_t polyFlags(int p) const { return _vuPFlags[p]; }
    bool isCover(int p) const { return (_vuPFlags[p] & kCoverFlag) != 0; }
    int polyVtx(int p, int s) const { return _viPCVtx[_vuPStart[p] + uint32_t(s)]; }
    int polyVtxSlot(int p, int s) const { return _viPCSlot[_vuPStart[p] + uint32_t(s)]; }

    int vertValence(int v) const { return _vnVDeg[v]; }
    int vertEmpty(int v) const { return _vnVEmpty[v]; }
    int vertNumAttrs(int v) const { return _vnVAttr[v]; }
    uint32_t vertFirstAttr(int v) const { return _vuVAttrStart[v]; }
    int vertPoly(int v, int s) const { return _viVCPoly[_vuVStart[v] + uint32_t(s)]; }
    int vertPolySlot(int v, int s) const { return _viVCSlot[_vuVStart[v] + uint32_t(s)]; }
    int vertAttr(int v, int s) const { return _viVCAttr[_vuVStart[v] + uint32_t(s)]; }
    int* vertAttrs(int v) { return _viVCAttr.data() + _vuVStart[v]; }
    const int* vertAttrs(int v) const { return _viVCAttr.data() + _vuVStart[v]; }

    // Rotate a ring so that old slot r becomes slot 0, keeping the back
    // references of the other side right (the encoder turns each element to
    // the slot it is reached through before it describes it).
    void rotValRing(int p, int r);
    void rotDegRing(int v, int r);

private:
    std::vector<uint32_t> _vuPStart;
    std::vector<uint16_t> _vnPDeg;
    std::vector<int32_t> _viPGroup;
    std::vector<uint16_t> _vuPFlags;
    std::vector<int32_t> _viPCVtx;
    std::vector<int32_t> _viPCSlot;

    std::vector<uint32_t> _vuVStart;
    std::vector<uint16_t> _vnVDeg;
    std::vector<int32_t> _vnVEmpty;
    std::vector<int32_t> _vnVAttr;
    std::vector<uint32_t> _vuVAttrStart;
    std::vector<int32_t> _viVCPoly;
    std::vector<int32_t> _viVCSlot;
    std::vector<int32_t> _viVCAttr;
    uint32_t _nAttrs = 0;
};
