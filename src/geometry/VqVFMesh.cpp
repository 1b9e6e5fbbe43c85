#include "VqVFMesh.h"

#include "VqErrorState.h"
#include "VqTopoMesh.h"
#include "VqTopoMeshTopology.h"

#include <algorithm>

namespace {
constexpr const char* kCls = "VqVFMesh";
}

int VqVFMesh::_addPoly(int group, uint16_t flags) {
    _viPGroup.push_back(group);
    _vuPFlags.push_back(flags);
    _vuPStart.push_back(uint32_t(_viCPoly.size()));
    return int(_viPGroup.size()) - 1;
}

bool VqVFMesh::doImport(const VqTopoMesh& mesh) {
    *this = VqVFMesh();
    VQ_PROPAGATE(mesh.ensureTopology());
    const VqTopoMeshTopology* pTopo = mesh._topology();
    VQ_CHECK(pTopo, kCls, "doImport", VQ_ERR_INTERNAL);
    const bool bStrip = mesh.primKind() == VqTopoMesh::VQ_PRIM_TRISTRIP;
    VQ_CHECK(bStrip || mesh.primKind() == VqTopoMesh::VQ_PRIM_POLYGON, kCls, "doImport", VQ_ERR_ARGUMENT);
    _nPositions = uint32_t(pTopo->numVertices());
    const uint32_t* ps = mesh.primStarts();
    const uint32_t* idx = mesh.indices();
    const uint32_t* fg = mesh.faceGroupStarts();
    const int32_t* recVtx = pTopo->viRecVtx.data();
    const int32_t* atomFacet = pTopo->viAtomFacet.data();

    _vuPStart.reserve(size_t(pTopo->numFacets()) + 1);
    _viCPoly.reserve(size_t(pTopo->numHEdges()));
    _viCVtx.reserve(size_t(pTopo->numHEdges()));
    _viCRec.reserve(size_t(pTopo->numHEdges()));
    uint32_t atom = 0;
    for (uint32_t g = 0; g < mesh.numFaceGroups(); ++g)
        for (uint32_t prim = fg[g]; prim < fg[g + 1]; ++prim) {
            const uint32_t s = ps[prim], n = ps[prim + 1] - s;
            const uint32_t nAtoms = bStrip ? (n >= 3 ? n - 2 : 0) : 1;
            for (uint32_t j = 0; j < nAtoms; ++j, ++atom) {
                if (atomFacet[atom] < 0) continue;
                const int p = _addPoly(int(g), 0);
                auto corner = [&](uint32_t rec) {
                    _viCPoly.push_back(p);
                    _viCVtx.push_back(recVtx[rec]);
                    _viCRec.push_back(int32_t(rec));
                };
                if (bStrip) {
                    const uint32_t odd = j & 1, i = s + j;
                    corner(idx[i + odd]);
                    corner(idx[i + 1 - odd]);
                    corner(idx[i + 2]);
                } else {
                    const int iDeg = int(n);
                    VQ_CHECK(iDeg <= VqDualVFMesh::kMaxDegree, kCls, "doImport", VQ_ERR_ARGUMENT);
                    for (uint32_t k = 0; k < n; ++k)
                        corner(idx[s + k]);
                }
            }
        }
    _vuPStart.push_back(uint32_t(_viCPoly.size()));
    const uint32_t nCorners = uint32_t(_viCPoly.size());

    // Outgoing half-edges by position (counting sort).
    std::vector<uint32_t> outStart(size_t(_nPositions) + 1, 0), out(nCorners);
    for (uint32_t c = 0; c < nCorners; ++c)
        ++outStart[size_t(_viCVtx[c]) + 1];
    for (uint32_t v = 0; v < _nPositions; ++v)
        outStart[v + 1] += outStart[v];
    {
        std::vector<uint32_t> fill(outStart.begin(), outStart.end() - 1);
        for (uint32_t c = 0; c < nCorners; ++c)
            out[fill[size_t(_viCVtx[c])]++] = c;
    }
    // Pairing: h = a->b meets an unpaired b->a among b's outgoing half-edges.
    _viCOpp.assign(nCorners, -1);
    for (uint32_t h = 0; h < nCorners; ++h) {
        if (_viCOpp[h] >= 0) continue;
        const int a = _viCVtx[h], b = _viCVtx[_next(h)];
        for (uint32_t k = outStart[size_t(b)]; k < outStart[size_t(b) + 1]; ++k) {
            const uint32_t g = out[k];
            if (_viCOpp[g] < 0 && _viCVtx[_next(g)] == a) {
                _viCOpp[h] = int32_t(g);
                _viCOpp[g] = int32_t(h);
                break;
            }
        }
    }
    // Fans. Turning counter-clockwise from h leaving v: opp(prev(h)); the
    // inverse (clockwise): next(opp(h)).
    std::vector<int32_t> fan(nCorners, -1);
    _viVFirst.assign(_nPositions, -1);
    _viVBorderIn.assign(_nPositions, -1);
    for (uint32_t v = 0; v < _nPositions; ++v) {
        bool bFirstFan = true;
        for (uint32_t k = outStart[v]; k < outStart[v + 1]; ++k) {
            const uint32_t h = out[k];
            if (fan[h] >= 0) continue;
            uint32_t start = h;
            for (uint32_t guard = outStart[v + 1] - outStart[v]; guard > 0; --guard) {
                const int o = _viCOpp[start];
                if (o < 0) break;
                const uint32_t g = _next(uint32_t(o));
                if (g == h) break;
                start = g;
            }
            int id = int(v);
            if (!bFirstFan) {
                id = int(_viVFirst.size());
                _viVFirst.push_back(-1);
                _viVBorderIn.push_back(-1);
                ++_nAliases;
            }
            bFirstFan = false;
            _viVFirst[size_t(id)] = int32_t(start);
            uint32_t c = start;
            for (uint32_t guard = outStart[v + 1] - outStart[v]; guard > 0; --guard) {
                fan[c] = id;
                const uint32_t pc = _prev(c);
                const int o = _viCOpp[pc];
                if (o < 0) {
                    _viVBorderIn[size_t(id)] = int32_t(pc);
                    break;
                }
                if (uint32_t(o) == start) break;
                c = uint32_t(o);
            }
        }
    }
    for (uint32_t c = 0; c < nCorners; ++c)
        _viCVtx[c] = fan[c];
    return true;
}

