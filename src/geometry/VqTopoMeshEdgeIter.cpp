#include "VqTopoMeshEdgeIter.h"

#include "VqErrorState.h"
#include "VqTopoMesh.h"
#include "VqTopoMeshTopology.h"

#include <algorithm>
#include <new>
#include <utility>
#include <vector>

VqTopoMeshEdgeIter::VqTopoMeshEdgeIter(const VqTopoMesh& mesh) : _mesh(mesh) {
    if (!mesh.ensureTopology()) {
        VqErrorState::rethrowError();
        return;
    }
    const VqTopoMesh::PrimKind kind = mesh.primKind();
    if (kind == VqTopoMesh::VQ_PRIM_TRISTRIP || kind == VqTopoMesh::VQ_PRIM_POLYGON) {
        _nEdges = mesh.numEdges();
    } else if (kind == VqTopoMesh::VQ_PRIM_LINESTRIP) {
        try {
            // Segments keyed by their ends' vertices, lower first; one record
            // pair stays for each.
            struct Seg {
                VqVtxHdl lo, hi;
                uint32_t a, b;
            };
            std::vector<Seg> segs;
            const uint32_t* start = mesh.primStarts();
            const uint32_t* idx = mesh.indices();
            for (uint32_t p = 0; p < mesh.numPrims(); ++p)
                for (uint32_t i = start[p]; i + 1 < start[p + 1]; ++i) {
                    const VqVtxHdl u = mesh.recordVtx(idx[i]), v = mesh.recordVtx(idx[i + 1]);
                    if (u != v) segs.push_back({std::min(u, v), std::max(u, v), idx[i], idx[i + 1]});
                }
            std::stable_sort(segs.begin(), segs.end(), [](const Seg& x, const Seg& y) {
                return x.lo < y.lo || (x.lo == y.lo && x.hi < y.hi);
            });
            for (size_t i = 0; i < segs.size(); ++i)
                if (i == 0 || segs[i].lo != segs[i - 1].lo || segs[i].hi != segs[i - 1].hi) {
                    _vuSegments.push_back(segs[i].a);
                    _vuSegments.push_back(segs[i].b);
                }
        } catch (const std::bad_alloc&) {
            VqErrorState::throwStdError("VqTopoMeshEdgeIter", "VqTopoMeshEdgeIter", "Caught std::bad_alloc",
                                        VQ_ERR_ALLOC);
            return;
        }
        _nEdges = uint32_t(_vuSegments.size() / 2);
    }
    _bValid = true;
}

bool VqTopoMeshEdgeIter::next() {
    if (!_bValid || _iEdge + 1 >= int64_t(_nEdges)) return false;
    ++_iEdge;
    if (_vuSegments.empty()) {
        const VqTopoMeshTopology& t = *_mesh._topology();
        _iHEdge = t.viEdgeHE[int(_iEdge)];
        const int n = t.next(_iHEdge);
        _aiVtx[0] = t.viHEVtx[_iHEdge];
        _aiVtx[1] = t.viHEVtx[n];
        _auRec[0] = uint32_t(t.viHERec[_iHEdge]);
        _auRec[1] = uint32_t(t.viHERec[n]);
    } else {
        _iHEdge = -1;
        _auRec[0] = _vuSegments[int(2 * _iEdge)];
        _auRec[1] = _vuSegments[int(2 * _iEdge + 1)];
        _aiVtx[0] = _mesh.recordVtx(_auRec[0]);
        _aiVtx[1] = _mesh.recordVtx(_auRec[1]);
    }
    return true;
}
