#pragma once

#include "VqExport.h"
#include "VqValuePropAtom.h"

class VQ_API VqInt32PropAtom : public VqValuePropAtom<VqInt32PropAtom, int32_t> {
    VQ_DECLARE_TYPE(VqInt32PropAtom)
public:
    using VqValuePropAtom::VqValuePropAtom;
};
