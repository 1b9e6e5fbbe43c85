// Shapes of analytic primitives: the node and the implementation share one
// level of their records (after the shape's and the implementation's):
//
//   VQ 10      u8 local version 1; u64 bindings (bits 0-39 and 61-63); u8
//              texture generation type
//   VQ 9.x     i16 local version 1; i32 texture binding; i32 colour binding
//              (Binding values; normals are always bound); i32 texture
//              generation type
//   VQ 8.x     the two i32 bindings; i32 texture generation type
//   VQ 6.4-7.x the two i32 bindings
#include "VqPrimitiveShape.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqGeomBindings.h"
#include "VqObjectStream.h"
#include "VqPrimitiveShapeImpl.h"
#include "VqVertexShapeImpl.h"

VQ_IMPLEMENT_ABSTRACT_TYPE(VqPrimitiveShape, VqShape, CLSID_ZQPrimitiveShape)
VQ_IMPLEMENT_ABSTRACT_TYPE(VqPrimitiveShapeImpl, VqShapeImpl, CLSID_ZQPrimitiveShapeImpl)

namespace {
constexpr const char* kCls = "VqPrimitiveShape";
constexpr const char* kImplCls = "VqPrimitiveShapeImpl";
} // namespace

VqPrimitiveShape::VqPrimitiveShape() : Record(VQ_GEOMBIND_VTXCOORD3 | VQ_GEOMBIND_NORMVEC3) {}

uint64_t VqPrimitiveShape::s_convertVtxBindings(Binding normal, Binding texture, Binding color) {
    uint64_t e = VQ_GEOMBIND_VTXCOORD3;
    if (normal != NoBind) e |= VQ_GEOMBIND_NORMVEC3;
    if (texture != NoBind) e |= VQ_GEOMBIND_TEXCOORD2_C0;
    if (color != NoBind) e |= VQ_GEOMBIND_VTXCOLOR3;
    return e;
}

void VqPrimitiveShape::s_convertTopoMeshBindings(uint64_t e, Binding& normal, Binding& texture,
                                                 Binding& color) {
    normal = (e & VQ_GEOMBIND_NORMVEC_MASK) ? PerVertex : NoBind;
    texture = (e & VQ_GEOMBIND_TEXCOORD_C0_MASK) ? PerVertex : NoBind;
    color = (e & VQ_GEOMBIND_VTXCOLOR_MASK) ? PerVertex : NoBind;
}

bool VqPrimitiveShape::s_checkTexGenType(int type, const char* cls, const char* method) {
    if (type < 0 || type > s_kMaxTexGenType)
        VQ_FAIL(cls, method, "iTexGenType >= 0 && iTexGenType <= 255", VQ_ERR_ARGUMENT);
    return true;
}

bool VqPrimitiveShape::_primitiveImpl(Vq::SharedPtr<VqPrimitiveShapeImpl>& out, const char* method) {
    Vq::SharedPtr<VqShapeImpl> cur = ensureImpl();
    if (!cur) VQ_FAIL(kCls, method, "pImpl", VQ_ERR_INTERNAL);
    out = Vq::typeCast<VqPrimitiveShapeImpl>(cur.get());
    if (!out) VQ_FAIL(kCls, method, "pImpl", VQ_ERR_INTERNAL);
    return true;
}

bool VqPrimitiveShape::_prepareNewImpl(VqShapeImpl& impl) const {
    auto* p = Vq::typeCast<VqPrimitiveShapeImpl>(&impl);
    if (!p) return true;
    return p->setBindings(_eBindings) && p->setTexGenType(_uTexGenType);
}

bool VqPrimitiveShape::removeAllPrims() {
    Vq::SharedPtr<VqPrimitiveShapeImpl> p;
    VQ_PROPAGATE(_primitiveImpl(p, "removeAllPrims"));
    return p->removeAllPrims();
}

uint32_t VqPrimitiveShape::numPrims() const {
    Vq::SharedPtr<VqShapeImpl> cur = impl();
    auto* p = cur ? Vq::typeCast<VqPrimitiveShapeImpl>(cur.get()) : nullptr;
    return p ? p->numPrims() : 0;
}

int VqPrimitiveShape::atomPrim(uint32_t atom) const {
    Vq::SharedPtr<VqShapeImpl> cur = impl();
    auto* p = cur ? Vq::typeCast<VqPrimitiveShapeImpl>(cur.get()) : nullptr;
    return p ? p->atomPrim(atom) : -1;
}

// The loaded implementation follows the node, as a vertex shape's does.
bool VqPrimitiveShape::setTexGenType(int type) {
    VQ_PROPAGATE(s_checkTexGenType(type, kCls, "setTexGenType"));
    if (Vq::SharedPtr<VqShapeImpl> cur = impl())
        if (auto* p = Vq::typeCast<VqPrimitiveShapeImpl>(cur.get())) VQ_PROPAGATE(p->setTexGenType(type));
    _uTexGenType = uint8_t(type);
    return true;
}

