#pragma once

#include "VqExport.h"
#include "VqValuePropAtom.h"

class VQ_API VqFloat32PropAtom : public VqValuePropAtom<VqFloat32PropAtom, float> {
    VQ_DECLARE_TYPE(VqFloat32PropAtom)
public:
    using VqValuePropAtom::VqValuePropAtom;
};
