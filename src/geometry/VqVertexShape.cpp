// The vertex shape node: building shapes in code, the binding conversions,
// the minimum versions and the node's record (after the shape's level):
//
//   VQ 10      u8 local version 1; u64 bindings (bits 0-39 and 61-63)
//   VQ 9.4+    i16 local version 2; u64 bindings (bits 0-39); four u8 bit
//              counts (coordinates, normals, texture coordinates, colours;
//              ignored on reading); u64 bindings (bits 0-39 and 61-63). A
//              record of local version 1 ends after the bit counts.
//   VQ 9.0     i16 local version 1; u64 bindings (bits 0-39); the four bit counts
//   VQ 8.x     i32 normal, texture and colour bindings (Binding values);
//              the four bit counts
//   VQ 6.4-7.x the three i32 bindings
//
// The kinds with an area factor write this level in its 9.0 form in 9.4+
// files too, and carry the full bindings after the factor on their own level:
//
//   VQ 10      u8 local version 1; f32 area factor
//   VQ 9.4+    i16 local version 2; f32 area factor; u64 bindings (all bits)
//   VQ 9.0     i16 local version 1; f32 area factor
//   before 9   f32 area factor
#include "VqVertexShape.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqGeomBindings.h"
#include "VqObjectStream.h"
#include "VqVertexShapeImpl.h"

#include <cmath>

VQ_IMPLEMENT_ABSTRACT_TYPE(VqVertexShape, VqShape, CLSID_ZQVertexShape)

namespace {
constexpr const char* kCls = "VqVertexShape";
}

bool VqVertexShape::_vertexImpl(Vq::SharedPtr<VqVertexShapeImpl>& out, const char* method) {
    Vq::SharedPtr<VqShapeImpl> cur = ensureImpl();
    if (!cur) VQ_FAIL(kCls, method, "pImpl", VQ_ERR_INTERNAL);
    out = Vq::typeCast<VqVertexShapeImpl>(cur.get());
    if (!out) VQ_FAIL(kCls, method, "pImpl", VQ_ERR_INTERNAL);
    return true;
}

bool VqVertexShape::_prepareNewImpl(VqShapeImpl& impl) const {
    auto* v = Vq::typeCast<VqVertexShapeImpl>(&impl);
    if (!v) return true;
    VQ_PROPAGATE(v->setBindings(_eBindings));
    return v->_setCompressionLevel(_fCompressionLevel);
}

bool VqVertexShape::_applyCompressionLevel(VqShapeImpl& impl) const {
    auto* v = Vq::typeCast<VqVertexShapeImpl>(&impl);
    return v ? v->_setCompressionLevel(_fCompressionLevel) : true;
}

bool VqVertexShape::setBindings(uint64_t eBindings) {
    VQ_PROPAGATE(VqVertexShapeImpl::s_checkBindings(eBindings, kCls, "setBindings"));
    Vq::SharedPtr<VqShapeImpl> cur;
    if (impl()) VQ_PROPAGATE(_ownImpl(cur, "setBindings"));
    if (auto* v = cur ? Vq::typeCast<VqVertexShapeImpl>(cur.get()) : nullptr)
        VQ_PROPAGATE(v->setBindings(eBindings));
    _eBindings = eBindings;
    return true;
}

bool VqVertexShape::removeAllPrims() {
    Vq::SharedPtr<VqVertexShapeImpl> v;
    VQ_PROPAGATE(_vertexImpl(v, "removeAllPrims"));
    return v->removeAllPrims();
}

uint32_t VqVertexShape::numPrims() const {
    Vq::SharedPtr<VqShapeImpl> cur = impl();
    auto* v = cur ? Vq::typeCast<VqVertexShapeImpl>(cur.get()) : nullptr;
    return v ? v->numPrims() : 0;
}

bool VqVertexShape::addPrims(VqShapeDataIter<VqPrimData, 1>& prims) {
    Vq::SharedPtr<VqVertexShapeImpl> v;
    VQ_PROPAGATE(_vertexImpl(v, "addPrims"));
    return v->addPrims(prims);
}

namespace {
// One bundle, as a sequence of one.
class OnePrim : public VqShapeDataIter<VqPrimData, 1> {
public:
    explicit OnePrim(const VqPrimData& pd) : _pd(pd) {}
    uint32_t count() const override { return 1; }
    const VqPrimData* at(uint32_t) const override { return &_pd; }

private:
    const VqPrimData& _pd;
};
} // namespace

bool VqVertexShape::addPrim(const VqShapeDataIter<float, 3>* coords, const VqShapeDataIter<float, 3>* normals,
                            const VqShapeDataIter<float, 2>* texCoords,
                            const VqShapeDataIter<float, 3>* colors, int primType) {
    VqPrimData pd;
    pd.setCoords(coords, false);
    pd.setNormals(normals, false);
    pd.setTexCoords(texCoords, false);
    pd.setColors(colors, false);
    pd.setPrimType(primType);
    OnePrim one(pd);
    return addPrims(one);
}

int VqVertexShape::atomPrim(uint32_t atom) const {
    Vq::SharedPtr<VqShapeImpl> cur = impl();
    auto* v = cur ? Vq::typeCast<VqVertexShapeImpl>(cur.get()) : nullptr;
    return v ? v->atomPrim(atom) : -1;
}

bool VqVertexShape::getCompressionParams(int& vtxBits, int& normBits, int& texBits, int& colBits) const {
    vtxBits = normBits = texBits = colBits = 0;
    if (const VqTopoMesh* m = topoMesh()) m->getCompressionParams(vtxBits, normBits, texBits, colBits);
    return true;
}

