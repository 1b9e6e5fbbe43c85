#include "VqNullShape.h"
#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqNullShapeImpl.h"
#include "VqObjectStream.h"

VQ_IMPLEMENT_TYPE(VqNullShape, VqShape, CLSID_ZQNullShape)
VQ_IMPLEMENT_TYPE(VqNullShapeImpl, VqShapeImpl, CLSID_ZQNullShapeImpl)

VqShapeImpl* VqNullShape::createImplInstance() const {
    return new VqNullShapeImpl();
}

void VqNullShapeImpl::setExtent(const VqBox3<float>& extent) {
    _extent = extent;
    invalidateCaches();
}

bool VqNullShapeImpl::computeBBox(VqBox3<float>& box) const {
    box = _extent;
    return true;
}

bool VqNullShapeImpl::_writeFields(VqObjectStream& os, const Vq::RecordFormat&) const {
    for (int i = 0; i < 3; ++i)
        VQ_PROPAGATE(os.write(_extent.min[i]));
    for (int i = 0; i < 3; ++i)
        VQ_PROPAGATE(os.write(_extent.max[i]));
    return true;
}

bool VqNullShapeImpl::_readFields(VqObjectStream& os, const Vq::RecordFormat&, int) {
    VqBox3<float> e;
    for (int i = 0; i < 3; ++i)
        VQ_PROPAGATE(os.read(&e.min[i]));
    for (int i = 0; i < 3; ++i)
        VQ_PROPAGATE(os.read(&e.max[i]));
    setExtent(e);
    return true;
}
