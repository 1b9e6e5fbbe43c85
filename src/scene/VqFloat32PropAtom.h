#pragma once

#include "VqValuePropAtom.h"

class VqFloat32PropAtom : public VqValuePropAtom<VqFloat32PropAtom, float> {
    VQ_DECLARE_TYPE(VqFloat32PropAtom)
public:
    using VqValuePropAtom::VqValuePropAtom;
};