bool VqPrimitiveShape::setBindings(uint64_t eBindings) {
    VQ_PROPAGATE(VqVertexShapeImpl::s_checkBindings(eBindings, kCls, "setBindings"));
    if (Vq::SharedPtr<VqShapeImpl> cur = impl())
        if (auto* p = Vq::typeCast<VqPrimitiveShapeImpl>(cur.get())) VQ_PROPAGATE(p->setBindings(eBindings));
    _eBindings = eBindings;
    return true;
}

bool VqPrimitiveShape::isPostV80Content() const {
    return _uTexGenType != 0 || Record::isPostV80Content();
}

// ---- The shared level

bool VqPrimitiveShape::s_writePrimitiveLevel(VqObjectStream& os, const Vq::RecordFormat& fmt,
                                             uint64_t eBindings, int texGenType) {
    if (fmt.generation() == 10)
        return os.write(static_cast<unsigned long>(eBindings & VqVertexShapeImpl::s_kBindingsStored)) &&
               os.write(static_cast<unsigned char>(texGenType));
    Binding n, t, c;
    s_convertTopoMeshBindings(eBindings, n, t, c);
    VQ_PROPAGATE(os.write(int(t)) && os.write(int(c)));
    return fmt.atLeast(8, 0) ? os.write(texGenType) : true;
}

bool VqPrimitiveShape::s_readPrimitiveLevel(VqObjectStream& os, const Vq::RecordFormat& fmt, const char* cls,
                                            uint64_t& eBindings, uint8_t& texGenType) {
    if (fmt.generation() == 10) {
        unsigned long stored = 0;
        unsigned char tg = 0;
        VQ_PROPAGATE(os.read(&stored) && os.read(&tg));
        eBindings = stored;
        texGenType = tg;
        return true;
    }
    int b[2] = {0, 0};
    VQ_PROPAGATE(os.read(b, 2));
    static const char* const kChecks[2] = {"tb==VqPrimitiveShape::NoBind || tb==VqPrimitiveShape::PerVertex "
                                           "|| tb==VqPrimitiveShape::PerFacet || "
                                           "tb==VqPrimitiveShape::PerPrim",
                                           "cb==VqPrimitiveShape::NoBind || cb==VqPrimitiveShape::PerVertex "
                                           "|| cb==VqPrimitiveShape::PerFacet || "
                                           "cb==VqPrimitiveShape::PerPrim"};
    for (int i = 0; i < 2; ++i)
        if (b[i] < NoBind || b[i] > PerPrim) VQ_FAIL(cls, "deserialize", kChecks[i], VQ_ERR_CORRUPT);
    int tg = 0;
    if (fmt.atLeast(8, 0)) {
        VQ_PROPAGATE(os.read(&tg));
        if (tg < 0 || tg > s_kMaxTexGenType)
            VQ_FAIL(cls, "deserialize", "iTexGenType >= 0 && iTexGenType <= 255", VQ_ERR_CORRUPT);
    }
    eBindings = s_convertVtxBindings(PerVertex, Binding(b[0]), Binding(b[1]));
    texGenType = uint8_t(tg);
    return true;
}

bool VqPrimitiveShape::_writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
    return s_writePrimitiveLevel(os, fmt, _eBindings, _uTexGenType);
}

bool VqPrimitiveShape::_readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int) {
    return s_readPrimitiveLevel(os, fmt, kCls, _eBindings, _uTexGenType);
}

// ---- The implementation

bool VqPrimitiveShapeImpl::setBindings(uint64_t eBindings) {
    VQ_PROPAGATE(VqVertexShapeImpl::s_checkBindings(eBindings, kImplCls, "setBindings"));
    _eBindings = eBindings;
    return true;
}

bool VqPrimitiveShapeImpl::setTexGenType(int type) {
    VQ_PROPAGATE(VqPrimitiveShape::s_checkTexGenType(type, kImplCls, "setTexGenType"));
    _uTexGenType = uint8_t(type);
    return true;
}

bool VqPrimitiveShapeImpl::isPostV80Content() const {
    return _uTexGenType != 0 || Record::isPostV80Content();
}

bool VqPrimitiveShapeImpl::_writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
    return VqPrimitiveShape::s_writePrimitiveLevel(os, fmt, _eBindings, _uTexGenType);
}

bool VqPrimitiveShapeImpl::_readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int) {
    return VqPrimitiveShape::s_readPrimitiveLevel(os, fmt, kImplCls, _eBindings, _uTexGenType);
}
