// Volume shapes. Format 9 stores the implementation as a local version 1
// and the octree's own record, whose layout this library does not define;
// format 10 has no layout of its own for it, so this library writes the
// same there (with the u8 local version of format 10). Formats before 9
// have no volume shapes.
//
// The octree is kept as the bytes it was stored as -- the element's length
// says where they end -- and written back unchanged to a file of the same
// generation and byte order, so that a file holding volumes survives a save
// whole; a conversion that would have to rewrite them is refused with an
// error that says so. Building a volume from another shape needs the
// octree's layout, and is not offered.
#include "VqVolumeShape.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqObjectStream.h"
#include "VqVolumeShapeImpl.h"

#include <string>

VQ_IMPLEMENT_TYPE(VqVolumeShape, VqShape, CLSID_ZQVolumeShape)
VQ_IMPLEMENT_TYPE(VqVolumeShapeImpl, VqShapeImpl, CLSID_ZQVolumeShapeImpl)

namespace {
constexpr const char* kImplCls = "VqVolumeShapeImpl";
}

VqShapeImpl* VqVolumeShape::createImplInstance() const {
    return new VqVolumeShapeImpl();
}

int VqVolumeShapeImpl::computeSize() const {
    return static_cast<int>(sizeof(*this) + _octree.size());
}

bool VqVolumeShapeImpl::_writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
    if (fmt.generation() == 0) {
        const std::string text = "Volume shapes need a format 9.0 or later file, not " +
                                 std::to_string(fmt.major) + "." + std::to_string(fmt.minor);
        VQ_FAIL(kImplCls, "serialize", text.c_str(), VQ_ERR_WRITE);
    }
    return _octree.write(os, kImplCls, "a volume octree");
}

bool VqVolumeShapeImpl::_readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int) {
    if (fmt.generation() == 0)
        VQ_FAIL(kImplCls, "deserialize", "Volume shapes need a format 9.0 or later file", VQ_ERR_READ);
    return _octree.readRest(os, kImplCls);
}
