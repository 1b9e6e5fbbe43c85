#include "VqTopoMeshTriIter.h"

#include "VqErrorState.h"
#include "VqTopoMesh.h"
#include "VqTriangulator.h"

VqTopoMeshTriIter::VqTopoMeshTriIter(const VqTopoMesh& mesh, int iFGStart, int iFGEnd) : _mesh(mesh) {
    const VqTopoMesh::PrimKind kind = mesh.primKind();
    if (kind != VqTopoMesh::VQ_PRIM_TRISTRIP && kind != VqTopoMesh::VQ_PRIM_POLYGON) {
        VqErrorState::throwStdError("VqTopoMeshTriIter", "VqTopoMeshTriIter",
                                    "primKind() == VQ_PRIM_TRISTRIP || primKind() == VQ_PRIM_POLYGON",
                                    VQ_ERR_ARGUMENT);
        return;
    }
    // The face-group texts are the mesh's own.
    const uint32_t nFaceGrps = mesh.numFaceGroups();
    if (iFGStart != -1) {
        if (!(uint32_t(iFGStart) < nFaceGrps)) {
            VqErrorState::throwStdError("VqTopoMeshTriIter", "VqTopoMeshTriIter", "iFGStart < nFaceGrps",
                                        VQ_ERR_ARGUMENT);
            return;
        }
        if (!(uint32_t(iFGEnd) < nFaceGrps && iFGEnd >= iFGStart)) {
            VqErrorState::throwStdError("VqTopoMeshTriIter", "VqTopoMeshTriIter",
                                        "iFGEnd < nFaceGrps && iFGEnd >= iFGStart", VQ_ERR_ARGUMENT);
            return;
        }
    }
    _iPrim = iFGStart == -1 ? 0 : uint32_t(mesh.faceGroupStart(uint32_t(iFGStart)));
    _iPrimEnd = iFGStart == -1 ? mesh.numPrims() : uint32_t(mesh.faceGroupStart(uint32_t(iFGEnd) + 1));
    _bStrips = kind == VqTopoMesh::VQ_PRIM_TRISTRIP;
    _iAtom = _iPrim < mesh.numPrims() ? uint32_t(mesh.firstFacetOnPrim(_iPrim)) : 0;
    _bValid = true;
}

bool VqTopoMeshTriIter::next() {
    if (!_bValid) return false;
    const uint32_t* start = _mesh.primStarts();
    const uint32_t* idx = _mesh.indices();
    for (; _iPrim < _iPrimEnd; ++_iPrim, _iStep = 0) {
        const uint32_t s = start[_iPrim], n = start[_iPrim + 1] - s;
        while (_iStep + 2 < n) {
            const uint32_t j = _iStep++;
            if (_bStrips) {
                _iAtom = s - 2 * _iPrim + j;
                const uint32_t odd = j & 1;
                _auRec[0] = idx[s + j + odd];
                _auRec[1] = idx[s + j + 1 - odd];
                _auRec[2] = idx[s + j + 2];
            } else {
                _iAtom = _iPrim;
                if (int(n) != _nPolyTrisFor) {
                    _viPolyTris.clear();
                    VqTriangulator::_getTriangles(int(n), _viPolyTris);
                    _nPolyTrisFor = int(n);
                }
                for (int c = 0; c < 3; ++c)
                    _auRec[c] = idx[s + uint32_t(_viPolyTris[int(3 * j) + c])];
            }
            if (_auRec[0] != _auRec[1] && _auRec[1] != _auRec[2] && _auRec[0] != _auRec[2]) return true;
        }
    }
    return false;
}
