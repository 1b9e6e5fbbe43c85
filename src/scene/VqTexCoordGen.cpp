#include "VqTexCoordGen.h"

#include "VqFactory.h"
#include "VqElementIO.h"

VQ_IMPLEMENT_TYPE(VqTexCoordGen, VqAttribute, CLSID_ZQTexCoordGen)
VQ_IMPLEMENT_LEVEL_IO(VqTexCoordGen, VqAttribute)

bool VqTexCoordGen::clone(VqAttribute*& out) const {
    out = new VqTexCoordGen(*this);
    if (!out)
        VQ_FAIL("VqTexCoordGen", "clone", "Allocation failed: out = new VqTexCoordGen(*this)", VQ_ERR_ALLOC);
    return true;
}

int VqTexCoordGen::compareHook(const VqAttribute& o) const {
    const VqTexCoordGen& t = static_cast<const VqTexCoordGen&>(o);
    if (int c = vqCompareValues(_iChannel, t._iChannel)) return c;
    if (_pMappingSurface != t._pMappingSurface)
        return _pMappingSurface.get() < t._pMappingSurface.get() ? -1 : 1;
    return vqCompareValues(hashValue(), o.hashValue());
}

bool VqTexCoordGen::isEqualHook(const VqAttribute& o) const {
    const VqTexCoordGen& t = static_cast<const VqTexCoordGen&>(o);
    if (_iChannel != t._iChannel) return false;
    if (_pMappingSurface == t._pMappingSurface) return true;
    return _pMappingSurface && t._pMappingSurface && _pMappingSurface->isEqual(*t._pMappingSurface);
}

void VqTexCoordGen::_updateHashVal() const {
    VqAttribute::_updateHashVal();
    _uHashVal = VqHashBuilder(_uHashVal).add(_iChannel).addPtr(_pMappingSurface.get()).value();
}

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
    VQ_PROPAGATE(sendNotification(this, 4));
    return true;
}

bool VqTexCoordGen::setMappingSurface(VqMappingSurface* surface) {
    VQ_CHECK(surface != nullptr, "VqTexCoordGen", "setMappingSurface", VQ_ERR_ARGUMENT);
    if (surface == _pMappingSurface.get()) return true;
    _pMappingSurface = surface;
    _resetHash();
    VQ_PROPAGATE(sendNotification(this, 4));
    return true;
}

// The channel, then the mapping surface as an element nested in this one.
bool VqTexCoordGen::_writeFields(VqObjectStream& os) const {
    int major = 0, minor = 0;
    os.getVersion(major, minor);
    VQ_PROPAGATE(os.write(_iChannel));
    if (major >= 10) {
        VQ_PROPAGATE(VqElementIO::writeLogicalElementV10(os, _pMappingSurface.get()));
    } else if (major == 9) {
        VQ_PROPAGATE(VqElementIO::writeLogicalElementV9(os, _pMappingSurface.get()));
    } else {
        VQ_PROPAGATE(VqElementIO::writeLogicalElement(os, _pMappingSurface.get()));
    }
    return true;
}

bool VqTexCoordGen::_readFields(VqObjectStream& os) {
    int major = 0, minor = 0;
    os.getVersion(major, minor);
    VQ_PROPAGATE(os.read(&_iChannel));
    Vq::SharedPtr<VqBase> pBase;
    if (major >= 10) {
        VQ_PROPAGATE(VqElementIO::readLogicalElementV10(os, pBase));
    } else {
        VqBase* raw = nullptr;
        if (major == 9) {
            VQ_PROPAGATE(VqElementIO::readLogicalElementV9(os, raw));
        } else {
            VQ_PROPAGATE(VqElementIO::readLogicalElement(os, raw));
        }
        pBase = raw;
    }
    if (!(_pMappingSurface = Vq::typeCast<VqMappingSurface>(pBase.get(), VqMappingSurface::classTypeID())))
        VQ_FAIL("VqTexCoordGen", "_readFields",
                "_pMappingSurface = Vq::typeCast<VqMappingSurface>(Vq::ptr(pBase), "
                "VqMappingSurface::classTypeID())",
                VQ_ERR_INTERNAL);
    _resetHash();
    return true;
}
