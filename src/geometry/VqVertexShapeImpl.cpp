// The vertex implementation: its mesh, primitives built in code, the
// compression level, and its record (after the implementation's level):
//
//   VQ 10      u8 local version 1; u64 bindings (bits 0-39); the mesh as an
//              element of its own (with its header)
//   VQ 9.x     i16 local version 1; u64 bindings (bits 0-39); the mesh's
//              record inline, without an element header
//   VQ 8.x     i16 local version 1; i32 packed bindings (byte 0 normal,
//              byte 1 texture, byte 2 colour, each a Binding value); u8 bit
//              counts of coordinates, normals, texture coordinates, colours
//   VQ 6.4-7.x u8 flag: a bounding-box hierarchy follows (then its i32 byte
//              count and its record); i32 normal, texture, colour bindings
//
// Before 9 the concrete level carries the geometry: in 8.x after its i16
// local version, in the format-8 compressed layout; in 6.4-7.x in the
// neutral interleaved layout. The mesh is collocated before either is
// written, so that the shared vertices those layouts index are found.
#include "VqVertexShapeImpl.h"

#include "VqCompressedRepHelper.h"
#include "VqElementIO.h"
#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqGeomBindings.h"
#include "VqInterleavedRepHelper.h"
#include "VqObjectStream.h"
#include "VqStdException.h"
#include "VqVertexRecordFields.h"
#include "VqVertexRecordPool.h"
#include "VqVertexShape.h"

#include <cmath>
#include <string>
#include <vector>

VQ_IMPLEMENT_ABSTRACT_TYPE(VqVertexShapeImpl, VqShapeImpl, CLSID_ZQVertexShapeImpl)

namespace {
constexpr const char* kCls = "VqVertexShapeImpl";

// Edits of a mesh hold its write lock.
struct WriteLock {
    explicit WriteLock(VqTopoMesh& m) : mesh(m) { ok = mesh.lockWrite(true); }
    ~WriteLock() {
        if (ok) mesh.lockWrite(false);
    }
    VqTopoMesh& mesh;
    bool ok;
};

// The texts of the older formats' binding checks, normal, texture, colour.
const char* const kBindingChecks[3] = {
    "nb==VqVertexShape::NoBind || nb==VqVertexShape::PerVertex || nb==VqVertexShape::PerFacet || "
    "nb==VqVertexShape::PerPrim",
    "tb==VqVertexShape::NoBind || tb==VqVertexShape::PerVertex || tb==VqVertexShape::PerFacet || "
    "tb==VqVertexShape::PerPrim",
    "cb==VqVertexShape::NoBind || cb==VqVertexShape::PerVertex || cb==VqVertexShape::PerFacet || "
    "cb==VqVertexShape::PerPrim"};
constexpr const char* kBitsCheck = "nVtxBits <= 24 && nNormBits <= 13 && nTexBits <= 24 && nColBits <= 24";

bool checkOlderBindings(const int b[3]) {
    for (int i = 0; i < 3; ++i)
        if (b[i] < VqVertexShape::NoBind || b[i] > VqVertexShape::PerPrim)
            VQ_FAIL(kCls, "deserialize", kBindingChecks[i], VQ_ERR_CORRUPT);
    return true;
}
} // namespace

// A copy is made to be edited apart from the original (a shape's private
// copy of a shared implementation): its mesh gets a pool of its own too, or
// records added and bit counts set through the copy would reach the
// original's pool.
VqVertexShapeImpl::VqVertexShapeImpl(const VqVertexShapeImpl& o) : Record(o), _eBindings(o._eBindings) {
    if (o._pTopoMesh) {
        VqBase* copy = nullptr;
        if (o._pTopoMesh->_clone(copy)) _pTopoMesh = Vq::typeCast<VqTopoMesh>(copy);
        if (_pTopoMesh && _pTopoMesh->vtxRecPool()) {
            Vq::SharedPtr<VqVertexRecordPool> pool = new VqVertexRecordPool(*_pTopoMesh->vtxRecPool());
            WriteLock lock(*_pTopoMesh);
            if (!_pTopoMesh->_replaceVtxRecPool(pool.get()))
                throw Vq::makeStdExceptionFromErrorState(__PRETTY_FUNCTION__, "Memory Allocation");
        }
    }
}

