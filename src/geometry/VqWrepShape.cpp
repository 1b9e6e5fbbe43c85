// Wire-harness shapes. Formats from 9.3 on hold them: the node's record is
// the primitive shape's level and a local version 1 (i16 in 9.x, u8 in 10);
// the implementation's is the primitive level, then a bool (4 bytes) telling
// whether the harness representation's record follows, and that record.
//
// This library does not model harnesses yet. A file holding one must still
// come out of a save as it went in, so the implementation keeps the
// harness record's bytes as stored -- the element's length says where they
// end -- and writes them back unchanged to a file of the same generation
// and byte order; a conversion that would have to rewrite them (to format
// 10 from 9, or to another byte order) is refused with an error that says
// so, rather than writing bytes whose meaning it cannot vouch for.
#include "VqWrepShape.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqObjectStream.h"
#include "VqVertexShapeImpl.h"
#include "VqWrepShapeImpl.h"

#include <string>

VQ_IMPLEMENT_TYPE(VqWrepShape, VqPrimitiveShape, CLSID_ZQWrepShape)
VQ_IMPLEMENT_TYPE(VqWrepShapeImpl, VqPrimitiveShapeImpl, CLSID_ZQWrepShapeImpl)

namespace {
constexpr const char* kCls = "VqWrepShape";
constexpr const char* kImplCls = "VqWrepShapeImpl";

bool refuseBefore93(const Vq::RecordFormat& fmt, const char* cls, const char* method) {
    if (!fmt.before(9, 3)) return true;
    const std::string text = "Wire-harness shapes need a format 9.3 or later file, not " +
                             std::to_string(fmt.major) + "." + std::to_string(fmt.minor);
    VQ_FAIL(cls, method, text.c_str(), VQ_ERR_WRITE);
}
} // namespace

VqShapeImpl* VqWrepShape::createImplInstance() const {
    return new VqWrepShapeImpl();
}

bool VqWrepShape::_writeFields(VqObjectStream&, const Vq::RecordFormat& fmt) const {
    return refuseBefore93(fmt, kCls, "serialize");
}

bool VqWrepShape::_readFields(VqObjectStream&, const Vq::RecordFormat& fmt, int) {
    if (fmt.before(9, 3))
        VQ_FAIL(kCls, "deserialize", "Wire-harness shapes need a format 9.3 or later file", VQ_ERR_READ);
    return true;
}

bool VqWrepShapeImpl::removeAllPrims() {
    if (_wireRep.empty()) return true;
    _wireRep.clear();
    invalidateCaches();
    sendNotification(this, VqVertexShapeImpl::VQ_CHANGE_GEOMETRY);
    return true;
}

int VqWrepShapeImpl::computeSize() const {
    return static_cast<int>(sizeof(*this) + _wireRep.size());
}

bool VqWrepShapeImpl::_writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
    VQ_PROPAGATE(refuseBefore93(fmt, kImplCls, "serialize"));
    VQ_PROPAGATE(os.write(hasWireRep()));
    return _wireRep.write(os, kImplCls, "a wire-harness representation");
}

bool VqWrepShapeImpl::_readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int) {
    if (fmt.before(9, 3))
        VQ_FAIL(kImplCls, "deserialize", "Wire-harness shapes need a format 9.3 or later file", VQ_ERR_READ);
    bool present = false;
    VQ_PROPAGATE(os.read(&present));
    _wireRep.clear();
    if (!present) return true;
    VQ_PROPAGATE(_wireRep.readRest(os, kImplCls));
    // Its record starts with a local version: a flag with nothing after it
    // is a damaged element, not an empty harness.
    if (_wireRep.empty())
        VQ_FAIL(kImplCls, "deserialize", "The wire-harness record is missing", VQ_ERR_CORRUPT);
    return true;
}
