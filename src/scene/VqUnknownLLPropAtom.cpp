#include "VqUnknownLLPropAtom.h"

#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(VqUnknownLLPropAtom, VqLateLoadedPropAtom, CLSID_ZQUnknownLLPropAtom)

uint32_t VqUnknownLLPropAtom::hash() const {
    return _payloadHash(VqLateLoadedPropAtom::hash());
}

bool VqUnknownLLPropAtom::isEqualHook(const VqPropAtom& o) const {
    return VqLateLoadedPropAtom::isEqualHook(o) && _payloadEqual(static_cast<const VqUnknownLLPropAtom&>(o));
}
