#include "VqUnknownPropAtom.h"

#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(VqUnknownPropAtom, VqPropAtom, CLSID_ZQUnknownPropAtom)

uint32_t VqUnknownPropAtom::hash() const {
    return _payloadHash(0);
}

bool VqUnknownPropAtom::isEqualHook(const VqPropAtom& o) const {
    return _payloadEqual(static_cast<const VqUnknownPropAtom&>(o));
}