bool VqVertexShapeImpl::s_checkBindings(uint64_t e, const char* cls, const char* method) {
    const uint64_t coord = e & VQ_GEOMBIND_VTXCOORD_MASK;
    if (coord != VQ_GEOMBIND_VTXCOORD2 && coord != VQ_GEOMBIND_VTXCOORD3 && coord != VQ_GEOMBIND_VTXCOORD4)
        VQ_FAIL(cls, method, "Incorrect vertex coord bindings specified", VQ_ERR_ARGUMENT);
    if ((e & VQ_GEOMBIND_VTXCOLOR_MASK) == VQ_GEOMBIND_VTXCOLOR_MASK)
        VQ_FAIL(cls, method, "Incorrect vertex color bindings specified", VQ_ERR_ARGUMENT);
    for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k) {
        const uint64_t nibble = e & vqTexCoordMask(k);
        bool valid = nibble == 0;
        for (int c = 1; c <= 4; ++c)
            valid = valid || nibble == vqTexCoordBinding(k, c);
        if (!valid) VQ_FAIL(cls, method, "Incorrect tex coord bindings specified", VQ_ERR_ARGUMENT);
    }
    return true;
}

bool VqVertexShapeImpl::setBindings(uint64_t eBindings) {
    VQ_PROPAGATE(s_checkBindings(eBindings, kCls, "setBindings"));
    if (_pTopoMesh) {
        WriteLock lock(*_pTopoMesh);
        VQ_PROPAGATE(_pTopoMesh->setBindings(eBindings));
    }
    _eBindings = eBindings;
    _geometryChanged();
    return true;
}

bool VqVertexShapeImpl::setTopoMesh(VqTopoMesh* mesh) {
    VQ_CHECK(mesh, kCls, "setTopoMesh", VQ_ERR_ARGUMENT);
    VQ_CHECK(mesh->primKind() == meshKind(), kCls, "setTopoMesh", VQ_ERR_ARGUMENT);
    _pTopoMesh = mesh;
    _eBindings = mesh->getBindings();
    _geometryChanged();
    return true;
}

bool VqVertexShapeImpl::_ensureTopoMesh() {
    if (_pTopoMesh) return true;
    VQ_PROPAGATE(s_checkBindings(_eBindings, kCls, "_ensureTopoMesh"));
    Vq::SharedPtr<VqTopoMesh> mesh = _newTopoMesh();
    if (!mesh)
        VQ_FAIL(kCls, "_ensureTopoMesh", "Allocation failed: pThis->_pTopoMesh = new VqTopoMesh(_eBindings)",
                VQ_ERR_ALLOC);
    {
        WriteLock lock(*mesh);
        VQ_PROPAGATE(mesh->setBindings(_eBindings));
    }
    _pTopoMesh = mesh;
    return true;
}

void VqVertexShapeImpl::_geometryChanged() const {
    invalidateCaches();
    sendNotification(this, VQ_CHANGE_GEOMETRY);
}

bool VqVertexShapeImpl::removeAllPrims() {
    if (!_pTopoMesh) return true;
    {
        WriteLock lock(*_pTopoMesh);
        VQ_PROPAGATE(_pTopoMesh->clearPrimitives());
    }
    _geometryChanged();
    return true;
}

int VqVertexShapeImpl::atomPrim(uint32_t atom) const {
    return _pTopoMesh ? _pTopoMesh->atomToPrim(atom) : -1;
}

namespace {
// The values of an iterator of exactly n tuples, appended to out.
template <int N>
bool gather(const VqShapeDataIter<float, N>* it, uint32_t n, int keep, std::vector<float>& out) {
    if (!it || it->count() != n) return false;
    out.reserve(size_t(n) * size_t(keep));
    for (uint32_t i = 0; i < n; ++i) {
        const float* v = it->at(i);
        out.insert(out.end(), v, v + keep);
    }
    return true;
}
} // namespace

