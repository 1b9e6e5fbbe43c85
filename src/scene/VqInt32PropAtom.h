#pragma once

#include "VqValuePropAtom.h"

class VqInt32PropAtom : public VqValuePropAtom<VqInt32PropAtom, int32_t> {
    VQ_DECLARE_TYPE(VqInt32PropAtom)
public:
    using VqValuePropAtom::VqValuePropAtom;
};
