#include "VqUnknownDataPropAtom.h"

#include "VqFactory.h"

VQ_IMPLEMENT_TYPE(VqUnknownDataPropAtom, VqDataPropAtom, CLSID_ZQUnknownDataPropAtom)