bool VqVertexShapeImpl::addPrims(VqShapeDataIter<VqPrimData, 1>& prims) {
    VQ_PROPAGATE(_ensureTopoMesh());
    const uint64_t e = _eBindings;
    const uint64_t coord = e & VQ_GEOMBIND_VTXCOORD_MASK;
    const int nCoord = coord == VQ_GEOMBIND_VTXCOORD2 ? 2 : coord == VQ_GEOMBIND_VTXCOORD3 ? 3 : 4;
    const int nColor = (e & VQ_GEOMBIND_VTXCOLOR_MASK) == VQ_GEOMBIND_VTXCOLOR3 ? 3
                       : (e & VQ_GEOMBIND_VTXCOLOR_MASK)                        ? 4
                                                                                : 0;
    int nTex = 0;
    for (int c = 1; c <= 4; ++c)
        if ((e & vqTexCoordMask(0)) == vqTexCoordBinding(0, c)) nTex = c;
    // A bundle carries texture coordinates for unit 0 only, with at most 3 components.
    if ((e & VQ_GEOMBIND_TEXCOORD_ALL_MASK & ~vqTexCoordMask(0)) || nTex == 4)
        VQ_FAIL(kCls, "addPrims", "Incorrect tex coord bindings specified", VQ_ERR_ARGUMENT);
    WriteLock lock(*_pTopoMesh);
    for (uint32_t p = 0; p < prims.count(); ++p) {
        const VqPrimData* pd = prims.at(p);
        if (!pd) VQ_FAIL(kCls, "addPrims", "pPrimData", VQ_ERR_ARGUMENT);
        const uint32_t n = pd->coords3()   ? pd->coords3()->count()
                           : pd->coords4() ? pd->coords4()->count()
                                           : 0;
        std::vector<float> coords, normals, colors, tex;
        const bool haveCoords =
            nCoord == 4 ? gather(pd->coords4(), n, 4, coords) : gather(pd->coords3(), n, nCoord, coords);
        if (!haveCoords || n == 0)
            VQ_FAIL(kCls, "addPrims", "Incorrect vertex coord bindings specified", VQ_ERR_ARGUMENT);
        if ((e & VQ_GEOMBIND_NORMVEC_MASK) && !gather(pd->normals3(), n, 3, normals))
            VQ_FAIL(kCls, "addPrims", "Incorrect vertex norm bindings specified", VQ_ERR_ARGUMENT);
        if (nColor == 3 && !gather(pd->colors3(), n, 3, colors))
            VQ_FAIL(kCls, "addPrims", "Incorrect vertex color bindings specified", VQ_ERR_ARGUMENT);
        if (nColor == 4 && !gather(pd->colors4(), n, 4, colors))
            VQ_FAIL(kCls, "addPrims", "Incorrect vertex color bindings specified", VQ_ERR_ARGUMENT);
        const bool texOk = nTex == 0 || (nTex == 1 && gather(pd->texCoords1(), n, 1, tex)) ||
                           (nTex == 2 && gather(pd->texCoords2(), n, 2, tex)) ||
                           (nTex == 3 && gather(pd->texCoords3(), n, 3, tex));
        if (!texOk) VQ_FAIL(kCls, "addPrims", "Incorrect tex coord bindings specified", VQ_ERR_ARGUMENT);
        const float* texUnits[VQ_GEOMBIND_NUM_TEXUNITS] = {tex.empty() ? nullptr : tex.data()};
        const std::vector<unsigned char> flags((e & VQ_GEOMBIND_VTXFLAG_MASK) ? n : 0, 0);
        const int group = pd->primType() < 0 ? 0 : pd->primType();
        VQ_PROPAGATE(_pTopoMesh->addPrimitive(
            group, n, coords.data(), normals.empty() ? nullptr : normals.data(),
            colors.empty() ? nullptr : colors.data(), texUnits, flags.empty() ? nullptr : flags.data()));
    }
    _geometryChanged();
    return true;
}

// ---- Quantisation

void VqVertexShapeImpl::s_levelToBits(float fLevel, int& vtxBits, int& normBits, int& texBits, int& colBits) {
    auto bits = [fLevel](int lo, int hi) {
        if (fLevel == 0.0f) return 0;
        const float v = fLevel * float(lo) + float(hi + 1) * (1.0f - fLevel);
        const int b = static_cast<int>(std::trunc(v));
        return b < lo ? lo : b > hi ? hi : b;
    };
    vtxBits = bits(9, 24);
    normBits = bits(3, 8);
    texBits = bits(6, 16);
    colBits = bits(4, 8);
}

