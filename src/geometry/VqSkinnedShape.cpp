// Skinned shapes: the implementation's base mesh, bones and record, the
// deformation, and the node's forwarding operations.
#include "VqSkinnedShape.h"
#include "VqElementIO.h"
#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqGeomBindings.h"
#include "VqObjectStream.h"
#include "VqSkinnedShapeImpl.h"
#include "VqTriStripTopoMesh.h"
#include "VqVertexRecordFields.h"
#include "VqVertexRecordPool.h"

#include <cmath>
#include <string>

VQ_IMPLEMENT_TYPE(Vq::SkinnedShapeImpl, VqShapeImpl, CLSID_VQSkinnedShapeImpl)
VQ_IMPLEMENT_TYPE(Vq::SkinnedShape, VqShape, CLSID_VQSkinnedShape)

namespace Vq {

namespace {
constexpr const char* kImplCls = "Vq::SkinnedShapeImpl";
constexpr const char* kCls = "Vq::SkinnedShape";
constexpr VqAuxType kWeightType = VQ_AUXTYPE_F_V4;  // code 36
constexpr VqAuxType kIndexType = VQ_AUXTYPE_I32_V4; // code 24

template <class Lockable>
struct WriteLock {
    explicit WriteLock(Lockable& l) : obj(l) { ok = obj.lockWrite(true); }
    ~WriteLock() {
        if (ok) obj.lockWrite(false);
    }
    Lockable& obj;
    bool ok;
};
} // namespace

bool SkinnedShapeImpl::_checkBaseMesh(const VqTopoMesh* mesh, const char* method) {
    if (!mesh || mesh->primKind() != VqTopoMesh::VQ_PRIM_TRISTRIP)
        VQ_FAIL(kImplCls, method, "pMesh->isOfType(VqTriStripTopoMesh::classTypeID())", VQ_ERR_ARGUMENT);
    if ((mesh->getBindings() & VQ_GEOMBIND_VTXCOORD_MASK) != VQ_GEOMBIND_VTXCOORD3)
        VQ_FAIL(kImplCls, method, "Incorrect vertex coord bindings specified", VQ_ERR_ARGUMENT);
    const AuxVertexField* w = mesh->vtxRecPool()->auxField(VqVertexRecordPool::s_AUXFIELD_VQ_SKIN_WEIGHTS);
    const AuxVertexField* i = mesh->vtxRecPool()->auxField(VqVertexRecordPool::s_AUXFIELD_VQ_SKIN_INDICES);
    if (!w || w->type() != kWeightType || w->numActiveSteps() == 0)
        VQ_FAIL(kImplCls, method, "The mesh's records carry no skin weights (four f32)", VQ_ERR_ARGUMENT);
    if (!i || i->type() != kIndexType || i->numActiveSteps() == 0)
        VQ_FAIL(kImplCls, method, "The mesh's records carry no bone indices (four 32-bit integers)",
                VQ_ERR_ARGUMENT);
    return true;
}

bool SkinnedShapeImpl::setBaseTopoMesh(VqTopoMesh* mesh, const VqBox3<float>& box) {
    VQ_PROPAGATE(_checkBaseMesh(mesh, "setBaseTopoMesh"));
    _pBaseMesh = mesh;
    _deformedBox = box;
    invalidateCaches();
    sendNotification(this, 1);
    return true;
}

bool SkinnedShapeImpl::setNumberBones(uint32_t n) {
    _vBones.resize(n);
    return true;
}

bool SkinnedShapeImpl::setBoneMatrices(const std::vector<VqMatrix4f>& matrices) {
    VQ_CHECK(matrices.size() == _vBones.size(), kImplCls, "setBoneMatrices", VQ_ERR_ARGUMENT);
    _vBones = matrices;
    return true;
}

bool SkinnedShapeImpl::deformedTopoMesh(Vq::SharedPtr<VqTopoMesh>& out) const {
    out = nullptr;
    if (!_pBaseMesh) VQ_FAIL(kImplCls, "deformedTopoMesh", "_pBaseMesh", VQ_ERR_INTERNAL);
    const VqTopoMesh& base = *_pBaseMesh;
    const VqVertexRecordPool& pool = *base.vtxRecPool();
    const VertexRecordFields& f = *pool.fields();
    const AuxVertexField* w = pool.auxField(VqVertexRecordPool::s_AUXFIELD_VQ_SKIN_WEIGHTS);
    const AuxVertexField* bi = pool.auxField(VqVertexRecordPool::s_AUXFIELD_VQ_SKIN_INDICES);
    VQ_PROPAGATE(_checkBaseMesh(&base, "deformedTopoMesh"));
    const uint32_t n = f.numRecords();
    const bool withNormals = f.numNormalComps() == 3;
    std::vector<float> coords(size_t(n) * 3), normals(withNormals ? size_t(n) * 3 : 0);
    for (uint32_t r = 0; r < n; ++r) {
        const float* p = f.vtxCoords() + size_t(r) * 3;
        const float* nv = withNormals ? f.normals() + size_t(r) * 3 : nullptr;
        const auto* weights = reinterpret_cast<const float*>(w->record(0, r));
        const auto* bones = reinterpret_cast<const int32_t*>(bi->record(0, r));
        double acc[3] = {0, 0, 0}, accN[3] = {0, 0, 0};
        for (int k = 0; k < 4; ++k) {
            const int32_t b = bones[k];
            if (b < 0 || uint32_t(b) >= _vBones.size() || weights[k] == 0.0f) continue;
            const VqMatrix4f& m = _vBones[size_t(b)];
            for (int c = 0; c < 3; ++c) {
                acc[c] += weights[k] * (p[0] * m[0][c] + p[1] * m[1][c] + p[2] * m[2][c] + m[3][c]);
                if (nv) accN[c] += weights[k] * (nv[0] * m[0][c] + nv[1] * m[1][c] + nv[2] * m[2][c]);
            }
        }
        const double len = std::sqrt(accN[0] * accN[0] + accN[1] * accN[1] + accN[2] * accN[2]);
        for (int c = 0; c < 3; ++c) {
            coords[size_t(r) * 3 + size_t(c)] = float(acc[c]);
            if (withNormals) normals[size_t(r) * 3 + size_t(c)] = len > 0 ? float(accN[c] / len) : 0.0f;
        }
    }
    // The other attributes of each record as they are.
    const float* tex[VQ_GEOMBIND_NUM_TEXUNITS];
    for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
        tex[k] = f.numTexCoordComps(k) ? f.texCoords(k) : nullptr;
    std::vector<unsigned char> flags;
    if (f.hasVtxFlags())
        for (uint32_t r = 0; r < n; ++r)
            flags.push_back(f.vtxFlags().get(int(r)) ? 1 : 0);
    Vq::SharedPtr<VqTopoMesh> mesh = new VqTriStripTopoMesh(pool.getBindings() & ~VQ_GEOMBIND_AUXFIELDS_MASK);
    if (!mesh)
        VQ_FAIL(kImplCls, "deformedTopoMesh",
                "Allocation failed: pThis->_pTopoMesh = new VqTriStripTopoMesh(_eBindings)", VQ_ERR_ALLOC);
    {
        WriteLock<VqVertexRecordPool> lock(*mesh->vtxRecPool());
        uint32_t first = 0;
        VQ_PROPAGATE(mesh->vtxRecPool()->addVtxRecords(
            n, first, coords.data(), withNormals ? normals.data() : nullptr,
            f.numColorComps() ? f.colors() : nullptr, tex, flags.empty() ? nullptr : flags.data()));
    }
    WriteLock<VqTopoMesh> lock(*mesh);
    for (uint32_t g = 0; g < base.numFaceGroups(); ++g) {
        const uint32_t p0 = base.faceGroupStarts()[g], p1 = base.faceGroupStarts()[g + 1];
        std::vector<uint32_t> sizes;
        for (uint32_t p = p0; p < p1; ++p)
            sizes.push_back(base.primStarts()[p + 1] - base.primStarts()[p]);
        VQ_PROPAGATE(mesh->ensureNumFaceGroups(g + 1));
        if (p1 > p0)
            VQ_PROPAGATE(
                mesh->addPrimitives(int(g), p1 - p0, sizes.data(), base.indices() + base.primStarts()[p0]));
    }
    out = mesh;
    return true;
}

bool SkinnedShapeImpl::numVertices(VqFixedVec<int, 2>& out) const {
    int v = 0, p = 0;
    if (_pBaseMesh) VQ_PROPAGATE(_pBaseMesh->numVertsAndPolys(v, p));
    out = VqFixedVec<int, 2>(v, v);
    return true;
}

bool SkinnedShapeImpl::numPolygons(VqFixedVec<int, 2>& out) const {
    int v = 0, p = 0;
    if (_pBaseMesh) VQ_PROPAGATE(_pBaseMesh->numVertsAndPolys(v, p));
    out = VqFixedVec<int, 2>(p, p);
    return true;
}

bool SkinnedShapeImpl::computeBBox(VqBox3<float>& box) const {
    box = _deformedBox;
    return true;
}

// The base mesh's surface: the pose changes it little, and culling needs
// only its order of magnitude.
float SkinnedShapeImpl::computeArea() const {
    if (!_pBaseMesh) return 0.0f;
    const VertexRecordFields& f = *_pBaseMesh->vtxRecPool()->fields();
    double sum = 0;
    uint32_t r[3];
    for (uint32_t a = 0; a < _pBaseMesh->numAtoms(); ++a) {
        if (_pBaseMesh->atomRecords(a, r, 3) != 3) continue;
        const float *p = f.vtxCoords() + size_t(r[0]) * 3, *q = f.vtxCoords() + size_t(r[1]) * 3,
                    *s = f.vtxCoords() + size_t(r[2]) * 3;
        const double u[3] = {q[0] - p[0], q[1] - p[1], q[2] - p[2]},
                     v[3] = {s[0] - p[0], s[1] - p[1], s[2] - p[2]};
        const double x = u[1] * v[2] - u[2] * v[1], y = u[2] * v[0] - u[0] * v[2],
                     z = u[0] * v[1] - u[1] * v[0];
        sum += 0.5 * std::sqrt(x * x + y * y + z * z);
    }
    return float(sum);
}

int SkinnedShapeImpl::computeSize() const {
    const size_t s =
        sizeof(*this) + _vBones.size() * sizeof(VqMatrix4f) + (_pBaseMesh ? _pBaseMesh->_memSize(true) : 0);
    return s > size_t(INT32_MAX) ? INT32_MAX : int(s);
}

bool SkinnedShapeImpl::_writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
    if (fmt.before(9, 6)) {
        const std::string text = "Skinned shapes need a format 9.6 or later file, not " +
                                 std::to_string(fmt.major) + "." + std::to_string(fmt.minor);
        VQ_FAIL(kImplCls, "serialize", text.c_str(), VQ_ERR_WRITE);
    }
    if (!_pBaseMesh) VQ_FAIL(kImplCls, "serialize", "_pBaseMesh", VQ_ERR_INTERNAL);
    if (fmt.generation() == 10)
        VQ_PROPAGATE(VqElementIO::writeLogicalElementV10(os, _pBaseMesh.get()));
    else
        VQ_PROPAGATE(VqElementIO::writeLogicalElementV9(os, _pBaseMesh.get()));
    for (int i = 0; i < 3; ++i)
        VQ_PROPAGATE(os.write(_deformedBox.min[i]));
    for (int i = 0; i < 3; ++i)
        VQ_PROPAGATE(os.write(_deformedBox.max[i]));
    VQ_PROPAGATE(os.write(static_cast<unsigned int>(_vBones.size())));
    for (const VqMatrix4f& m : _vBones)
        VQ_PROPAGATE(os.write(&m.m[0][0], 16));
    return true;
}

