#include "VqUnknownBasePtrPropAtom.h"

#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(VqUnknownBasePtrPropAtom, VqBasePtrPropAtom, CLSID_ZQUnknownBasePtrPropAtom)