bool VqVertexShapeImpl::_setCompressionLevel(float fLevel) {
    VQ_PROPAGATE(_ensureTopoMesh());
    int v = 0, n = 0, t = 0, c = 0;
    s_levelToBits(fLevel, v, n, t, c);
    WriteLock lock(*_pTopoMesh);
    int v0 = 0, n0 = 0, t0 = 0, c0 = 0;
    _pTopoMesh->getCompressionParams(v0, n0, t0, c0);
    if (v == v0 && n == n0 && t == t0 && c == c0) return true;
    // The bit counts are the pool's: a pool that other meshes (of other
    // shapes) use too is split off for this mesh first, so that one shape's
    // level does not requantise the others.
    VqVertexRecordPool* pool = _pTopoMesh->vtxRecPool();
    if (pool && pool->numMeshes() > 1) {
        Vq::SharedPtr<VqVertexRecordPool> own = new VqVertexRecordPool(*pool);
        VQ_PROPAGATE(_pTopoMesh->_replaceVtxRecPool(own.get()));
    }
    return _pTopoMesh->setCompressionParams(v, n, t, c);
}

// ---- Sizes and counts

bool VqVertexShapeImpl::numVertices(VqFixedVec<int, 2>& out) const {
    int nVerts = 0, nPolys = 0;
    if (_pTopoMesh) VQ_PROPAGATE(_pTopoMesh->numVertsAndPolys(nVerts, nPolys));
    out = VqFixedVec<int, 2>(nVerts, nVerts);
    return true;
}

bool VqVertexShapeImpl::numPolygons(VqFixedVec<int, 2>& out) const {
    int nVerts = 0, nPolys = 0;
    if (_pTopoMesh) VQ_PROPAGATE(_pTopoMesh->numVertsAndPolys(nVerts, nPolys));
    out = VqFixedVec<int, 2>(nPolys, nPolys);
    return true;
}

bool VqVertexShapeImpl::computeBBox(VqBox3<float>& box) const {
    box = _pTopoMesh ? _pTopoMesh->bbox() : VqBox3<float>();
    return true;
}

namespace {
struct P3 {
    double x, y, z;
};
P3 position(const Vq::VertexRecordFields& f, uint32_t r) {
    const int n = f.numVtxCoordComps();
    const float* c = f.vtxCoords() + size_t(r) * size_t(n);
    if (n == 2) return {c[0], c[1], 0.0};
    if (n == 4) return {c[0] / double(c[3]), c[1] / double(c[3]), c[2] / double(c[3])};
    return {c[0], c[1], c[2]};
}
double triArea(const P3& a, const P3& b, const P3& c) {
    const P3 u{b.x - a.x, b.y - a.y, b.z - a.z}, v{c.x - a.x, c.y - a.y, c.z - a.z};
    const double x = u.y * v.z - u.z * v.y, y = u.z * v.x - u.x * v.z, z = u.x * v.y - u.y * v.x;
    return 0.5 * std::sqrt(x * x + y * y + z * z);
}
double dist(const P3& a, const P3& b) {
    return std::sqrt((b.x - a.x) * (b.x - a.x) + (b.y - a.y) * (b.y - a.y) + (b.z - a.z) * (b.z - a.z));
}
} // namespace

float VqVertexShapeImpl::computeArea() const {
    if (!_pTopoMesh || _pTopoMesh->numIndices() == 0) return 0.0f;
    const VqTopoMesh& m = *_pTopoMesh;
    const Vq::VertexRecordFields& f = *m.vtxRecPool()->fields();
    const uint32_t* starts = m.primStarts();
    const uint32_t* idx = m.indices();
    double sum = 0;
    for (uint32_t p = 0; p < m.numPrims(); ++p) {
        const uint32_t b = starts[p], e = starts[p + 1];
        switch (m.primKind()) {
        case VqTopoMesh::VQ_PRIM_TRISTRIP:
            // Each window of three is one triangle; turns have no area.
            for (uint32_t i = b; i + 2 < e; ++i)
                sum += triArea(position(f, idx[i]), position(f, idx[i + 1]), position(f, idx[i + 2]));
            break;
        case VqTopoMesh::VQ_PRIM_POLYGON:
            // A fan from the first corner: exact for the convex polygons the meshes hold.
            for (uint32_t i = b + 1; i + 1 < e; ++i)
                sum += triArea(position(f, idx[b]), position(f, idx[i]), position(f, idx[i + 1]));
            break;
        case VqTopoMesh::VQ_PRIM_LINESTRIP:
            for (uint32_t i = b; i + 1 < e; ++i)
                sum += dist(position(f, idx[i]), position(f, idx[i + 1]));
            break;
        case VqTopoMesh::VQ_PRIM_POINT:
            sum += double(e - b);
            break;
        }
    }
    return static_cast<float>(sum);
}