bool SkinnedShapeImpl::_readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int) {
    if (fmt.before(9, 6))
        VQ_FAIL(kImplCls, "deserialize", "Skinned shapes need a format 9.6 or later file", VQ_ERR_READ);
    Vq::SharedPtr<VqBase> elem;
    VQ_PROPAGATE(VqElementIO::readLogicalElementOf(fmt.major, os, elem, VqTopoMesh::classTypeID()));
    Vq::SharedPtr<VqTopoMesh> mesh = Vq::typeCast<VqTopoMesh>(elem.get());
    if (!mesh)
        VQ_FAIL(kImplCls, "deserialize",
                "_pBaseMesh = Vq::typeCast<VqTopoMesh>(Vq::ptr(pBase), VqTopoMesh::classTypeID())",
                VQ_ERR_READ);
    VqBox3<float> box;
    for (int i = 0; i < 3; ++i)
        VQ_PROPAGATE(os.read(&box.min[i]));
    for (int i = 0; i < 3; ++i)
        VQ_PROPAGATE(os.read(&box.max[i]));
    int count = 0;
    VQ_PROPAGATE(os.readLength(count, sizeof(VqMatrix4f)));
    std::vector<VqMatrix4f> bones(static_cast<size_t>(count));
    for (VqMatrix4f& m : bones)
        VQ_PROPAGATE(os.read(&m.m[0][0], 16));
    _pBaseMesh = mesh;
    _deformedBox = box;
    _vBones = std::move(bones);
    invalidateCaches();
    return true;
}

