#pragma once

#include "VqBase.h"
#include "VqExport.h"
#include "VqSharedPtr.h"
#include "VqTriIter.h"
#include "VqVec.h"

class VqPolygonTopoMesh;

// Cuts the polygons of a polygon mesh into triangles. Polygons are taken to
// be convex: each is cut as a triangle strip that zig-zags between its two
// ends, with no search for ears, so a concave polygon comes out as
// overlapping triangles.
//
// Winding. The strip order's consecutive triples alternate their winding as
// they stand ((3, 0, 2) and (0, 2, 1) for a quadrilateral), as the triangles
// of any strip do. The triangles put out are the strip's facets: odd triples
// have their first two corners exchanged ((0, 2, 1) becomes (2, 0, 1)), so
// every triangle winds as its polygon. Signed volumes and areas summed over
// the triangles therefore follow the polygon's orientation: a closed mesh of
// outward-wound polygons gives its volume with a positive sign. When normals
// are bound, a polygon whose face normal, (P[1] - P[0]) x (P[n-1] - P[0]),
// points against its first vertex normal is reversed before it is cut, so
// that the triangles wind as the normals say.
class VQ_API VqTriangulator : public VqBase {
    VQ_DECLARE_TYPE(VqTriangulator)
public:
    VqTriangulator() = default;

    bool isPersistable() const override { return false; }

    // Appends the strip order of an n-gon: n - 1, 0, n - 2, 1, ... from both
    // ends towards the middle (4, 0, 3, 1, 2 for n = 5).
    static void _getTriStripMapping(int n, VqVeci& out);
    // Appends the n - 2 triangles of an n-gon as corner triples, wound as
    // the polygon (see above): (2, 0, 1) for n = 3; (3, 0, 2), (2, 0, 1) for 4.
    static void _getTriangles(int n, VqVeci& out);

    // Triangulates every polygon of pMesh, read under its internals lock,
    // into a new VqTriSet whose corners carry the mesh's normals, colours and
    // texture coordinates as the mesh binds them, and returns the set's
    // iterator.
    bool apply(VqPolygonTopoMesh* pMesh, Vq::SharedPtr<VqTriIter>& out);
};