size_t VqVertexShapeImpl::_memSize(bool deep) const {
    return sizeof(*this) + (deep && _pTopoMesh ? _pTopoMesh->_memSize(true) : 0);
}

int VqVertexShapeImpl::computeSize() const {
    const size_t s = _memSize(true);
    return s > size_t(INT32_MAX) ? INT32_MAX : static_cast<int>(s);
}

bool VqVertexShapeImpl::shrink() {
    if (_pTopoMesh) {
        WriteLock lock(*_pTopoMesh);
        VQ_PROPAGATE(_pTopoMesh->shrink());
    }
    return true;
}

// ---- Record

bool VqVertexShapeImpl::_writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
    if (!_pTopoMesh) VQ_FAIL(kCls, "serialize", "_pTopoMesh", VQ_ERR_INTERNAL);
    if (fmt.generation() == 0) return _writeOlderLevel(os, fmt);
    VQ_PROPAGATE(os.write(static_cast<unsigned long>(_eBindings & s_kBindings40)));
    if (fmt.generation() == 10) return VqElementIO::writeLogicalElementV10(os, _pTopoMesh.get());
    return _pTopoMesh->serializeVersion(os, fmt.major, fmt.minor);
}

bool VqVertexShapeImpl::_readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int) {
    if (fmt.generation() == 0) return _readOlderLevel(os, fmt);
    unsigned long stored = 0;
    VQ_PROPAGATE(os.read(&stored));
    Vq::SharedPtr<VqTopoMesh> mesh;
    if (fmt.generation() == 10) {
        Vq::SharedPtr<VqBase> elem;
        VQ_PROPAGATE(VqElementIO::readLogicalElementOf(10, os, elem, VqTopoMesh::classTypeID()));
        mesh = Vq::typeCast<VqTopoMesh>(elem.get());
        if (!mesh || mesh->primKind() != meshKind())
            VQ_FAIL(kCls, "_deserializeVQ100virtual",
                    "_pTopoMesh = Vq::typeCast<VqTopoMesh>(Vq::ptr(pTM), VqTopoMesh::classTypeID())",
                    VQ_ERR_READ);
    } else {
        mesh = _newTopoMesh();
        if (!mesh) VQ_FAIL(kCls, "deserialize", "Allocation failed: new VqTopoMesh", VQ_ERR_ALLOC);
        VQ_PROPAGATE(mesh->deserializeVersion(os, fmt.major, fmt.minor));
    }
    _pTopoMesh = mesh;
    _eBindings = mesh->getBindings();
    invalidateCaches();
    return true;
}

bool VqVertexShapeImpl::_writeOlderLevel(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
    {
        WriteLock lock(*_pTopoMesh);
        VQ_PROPAGATE(lock.ok && _pTopoMesh->collocate());
    }
    int n = 0, t = 0, c = 0;
    VqInterleavedRepHelper::s_convertTopoMeshBindings(_pTopoMesh->getBindings(), n, t, c);
    if (fmt.major == 8) {
        int bits[4] = {0, 0, 0, 0};
        _pTopoMesh->getCompressionParams(bits[0], bits[1], bits[2], bits[3]);
        if (bits[0] > 24 || bits[1] > 13 || bits[2] > 24 || bits[3] > 24)
            VQ_FAIL(kCls, "serialize", kBitsCheck, VQ_ERR_ARGUMENT);
        VQ_PROPAGATE(os.write(n | (t << 8) | (c << 16)));
        for (int b : bits)
            VQ_PROPAGATE(os.write(static_cast<unsigned char>(b)));
        return true;
    }
    // No bounding-box hierarchy is kept with the implementation, so none follows.
    VQ_PROPAGATE(os.write(static_cast<unsigned char>(0)));
    return os.write(n) && os.write(t) && os.write(c);
}

