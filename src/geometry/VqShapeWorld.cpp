// A shape's box and area in world coordinates, from its placed geometry.
#include "VqErrorState.h"
#include "VqPath.h"
#include "VqShape.h"
#include "VqTopoMesh.h"
#include "VqVertexRecordFields.h"
#include "VqVertexRecordPool.h"

#include <cmath>

namespace {

using Mat = VqSquareMatrix<double, 4>;

VqFixedVec<double, 3> placed(const Vq::VertexRecordFields& f, uint32_t r, const Mat& m) {
    const int n = f.numVtxCoordComps();
    const float* c = f.vtxCoords() + size_t(r) * size_t(n);
    VqFixedVec<double, 3> p(c[0], c[1], n > 2 ? c[2] : 0.0f);
    if (n == 4) p = VqFixedVec<double, 3>(c[0] / double(c[3]), c[1] / double(c[3]), c[2] / double(c[3]));
    return vqTransformPoint(m, p);
}

double triArea(const VqFixedVec<double, 3>& a, const VqFixedVec<double, 3>& b,
               const VqFixedVec<double, 3>& c) {
    const double ux = b[0] - a[0], uy = b[1] - a[1], uz = b[2] - a[2];
    const double vx = c[0] - a[0], vy = c[1] - a[1], vz = c[2] - a[2];
    const double x = uy * vz - uz * vy, y = uz * vx - ux * vz, z = ux * vy - uy * vx;
    return 0.5 * std::sqrt(x * x + y * y + z * z);
}

} // namespace

VqSquareMatrix<double, 4> VqShape::_worldMatrix(const VqPath& path) const {
    VqAttribute::Placement above;
    _pathPlacement(path, path.length() - 1, above);
    unsigned int key = 1;
    path.getPathBitVec(key);
    const VqAttribute::Placement own = _ownPlacement(key, above, &path);
    return own.matrix * above.matrix;
}

// The vertices the mesh's primitives use, not every record of its pool: a
// pool may hold other meshes' records too. Surfaces are measured on their
// placed triangles, which a shear or a non-uniform scale distorts in ways no
// factor on the unplaced area can follow.
void VqShape::_placedGeometry(const VqShapeImpl& impl, const Mat& m, VqBox3<float>* box, float* area) {
    const VqTopoMesh* mesh = impl.topoMesh();
    const Vq::VertexRecordFields* f = mesh && mesh->vtxRecPool() ? mesh->vtxRecPool()->fields() : nullptr;
    if (area) *area = -1.0f;
    if (!f || mesh->numIndices() == 0 || !f->vtxCoords() || f->numVtxCoordComps() < 2) {
        if (box) *box = vqTransformBox(VqSquareMatrix<float, 4>(m), impl.bbox());
        return;
    }
    const uint32_t nRecs = f->numRecords();
    const uint32_t* starts = mesh->primStarts();
    const uint32_t* idx = mesh->indices();
    if (box) {
        VqBox3<float> out;
        for (uint32_t i = 0; i < mesh->numIndices(); ++i) {
            if (idx[i] >= nRecs) continue;
            const VqFixedVec<double, 3> p = placed(*f, idx[i], m);
            out.extendBy(VqVec3f(float(p[0]), float(p[1]), float(p[2])));
        }
        *box = out;
    }
    const VqTopoMesh::PrimKind kind = mesh->primKind();
    if (!area || (kind != VqTopoMesh::VQ_PRIM_TRISTRIP && kind != VqTopoMesh::VQ_PRIM_POLYGON)) return;
    double sum = 0;
    for (uint32_t p = 0; p < mesh->numPrims(); ++p) {
        const uint32_t b = starts[p], e = starts[p + 1];
        bool inRange = true;
        for (uint32_t i = b; i < e && inRange; ++i)
            inRange = idx[i] < nRecs;
        if (!inRange) continue;
        if (kind == VqTopoMesh::VQ_PRIM_TRISTRIP) {
            for (uint32_t i = b; i + 2 < e; ++i)
                sum += triArea(placed(*f, idx[i], m), placed(*f, idx[i + 1], m), placed(*f, idx[i + 2], m));
        } else {
            // A fan from the first corner, as the unplaced area is measured.
            const VqFixedVec<double, 3> first = placed(*f, idx[b], m);
            for (uint32_t i = b + 1; i + 1 < e; ++i)
                sum += triArea(first, placed(*f, idx[i], m), placed(*f, idx[i + 1], m));
        }
    }
    *area = static_cast<float>(sum);
}

bool VqShape::computeScaledArea(const VqPath& path, float& area) const {
    area = -1.0f;
    if (path.length() == 0 || path.node(path.length() - 1) != this)
        VQ_FAIL("VqShape", "computeScaledArea", "path.tail() == this", VQ_ERR_ARGUMENT);
    Vq::SharedPtr<VqShapeImpl> cur = ensureConstImpl();
    if (!cur) return true;
    _placedGeometry(*cur, _worldMatrix(path), nullptr, &area);
    return true;
}

bool VqShape::computeBBoxAreaWC(unsigned int key, VqBox3<float>* box, float* area) const {
    Vq::SharedPtr<VqShapeImpl> cur = impl();
    if (!cur) return VqNode::computeBBoxAreaWC(key, box, area);
    if (box) *box = s_emptyBox;
    if (area) *area = -1.0f;
    VqPath path;
    VQ_PROPAGATE(path.setPath(this, key));
    float placedArea = -1.0f;
    _placedGeometry(*cur, _worldMatrix(path), box, area ? &placedArea : nullptr);
    if (!area) return true;
    // The node's area may be the surface weighed (point and line sets) or
    // set by hand: the placement scales it by what it does to the surface.
    const float raw = cur->area();
    if (placedArea >= 0.0f && raw > 0.0f) {
        *area = this->area() * (placedArea / raw);
        return true;
    }
    // No surface to place: the node's estimate.
    return VqNode::computeBBoxAreaWC(key, nullptr, area);
}

bool VqShape::computeBBoxWC(unsigned int key, VqBox3<float>& box) const {
    return computeBBoxAreaWC(key, &box, nullptr);
}

bool VqShape::computeAreaWC(unsigned int key, float& area) const {
    return computeBBoxAreaWC(key, nullptr, &area);
}
