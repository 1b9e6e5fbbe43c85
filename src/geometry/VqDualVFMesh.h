#pragma once

#include "VqExport.h"

#include <cstddef>
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

    int numPolys() const { return int(_vPolys.size()); }
    int numVerts() const { return int(_vVerts.size()); }
    uint32_t numAttrs() const { return _nAttrs; }
    uint64_t numPolyCorners() const { return _nPC; }
    uint64_t numVertCorners() const { return _nVC; }

    // A polygon with empty slots; its number.
    int addPoly(int degree, int group, uint16_t flags) {
        const uint32_t start = _nPC;
        if (_vPC.size() - start < uint32_t(degree)) _growCorners(_vPC, nullptr, start + uint32_t(degree));
        _nPC = start + uint32_t(degree);
        _vPolys.push_back({start, uint16_t(degree), flags, group});
        return int(_vPolys.size()) - 1;
    }
    // A vertex with an empty ring and nAttrs attribute records numbered on
    // from the records of earlier vertices; its number. The ring's records
    // are left to the caller, who writes every one through vertAttrs before
    // anything reads them: each adder knows them at once, and clearing them
    // ahead would be a fifth of what clear() writes.
    int addVert(int valence, int nAttrs) {
        const uint32_t start = _nVC;
        if (_vVC.size() - start < uint32_t(valence))
            _growCorners(_vVC, &_viVCAttr, start + uint32_t(valence));
        _nVC = start + uint32_t(valence);
        _vVerts.push_back({start, _nAttrs, uint16_t(valence), uint16_t(nAttrs)});
        _vnVEmpty.push_back(valence);
        _nAttrs += uint32_t(nAttrs);
        return int(_vVerts.size()) - 1;
    }

    // The other side of a ring slot: the element there and its slot in the
    // element's own ring (-1 and -1 while empty).
    struct Corner {
        int32_t iElem;
        int32_t iSlot;
    };
    // A ring in place, for walks that visit several of its slots. Valid
    // until the next element of the same kind is added.
    Corner* polyRing(int p) { return _vPC.data() + _vPolys[size_t(p)].uStart; }
    const Corner* polyRing(int p) const { return _vPC.data() + _vPolys[size_t(p)].uStart; }
    Corner* vertRing(int v) { return _vVC.data() + _vVerts[size_t(v)].uStart; }
    const Corner* vertRing(int v) const { return _vVC.data() + _vVerts[size_t(v)].uStart; }

    // Joins polygon slot ps and vertex slot vs, both empty.
    void link(int p, int ps, int v, int vs) { link(polyRing(p), p, ps, vertRing(v), v, vs); }
    // The same with both rings at hand.
    void link(Corner* pRing, int p, int ps, Corner* vRing, int v, int vs) {
        pRing[ps] = {v, vs};
        vRing[vs] = {p, ps};
        --_vnVEmpty[size_t(v)];
    }

    int polyDegree(int p) const { return _vPolys[size_t(p)].nDeg; }
    int polyGroup(int p) const { return _vPolys[size_t(p)].iGroup; }
    uint16_t polyFlags(int p) const { return _vPolys[size_t(p)].uFlags; }
    bool isCover(int p) const { return (_vPolys[size_t(p)].uFlags & kCoverFlag) != 0; }
    int polyVtx(int p, int s) const { return polyRing(p)[s].iElem; }
    int polyVtxSlot(int p, int s) const { return polyRing(p)[s].iSlot; }
    // The attribute record of polygon p's corner in slot s (filled).
    int polyAttr(int p, int s) const {
        const Corner& c = _vPC[_vPolys[size_t(p)].uStart + uint32_t(s)];
        return _viVCAttr[_vVerts[size_t(c.iElem)].uStart + uint32_t(c.iSlot)];
    }

    int vertValence(int v) const { return _vVerts[size_t(v)].nDeg; }
    int vertEmpty(int v) const { return _vnVEmpty[size_t(v)]; }
    // The empty slot counts of all vertices, by vertex number.
    const int32_t* vertEmptyCounts() const { return _vnVEmpty.data(); }
    int vertNumAttrs(int v) const { return _vVerts[size_t(v)].nAttrs; }
    uint32_t vertFirstAttr(int v) const { return _vVerts[size_t(v)].uAttrStart; }
    int vertPoly(int v, int s) const { return vertRing(v)[s].iElem; }
    int vertPolySlot(int v, int s) const { return vertRing(v)[s].iSlot; }
    int vertAttr(int v, int s) const { return _viVCAttr[_vVerts[size_t(v)].uStart + uint32_t(s)]; }
    int* vertAttrs(int v) { return _viVCAttr.data() + _vVerts[size_t(v)].uStart; }
    const int* vertAttrs(int v) const { return _viVCAttr.data() + _vVerts[size_t(v)].uStart; }

    // Rotate a ring so that old slot r becomes slot 0, keeping the back
    // references of the other side right (the encoder turns each element to
    // the slot it is reached through before it describes it).
    void rotValRing(int p, int r);
    void rotDegRing(int v, int r);

private:
    // The walks read an element's counts and ring start together, and a
    // corner's element and slot together: each is kept in one record, which
    // also makes appending an element one write per array instead of one
    // per field. The empty slot counts stay apart: the choice of the next
    // vertex reads them alone, up to sixteen vertices at a time.
    struct Poly {
        uint32_t uStart;
        uint16_t nDeg;
        uint16_t uFlags;
        int32_t iGroup;
    };
    struct Vert {
        uint32_t uStart;
        uint32_t uAttrStart;
        uint16_t nDeg;
        uint16_t nAttrs;
    };
    // Ring storage grows ahead of use, already emptied, so that adding an
    // element writes its record alone: corner by corner appends cost the
    // decoder more than all its other stores together. The arrays' sizes
    // are what was emptied, _nPC and _nVC what is in use.
    static void _growCorners(std::vector<Corner>& v, std::vector<int32_t>* pAttrs, uint32_t need);

    std::vector<Poly> _vPolys;
    std::vector<Corner> _vPC;
    std::vector<Vert> _vVerts;
    std::vector<int32_t> _vnVEmpty;
    std::vector<Corner> _vVC;
    std::vector<int32_t> _viVCAttr;
    uint32_t _nPC = 0;
    uint32_t _nVC = 0;
    uint32_t _nAttrs = 0;
};