bool VqVertexShapeImpl::_readOlderLevel(VqObjectStream& os, const Vq::RecordFormat& fmt) {
    int b[3] = {0, 0, 0};
    int bits[4] = {0, 0, 0, 0};
    if (fmt.major == 8) {
        int packed = 0;
        unsigned char u[4] = {};
        VQ_PROPAGATE(os.read(&packed));
        VQ_PROPAGATE(os.read(u, 4));
        for (int i = 0; i < 3; ++i)
            b[i] = (packed >> (8 * i)) & 0xFF;
        VQ_PROPAGATE(checkOlderBindings(b));
        if (u[0] > 24 || u[1] > 13 || u[2] > 24 || u[3] > 24)
            VQ_FAIL(kCls, "deserialize", kBitsCheck, VQ_ERR_CORRUPT);
        // The mesh quantises colours to 8 bits at most; finer counts mean the same.
        bits[0] = u[0], bits[1] = u[1], bits[2] = u[2], bits[3] = u[3] > 8 ? 8 : u[3];
    } else {
        unsigned char hasHierarchy = 0;
        VQ_PROPAGATE(os.read(&hasHierarchy));
        if (hasHierarchy) {
            // The hierarchy speeds up picking only and is rebuilt on demand,
            // so its record is passed over by the byte count its writer patched in.
            int nBytes = 0;
            VQ_PROPAGATE(os.read(&nBytes));
            if (nBytes < 0 || uint64_t(nBytes) > os._readLimit())
                VQ_FAIL(kCls, "deserialize", "nBBHierBytes", VQ_ERR_CORRUPT);
            unsigned char chunk[256];
            for (int left = nBytes; left > 0;) {
                const int n = left < int(sizeof chunk) ? left : int(sizeof chunk);
                VQ_PROPAGATE(os.read(chunk, n));
                left -= n;
            }
        }
        VQ_PROPAGATE(os.read(b, 3));
        VQ_PROPAGATE(checkOlderBindings(b));
    }
    // An empty mesh of the record's bindings, which the concrete level fills.
    Vq::SharedPtr<VqTopoMesh> mesh = _newTopoMesh();
    if (!mesh) VQ_FAIL(kCls, "deserialize", "Allocation failed: new VqTopoMesh", VQ_ERR_ALLOC);
    {
        WriteLock lock(*mesh);
        VQ_PROPAGATE(lock.ok);
        VQ_PROPAGATE(mesh->setBindings(VqInterleavedRepHelper::s_convertVtxBindings(b[0], b[1], b[2])));
        VQ_PROPAGATE(mesh->setCompressionParams(bits[0], bits[1], bits[2], bits[3]));
    }
    _pTopoMesh = mesh;
    _eBindings = mesh->getBindings();
    invalidateCaches();
    return true;
}

bool VqVertexShapeImpl::_writeOlderGeometry(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
    if (fmt.generation() != 0) return true;
    if (!_pTopoMesh) VQ_FAIL(kCls, "serialize", "_pTopoMesh", VQ_ERR_INTERNAL);
    if (fmt.major != 8) return VqInterleavedRepHelper::writeDBNeutralFormat(os, _pTopoMesh.get());
    VqCompressedRepHelper* h = VqCompressedRepHelper::s_acquireCompressedRepHelper();
    if (!h) VQ_FAIL(kCls, "serialize", "pCRH", VQ_ERR_ALLOC);
    int v = 0, n = 0, t = 0, c = 0;
    _pTopoMesh->getCompressionParams(v, n, t, c);
    // Vertex precision 0 is the lossless layout, which the compression level 0 asks for.
    const bool ok = h->setPrec(v, n, t, c) && h->writeV8Format(os, _pTopoMesh.get());
    VqCompressedRepHelper::s_releaseCompressedRepHelper(h);
    return ok;
}

bool VqVertexShapeImpl::_readOlderGeometry(VqObjectStream& os, const Vq::RecordFormat& fmt) {
    if (fmt.generation() != 0) return true;
    if (!_pTopoMesh) VQ_FAIL(kCls, "deserialize", "_pTopoMesh", VQ_ERR_INTERNAL);
    if (fmt.major != 8) {
        VQ_PROPAGATE(VqInterleavedRepHelper::readDBNeutralFormat(os, _pTopoMesh.get()));
    } else {
        VqCompressedRepHelper* h = VqCompressedRepHelper::s_acquireCompressedRepHelper();
        if (!h) VQ_FAIL(kCls, "deserialize", "crh", VQ_ERR_ALLOC);
        const bool ok = h->readV8Format(os, _pTopoMesh.get());
        VqCompressedRepHelper::s_releaseCompressedRepHelper(h);
        VQ_PROPAGATE(ok);
    }
    // The geometry's own bindings are those of the records it added.
    _eBindings = _pTopoMesh->getBindings();
    invalidateCaches();
    return true;
}
