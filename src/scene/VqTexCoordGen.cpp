#include "VqTexCoordGen.h"

#include "VqElementIO.h"
#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(VqTexCoordGen, VqAttribute, CLSID_ZQTexCoordGen)

bool VqTexCoordGen::_apply(VqRenderContext&, const VqState*, bool, bool) const {
    return true;
}

bool VqTexCoordGen::accumulateHook(const VqAttribute& a, const VqState*, const VqPath*) {
    const VqTexCoordGen& in = static_cast<const VqTexCoordGen&>(a);
    if (_mergeField(in, Channel)) _iChannel = in._iChannel;
    if (_mergeField(in, Surface)) _pMappingSurface = in._pMappingSurface;
    _resetHash();
    return true;
}

bool VqTexCoordGen::setTexCoordChannel(int channel) {
    VQ_CHECK(channel >= 0 && channel < 32, "VqTexCoordGen", "setTexCoordChannel", VQ_ERR_ARGUMENT);
    if (channel == _iChannel) return true;
    _iChannel = channel;
    _resetHash();
    VQ_PROPAGATE(sendNotification(this, Vq::BaseChangeRendering));
    return true;
}

bool VqTexCoordGen::setMappingSurface(VqMappingSurface* surface) {
    VQ_CHECK(surface != nullptr, "VqTexCoordGen", "setMappingSurface", VQ_ERR_ARGUMENT);
    if (surface == _pMappingSurface.get()) return true;
    _pMappingSurface = surface;
    _resetHash();
    VQ_PROPAGATE(sendNotification(this, Vq::BaseChangeRendering));
    return true;
}

// The channel, then the mapping surface as an element nested in this one.
bool VqTexCoordGen::_writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
    VQ_PROPAGATE(os.write(_iChannel));
    return VqElementIO::writeLogicalElementOf(fmt.major, os, _pMappingSurface.get());
}

bool VqTexCoordGen::_readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int) {
    VQ_PROPAGATE(os.read(&_iChannel));
    Vq::SharedPtr<VqBase> pBase;
    VQ_PROPAGATE(VqElementIO::readLogicalElementOf(fmt.major, os, pBase, VqMappingSurface::classTypeID()));
    if (!(_pMappingSurface = Vq::typeCast<VqMappingSurface>(pBase.get(), VqMappingSurface::classTypeID())))
        VQ_FAIL("VqTexCoordGen", "_readFields",
                "_pMappingSurface = Vq::typeCast<VqMappingSurface>(Vq::ptr(pBase), "
                "VqMappingSurface::classTypeID())",
                VQ_ERR_INTERNAL);
    _resetHash();
    return true;
}