uint64_t VqVertexShape::s_convertVtxBindings(Binding normal, Binding texture, Binding color) {
    uint64_t e = VQ_GEOMBIND_VTXCOORD3;
    if (normal != NoBind) e |= VQ_GEOMBIND_NORMVEC3;
    if (texture != NoBind) e |= VQ_GEOMBIND_TEXCOORD2_C0;
    if (color != NoBind) e |= VQ_GEOMBIND_VTXCOLOR3;
    return e;
}

void VqVertexShape::s_convertTopoMeshBindings(uint64_t e, Binding& normal, Binding& texture, Binding& color) {
    normal = (e & VQ_GEOMBIND_NORMVEC_MASK) ? PerVertex : NoBind;
    texture = (e & VQ_GEOMBIND_TEXCOORD_C0_MASK) ? PerVertex : NoBind;
    color = (e & VQ_GEOMBIND_VTXCOLOR_MASK) ? PerVertex : NoBind;
}

bool VqVertexShape::isPostV82Content() const {
    if (_eBindings & VQ_GEOMBIND_VTXFLAG_MASK) return true;
    if (const VqTopoMesh* m = topoMesh())
        if (m->numFaceGroups() > 1) return true;
    return Record::isPostV82Content();
}

bool VqVertexShape::isPostV93Content() const {
    return (_eBindings & VQ_GEOMBIND_AUXFIELDS_MASK) || Record::isPostV93Content();
}

bool VqVertexShape::isPostV97Content() const {
    return (_eBindings & (uint64_t(1) << 62)) || Record::isPostV97Content();
}

// ---- Record

int VqVertexShape::_localVersion(const Vq::RecordFormat& fmt) const {
    return fmt.generation() == 9 && fmt.atLeast(9, 4) && _fullBindingsInOwnLevel94() ? 2 : 1;
}

bool VqVertexShape::_writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
    if (fmt.generation() == 10)
        return os.write(static_cast<unsigned long>(_eBindings & VqVertexShapeImpl::s_kBindingsStored));
    int bits[4] = {0, 0, 0, 0};
    getCompressionParams(bits[0], bits[1], bits[2], bits[3]);
    auto writeBits = [&] {
        for (int b : bits)
            VQ_PROPAGATE(os.write(static_cast<unsigned char>(b)));
        return true;
    };
    if (fmt.generation() == 9) {
        VQ_PROPAGATE(os.write(static_cast<unsigned long>(_eBindings & VqVertexShapeImpl::s_kBindings40)));
        VQ_PROPAGATE(writeBits());
        if (_localVersion(fmt) < 2) return true;
        return os.write(static_cast<unsigned long>(_eBindings & VqVertexShapeImpl::s_kBindingsStored));
    }
    Binding n, t, c;
    s_convertTopoMeshBindings(_eBindings, n, t, c);
    VQ_PROPAGATE(os.write(int(n)) && os.write(int(t)) && os.write(int(c)));
    return fmt.atLeast(8, 0) ? writeBits() : true;
}

bool VqVertexShape::_readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion) {
    unsigned long stored = 0;
    if (fmt.generation() == 10) {
        VQ_PROPAGATE(os.read(&stored));
        _eBindings = stored;
        return true;
    }
    unsigned char bits[4];
    if (fmt.generation() == 9) {
        VQ_PROPAGATE(os.read(&stored));
        VQ_PROPAGATE(os.read(bits, 4));
        if (localVersion >= 2) VQ_PROPAGATE(os.read(&stored));
        _eBindings = stored;
        return true;
    }
    int b[3] = {0, 0, 0};
    VQ_PROPAGATE(os.read(b, 3));
    static const char* const kChecks[3] = {
        "nb==VqVertexShape::NoBind || nb==VqVertexShape::PerVertex || nb==VqVertexShape::PerFacet || "
        "nb==VqVertexShape::PerPrim",
        "tb==VqVertexShape::NoBind || tb==VqVertexShape::PerVertex || tb==VqVertexShape::PerFacet || "
        "tb==VqVertexShape::PerPrim",
        "cb==VqVertexShape::NoBind || cb==VqVertexShape::PerVertex || cb==VqVertexShape::PerFacet || "
        "cb==VqVertexShape::PerPrim"};
    for (int i = 0; i < 3; ++i)
        if (b[i] < NoBind || b[i] > PerPrim) VQ_FAIL(kCls, "deserialize", kChecks[i], VQ_ERR_CORRUPT);
    if (fmt.atLeast(8, 0)) VQ_PROPAGATE(os.read(bits, 4));
    _eBindings = s_convertVtxBindings(Binding(b[0]), Binding(b[1]), Binding(b[2]));
    return true;
}

bool VqVertexShape::_writeAreaFactor(VqObjectStream& os, const Vq::RecordFormat& fmt, float factor,
                                     uint64_t eBindings) {
    VQ_PROPAGATE(os.write(factor));
    if (fmt.generation() == 9 && fmt.atLeast(9, 4)) return os.write(static_cast<unsigned long>(eBindings));
    return true;
}

bool VqVertexShape::_readAreaFactor(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion,
                                    float& factor, uint64_t& eBindings) {
    float f = 0;
    VQ_PROPAGATE(os.read(&f));
    // A factor the interface would refuse is not kept: it scales only the
    // area that culling weighs, and the shape is sound without it.
    if (std::isfinite(f) && f >= 0.0f) factor = f;
    if (fmt.generation() == 9 && localVersion >= 2) {
        unsigned long full = 0;
        VQ_PROPAGATE(os.read(&full));
        eBindings = full;
    }
    return true;
}