// ---- The node

VqShapeImpl* SkinnedShape::createImplInstance() const {
    return new SkinnedShapeImpl();
}

bool SkinnedShape::_skinned(Vq::SharedPtr<SkinnedShapeImpl>& out, const char* method) const {
    Vq::SharedPtr<VqShapeImpl> cur = ensureImpl();
    out = cur ? Vq::typeCast<SkinnedShapeImpl>(cur.get()) : nullptr;
    if (!out) VQ_FAIL(kCls, method, "pImpl", VQ_ERR_INTERNAL);
    return true;
}

bool SkinnedShape::setBaseTopoMesh(VqTopoMesh* mesh, const VqBox3<float>& box) {
    Vq::SharedPtr<SkinnedShapeImpl> s;
    VQ_PROPAGATE(_skinned(s, "setBaseTopoMesh"));
    return s->setBaseTopoMesh(mesh, box);
}

bool SkinnedShape::setNumberBones(uint32_t n) {
    Vq::SharedPtr<SkinnedShapeImpl> s;
    VQ_PROPAGATE(_skinned(s, "setNumberBones"));
    return s->setNumberBones(n);
}

uint32_t SkinnedShape::numberBones() const {
    Vq::SharedPtr<SkinnedShapeImpl> s;
    return _skinned(s, "numberBones") ? s->numberBones() : 0;
}

bool SkinnedShape::setBoneMatrices(const std::vector<VqMatrix4f>& matrices) {
    Vq::SharedPtr<SkinnedShapeImpl> s;
    VQ_PROPAGATE(_skinned(s, "setBoneMatrices"));
    return s->setBoneMatrices(matrices);
}

bool SkinnedShape::boneMatrices(std::vector<VqMatrix4f>& out) const {
    Vq::SharedPtr<SkinnedShapeImpl> s;
    VQ_PROPAGATE(_skinned(s, "boneMatrices"));
    out = s->boneMatrices();
    return true;
}

bool SkinnedShape::deformedTopoMesh(Vq::SharedPtr<VqTopoMesh>& out) const {
    Vq::SharedPtr<SkinnedShapeImpl> s;
    VQ_PROPAGATE(_skinned(s, "deformedTopoMesh"));
    return s->deformedTopoMesh(out);
}

VqBox3<float> SkinnedShape::deformedBBox() const {
    Vq::SharedPtr<SkinnedShapeImpl> s;
    return _skinned(s, "deformedBBox") ? s->deformedBBox() : VqBox3<float>();
}

} // namespace Vq