bool VqVFMesh::extractCoverFaces() {
    const uint32_t nVerts = uint32_t(_viVFirst.size());
    std::vector<uint8_t> visited(nVerts, 0);
    // A loop entry: the vertex and the half-edge the cover edge leaving it
    // is paired with.
    struct Entry {
        int32_t v;
        int32_t opp;
    };
    std::vector<Entry> loop;
    _vuPStart.pop_back();
    for (uint32_t v0 = 0; v0 < nVerts; ++v0) {
        if (visited[v0] || _viVBorderIn[v0] < 0) continue;
        loop.clear();
        // The cover runs against the border: from v to the vertex that the
        // border half-edge entering v leaves.
        uint32_t v = v0;
        do {
            visited[v] = 1;
            const int32_t in = _viVBorderIn[v];
            const int iFaceSlot = in;
            VQ_CHECK(iFaceSlot != -1, kCls, "extractCoverFaces", VQ_ERR_INTERNAL);
            loop.push_back({int32_t(v), in});
            v = uint32_t(_viCVtx[uint32_t(in)]);
        } while (!visited[v]);
        // Each open fan has one border edge in and one out, so the walk can
        // only close where it began, and greedy pairing leaves no loop of two.
        VQ_CHECK(v == v0 && loop.size() >= 3, kCls, "extractCoverFaces", VQ_ERR_INTERNAL);
        size_t b = 0; // loop[b ..] is what is left to cover
        for (;;) {
            const size_t left = loop.size() - b;
            const size_t deg = std::min(left, size_t(kMaxCoverDegree));
            const int p = _addPoly(-1, VqDualVFMesh::kCoverFlag);
            ++_nCovers;
            const uint32_t first = uint32_t(_viCPoly.size());
            const bool bCut = deg < left;
            for (size_t i = 0; i < deg; ++i) {
                const Entry& e = loop[b + i];
                // A cut polygon's last edge goes back to loop[b], across the
                // cut; it is paired when the rest of the loop is covered.
                const int32_t opp = bCut && i + 1 == deg ? -1 : e.opp;
                const uint32_t c = uint32_t(_viCPoly.size());
                _viCPoly.push_back(p);
                _viCVtx.push_back(e.v);
                _viCRec.push_back(-1);
                _viCOpp.push_back(opp);
                if (opp >= 0) _viCOpp[uint32_t(opp)] = int32_t(c);
            }
            if (!bCut) break;
            // The rest runs from loop[b + deg - 1] round to loop[b], whose
            // edge back is the cut.
            const uint32_t cut = first + uint32_t(deg) - 1;
            const Entry start = loop[b];
            b += deg - 1;
            loop.push_back({start.v, int32_t(cut)});
        }
    }
    _vuPStart.push_back(uint32_t(_viCPoly.size()));
    return true;
}

bool VqVFMesh::buildDual(VqDualVFMesh& out) const {
    out.clear();
    const uint32_t nPolys = uint32_t(_viPGroup.size()), nCorners = uint32_t(_viCPoly.size());
    const uint32_t nVerts = uint32_t(_viVFirst.size());
    out.reserve(nPolys, nVerts, nCorners);
    for (uint32_t p = 0; p < nPolys; ++p)
        out.addPoly(int(_vuPStart[p + 1] - _vuPStart[p]), _viPGroup[p], _vuPFlags[p]);
    for (uint32_t v = 0; v < nVerts; ++v) {
        const int32_t first = _viVFirst[v];
        if (first < 0) {
            out.addVert(0, 0);
            continue;
        }
        int val = 0;
        uint32_t c = uint32_t(first);
        for (uint32_t guard = nCorners; guard > 0; --guard) {
            ++val;
            const int o = _viCOpp[_prev(c)];
            VQ_CHECK(o >= 0, kCls, "buildDual", VQ_ERR_INTERNAL);
            if (uint32_t(o) == uint32_t(first)) break;
            c = uint32_t(o);
        }
        const int cDeg = val;
        VQ_CHECK(cDeg <= VqDualVFMesh::kMaxDegree, kCls, "buildDual", VQ_ERR_ARGUMENT);
        out.addVert(val, 0);
        int* attrs = out.vertAttrs(int(v));
        c = uint32_t(first);
        for (int s = 0; s < val; ++s) {
            const int p = _viCPoly[c];
            out.link(p, int(c - _vuPStart[uint32_t(p)]), int(v), s);
            attrs[s] = _viCRec[c];
            c = uint32_t(_viCOpp[_prev(c)]);
        }
    }
    return true;
}
