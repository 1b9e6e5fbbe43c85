#pragma once

#include "VqExport.h"
#include "VqVec.h"

#include <cstdint>

class VqTopoMesh;

// Walks the triangles of a triangle-strip or polygon mesh, face group by face
// group in primitive order, each as three records wound as the surface:
// a strip's odd triangles as (s[i + 1], s[i], s[i + 2]), a polygon's as
// VqTriangulator cuts it. Triangles with a repeated record (a strip's turns)
// are skipped. The caller keeps the mesh read-locked and unchanged while
// walking:
//     for (VqTopoMeshTriIter it(mesh); it.next();) use(it.record(0), it.record(1), it.record(2));
class VQ_API VqTopoMeshTriIter {
public:
    // Over face groups iFGStart .. iFGEnd (-1: all). A refused range, or a
    // mesh of lines or points, gives an iterator that is not valid and walks
    // nothing; the reason is recorded.
    explicit VqTopoMeshTriIter(const VqTopoMesh& mesh, int iFGStart = -1, int iFGEnd = -1);

    bool isValid() const { return _bValid; }
    // Steps to the next triangle; false once there is none.
    bool next();
    uint32_t record(int i) const { return _auRec[i]; }
    const uint32_t* records() const { return _auRec; }
    // The atom the triangle belongs to.
    uint32_t atom() const { return _iAtom; }

private:
    const VqTopoMesh& _mesh;
    bool _bValid = false;
    bool _bStrips = false;
    uint32_t _iPrim = 0;
    uint32_t _iPrimEnd = 0;
    uint32_t _iStep = 0; // triangle within the primitive
    uint32_t _iAtom = 0;
    uint32_t _auRec[3] = {};
    VqVeci _viPolyTris; // triangles of the current polygon size
    int _nPolyTrisFor = -1;
};
