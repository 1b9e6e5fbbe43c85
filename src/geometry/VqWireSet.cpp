// Wire sets. The implementation's record, in every format before 10, is
// three i32 bindings (normal, texture, colour as Binding values) followed by
// the wire representation's record as the external library wrote it
// through its bridge; there is no local version. Format 10 has no layout of
// its own for it, so this library writes the same fields there after a u8
// local version 1, as every format-10 level starts, which leaves room for a
// later layout.
//
// The bridge's record is not this library's to read. The implementation
// keeps its bytes as stored -- the element's length says where they end --
// and writes them back unchanged to a file of the same generation and byte
// order, so that a file holding wire sets survives a save whole; a
// conversion that would have to rewrite them is refused with an error that
// says so. A wire set built in memory has no wire representation and
// writes the bindings alone.
#include "VqWireSet.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqObjectStream.h"
#include "VqVertexShape.h"
#include "VqWireSetImpl.h"

VQ_IMPLEMENT_TYPE(VqWireSet, VqShape, CLSID_ZQWireSet)
VQ_IMPLEMENT_TYPE(VqWireSetImpl, VqShapeImpl, CLSID_ZQWireSetImpl)

namespace {
constexpr const char* kImplCls = "VqWireSetImpl";

bool checkBinding(int b) {
    return b >= VqWireSet::NoBind && b <= VqWireSet::PerPrim;
}
} // namespace

VqShapeImpl* VqWireSet::createImplInstance() const {
    return new VqWireSetImpl();
}

bool VqWireSet::_prepareNewImpl(VqShapeImpl& impl) const {
    auto* w = Vq::typeCast<VqWireSetImpl>(&impl);
    if (!w) return true;
    Binding n, t, c;
    bindings(n, t, c);
    return w->setBindings(n, t, c);
}

void VqWireSet::bindings(Binding& normal, Binding& texture, Binding& color) const {
    if (Vq::SharedPtr<VqShapeImpl> cur = impl())
        if (auto* w = Vq::typeCast<VqWireSetImpl>(cur.get())) {
            int n = 0, t = 0, c = 0;
            w->bindings(n, t, c);
            normal = Binding(n);
            texture = Binding(t);
            color = Binding(c);
            return;
        }
    // The node keeps them as a mask, which says bound or not.
    VqVertexShape::Binding n, t, c;
    VqVertexShape::s_convertTopoMeshBindings(_eBindings, n, t, c);
    normal = Binding(n);
    texture = Binding(t);
    color = Binding(c);
}

bool VqWireSet::setBindings(Binding normal, Binding texture, Binding color) {
    if (!checkBinding(normal) || !checkBinding(texture) || !checkBinding(color))
        VQ_FAIL("VqWireSet", "setBindings", "Incorrect bindings specified", VQ_ERR_ARGUMENT);
    if (Vq::SharedPtr<VqShapeImpl> cur = impl())
        if (auto* w = Vq::typeCast<VqWireSetImpl>(cur.get()))
            VQ_PROPAGATE(w->setBindings(normal, texture, color));
    _eBindings = VqVertexShape::s_convertVtxBindings(
        VqVertexShape::Binding(normal), VqVertexShape::Binding(texture), VqVertexShape::Binding(color));
    return true;
}

void VqWireSetImpl::bindings(int& normal, int& texture, int& color) const {
    normal = _iBindings[0];
    texture = _iBindings[1];
    color = _iBindings[2];
}

bool VqWireSetImpl::setBindings(int normal, int texture, int color) {
    if (!checkBinding(normal) || !checkBinding(texture) || !checkBinding(color))
        VQ_FAIL(kImplCls, "setBindings", "Incorrect bindings specified", VQ_ERR_ARGUMENT);
    _iBindings[0] = normal;
    _iBindings[1] = texture;
    _iBindings[2] = color;
    return true;
}

int VqWireSetImpl::computeSize() const {
    return static_cast<int>(sizeof(*this) + _wireRep.size());
}

bool VqWireSetImpl::_writeFields(VqObjectStream& os, const Vq::RecordFormat&) const {
    VQ_PROPAGATE(os.write(_iBindings, 3));
    return _wireRep.write(os, kImplCls, "a wire representation of an external library");
}

bool VqWireSetImpl::_readFields(VqObjectStream& os, const Vq::RecordFormat&, int) {
    int b[3] = {0, 0, 0};
    VQ_PROPAGATE(os.read(b, 3));
    static const char* const kChecks[3] = {"nb==VqWireSet::NoBind || nb==VqWireSet::PerVertex || "
                                           "nb==VqWireSet::PerFacet || nb==VqWireSet::PerPrim",
                                           "tb==VqWireSet::NoBind || tb==VqWireSet::PerVertex || "
                                           "tb==VqWireSet::PerFacet || tb==VqWireSet::PerPrim",
                                           "cb==VqWireSet::NoBind || cb==VqWireSet::PerVertex || "
                                           "cb==VqWireSet::PerFacet || cb==VqWireSet::PerPrim"};
    for (int i = 0; i < 3; ++i)
        if (!checkBinding(b[i])) VQ_FAIL(kImplCls, "deserialize", kChecks[i], VQ_ERR_CORRUPT);
    for (int i = 0; i < 3; ++i)
        _iBindings[i] = b[i];
    return _wireRep.readRest(os, kImplCls);
}
