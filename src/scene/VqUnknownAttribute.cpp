#include "VqUnknownAttribute.h"

#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(VqUnknownAttribute, VqAttribute, CLSID_ZQUnknownAttribute)

bool VqUnknownAttribute::clone(VqAttribute*& out) const {
    out = new VqUnknownAttribute(*this);
    if (!out)
        VQ_FAIL("VqUnknownAttribute", "clone", "Allocation failed: out = new VqUnknownAttribute(*this)",
                VQ_ERR_ALLOC);
    return true;
}

int VqUnknownAttribute::compareHook(const VqAttribute& o) const {
    // Never equal: order by identity so that sorting stays consistent.
    if (this == &o) return 0;
    return this < &o ? -1 : 1;
}

unsigned int VqUnknownAttribute::_numFields() const {
    const uint32_t final = finalMask().bits();
    if (final == 0) return 32;
    unsigned int n = 0;
    while (n < 32 && (final >> n) != 0)
        ++n;
    return n;
}
